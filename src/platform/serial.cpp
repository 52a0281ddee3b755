// Serial ports through termios; see serial.h.
#include "platform/serial.h"

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int realConfigure(int fd, speed_t speed, int vmin, int vtime) {
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

int realOpen(const char *path) { return open(path, O_RDWR | O_NOCTTY); }

int realAvail(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return -1;
  return n;
}

ssize_t realRead(int fd, void *buf, size_t len) { return read(fd, buf, len); }
ssize_t realWrite(int fd, const void *buf, size_t len) { return write(fd, buf, len); }
void realClose(int fd) {
  if (fd >= 0) close(fd);
}

int realFlushInput(int fd) { return tcflush(fd, TCIFLUSH); }

std::atomic<const KzSerialBackend *> gSerial{&kzSerialReal};

}  // namespace

const KzSerialBackend kzSerialReal = {realOpen,  realConfigure, realAvail,     realRead,
                                      realWrite, realClose,     realFlushInput};

void kzSerialUse(const KzSerialBackend *backend) { gSerial = backend ? backend : &kzSerialReal; }
const KzSerialBackend *kzSerialCurrent() { return gSerial.load(); }

int kzSerialConfigure(int fd, speed_t speed, int vmin, int vtime) {
  return gSerial.load()->configure(fd, speed, vmin, vtime);
}
int kzSerialConfigureTwoStop(int fd, speed_t speed, int vmin, int vtime) {
  if (kzSerialConfigure(fd, speed, vmin, vtime) != 0) return -1;
  if (!isatty(fd)) return 0;
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return -1;
  tio.c_cflag |= CSTOPB;
  return tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : -1;
}
int kzSerialOpen(const char *path) { return gSerial.load()->open(path); }
int kzSerialAvail(int fd) { return gSerial.load()->avail(fd); }
ssize_t kzSerialRead(int fd, void *buf, size_t len) { return gSerial.load()->read(fd, buf, len); }
ssize_t kzSerialWrite(int fd, const void *buf, size_t len) {
  return gSerial.load()->write(fd, buf, len);
}
void kzSerialClose(int fd) { gSerial.load()->close(fd); }
int kzSerialFlushInput(int fd) { return gSerial.load()->flushInput(fd); }
