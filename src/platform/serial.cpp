// Serial ports through termios; see serial.h.
#include "platform/serial.h"

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int kzSerialConfigure(int fd, speed_t speed, int vmin, int vtime) {
  termios tio;
  memset(&tio, 0, sizeof tio);
  tio.c_iflag = IGNPAR;
  tio.c_oflag = 0;
  tio.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
  tio.c_lflag = 0;
  tio.c_cc[VMIN] = cc_t(vmin);
  tio.c_cc[VTIME] = cc_t(vtime);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  tcflush(fd, TCIFLUSH);
  return tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : -1;
}

int kzSerialOpen(const char *path) { return open(path, O_RDWR | O_NOCTTY); }

int kzSerialAvail(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return -1;
  return n;
}

ssize_t kzSerialRead(int fd, void *buf, size_t len) { return read(fd, buf, len); }
ssize_t kzSerialWrite(int fd, const void *buf, size_t len) { return write(fd, buf, len); }

void kzSerialClose(int fd) {
  if (fd >= 0) close(fd);
}
