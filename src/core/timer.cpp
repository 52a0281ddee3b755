// Periodic supervisor; see timer.h.
//
// Sections:
//   1 key clock          kzKeyClockSeconds
//   2 frequency          TimerFollowFrequency; the transmit state outside
//                        interface 1, TimerTransmitFromInput; interface 1:
//                        transmit and antenna flags and the tuning
//                        handshake, TimerTransceiver
//   3 screen             the link failure screen, the screen saver, the
//                        main screen
//   4 cycle and thread   TimerStart, TimerCycle (with the status frame of a
//                        connected remote unit), TimerCountDown, timer
//
// Design rules:
// - The screen is composed and shown only here: every cycle starts from
//   the background and ends by showing the drawing buffer (fbFrameBegin /
//   fbFrameEnd: fbSetBack and fbRealize that skip a frame equal to the
//   last and copy only what moved). The supervisor owns the screen while it runs: other
//   threads ask for a new background by name (SetBackground, carried out
//   here at the start of the next cycle) or through backReload.
// - Without a display (fb null) nothing is drawn or loaded, but the rest of
//   the cycle (frequency follow-up, saver state, readings, counters) runs.
// - A cycle allocates nothing: the parameter copy lives in the thread, the
//   texts are fixed buffers of works.
// - The intervals are real time: elapsed time comes from the monotonic
//   clock seam.
#include "core/timer.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/statusbuf.h"
#include "amplifier/thermal.h"
#include "core/bandconf.h"
#include "core/linkerr.h"
#include "core/works.h"
#include "panel/fb.h"
#include "panel/keys.h"
#include "panel/mainscreen.h"
#include "panel/menu.h"
#include "panel/meters.h"
#include "panel/png.h"
#include "panel/text.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "radio/serparams.h"
#include "remote/messages.h"
#include "tuner/autotune.h"
#include "tuner/automation.h"

// ===========================================================================
// 1 key clock
// ===========================================================================

int64_t kzKeyClockSeconds() {
  struct Anchor {
    int64_t wallS;
    int64_t monoMs;
  };
  static const Anchor anchor = {int64_t(time(nullptr)), kzNowMs()};
  const int64_t d = kzNowMs() - anchor.monoMs;
  // Floor division: a fake clock set before the anchor still counts evenly.
  const int64_t s = d >= 0 ? d / 1000 : -((-d + 999) / 1000);
  return anchor.wallS + s;
}

// ===========================================================================
// 2 frequency
// ===========================================================================

// Order 21 ("AN%d;") with anState cleared: the interfaces without the
// transceiver's antenna flag keep the amplifier's AN state at 0.
static void clearAnState(works *w) {
  if (w->anState.load() > 0) {
    w->anState = 0;
    IncPNTIn_CMDLinear(21, w);
  }
}

void TimerFollowFrequency(works *w, SerParameters &par) {
  const int mode = w->ModeWorkIdx.load();
  if (mode == 0) {
    // Generic: the amplifier's own frequency counter. Until it has counted
    // a carrier it reads 0, which is no frequency: the last one stays (the
    // band actions would otherwise run for 0 Hz and again on the first
    // count).
    const int measured = w->freqMeasured.load();
    if (measured > 0) w->freqHz = uint32_t(measured);
    clearAnState(w);
  } else if (mode == 1) {
    // KAV transceiver: its latest parameters. A record it has not filled
    // yet reads 0 Hz, which is no frequency: the last one stays.
    getParameters(&par, w);
    if (par.curFreq > 0) w->freqHz = uint32_t(par.curFreq);
  } else if (mode == 2) {
    // FT-817: the CAT link's frequency, 0 until the radio has answered.
    clearAnState(w);
    const uint32_t cat = w->catFreq.load();
    if (cat != 0) w->freqHz = cat;
  }
  const uint32_t f = w->freqHz.load();  // one reading for the whole cycle
  if (f != w->lastFreqHz.load() || w->bandRowIdx.load() == -1) {
    // The actions queue up to seven orders ("FA", filter, thresholds,
    // antenna, network, operate/standby, attenuator). Without room for all
    // of them they wait for the next cycle, so that no order is lost and a
    // retry never fills the ring with the orders accepted the time before.
    if (KZ_CMD_RING - 1 - CmdRingPending(w) < 7) return;
    if (mode != 0) IncPNTIn_CMDLinear(9, w);  // "FA%011lu;": the amplifier is told
    SetFilterFromfreq(w);
    SearchCambioSoglie_TS(w);
    GestioneAntennaAutomatica(w);
    w->lastFreqHz = f;
  }
}

