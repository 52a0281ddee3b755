// Transceiver serial link; see serlink.h.
//
// The receive loop blocks on the port while the line is silent (the
// silence counted in milliseconds, as 1 ms polls once counted it) and reads
// a message only once its start byte has come;
// every read from the wire is bounded by the 2000-byte message buffer, and
// every wait inside a message ends when the program or the link stops.
#include "radio/serlink.h"

#include <termios.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/linkerr.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/serial.h"
#include "radio/serparams.h"
#include "remote/messages.h"

namespace {

std::atomic<bool> gAlive{false};

char runByte(works *w) { return std::atomic_ref<char>(w->setup->enaser).load(); }

bool linkRuns(works *w) { return w->running.load() != 0 && runByte(w) == '1'; }

int serFD(works *w) { return std::atomic_ref<int>(w->serFD).load(); }

// A silent or failing line: error 8, at most once per hold-off.
void linkTimeout(works *w, int where) {
  if (w->timeoutHoldoff.load() != 0) return;
  AddErrore(w, 8);
  w->timeoutHoldoff = KZ_SER_HOLDOFF_MS;
  kzTrace("---------------------------------------TIMEOUT serial %d\n", where);
}

// Spectrum message: rotated to its start bin and forwarded (854 points
// for the 1024 bytes the transceiver sends).
void forwardSpectrum(works *w, const uint8_t *body, int length) {
  if (std::atomic_ref<char>(w->setup->EnableFFT2).load() != '0') return;
  SerParameters p;
  getParameters(&p, w);
  uint8_t out[1024];
  serialRotate(body, out, serialStartBin(p));
  int total = length - 170;
  if (total > int(sizeof out)) total = int(sizeof out);
  if (total > 0) sendWebSockSerSpectrFrame(w, out, total);
}

// Parameter message: stored, then forwarded when it fits one short frame.
void takeParameters(works *w, SerialRx &rx, const uint8_t *body, int length) {
  storeParameters(w, length, body);
  if (length <= KZ_WS_SHORT_MAX) {
    sendWebSockSerParFrame(w, body, length);
  } else if (w->wsConnected.load() == 1 && !rx.longParamsLogged) {
    rx.longParamsLogged = true;
    kzLog(KZ_LOG_INFO, "Serial: parameter message of %d bytes is too long for the remote unit, "
          "not forwarded", length);
  }
}

// A message whose start byte `type` has been read.
void readMessage(works *w, SerialRx &rx, uint8_t type) {
  char lenText[5];
  uint8_t typeChar = 0;
  int length = 0;
  if (decodeCmdParameters(w, lenText, &typeChar, &length) < 0) return;
  if (type <= 1) {
    if (typeChar == '0' + type) {
      uint8_t body[KZ_SER_MAX_LEN + 1];
      memset(body, 0, sizeof body);
      if (readSerialPort(w, body, length) < 0) return;
      if (type == 0)
        forwardSpectrum(w, body, length);
      else
        takeParameters(w, rx, body, length);
    }
  } else {
    kzLog(KZ_LOG_INFO, "Error3");
  }
  serialSendPending(w);
}

}  // namespace

bool SerialRunning() { return gAlive.load(); }
bool SerialClaim() { return !gAlive.exchange(true); }

int writeSerialPort(int fd, const void *data, int len) {
  if (kzSerialWriteAll(fd, data, len) == 0) return 0;
  kzLog(KZ_LOG_ERR, "Serial: write to %d failed: %s", fd, strerror(errno));
  return -1;
}

int readSerialPort(works *w, void *buf, int len) {
  auto *p = static_cast<uint8_t *>(buf);
  int got = 0, empty = 0;
  while (got < len) {
    if (!linkRuns(w)) return -1;
    const int fd = serFD(w);
    if (kzSerialAvail(fd) <= 0) {
      empty += kzSerialWaitSilence(fd, empty, KZ_SER_EMPTY_POLLS + 1);
      if (empty > KZ_SER_EMPTY_POLLS) linkTimeout(w, 3);
      continue;
    }
    const ssize_t r = kzSerialRead(fd, p + got, size_t(len - got));
    if (r > 0) got += int(r);
  }
  return got;
}

int decodeCmdParameters(works *w, char *lenText, uint8_t *typeChar, int *length) {
  uint8_t head[5];
  if (readSerialPort(w, head, 5) < 0) return -1;
  *typeChar = head[0];
  // Least significant digit first on the wire; ':'..'?' stand for A..F.
  int value = 0;
  bool digits = true;
  for (int i = 0; i < 4; i++) {
    char c = char(head[4 - i]);
    if (c > '9') c = char(c + 7);
    lenText[i] = c;
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) digits = false;  // the number ends at the first non-digit
    if (digits) value = value * 16 + d;
  }
  lenText[4] = 0;
  if (value > KZ_SER_MAX_LEN) {
    kzTrace("----------> 3SERIAL : ERROR dataLength %d   %s!!!!!!\n", value, lenText);
    value = KZ_SER_MAX_LEN;
  }
  *length = value;
  return 0;
}

