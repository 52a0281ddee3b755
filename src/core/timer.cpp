// Periodic supervisor; see timer.h.
#include "core/timer.h"

#include <ctime>

#include "amplifier/cmdring.h"
#include "amplifier/thermal.h"
#include "core/bandconf.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "tuner/automation.h"

void TimerFollowFrequency(works *w) {
  int mode = w->ModeWorkIdx.load();
  if (mode == 0) {
    // Generic: the amplifier's own frequency counter.
    w->freqHz = uint32_t(w->freqMeasured.load());
    if (w->anState.load() > 0) {
      w->anState = 0;
      IncPNTIn_CMDLinear(21, w);
    }
  }
  // Interfaces 1 (KAV transceiver) and 2 (FT-817) take the frequency from
  // their links, which set freqHz when they are part of the build.
  if (mode == 2 && w->anState.load() > 0) {
    w->anState = 0;
    IncPNTIn_CMDLinear(21, w);
  }
  uint32_t f = w->freqHz.load();  // one reading for the whole cycle
  if (f != w->lastFreqHz.load() || w->bandRowIdx.load() == -1) {
    // The actions queue up to seven orders ("FA", filter, thresholds,
    // antenna, network, operate/standby, attenuator). Without room for all
    // of them they wait for the next cycle, so that no order is lost and a
    // retry never fills the ring with the orders accepted the time before.
    if (KZ_CMD_RING - 1 - CmdRingPending(w) < 7) return;
    if (mode != 0) IncPNTIn_CMDLinear(9, w);
    SetFilterFromfreq(w);
    SearchCambioSoglie_TS(w);
    GestioneAntennaAutomatica(w);
    w->lastFreqHz = f;
  }
}

void TimerCountDown(works *w, int64_t elapsedMs) {
  int hold = w->timeoutHoldoff.load();
  if (hold > 0) {
    hold -= int(elapsedMs);
    w->timeoutHoldoff = hold < 0 ? 0 : hold;
  }
  if (w->enableLogTemp == 1 && w->logRemoved.load() == 1) {
    w->logTempAccumMs += double(elapsedMs);
    if (w->logTempAccumMs >= 5000) {
      LogTempFunction(w, 0);
      w->logTempAccumMs = 0;
    }
  }
}

static void updateDateTime(works *w) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  strftime(w->dateTimeStr, sizeof w->dateTimeStr, "%Y-%m-%d %H:%M:%S", &tmv);
}

void timer(works *w) {
  kzLog(KZ_LOG_INFO, "Timer thread started");
  while (w->running.load() != 0) {
    int64_t t0 = kzNowMs();
    TimerFollowFrequency(w);
    updateDateTime(w);
    kzSleepUs(w->timerPeriod > 0 ? w->timerPeriod : 10000);
    TimerCountDown(w, kzNowMs() - t0);
  }
  kzLog(KZ_LOG_INFO, "Timer operations end\n");
}
