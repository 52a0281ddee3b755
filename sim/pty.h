// The pseudo-terminal a simulated peer sits on: the peer owns the master
// side (raw, non-blocking), the program opens the slave path as its serial
// port. The slave is also held open here, raw, so the line stays up (and
// nothing is echoed back) while the program closes and reopens it.
#pragma once
#include <cstddef>
#include <string>

struct SimPty {
  int master = -1;
  int slaveKeep = -1;
  std::string slavePath;
};

// Opens a new PTY pair into `p`; false (nothing left open) on failure.
bool simPtyOpen(SimPty *p);
void simPtyClose(SimPty *p);

// Writes `len` bytes to the non-blocking master, waiting at most about one
// second in total for room; what does not fit then is dropped. With
// `wholeOrNothing`, a line with no room for the first byte drops it all
// at once (nobody is reading), so a message is never started and cut.
// Returns the bytes written.
size_t simPtyWrite(const SimPty *p, const char *data, size_t len, bool wholeOrNothing);