// Outside interface 1 no transceiver reports when it transmits, so the
// drive the amplifier measures at its own input (pwrIn) stands for the
// transmit state: an auto-tune started with the tune key then runs on the
// operator's carrier. Hysteresis, in W at the input sensor (after the
// input attenuator):
//   on   at 0.25 W or more: a tuning carrier of 1 W still reads 0.32 W
//        behind the largest attenuator step (5 dB); 10 W reads 10 W;
//   off  below 0.10 W (20 dBm, about 135 counts of the input detector):
//        far above the detector's noise and the leakage of a transceiver
//        in receive (a few counts, milliwatts), so neither ever counts as
//        a carrier, and a carrier that sags (keying, ALC) stays one.
// Interface 1 is left alone: there the transceiver's own flag decides.
static constexpr float kTxOnW = 0.25f;
static constexpr float kTxOffW = 0.10f;

void TimerTransmitFromInput(works *w) {
  if (w->ModeWorkIdx.load() == 1) return;
  const float in = w->pwrIn.load();
  if (w->txActive.load() == 0) {
    if (in >= kTxOnW) w->txActive = 1;
  } else if (!(in >= kTxOffW)) {  // a reading that is not a number is no carrier
    w->txActive = 0;
  }
}

// Interface 1: the transceiver says itself when it transmits (flagB9b6)
// and which antenna output it wants (flagB11b5); the automatic tuning asks
// it for a carrier and releases it through the link's pending commands
// (autoTuneMode bits 2/3 "RX;", 5/6 "TU120;TX2;", sent by the link thread
// with the next message it receives).
//
// The handshake, by autoTuneMode bits (tx = the transceiver's transmit
// flag of this cycle's copy):
//   tx on, no tune of ours (bits 1, 4 clear): the operator transmits; a
//     tune starts unless a key request is pending or rxDelay still counts
//     (it is counted down instead);
//   "RX;" sent (bit 3): about 10 cycles later the handshake is idle again
//     (its counters restart once the transceiver is back in receive);
//   carrier wanted (bit 4, the tune key): once the amplifier's command
//     queue is empty "TU120;TX2;" is asked for; a carrier that is not seen
//     within 31 cycles after it was sent ends the tune unsaved with error 14.
// A tune that could not start (network bypassed, command queue full) is
// not marked as ours: bit 1 would otherwise stay set with no tune to end
// it, and no later transmission would start one.
void TimerTransceiver(works *w, const SerParameters &par, TimerHandshake &hs) {
  if (w->ModeWorkIdx.load() != 1) return;
  const int tx = par.flagB9b6 == 1 ? 1 : 0;
  w->txActive = uint8_t(tx);

  const int an = par.flagB11b5;
  if (an != w->anState.load() && w->tuneState.load() != 1 && tx == 0 &&
      (w->txKeyFlags.load() & 0x30) == 0) {
    w->anState = an;
    IncPNTIn_CMDLinear(21, w);  // "AN%d;"
  }

  const uint8_t mode = w->autoTuneMode.load();
  if ((mode & 0x01) == 0) return;
  auto clearBits = [w](uint8_t bits) { w->autoTuneMode.fetch_and(uint8_t(~bits)); };
  if (tx == 1 && (mode & 0x12) == 0) {
    if (w->txKeyFlags.load() == 0 && w->rxDelay.load() == 0) {
      StartAutotune(w);
      if (w->tuneState.load() == 1) {
        w->autoTuneMode.fetch_or(0x02);
        hs.hsTicks = hs.hsMark = 0;
      }
    } else if (w->rxDelay.load() > 0) {
      w->rxDelay.fetch_sub(1);
    }
  } else if (mode & 0x08) {  // "RX;" sent: wait for the transceiver to let go
    if (hs.hsMark + 10 < hs.hsTicks) {
      clearBits(0x1A);
      if (tx == 0) hs.hsTicks = hs.hsMark = 0;
    } else {
      if (hs.hsMark == 0) hs.hsMark = hs.hsTicks;
      hs.hsTicks++;
    }
  } else if (mode & 0x10) {  // carrier wanted
    if (tx == 0 && (mode & 0x40) == 0) {
      if (CmdRingPending(w) == 0) {
        w->autoTuneMode.fetch_or(0x20);
        hs.hsTicks = hs.hsMark = 0;
      }
    } else if (tx == 0) {  // ordered, not seen
      if (hs.hsTicks > 30) {
        EscAutoTune(w, 0);
        AddErrore(w, 14);
        clearBits(0x50);
      } else {
        hs.hsTicks++;
      }
    } else if ((mode & 0x40) == 0) {
      hs.hsTicks = hs.hsMark = 0;
    }
    // tx on and the carrier ordered: the tune runs on it.
  }
}

