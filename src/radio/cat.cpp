// The CAT port search and the network CAT link; see cat.h.
//
// The port search is one-shot: each device is given at most about one
// second to answer. The link thread waits for bytes with poll() in 100 ms
// steps, so it notices EnableCAT turning '0' without busy polling, and
// reads what waits in one call; the bytes go one by one through the
// command gatherer (no allocation per byte). The WebSocket thread writes
// to the same port: the write and ExitCAT's close share one lock, so a
// forward never lands on a descriptor closed (and reused) meanwhile.
#include "radio/cat.h"

#include <glob.h>
#include <poll.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/serial.h"
#include "remote/messages.h"

std::atomic<int> status_cat{0};

namespace {

std::atomic<bool> gAlive{false};
std::mutex gPortMut;  // catFD's close and the peer's writes

std::atomic_ref<int> catFDRef(works *w) { return std::atomic_ref<int>(w->catFD); }
char enableCat(works *w) { return std::atomic_ref<char>(w->setup->EnableCAT).load(); }
bool linkRuns(works *w) { return w->running.load() != 0 && enableCat(w) == '1'; }

std::string catPortSetup(works *w) {
  return std::string(w->setup->CatPort, strnlen(w->setup->CatPort, sizeof w->setup->CatPort));
}

// Asks one device "DT;" and reads its answer: true when it begins with
// "DT001". The port is closed unless it answered so.
bool tryPort(const char *path, int &fdOut) {
  const int fd = kzSerialOpen(path);
  if (fd < 0) {
    const int e = errno;
    kzLog(KZ_LOG_INFO, "Cannot open %s, error %d -%s", path, e, strerror(e));
    kzSleepMs(2);
    return false;
  }
  kzLog(KZ_LOG_INFO, "Opened  %s", path);
  kzTrace("Opened %s---------------------------------------------\n", path);
  // Raw at 115200 with reads that wait at most 1 s (VMIN 0, VTIME 10) from
  // the start: switching after "DT;" would flush an answer already in.
  if (kzSerialConfigure(fd, B115200, 0, 10) != 0) {
    const int e = errno;
    kzLog(KZ_LOG_INFO, "Cannot set %s, error %d -%s", path, e, strerror(e));
    kzSerialClose(fd);
    kzSleepMs(2);
    return false;
  }
  kzLog(KZ_LOG_INFO, "Set %s", path);
  kzTrace("set %s---------------------------------------------\n", path);
  kzLog(KZ_LOG_INFO, "Send \"DT;\" %s", path);
  ssize_t sent;
  do sent = kzSerialWrite(fd, "DT;", 3);
  while (sent < 0 && errno == EINTR);
  kzLog(KZ_LOG_INFO, "Sent \"DT;\" %s", path);
  kzTrace("sent %s---------------------------------------------\n", path);
  char answer[6] = {};
  int got = 0;
  // At most five bytes; the first empty 1-s wait ends the answer.
  while (got < 5) {
    const ssize_t r = kzSerialRead(fd, answer + got, 1);
    if (r > 0) got += int(r);
    kzLog(KZ_LOG_INFO, "Received %d \"%s\" %s", int(r), answer, path);
    if (r <= 0) break;
  }
  kzLog(KZ_LOG_INFO, "Received \"%s\" %s", answer, path);
  if (got == 5 && memcmp(answer, "DT001", 5) == 0) {
    kzTrace("received DT001; %s---------------------------------------------\n", path);
    fdOut = fd;
    return true;
  }
  kzSerialClose(fd);
  kzLog(KZ_LOG_INFO, "Cannot connect KAV using %s", path);
  kzSleepMs(2);
  return false;
}

}  // namespace

