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
