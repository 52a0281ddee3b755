// The amplifier link thread: port, frame, command set, receive and the
// state machine. See linear.h for the frame and the states.
//
// Sections: CRC and frame writing / port opening / command set /
// receive side / thread loop.
#include "amplifier/linear.h"

#include <cstdio>
#include <cstring>

#include "amplifier/cmdring.h"
#include "amplifier/decode.h"
#include "core/setup.h"
#include "core/linkerr.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/serial.h"
#include "tuner/tunemem.h"
#include "tuner/tunesem.h"

std::atomic<int> linearProcessStatus{1};
std::atomic<int> counterrortimeout{0};

// ---- CRC and frame writing --------------------------------------------

uint8_t Sys_Crc8Calculation(const char *data, size_t length) {
  // CRC-8/MAXIM: reflected polynomial 0x8C, initial 0, no final XOR.
  // O(8 n) per frame; frames are a few tens of bytes.
  uint8_t crc = 0;
  for (size_t i = 0; i < length; i++) {
    uint8_t b = uint8_t(data[i]);
    for (int bit = 0; bit < 8; bit++) {
      uint8_t mix = (crc ^ b) & 1;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      b >>= 1;
    }
  }
  return crc;
}

static int writeAll(int fd, const char *p, size_t n) {
  int last = 0;
  while (n > 0) {
    ssize_t r = kzSerialWrite(fd, p, n);
    last = int(r);
    if (r <= 0) break;
    p += r;
    n -= size_t(r);
  }
  return last;
}

int writeLinearPort(int fd, const char *text, int length, works *) {
  if (length < 0) length = 0;
  char crc[4];
  snprintf(crc, sizeof crc, "%02x", Sys_Crc8Calculation(text, size_t(length)));
  writeAll(fd, crc, 2);
  int r = writeAll(fd, text, size_t(length));
  counterrortimeout = 0;
  return r;
}

// ---- port opening ------------------------------------------------------

// Reports a port that cannot be used: syslog, standard error and the
// link-failure text the operator sees.
static int linkPortFailed(works *w, const char *what, const char *portName) {
  kzLog(KZ_LOG_ERR, "%s %s", what, portName);
  kzTrace("%s %s", what, portName);
  SetLinkError(w, 1, "Linear: %s %s", what, portName);
  return -1;
}

int OpenLinear(works *w) {
  char portName[sizeof w->setup->LinPort + 1];
  snprintf(portName, sizeof portName, "%.*s", int(sizeof w->setup->LinPort), w->setup->LinPort);
  kzLog(KZ_LOG_INFO, "Init Linear Port %s", portName);
  w->linFD = kzSerialOpen(portName);
  if (w->linFD < 0) return linkPortFailed(w, "Unable to open device", portName);
  if (kzSerialConfigure(w->linFD, B115200, 1, 5) != 0)
    return linkPortFailed(w, "Unable to set comm port", portName);
  kzTrace("OK works->linFD=%d (%s) stato:%d\n", w->linFD, portName, linearProcessStatus.load());
  kzLog(KZ_LOG_INFO, "OK works->linFD=%d (%s)", w->linFD, portName);
  return 0;
}

// ---- command set -------------------------------------------------------

// Sends `text`, of which only `length` characters go out when a value is
// wider than its field (the fixed lengths of the command set).
// A value too wide for its field would cut the ';' off the frame, and the
// micro-controller would read the next frame as part of this one: such a
// command is not sent (logged) and the link goes back to the status poll.
static void sendCmd(works *w, char a, char b, int state, const char *text, int length = -1) {
  int n = int(strlen(text));
  if (length >= 0 && length < n) {
    kzLog(KZ_LOG_ERR, "Linear: %s does not fit its %d characters, not sent", text, length);
    kzTrace("---------------------------------------CMD TOO LONG: %s\n", text);
    linearProcessStatus = 1;
    return;
  }
  LastCmdSent(w, a, b, state);
  writeLinearPort(w->linFD, text, n, w);
  linearProcessStatus = LIN_WAIT;
}

