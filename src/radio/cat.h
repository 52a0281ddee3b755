// The transceiver's own text CAT port and the network CAT link.
//
// VerifyCAT finds the port among "/dev/VORNCAT*" (under the path root) by
// asking "DT;" and expecting "DT001;"; the network CAT thread and the
// remote readiness check use it. The thread Cat gathers the Kenwood-style
// commands the port sends, each up to and including its ';', and sends
// each as one "CA" message to the remote peer; "CA" messages from the peer
// are written to the same port by the WebSocket thread (catWrite).
#pragma once
#include <atomic>
#include <cstdint>

struct works;

// Bytes of one gathered command; a command that reaches it without ';' is
// dropped.
constexpr int KZ_CAT_CMD_MAX = 200;

// 1 once the network CAT link has found its port (ExitCAT closes it then).
extern std::atomic<int> status_cat;

// 0 and catFD set when a transceiver CAT port answers, else -1. A port the
// unit held before is closed when a new one is kept.
int VerifyCAT(works *w);

// Thread body of the network CAT link; runs while EnableCAT is '1'.
void Cat(works *w);
// Marks the thread as running before it is started: false when one already
// runs (or is being started).
bool CatClaim();
bool CatRunning();
// Closes the link: the port (when one was found), catFD 0, remoteRestart
// 1, EnableCAT '0', error 20.
void ExitCAT(works *w);

// Writes CAT text from the peer to catFD (all of it, short writes
// retried), under the lock that ExitCAT closes the port under. Returns a
// positive number when written (an empty text counts as written: it does
// not stop the link), 0 when no port is open, -1 when the write failed.
int catWrite(works *w, const void *data, int len);

// The gathering of one command from the port.
struct CatGather {
  char buf[KZ_CAT_CMD_MAX + 1] = {};
  int len = 0;
};
// Takes one byte: returns the length of a command completed by it (its
// ';' included; buf then holds it, ended by a 0 byte), else 0. After 200
// bytes without ';' the bytes are dropped and a new command starts.
int catGatherByte(CatGather &g, uint8_t b);