// ===========================================================================
// 3 screen
// ===========================================================================

// A link port failed to start: the start picture with the failure text and
// the Retry / Cancel keys of state 5, every cycle until the operator acts.
// The picture is decoded once, when the screen is entered (or the model
// changes it); afterwards it is the background every cycle starts from, so
// the failure screen costs no picture decoding per cycle.
static void linkErrorScreen(works *w, const SerParameters &par) {
  FbScreen *fb = w->fb;
  const char *picture = w->ampModel.load() == '1' ? "start120" : "start";
  const bool entering =
      w->screenState.load() != KZ_SCR_LINKFAIL || strcmp(w->imgName, picture) != 0;
  if (entering) {
    // The failure screen takes the place of the status overlay (which may
    // be what started the failing link): its text would run through the
    // failure text.
    w->statusFlags &= uint8_t(~1u);
    SetBackground(w, picture);
  }
  if (fb) {
    char failure[sizeof w->linkErrorText], text[120];
    GetLinkErrorText(w, failure, sizeof failure);
    // The text ends in the newline of its log line: not drawn.
    int n = int(strlen(failure));
    while (n > 0 && (failure[n - 1] == '\n' || failure[n - 1] == '\r')) n--;
    snprintf(text, sizeof text, "Error! %.*s", n, failure);
    // Wrapped (or set smaller) inside the screen: the failing port at the
    // end of the text is what the technician needs to read.
    static const int fonts[] = {9, 8, 10};
    putStringBox(fonts, 3, 130, 785, 300, 3, 0, text, 255, 255, 255, fb);
  }
  if (w->screenState.load() != KZ_SCR_LINKFAIL) w->screenState = KZ_SCR_LINKFAIL;
  if (fb) LoadButtons(w, par);
}

// The screen saver. It does not start while the amplifier transmits or
// while an error raised since the operator's last key is listed, and a
// saver already showing wakes then, with the background of the page that
// was open: the splash never hides a carrier or a new error button. Its
// idle time counts from the last key or the last such moment, whichever is
// later, in whole minutes (the 60-minute setting is reached after an
// hour). The splash is that of the model in use.
int TimerScreenSaver(works *w) {
  const int64_t now = kzKeyClockSeconds();
  const bool transmitting = (w->ampStatus1.load() & 1) != 0;
  const bool newError = w->errRaised.load() != w->errSeen.load() && w->errCount.load() > 0;
  if (transmitting || newError) {
    w->saverHoldTime = now;
    if (w->saverActive.load() != 0) {
      RestoreScreenImg(w);
      w->saverActive = 0;
    }
    return 0;
  }
  int64_t from = w->lastKeyTime.load();
  const int64_t hold = w->saverHoldTime.load();
  if (hold > from) from = hold;
  int64_t idle = now - from;
  if (idle < 0) idle = 0;  // a key time ahead of the clock counts as just now
  int idx = w->saveScreenIdx;
  if (idx > 4) idx = 4;
  if (idle / 60 < SaveScreen[idx] || w->saverActive.load() != 0) return 0;
  w->saverActive = 1;
  SetBackground(w, w->ampModel.load() == '1' ? "start120" : "start");
  return 1;
}