void SetAttenuatorCMD(works *w, int value, int state) {
  static const char *const codes[4] = {"AT00;", "AT01;", "AT10;", "AT11;"};
  const char *text = codes[value & 3];
  LastCmdSent(w, 'A', 'T', state);
  // The panel shows what the amplifier was told: the operator's step (14)
  // or the step forced by the protection (16) or a tune (15).
  w->attForced = uint8_t(state == 14 ? 0 : 1 + (value & 3));
  writeLinearPort(w->linFD, text, 5, w);
  linearProcessStatus = LIN_WAIT;
  kzTrace(">> %s\n", text);
}

static void sendTuneWord(works *w, int state) {
  char buf[32];
  snprintf(buf, sizeof buf, "MT1%08X;", w->tuneWord.load());
  sendCmd(w, 'M', 'T', state, buf, 12);
}

int SendLinearCommand(works *w, int state) {
  char buf[64];
  switch (state) {
    case 0: sendCmd(w, 'V', 'S', 0, "VSM;"); break;
    case 1: sendCmd(w, 'S', 'T', 1, "ST;"); break;
    case 4: sendCmd(w, 'T', 'U', 4, "TU1;"); break;
    case 5: sendCmd(w, 'T', 'U', 5, "TU0;"); break;
    case 6: sendCmd(w, 'T', 'U', 6, "TU;"); break;
    case 7:
      snprintf(buf, sizeof buf, "SA%d;", w->antenna.load() + 1);
      sendCmd(w, 'S', 'A', 7, buf, 4);
      break;
    case 8: sendCmd(w, 'F', 'M', 8, "FM;"); break;
    case 9:
      snprintf(buf, sizeof buf, "FA%011lu;", (unsigned long)w->freqHz.load());
      sendCmd(w, 'F', 'A', 9, buf, 14);
      break;
    case 10: sendCmd(w, 'M', 'T', 10, "MT;"); break;
    case 11:
      sendTuneWord(w, 11);
      w->atuBypass = (w->tuneWord.load() >> 16) & 1;
      break;
    case 12:
      snprintf(buf, sizeof buf, "FS%01d%04d;", int(w->freqSensIn), w->freqPeriodTime / 10);
      sendCmd(w, 'S', 'F', 12, buf, 8);
      break;
    case 13: sendCmd(w, 'C', 'P', 13, "CPFFFF;", 7); break;
    case 14: SetAttenuatorCMD(w, w->attenuator.load(), 14); break;
    case 15: SetAttenuatorCMD(w, w->attenuatorTune.load(), 15); break;
    case 16: SetAttenuatorCMD(w, 3, 16); break;
    case 17: sendCmd(w, 'M', 'P', 17, "MP0;"); break;
    case 18: sendCmd(w, 'M', 'P', 18, "MP1;"); break;
    case 19:
      w->ampBypassReq = 0;
      sendCmd(w, 'A', 'B', 19, "AB0;");
      kzTrace(">> AB0;\n");
      break;
    case 20:
      w->ampBypassReq = 1;
      w->attenuatorShown = 4;
      sendCmd(w, 'A', 'B', 20, "AB1;");
      kzTrace(">> AB1;\n");
      break;
    case 21:
      snprintf(buf, sizeof buf, "AN%d;", w->anState.load());
      sendCmd(w, 'A', 'N', 21, buf, 4);
      kzTrace(">> %s\n", buf);
      break;
    case 22:
      snprintf(buf, sizeof buf, "TS%04d%04d%04d%04d;", w->tsThreshold[0], w->tsThreshold[1],
               w->tsThreshold[2], w->tsThreshold[3]);
      sendCmd(w, 'T', 'S', 22, buf, 19);
      break;
    case 23:
      snprintf(buf, sizeof buf, "FN1%03d;", w->fanPercent.load());
      sendCmd(w, 'F', 'N', 23, buf, 7);
      break;
    case 24:
      snprintf(buf, sizeof buf, "PS%04d%04d%04d%04d;", w->psPar[0], w->psPar[1], w->psPar[2],
               w->psPar[3]);
      sendCmd(w, 'P', 'S', 24, buf, 19);
      kzTrace(">> %s\n", buf);
      break;
    case 26: sendCmd(w, 'S', 'F', 26, "SF;"); break;
    case 27:
      // Network word from the tune memory: the word is loaded and sent
      // under the tuner value semaphore.
      WaitSemaforoTuneval(w);
      LoadTuneFromMEM(w, w->antenna.load());
      // A loaded tune is a network in line; with nothing loaded the word
      // stays as it was, and so does what it says about the bypass.
      w->atuBypass = (w->tuneWord.load() >> 16) & 1;
      sendTuneWord(w, 27);
      StopSemaforoTuneval(w);
      break;
    case 28:
      snprintf(buf, sizeof buf, "SF30000%02x;", unsigned(w->filterCode.load()));
      sendCmd(w, 'S', 'F', 28, buf, 10);
      kzTrace(">> %s\n", buf);
      break;
    case 30:
      // Firmware update of the micro-controller: after "MR1;" the link
      // goes idle for the rest of the run.
      LastCmdSent(w, 'M', 'R', 30);
      writeLinearPort(w->linFD, "MR1;", 4, w);
      w->maintFlags |= 4;
      w->screenState = 0;
      linearProcessStatus = LIN_IDLE;
      break;
    case 32: sendCmd(w, 'M', 'R', 32, "MR0;"); break;
    case 33:
      snprintf(buf, sizeof buf, "GM%04d%04d;", w->gmPar[0], w->gmPar[1]);
      sendCmd(w, 'G', 'M', 33, buf, 11);
      kzTrace(">> %s\n", buf);
      break;
    case 34:
      sendCmd(w, 'G', 'S', 34, "GS;");
      kzTrace(">>r: %s\n", "GS;");
      break;
    case 35:
      if (w->ModeWorkIdx.load() != 0)
        w->genericSettings[1] = char(w->genericSettings[1] & ~2);
      else
        w->genericSettings[1] = char(w->genericSettings[1] | 2);
      snprintf(buf, sizeof buf, "GS%.10s;", w->genericSettings);
      sendCmd(w, 'G', 'S', 35, buf, 13);
      break;
    case 36: sendCmd(w, 'E', 'R', 36, "ER0000;"); break;
    case 37: sendCmd(w, 'E', 'R', 37, "ER0001;"); break;
    case 38: sendCmd(w, 'E', 'R', 38, "ER0002;"); break;
    case 39:
      WaitSemaforoTuneval(w);
      w->atuBypass = 1;
      w->tuneWord = (w->tuneWord.load() | (1u << 16)) & ~((1u << 18) | (1u << 23));
      sendTuneWord(w, 39);
      StopSemaforoTuneval(w);
      break;
    case 40:
      WaitSemaforoTuneval(w);
      w->atuBypass = 0;
      w->valC = 0;
      w->valI = 0;
      w->tuneWord = 1u << 23;
      sendTuneWord(w, 40);
      StopSemaforoTuneval(w);
      break;
    default: return -1;
  }
  return 0;
}

