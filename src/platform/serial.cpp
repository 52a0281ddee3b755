// Serial ports through termios; see serial.h.
#include "platform/serial.h"

#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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

int realWaitInput(int fd, int ms) {
  const int64_t start = kzNowMs();
  pollfd p{fd, POLLIN, 0};
  const int r = poll(&p, 1, ms);
  if (r > 0 && (p.revents & POLLIN) && realAvail(fd) > 0) return 1;
  if (r == 0 || (r < 0 && errno == EINTR)) return 0;
  // Hung up, failed or not a descriptor: poll answers at once and would
  // answer at once again, so the rest of the wait is slept.
  const int64_t left = ms - (kzNowMs() - start);
  if (left > 0) kzSleepMs(left);
  return 0;
}

std::atomic<const KzSerialBackend *> gSerial{&kzSerialReal};

}  // namespace

const KzSerialBackend kzSerialReal = {realOpen,  realConfigure,  realAvail,    realRead,
                                      realWrite, realClose,      realFlushInput, realWaitInput};

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
int kzSerialWriteAll(int fd, const void *data, int len) {
  const auto *p = static_cast<const unsigned char *>(data);
  int done = 0;
  while (done < len) {
    const ssize_t r = kzSerialWrite(fd, p + done, size_t(len - done));
    if (r > 0) {
      done += int(r);
    } else if (r < 0 && errno == EAGAIN) {
      kzSleepMs(1);
    } else if (r == 0 || errno != EINTR) {
      if (r == 0) errno = EIO;
      return -1;
    }
  }
  return 0;
}

int kzSerialWaitInput(int fd, int ms) {
  const KzSerialBackend *b = gSerial.load();
  const int64_t start = kzNowMs();
  if (b->waitInput != nullptr && kzClockIsReal() && ms > 1)
    b->waitInput(fd, ms);
  else
    kzSleepMs(1);
  const int64_t took = kzNowMs() - start;
  return took < 1 ? 1 : int(took);
}

int kzSerialWaitSilence(int fd, int counted, int limitMs) {
  constexpr int kStepMs = 100;
  const int left = limitMs - counted;
  return kzSerialWaitInput(fd, left < 1 || left > kStepMs ? kStepMs : left);
}

void kzSerialClose(int fd) { gSerial.load()->close(fd); }
int kzSerialFlushInput(int fd) { return gSerial.load()->flushInput(fd); }
