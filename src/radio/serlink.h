// The transceiver serial link: the thread Serial reads the transceiver's
// message stream from SerPort (115200 8N1, raw), keeps the parameters in
// works' serParams (storeParameters), forwards parameter ("PA") and
// spectrum ("SP") messages to a connected remote unit, and sends the
// transceiver the commands "RX;" and "TU120;TX2;" that the auto-tune and
// the transmit key ask for, once per received message.
//
// Message on the wire: a type byte 0..14, the type character ('0'
// spectrum, '1' parameters), four length characters (0x30 + a 4-bit digit,
// least significant first), then the body of that length (at most 1999).
// Type bytes 2..14 carry no body this program reads.
#pragma once
#include <cstdint>

struct works;
struct SerParameters;

// Largest body length taken from a length field.
constexpr int KZ_SER_MAX_LEN = 1999;
// Milliseconds of silence (once counted as 1 ms polls) before a silent line
// counts as a time-out.
constexpr int KZ_SER_EMPTY_POLLS = 1500;
// Hold-off after a reported time-out, ms (counted down by the timer).
constexpr int KZ_SER_HOLDOFF_MS = 2000;

// Thread body: opens and configures SerPort, then runs the receive loop
// while the link's run byte (setup enaser) is '1' and the program runs.
// The port is closed and serFD set to -1 when it ends.
void Serial(works *w);
// True from the start of Serial until it has ended.
bool SerialRunning();
// Marks the link thread as running before it is started: false when one
// already runs (or is being started), which then carries on instead.
bool SerialClaim();

// Writes all `len` bytes to `fd`; short writes and interrupted or
// would-block writes are retried, any other failure ends the write
// (logged). Returns 0, or -1 when the bytes could not all be written.
int writeSerialPort(int fd, const void *data, int len);

// Reads exactly `len` bytes from serFD, waiting as long as the line is
// silent (after 1500 ms of silence each further wait may raise error 8, once
// per hold-off). Gives up when the program or the link is stopped: the
// partial message is abandoned. Returns `len`, or -1 when abandoned.
int readSerialPort(works *w, void *buf, int len);

// Reads the type character and the four length characters of a message;
// `lenText` gets the length as hexadecimal text (5 bytes with the
// terminator), `length` the body length (0..1999). Returns 0, or -1 when
// the read was abandoned.
int decodeCmdParameters(works *w, char *lenText, uint8_t *typeChar, int *length);

// State of the receive loop between calls of serialPoll.
struct SerialRx {
  int emptyPolls = 0;  // milliseconds of silence so far
  bool longParamsLogged = false;
};

// One step of the receive loop: a wait on the silent line (up to 100 ms, its
// milliseconds counted towards the time-out), one skipped byte, or
// one whole message with its forwarding and the pending commands.
void serialPoll(works *w, SerialRx &rx);

// First bin of the forwarded spectrum for the current mode and offsets
// (0..1023), and the rotation that starts the spectrum there.
int serialStartBin(const SerParameters &p);
void serialRotate(const uint8_t *in, uint8_t *out, int start);

// Sends the commands asked for since the last message (autoTuneMode bits
// 2 and 5, txKeyFlags bit 0).
void serialSendPending(works *w);