// ---- receive side --------------------------------------------------------

static char rxBuf[LIN_RXBUF + 1];
static int rxFill = 0;

void LinearRxReset() { rxFill = 0; }

void LinearRxByte(works *w, char c) {
  if (rxFill >= LIN_RXBUF) {
    rxFill = 0;
    kzTrace("<<<<<<<<<<<<<<<<<<<<ERROR COUNTER LINEAR (CounterLinear)\n");
  }
  rxBuf[rxFill++] = c;
  rxBuf[rxFill] = 0;
  if (c != ';') return;
  char want[4];
  uint8_t crc = rxFill > 2 ? Sys_Crc8Calculation(rxBuf + 2, size_t(rxFill - 2)) : 0;
  snprintf(want, sizeof want, "%02X", crc);
  if (rxFill < 2 || rxBuf[0] != want[0] || rxBuf[1] != want[1]) {
    kzTrace("**** CHK ERROR!! %s %s\n", want, rxBuf);
    // The reply is decoded below and the decoder chooses the next state;
    // choosing one here too would take a queued command out of the ring
    // while the reset commands are being sent back to back, and lose it.
    w->retryCount = 0;
    kzSleepMs(20);
  }
  // The reply is decoded whether or not its checksum matched.
  linearProcessStatus = LIN_DECODE;
}