int VerifyCAT(works *w) {
  kzTrace("CAT serial search...\n");
  const std::string pattern = kzPath("/dev/VORNCAT*");
  glob_t g{};
  if (glob(pattern.c_str(), 0, nullptr, &g) != 0 || g.gl_pathc == 0) {
    globfree(&g);
    kzTrace("No CAT serial port found");
    return -1;
  }
  int fd = -1;
  for (size_t i = g.gl_pathc; i-- > 0 && fd < 0;) {
    if (tryPort(g.gl_pathv[i], fd)) {
      kzTrace("CAT serial found:  %s---------------------------------------------\n",
              g.gl_pathv[i]);
    }
  }
  globfree(&g);
  if (fd < 0) {
    const std::string port = catPortSetup(w);
    kzLog(KZ_LOG_INFO, "Unable to open device %s", port.c_str());
    kzTrace("CAT: Unable to open device %s\n", port.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> lk(gPortMut);
  const int old = catFDRef(w).exchange(fd);
  if (old > 0 && old != fd) kzSerialClose(old);
  return 0;
}

int catGatherByte(CatGather &g, uint8_t b) {
  if (b == ';') {
    g.buf[g.len++] = ';';
    g.buf[g.len] = 0;
    const int n = g.len;
    g.len = 0;
    return n;
  }
  g.buf[g.len++] = char(b);
  if (g.len >= KZ_CAT_CMD_MAX) g.len = 0;  // no ';' in 200 bytes: dropped
  return 0;
}

bool CatClaim() { return !gAlive.exchange(true); }
bool CatRunning() { return gAlive.load(); }

void ExitCAT(works *w) {
  {
    std::lock_guard<std::mutex> lk(gPortMut);
    // A port kept by a search outside the link (the readiness check) is
    // closed too: catFD 0 means no port is held.
    const int fd = catFDRef(w).exchange(0);
    if (fd > 0) kzSerialClose(fd);
    status_cat = 0;
  }
  w->remoteRestart = 1;
  std::atomic_ref<char>(w->setup->EnableCAT).store('0');
  AddErrore(w, 20);
}

int catWrite(works *w, const void *data, int len) {
  std::lock_guard<std::mutex> lk(gPortMut);
  const int fd = catFDRef(w).load();
  if (fd <= 0) return 0;
  if (len <= 0) return 1;  // nothing to write: not a failure
  return kzSerialWriteAll(fd, data, len) == 0 ? len : -1;
}

// The program is stopping: the port is closed, and the link keeps its
// EnableCAT byte and raises no error (it did not fail).
static void closeAtStop(works *w) {
  std::lock_guard<std::mutex> lk(gPortMut);
  const int fd = catFDRef(w).exchange(0);
  if (fd > 0) kzSerialClose(fd);
  status_cat = 0;
}

void Cat(works *w) {
  gAlive = true;
  status_cat = 0;
  // The search starts after 3 s, cut short when the link is stopped.
  for (int i = 0; i < 30 && linkRuns(w); i++) kzSleepMs(100);
  const std::string port = catPortSetup(w);
  if (w->running.load() == 0) {
    closeAtStop(w);
    gAlive = false;
    return;
  }
  if (!linkRuns(w) || VerifyCAT(w) != 0) {
    kzLog(KZ_LOG_INFO, "Unable to open device %s", port.c_str());
    kzTrace("CAT: Unable to open device %s\n", port.c_str());
    ExitCAT(w);
    gAlive = false;
    return;
  }
  kzLog(KZ_LOG_INFO, "OK works->catFD=%d (%s)", catFDRef(w).load(), port.c_str());
  status_cat = 1;
  CatGather g;
  uint8_t in[64];
  while (linkRuns(w)) {
    const int fd = catFDRef(w).load();
    if (fd <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    if (!linkRuns(w)) break;
    if (ready < 0 || !(p.revents & POLLIN)) break;  // hung up or closed
    const ssize_t r = kzSerialRead(fd, in, sizeof in);
    if (r <= 0) break;
    // Cost: one pass over the bytes read, a frame per command.
    for (ssize_t i = 0; i < r; i++) {
      const int n = catGatherByte(g, in[i]);
      if (n > 0) sendWebSockCatFrame(w, g.buf, n);
    }
  }
  if (w->running.load() == 0)
    closeAtStop(w);
  else
    ExitCAT(w);
  gAlive = false;
}