// The main screen over the background already in the drawing buffer.
static void drawScreen(works *w, const SerParameters &par) {
  FbScreen *fb = w->fb;
  // The temperatures are read once a second: "my_temp" is a process of
  // its own, and a start per 10 ms cycle would load the board for a value
  // that changes slowly.
  static int64_t lastTempMs = INT64_MIN / 2;
  const int64_t nowMs = kzNowMs();
  if (nowMs - lastTempMs >= 1000 || nowMs < lastTempMs) {
    lastTempMs = nowMs;
    ReadCPUTemp(w);
  }
  ReadDataOra(w);
  const bool noOverlay = w->statusFlags.load() == 0;
  if (fb && w->viewTimeStr && noOverlay) {
    const int x = 780 - getStringSpace(6, w->dateTimeStr);
    putString(6, x, 17, w->dateTimeStr, 255, 255, 255, fb);
  }
  if (w->backReload.load() == 1) {
    SetImgName(w, w->ampModel.load() == '1' ? "img1b" : "img1");
    if (fb) getPng(w, 1);
    w->backReload = 0;
  }
  if (fb == nullptr) return;
  LoadButtons(w, par);
  const int layout = w->workScreenType.load();
  if (noOverlay && layout <= 3)
    DrawMeters(w);
  else if (noOverlay && (layout == 4 || layout == 5))
    DrawGrid(w);
}

// ===========================================================================
// 4 cycle and thread
// ===========================================================================

void TimerStart(works *w) {
  w->angleFwdPeak = 0.0f;
  w->angleRightPeak = 0.0f;
  kzLog(KZ_LOG_INFO, "Timer thread started");
  InitGrid();
}

void TimerCycle(works *w, SerParameters &par, TimerHandshake &hs) {
  FbScreen *fb = w->fb;
  ScreenTakeRequest(w);  // a background a key asked for shows in this frame
  if (fb) fbFrameBegin(fb);  // the background, as fbSetBack (panel/fb.h)
  const int linkError = w->linkError.load();
  if (linkError > 0) {
    linkErrorScreen(w, par);
  } else if (linkError == -1) {
    // The operator has acknowledged the failure: back to the main screen.
    // A link that fails again meanwhile keeps its new code.
    w->screenState = KZ_SCR_MAIN;
    SetWorkImg(w);
    int ack = -1;
    w->linkError.compare_exchange_strong(ack, 0);
  } else {
    TimerScreenSaver(w);
    TimerFollowFrequency(w, par);
    // Interface 1 takes the transmit state from the transceiver (and runs
    // the tuning handshake with it); the others from the amplifier's input
    // power. Each returns at once on the interfaces it does not serve.
    TimerTransceiver(w, par, hs);
    TimerTransmitFromInput(w);
    if (w->saverActive.load() == 0) drawScreen(w, par);
  }
  // A connected remote unit gets the amplifier's state every cycle, also
  // while the failure screen shows. The buffer lives on the stack: no
  // allocation per cycle.
  if (w->wsConnected.load() != 0) {
    char st[KZ_STATUS_BUF];
    CreaBufferDiStato(w, st);
    sendWebSockStatusFrame(w, st, KZ_STATUS_SENT);
  }
  if (fb) fbFrameEnd(fb);  // shown as fbRealize would; only what moved is copied
}

void TimerCountDown(works *w, int64_t elapsedMs) {
  if (elapsedMs < 0) elapsedMs = 0;
  if (elapsedMs > 1000000000) elapsedMs = 1000000000;
  int hold = w->timeoutHoldoff.load();
  if (hold > 0) {
    hold -= int(elapsedMs);
    w->timeoutHoldoff = hold < 0 ? 0 : hold;
  }
  PeakHoldTick(w, int(elapsedMs));
  if (w->enableLogTemp == 1 && w->logRemoved.load() == 1) {
    w->logTempAccumMs += double(elapsedMs);
    if (w->logTempAccumMs >= 5000) {
      LogTempFunction(w, 0);
      w->logTempAccumMs = 0;
    }
  }
}

static std::atomic<bool> gTimerRunning{false};

bool TimerRunning() { return gTimerRunning.load(); }

void timer(works *w) {
  gTimerRunning = true;
  // Refused only once main has begun the closing screen (the run flag is
  // 0 by then): no frame may land over it.
  const bool owner = ScreenOwnerTake(w, false) == 0;
  TimerStart(w);
  SerParameters par{};  // the copy last taken; zeroed until the first
  TimerHandshake hs;
  while (owner && w->running.load() != 0) {
    const int64_t t0 = kzNowMs();
    TimerCycle(w, par, hs);
    kzSleepUs(w->timerPeriod > 0 ? w->timerPeriod : 10000);
    TimerCountDown(w, kzNowMs() - t0);
  }
  kzLog(KZ_LOG_INFO, "Timer operations end\n");
  ScreenOwnerEnd(w);  // the last frame is done
  gTimerRunning = false;
}
