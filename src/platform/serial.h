// Serial seam: real open, termios, FIONREAD, read and write. On the board
// the path is a UART or USB serial device; on a development machine it is
// a PTY slave and the same code runs (PTYs ignore the baud rate). The calls
// go through a small table of functions so that tests can wrap the real
// ones with a fault layer (a port that goes silent, a read or write that
// fails on the Nth call).
#pragma once
#include <sys/types.h>
#include <termios.h>

struct KzSerialBackend {
  int (*open)(const char *path);
  int (*configure)(int fd, speed_t speed, int vmin, int vtime);
  int (*avail)(int fd);
  ssize_t (*read)(int fd, void *buf, size_t len);
  ssize_t (*write)(int fd, const void *buf, size_t len);
  void (*close)(int fd);
  int (*flushInput)(int fd);
  // Blocks until bytes are waiting or `ms` milliseconds pass; 1 when bytes
  // are waiting, else 0. Optional: a backend without it (a fault layer, a
  // port on a buffer) is polled in 1 ms steps instead.
  int (*waitInput)(int fd, int ms);
};

extern const KzSerialBackend kzSerialReal;
void kzSerialUse(const KzSerialBackend *backend);
const KzSerialBackend *kzSerialCurrent();

// Raw-mode settings shared by the program's ports: input flags IGNPAR only,
// no output flags, CS8|CREAD|CLOCAL|HUPCL, no local flags, the given VMIN
// and VTIME, both speeds, pending input flushed, applied at once (TCSANOW).
// Returns 0, or -1 when tcsetattr fails.
int kzSerialConfigure(int fd, speed_t speed, int vmin, int vtime);

// The same with two stop bits (CSTOPB), for the FT-817 CAT port. The stop
// bits are set on a terminal only: a test backend's descriptor that is no
// terminal keeps what its configure gave. Returns 0 or -1.
int kzSerialConfigureTwoStop(int fd, speed_t speed, int vmin, int vtime);

// open(path, O_RDWR | O_NOCTTY); -1 on failure.
int kzSerialOpen(const char *path);

// Bytes waiting to be read (FIONREAD); -1 on failure.
int kzSerialAvail(int fd);

// The links' wait for input while their line is silent. Blocks until bytes
// are waiting on `fd` or `ms` milliseconds (at most) pass, and returns the
// milliseconds the wait took on the clock seam, at least 1: the links count
// their reply time-outs in these milliseconds, as they once counted 1 ms
// polls, so a time-out means the same real time while an idle link wakes
// once per reply instead of once a millisecond. A hung-up or failing port
// sleeps out the wait rather than spinning. On the fake clock, or with a
// backend that cannot wait, it is one 1 ms poll step (the clock moves by 1).
int kzSerialWaitInput(int fd, int ms);

// One such wait of a link that counts a time-out of `limitMs` and has
// counted `counted` so far: it lasts at most the rest of the time-out, and
// at most 100 ms (so the link's loop sees its run flags soon; also once the
// time-out is past). Returns the milliseconds to add to the count.
int kzSerialWaitSilence(int fd, int counted, int limitMs);

// Writes all `len` bytes: short writes and interrupted writes are
// retried, a full line (EAGAIN) is waited on 1 ms at a time. Returns 0, or
// -1 with errno set (EIO for a write that took nothing).
int kzSerialWriteAll(int fd, const void *data, int len);

// One read() / one write() call, as the driver gives them.
ssize_t kzSerialRead(int fd, void *buf, size_t len);
ssize_t kzSerialWrite(int fd, const void *buf, size_t len);

void kzSerialClose(int fd);

// Discards input received but not read (tcflush TCIFLUSH).
int kzSerialFlushInput(int fd);
