// The amplifier link: the Linear thread, the only writer to the amplifier's
// serial port. It is a state machine on linearProcessStatus: a state below
// 41 names a command to send (then the state becomes 2, wait for reply),
// 2 waits for the reply, 3 decodes it, 31 is the idle state after "MR1;".
// Frame, both directions: two hex characters of the CRC-8/MAXIM of the
// text, then the text ending in ';'.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>

struct works;

enum {
  LIN_WAIT = 2,     // wait for a reply
  LIN_DECODE = 3,   // decode the reply in the receive buffer
  LIN_IDLE = 31,    // after "MR1;": nothing more is sent
  LIN_RXBUF = 500,  // receive buffer size (plus a terminator)
};

extern std::atomic<int> counterrortimeout;

void Linear(works *w);
int OpenLinear(works *w);
// Retry of the link-failure screen while the link thread runs: the thread
// closes its port and opens it again at the top of its next pass (a second
// link thread would make two writers on one port). False when no link
// thread runs; the caller then starts one.
bool LinearRequestReopen();
int writeLinearPort(int fd, const char *text, int length, works *w);
uint8_t Sys_Crc8Calculation(const char *data, size_t length);
// Sends the attenuator command for value 0..3 as command `state`.
void SetAttenuatorCMD(works *w, int value, int state);
// Sends command `state` of the command set (records it first, then state 2).
// Returns 0, or -1 when `state` names no command.
int SendLinearCommand(works *w, int state);

// Receive side, one byte at a time, as the thread does it: stores `c`,
// and on ';' checks the checksum and moves to the decode state. Exposed
// for the fuzz target, which feeds arbitrary bytes through it.
void LinearRxByte(works *w, char c);
void LinearRxDecode(works *w);
void LinearRxReset();