void LinearRxDecode(works *w) {
  int count = rxFill;
  DecodeCatCmd(w, count > 2 ? rxBuf + 2 : rxBuf + count, count);
  rxFill = 0;
  // A reply too short to decode (a stray ';') chooses no next state:
  // keep waiting for the real reply or its time-out instead of decoding
  // an empty buffer for ever.
  if (linearProcessStatus.load() == LIN_DECODE) linearProcessStatus = LIN_WAIT;
}

// ---- thread loop -----------------------------------------------------------

// The reply time-out: milliseconds without a complete reply since the send.
constexpr int kReplyTimeoutMs = 1500;

static void waitReply(works *w) {
  int avail = w->linFD >= 0 ? kzSerialAvail(w->linFD) : -1;
  if (avail <= 0) {
    // Blocks until the reply's next bytes come (or the time-out is due)
    // and counts the milliseconds it waited, as the 1 ms polls counted.
    counterrortimeout +=
        kzSerialWaitSilence(w->linFD, counterrortimeout.load(), kReplyTimeoutMs);
    if (counterrortimeout.load() > kReplyTimeoutMs - 1) GestRetrayCMD(w);
    return;
  }
  char c;
  ssize_t r = kzSerialRead(w->linFD, &c, 1);
  if (r != 1) {
    kzLog(KZ_LOG_ERR, "timeout %d\n", int(r));
    GestRetrayCMD(w);
    kzSleepMs(20);
    return;
  }
  LinearRxByte(w, c);
}

// A state that names no command (a number nobody defined was queued):
// the link would stay there for ever, so it goes back to the status poll.
static void unknownState(int state) {
  kzLog(KZ_LOG_ERR, "Linear: no command %d, back to status poll", state);
  linearProcessStatus = 1;
  kzSleepMs(1);
}

static std::atomic<bool> gLinearRunning{false};
static std::atomic<bool> gLinearReopen{false};

bool LinearRequestReopen() {
  if (!gLinearRunning.load()) return false;
  gLinearReopen = true;
  return true;
}

void Linear(works *w) {
  gLinearRunning = true;
  gLinearReopen = false;
  linearProcessStatus = 1;
  LinearRxReset();
  OpenLinear(w);
  while (w->running.load() != 0) {
    if (gLinearReopen.exchange(false)) {
      kzSerialClose(w->linFD);
      w->linFD = -1;
      LinearRxReset();
      linearProcessStatus = 1;
      OpenLinear(w);
    }
    int state = linearProcessStatus.load();
    if (state == LIN_WAIT) {
      waitReply(w);
    } else if (state == LIN_DECODE) {
      LinearRxDecode(w);
    } else if (state == LIN_IDLE) {
      kzSleepMs(1000);
    } else if (state >= 0 && state < 41) {
      // A reply belongs to the command just sent: drop any partial reply
      // left by a time-out or a failed read, and the late rest of it still
      // waiting in the driver, so that neither can prefix the next reply.
      LinearRxReset();
      if (w->linFD >= 0) kzSerialFlushInput(w->linFD);
      if (SendLinearCommand(w, state) != 0) unknownState(state);
    } else {
      unknownState(state);
    }
  }
  kzSerialClose(w->linFD);
  w->linFD = -1;
  gLinearRunning = false;
}
