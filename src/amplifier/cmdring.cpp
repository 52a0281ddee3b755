// Command ring and retries of the amplifier link.
//
// Many threads queue (keys, supervisor, tuner, menus); only the Linear
// thread takes out. The ring holds 30 slots and is empty when cmdIn equals
// cmdOut, so at most 29 requests can wait: a 30th is refused and logged
// (accepting it would make the ring look empty and lose all 30). The
// two-step write of slot and index is done under cmdMut; the reader takes
// the same lock, so it never sees an index ahead of its slot.
#include "amplifier/cmdring.h"

#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/bandconf.h"
#include "core/works.h"
#include "platform/log.h"

int IncPNTIn_CMDLinear(int number, works *w) {
  std::lock_guard<std::mutex> lk(w->cmdMut);
  int in = w->cmdIn.load();
  int next = (in + 1) % KZ_CMD_RING;
  if (next == w->cmdOut.load()) {
    kzLog(KZ_LOG_ERR, "command queue full: command %d refused", number);
    kzTrace("---------------------------------------CMD QUEUE FULL: %d refused\n", number);
    return -1;
  }
  w->cmdQueue[in] = number;
  w->cmdIn = next;
  return number;
}

int TakeNextCmd(works *w) {
  std::lock_guard<std::mutex> lk(w->cmdMut);
  int out = w->cmdOut.load();
  if (out == w->cmdIn.load()) return -1;
  int number = w->cmdQueue[out];
  w->cmdQueue[out] = 0;
  w->cmdOut = (out + 1) % KZ_CMD_RING;
  return number;
}

bool CmdRingEmpty(const works *w) { return w->cmdIn.load() == w->cmdOut.load(); }

int CmdRingPending(const works *w) {
  return (w->cmdIn.load() - w->cmdOut.load() + KZ_CMD_RING) % KZ_CMD_RING;
}

void InitMicroCmd(works *w) {
  kzTrace("Init CRT ... \n");
  // A restarted micro-controller has lost its thresholds: send them again
  // even when the band row did not change.
  w->tsRow = -1;
  IncPNTIn_CMDLinear(0, w);   // "VSM;"
  IncPNTIn_CMDLinear(36, w);  // information blocks 0, 1, 2
  IncPNTIn_CMDLinear(37, w);
  IncPNTIn_CMDLinear(38, w);
  IncPNTIn_CMDLinear(17, w);  // "MP0;"
  SearchCambioSoglie_TS(w);   // 22, the band thresholds
  IncPNTIn_CMDLinear(21, w);  // "AN"
  IncPNTIn_CMDLinear(7, w);   // "SA"
  IncPNTIn_CMDLinear(12, w);  // "FS"
  IncPNTIn_CMDLinear(11, w);  // "MT1"
  IncPNTIn_CMDLinear(24, w);  // "PS"
  IncPNTIn_CMDLinear(33, w);  // "GM"
  IncPNTIn_CMDLinear(34, w);  // "GS;"
  IncPNTIn_CMDLinear(13, w);  // "CPFFFF;"
  IncPNTIn_CMDLinear(32, w);  // "MR0;"
}

void NextCmdPriority(works *w, int status) {
  w->retryCount = 0;
  if (w->tuneCmdPending.load() == 1) {
    int next = TakeNextCmd(w);
    if (next >= 0) {
      linearProcessStatus = next;
      kzTrace("cmd ext: %d\n", next);
      return;
    }
    w->tuneCmdPending = 0;
    linearProcessStatus = status;
    if (w->errResetState.load() == 1) {
      kzTrace(">>> ERRORI: Send All CMD for Error\n");
      w->errResetState = 2;
    }
    return;
  }
  linearProcessStatus = status;
}

void LastCmdSent(works *w, char a, char b, int n) {
  w->lastCmd[0] = a;
  w->lastCmd[1] = b;
  w->lastCmdState = n;
}

void GestRetrayCMD(works *w) {
  w->retryTotal++;
  char a = w->lastCmd[0], b = w->lastCmd[1];
  if (w->retryCount.load() > 2) {
    char text[30];
    snprintf(text, sizeof text, "Err %c%c", a, b);
    SetErrLine2(w, 4, text);
    if (w->timeoutHoldoff.load() == 0) {
      AddErrore(w, 4);
      w->timeoutHoldoff = 2000;
    }
    kzTrace("---------------------------------------STOP RETRAY!! %c%c (%d, %d) Restart da ST "
            "(Timer: %i)\n",
            a, b, w->retryTotal.load(), w->retryCount.load(), w->timeoutHoldoff.load());
    w->restartCount++;
    linearProcessStatus = 1;
    w->retryCount = 0;
    return;
  }
  w->retryCount++;
  linearProcessStatus = w->lastCmdState;
  kzTrace("--------------------------------------- ERROR LINEAR: RETRAY %c%c (%d , %d)\n", a, b,
          w->retryTotal.load(), w->retryCount.load());
}
