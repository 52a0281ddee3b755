// Service keyboard; see keyb.h.
//
// Sections: 1 finding and opening the keyboard, 2 the four keys (KeybAct,
// also called by the simulator window for its own keyboard), 3 the thread.
//
// The device is read without blocking and polled with a short time-out so
// the thread sees the run flag drop within a fraction of a second. Events
// are input_event records; a record may arrive in pieces and is put
// together before it is decoded. A keyboard that is pulled out (ENODEV) is
// closed and looked for again, as at start.
#include "panel/keyb.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

constexpr int kSearchPeriodS = 20;
constexpr int kPollMs = 200;      // how soon a dropped run flag is seen
constexpr int kIdleWaitMs = 20;   // nothing to read (end of a stand-in file)

// ---------------------------------------------------------------------------
// 1 finding and opening the keyboard
// ---------------------------------------------------------------------------

// Waits `seconds` in 1 s steps; false as soon as the run flag is down.
bool waitWhileRunning(works *w, int seconds) {
  for (int i = 0; i < seconds; ++i) {
    if (w->running.load() == 0) return false;
    kzSleepMs(1000);
  }
  return w->running.load() != 0;
}

// First keyboard device present, or an empty string.
std::string findKeyboard() {
  std::string pattern = kzPath("/dev/input/by-id") + "/*-event-kbd";
  std::string found;
  glob_t g{};
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0) found = g.gl_pathv[0];
  globfree(&g);
  return found;
}

// Looks for a keyboard every 20 s until one opens; -1 when the run flag
// dropped first.
int openKeyboard(works *w, std::string &path) {
  while (w->running.load() != 0) {
    path = findKeyboard();
    if (!path.empty()) {
      int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) return fd;
      int e = errno;
      kzLog(KZ_LOG_ERR, "Cannot open %s, error %d -%s", path.c_str(), e, strerror(e));
      kzTrace("Cannot open %s, error %d -%s\n", path.c_str(), e, strerror(e));
    }
    if (!waitWhileRunning(w, kSearchPeriodS)) break;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// 2 the four keys
// ---------------------------------------------------------------------------

}  // namespace

bool KeybAct(works *w, int code) {
  switch (code) {
    case KEY_SYSRQ:  // Print Screen
      kzTrace("launching screenshot\n");
      kzLog(KZ_LOG_INFO, "launching screenshot");
      kzRunCommand("/usr/bin/fbgrab /tmp/screen.png >/dev/null 2>&1 </dev/null");
      kzLog(KZ_LOG_INFO, "launched screenshot");
      kzTrace("launched screenshot\n");
      return false;
    case KEY_F12:
      kzLog(KZ_LOG_INFO, "Exited by KEY_F12");
      w->running = 0;
      return true;
    case KEY_F11:
      kzLog(KZ_LOG_INFO, "Save setup");
      writeSetup(w);
      return false;
    case KEY_F10:
      RemoteConnection(w);
      w->maintFlags |= 2;
      return false;
    default:
      return false;
  }
}

// Cost: O(bytes taken), at most one record.
size_t KeybFeed(KeybReader *r, const unsigned char *data, size_t n, int *code) {
  *code = -1;
  size_t take = sizeof r->rec - r->fill;
  if (take > n) take = n;
  if (take > 0) memcpy(r->rec + r->fill, data, take);
  r->fill += take;
  if (r->fill < sizeof r->rec) return take;
  r->fill = 0;
  input_event ev;
  memcpy(&ev, r->rec, sizeof ev);
  if (ev.type == EV_KEY && ev.value == 1) *code = ev.code;
  return take;
}

namespace {

// ---------------------------------------------------------------------------
// 3 the thread
// ---------------------------------------------------------------------------

enum ReadEnd { kStopped, kClosedByKey, kLost };

// Reads events until the run flag drops, F12 is pressed or the device is
// gone. Cost: one poll per 200 ms when idle, one decode per record.
ReadEnd readKeyboard(works *w, int fd, const std::string &path) {
  KeybReader reader{};
  unsigned char buf[sizeof reader.rec];
  while (w->running.load() != 0) {
    pollfd p{fd, POLLIN, 0};
    int pr = poll(&p, 1, kPollMs);
    if (pr <= 0) continue;  // time-out or interrupted: look at the flag again
    ssize_t n = read(fd, buf, sizeof buf - reader.fill);  // never past one record
    if (n < 0) {
      int e = errno;
      if (e == EINTR) continue;
      if (e == EAGAIN) {
        poll(nullptr, 0, kIdleWaitMs);
        continue;
      }
      kzLog(KZ_LOG_ERR, "error reading %s, error %d -%s", path.c_str(), e, strerror(e));
      if (e == ENODEV) return kLost;
      poll(nullptr, 0, kPollMs);  // a persistent error is logged 5 times a second at most
      continue;
    }
    if (n == 0) {  // nothing more yet (a stand-in file or a FIFO without writer)
      poll(nullptr, 0, kIdleWaitMs);
      continue;
    }
    int code = -1;
    KeybFeed(&reader, buf, size_t(n), &code);
    if (code >= 0 && KeybAct(w, code)) return kClosedByKey;
  }
  return kStopped;
}

}  // namespace

void RemoteConnection(works *) {
  kzTrace("launching ssh\n");
  kzLog(KZ_LOG_INFO, "launching ssh");
  kzRunCommand("/opt/sshshell");
  kzLog(KZ_LOG_INFO, "launched ssh");
  kzTrace("launched ssh\n");
}

void keyb(works *w) {
  kzTrace("keyb open..\n%s\n", std::string(113, '*').c_str());
  kzLog(KZ_LOG_INFO, "Keyboard function entered");
  while (w->running.load() != 0) {
    std::string path;
    int fd = openKeyboard(w, path);
    if (fd < 0) break;
    kzLog(KZ_LOG_INFO, "Keyboard opened");
    kzTrace("Keyboard opened\n");
    if (ioctl(fd, EVIOCGRAB, 1) != 0) {
      int e = errno;
      kzLog(KZ_LOG_INFO, "Keyboard not grabbed, error %d -%s", e, strerror(e));
    }
    kzRunCommand("stty -echo");
    kzLog(KZ_LOG_INFO, "Continuous keyboard loop started, please end using Control C");
    kzTrace("Continuous keyboard loop started, please end using Control C\n");

    ReadEnd end = readKeyboard(w, fd, path);
    close(fd);
    if (end == kClosedByKey) {
      kzRunCommand("/bin/stty sane");
      kzRunCommand("/usr/bin/tput clear");
      return;
    }
    if (end == kLost) kzRunCommand("stty sane");  // the console gets its echo back meanwhile
  }
  kzRunCommand("stty sane");
}
