// The FT-817 CAT serial link: the thread CatSerial polls a transceiver
// that speaks the FT-817's binary CAT protocol on CatSerialPort (38400
// baud, 8 data bits, two stop bits, raw) for its frequency and mode, and
// leaves the frequency in works' catFreq, which the supervisor follows in
// link mode 2.
//
// Frames: a command is four parameter bytes and the opcode; the only one
// sent is read-frequency-and-mode, 00 00 00 00 03. Its reply is four bytes
// of packed decimal (two digits a byte, high nibble first), the frequency
// in 10 Hz units, most significant byte first, then the mode byte.
#pragma once
#include <cstdint>

struct works;

// Opcode of the read-frequency-and-mode command.
constexpr uint8_t KZ_CAT_READ_FREQ = 0x03;
// Milliseconds without the reply (once counted as 1 ms polls) before it
// counts as missing.
constexpr int KZ_CAT_EMPTY_POLLS = 1500;

// State of the poll loop: 1 decode, 2 receive, 3 send.
extern int catProcessStatus;
// Opcode of the command in flight, 0 when none.
extern int lastCommandSent;
// Empty polls since the last command was written.
extern int counterimeoutCAT;

// Thread body: opens and configures CatSerialPort (linkError 2 when it
// cannot), then polls while the CAT-serial run byte (setup enaCatSer) is
// '1' and the program runs. The port is closed and catSerFD cleared when
// the loop ends.
void CatSerial(works *w);
// Marks the link thread as running before it is started: false when one
// already runs (or is being started).
bool CatSerialClaim();
bool CatSerialRunning();

// Writes all `len` bytes (short writes retried) and clears the time-out
// count. Returns 0, or -1 when the bytes could not all be written.
int writeSerialCatPort(int fd, const void *data, int len);
// 0 when both nibbles of `b` are decimal digits, else 1.
int VerifyByteFreq(uint8_t b);
// Decodes one 5-byte reply to the command in flight (`n` is not used):
// catMode from byte 4, catFreq from bytes 0-3 when they are decimal
// (else the old frequency stays). Sleeps 20 ms, then no command is in
// flight.
void DecodeCatSerialCmd(works *w, const uint8_t *reply, int n);

// The gathering of one reply between calls of catSerialPoll.
struct CatSerialRx {
  uint8_t buf[5] = {};
  int count = 0;
};
// One step of the loop on catSerFD: send the command, one wait on the silent
// line (up to 100 ms; the time-out after 1500 ms of them drops a
// half-gathered reply and waits 1 s), one byte read, or one decode.
void catSerialPoll(works *w, CatSerialRx &rx);
