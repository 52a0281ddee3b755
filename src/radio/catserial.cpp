// FT-817 CAT serial link; see catserial.h.
//
// One command is in flight at a time: send, gather the five reply bytes
// (blocking on the port while the line is silent), decode, send again. A lost or
// extra byte shifts the grouping of the reply bytes until the next
// time-out, which drops the bytes gathered and starts again with a new
// command. Every wait ends within about a second when the run byte or the
// run flag drops.
#include "radio/catserial.h"

#include <termios.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/setup.h"
#include "core/linkerr.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/serial.h"

int catProcessStatus = 3;
int lastCommandSent = 0;
int counterimeoutCAT = 0;

namespace {

std::atomic<bool> gAlive{false};

char runByte(works *w) { return std::atomic_ref<char>(w->setup->enaCatSer).load(); }
bool linkRuns(works *w) { return w->running.load() != 0 && runByte(w) == '1'; }
int catSerFD(works *w) { return std::atomic_ref<int>(w->catSerFD).load(); }

// The wait after a time-out, cut short when the link is stopped.
void pauseAfterTimeout(works *w) {
  for (int i = 0; i < 20 && linkRuns(w); i++) kzSleepMs(50);
}

}  // namespace

bool CatSerialClaim() { return !gAlive.exchange(true); }
bool CatSerialRunning() { return gAlive.load(); }

int writeSerialCatPort(int fd, const void *data, int len) {
  const int r = kzSerialWriteAll(fd, data, len);
  if (r != 0) kzLog(KZ_LOG_ERR, "CatSerial: write to %d failed: %s", fd, strerror(errno));
  counterimeoutCAT = 0;
  return r;
}

int VerifyByteFreq(uint8_t b) { return (b >> 4) < 10 && (b & 0x0F) < 10 ? 0 : 1; }

void DecodeCatSerialCmd(works *w, const uint8_t *reply, int) {
  if (lastCommandSent == KZ_CAT_READ_FREQ) {
    w->catMode = reply[4];
    bool decimal = true;
    for (int i = 0; i < 4; i++) decimal = decimal && VerifyByteFreq(reply[i]) == 0;
    if (decimal) {
      // Two decimal digits a byte: 0x42 reads as 42.
      uint32_t d[4];
      for (int i = 0; i < 4; i++) d[i] = uint32_t(reply[i] >> 4) * 10 + (reply[i] & 0x0F);
      w->catFreq = d[0] * 10000000u + d[1] * 100000u + d[2] * 1000u + d[3] * 10u;
    } else {
      kzTrace("CAT FT817 freq not decoded :  %02x %02x %02x %02x %02x\n", reply[0], reply[1],
              reply[2], reply[3], reply[4]);
    }
  }
  kzSleepMs(20);
  lastCommandSent = 0;
}

void catSerialPoll(works *w, CatSerialRx &rx) {
  const int fd = catSerFD(w);
  switch (catProcessStatus) {
    case 3: {
      static const uint8_t readFreq[5] = {0x00, 0x00, 0x00, 0x00, KZ_CAT_READ_FREQ};
      writeSerialCatPort(fd, readFreq, 5);
      lastCommandSent = KZ_CAT_READ_FREQ;
      catProcessStatus = 2;
      break;
    }
    case 2: {
      if (kzSerialAvail(fd) <= 0) {
        // Blocks until the reply's next byte or the time-out, counting the
        // milliseconds waited as the 1 ms polls counted them.
        counterimeoutCAT += kzSerialWaitSilence(fd, counterimeoutCAT, KZ_CAT_EMPTY_POLLS + 1);
        if (counterimeoutCAT > KZ_CAT_EMPTY_POLLS) {
          kzTrace("<<<<<<<<<<<<<<<<<<<<TIMEOUT SERIAL CAT!!!!\n");
          rx.count = 0;
          counterimeoutCAT = 0;
          catProcessStatus = 3;
          pauseAfterTimeout(w);
        }
        break;
      }
      uint8_t b = 0;
      const ssize_t r = kzSerialRead(fd, &b, 1);
      if (r != 1) {
        kzTrace("timeout %d\n", int(r));
        kzSleepMs(20);
        break;
      }
      rx.buf[rx.count++] = b;
      if (rx.count == 5) {
        rx.count = 0;
        catProcessStatus = 1;
      }
      break;
    }
    default:
      DecodeCatSerialCmd(w, rx.buf, 5);
      catProcessStatus = 3;
      break;
  }
}

void CatSerial(works *w) {
  gAlive = true;
  char path[sizeof w->setup->CatSerialPort + 1];
  snprintf(path, sizeof path, "%.*s", int(sizeof w->setup->CatSerialPort),
           w->setup->CatSerialPort);
  kzLog(KZ_LOG_INFO, "Init CATSerial Port %s", path);
  const int fd = kzSerialOpen(path);
  if (fd < 0) {
    kzLog(KZ_LOG_ERR, "Unable to open device %s", path);
    SetLinkError(w, 2, "CAT: Unable to open device %s", path);
    gAlive = false;
    return;
  }
  if (kzSerialConfigureTwoStop(fd, B38400, 1, 0) != 0) {
    kzLog(KZ_LOG_ERR, "Unable to set comm port %s", path);
    SetLinkError(w, 2, "CAT: Unable to set comm port %s", path);
    // The port is not used any further: it is not left open.
    kzSerialClose(fd);
    gAlive = false;
    return;
  }
  std::atomic_ref<int>(w->catSerFD).store(fd);
  kzLog(KZ_LOG_INFO, "OK works->catSerFD=%d (%s)", fd, path);
  kzTrace("---------------- OK works->catSerFD=%d (%s)\n", fd, path);
  lastCommandSent = 0;
  counterimeoutCAT = 0;
  catProcessStatus = 3;
  CatSerialRx rx;
  while (linkRuns(w)) catSerialPoll(w, rx);
  // A link switched off and on again opens its port anew: this one is
  // closed rather than left open for the life of the program.
  std::atomic_ref<int>(w->catSerFD).store(0);
  kzSerialClose(fd);
  gAlive = false;
}
