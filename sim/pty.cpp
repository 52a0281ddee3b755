// PTY pair for the simulated peers (see pty.h).
#include "sim/pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool makeRaw(int fd) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

bool simPtyOpen(SimPty *p) {
  char path[128];
  p->master = posix_openpt(O_RDWR | O_NOCTTY);
  bool ok = p->master >= 0 && grantpt(p->master) == 0 && unlockpt(p->master) == 0 &&
            ptsname_r(p->master, path, sizeof path) == 0;
  if (ok) {
    p->slavePath = path;
    p->slaveKeep = open(path, O_RDWR | O_NOCTTY);
    ok = p->slaveKeep >= 0 && makeRaw(p->slaveKeep) && makeRaw(p->master) &&
         fcntl(p->master, F_SETFL, fcntl(p->master, F_GETFL) | O_NONBLOCK) == 0;
  }
  if (!ok) simPtyClose(p);
  return ok;
}

void simPtyClose(SimPty *p) {
  if (p->slaveKeep >= 0) close(p->slaveKeep);
  if (p->master >= 0) close(p->master);
  p->slaveKeep = p->master = -1;
}

size_t simPtyWrite(const SimPty *p, const char *data, size_t len, bool wholeOrNothing) {
  size_t off = 0;
  int waits = 0;
  while (off < len) {
    ssize_t n = write(p->master, data + off, len - off);
    if (n > 0) {
      off += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if ((wholeOrNothing && off == 0) || ++waits > 20) break;
    pollfd w{p->master, POLLOUT, 0};
    poll(&w, 1, 50);
  }
  return off;
}