int serialStartBin(const SerParameters &p) {
  float start = 0.0f;
  if (p.curMode == 4) start = -0.005333f * float(p.pitchOffset);
  if (p.curMode == 6) start = 0.005333f * float(p.pitchOffset);
  start += 0.005333f * float(p.tuneOffset);
  start += 85.0f;
  if (start < 0.0f) start += 1024.0f;
  // Offsets beyond one spectrum width wrap again rather than index outside it.
  const int s = int(start) % 1024;
  return s < 0 ? s + 1024 : s;
}

void serialRotate(const uint8_t *in, uint8_t *out, int start) {
  memcpy(out, in + start, size_t(1024 - start));
  memcpy(out + (1024 - start), in, size_t(start));
}

void serialSendPending(works *w) {
  const int fd = serFD(w);
  uint8_t mode = w->autoTuneMode.load();
  if (mode & 0x04) {
    writeSerialPort(fd, "RX;", 3);
    kzTrace("SENT KAV RX;! (0x%x)\n", mode);
    w->autoTuneMode.fetch_and(uint8_t(~0x04));
    w->autoTuneMode.fetch_or(0x08);
  }
  mode = w->autoTuneMode.load();
  if (mode & 0x20) {
    writeSerialPort(fd, "TU120;TX2;", 10);
    kzTrace("SENT KAV TX2;! (0x%x)\n", mode);
    w->autoTuneMode.fetch_and(uint8_t(~0x20));
    w->autoTuneMode.fetch_or(0x40);
  }
  const uint8_t key = w->txKeyFlags.load();
  if (!(key & 0x01)) return;
  if (!(key & 0x02)) {
    writeSerialPort(fd, "RX;", 3);
    kzTrace("SENT KAV RX...\n");
    w->rxDelay = 30;
    w->txKeyFlags.fetch_and(uint8_t(~0x01));
  } else if (((key >> 4) & 1) == ((key >> 5) & 1)) {
    // No antenna change under way.
    writeSerialPort(fd, "TU120;TX2;", 10);
    kzTrace("SENT KAV TX2...\n");
    w->txKeyFlags.fetch_and(uint8_t(~0x01));
  }
}

void serialPoll(works *w, SerialRx &rx) {
  const int fd = serFD(w);
  if (kzSerialAvail(fd) <= 0) {
    rx.emptyPolls += kzSerialWaitSilence(fd, rx.emptyPolls, KZ_SER_EMPTY_POLLS);
    if (rx.emptyPolls >= KZ_SER_EMPTY_POLLS) {
      rx.emptyPolls = 0;
      linkTimeout(w, 1);
    }
    return;
  }
  uint8_t b = 0;
  const ssize_t r = kzSerialRead(fd, &b, 1);
  if (r != 1) {
    kzLog(KZ_LOG_ERR, "error %d", int(r));
    linkTimeout(w, 2);
    return;
  }
  rx.emptyPolls = 0;
  if (b <= 14) readMessage(w, rx, b);
}

void Serial(works *w) {
  gAlive = true;
  char path[sizeof w->setup->SerPort + 1];
  snprintf(path, sizeof path, "%.*s", int(sizeof w->setup->SerPort), w->setup->SerPort);
  kzLog(KZ_LOG_INFO, "Init Serial Port %s", path);
  // A port that is missing or cannot be configured is a link failure the
  // operator sees (retry starts the link again, cancel switches it off):
  // the transceiver is optional, so the program goes on without it.
  const int fd = kzSerialOpen(path);
  if (fd < 0 || kzSerialConfigure(fd, B115200, 1, 0) != 0) {
    kzLog(KZ_LOG_ERR, "Unable to open device %s", path);
    kzTrace("Serial: Unable to open device %s\n", path);
    SetLinkError(w, 3, "Serial: Unable to open device %s\n", path);
    if (fd >= 0) kzSerialClose(fd);
    gAlive = false;
    return;
  }
  std::atomic_ref<int>(w->serFD).store(fd);
  kzLog(KZ_LOG_INFO, "OK works->serFD=%d (%s)", fd, path);
  kzTrace("------------------ OK works->serFD=%d (%s)\n", fd, path);
  SerialRx rx;
  while (linkRuns(w)) serialPoll(w, rx);
  kzTrace("---------------------------------------Serial EXIT %x\n", unsigned(uint8_t(runByte(w))));
  std::atomic_ref<int>(w->serFD).store(-1);
  kzSerialClose(fd);
  gAlive = false;
}
