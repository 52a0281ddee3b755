// Auto-tune: the step machine that searches the network for the lowest SWR.
//
// The reply decoder calls TuneTask once per status reply while a tune runs
// (tuneState 1); each call books the SWR of the word sent after the previous
// call and leaves the next word in tuneWord, which the link sends right away.
// The walk, one state per tuneStep:
//    0      start
//    1      fresh bookkeeping, "CL" with every element off
//    2      wait for the carrier (txActive)
//    3, 4   L coarse upward by 4, then fine downward       (CL)
//    5, 6   C coarse upward by 8, then fine downward       (CL)
//    7, 8   C from 0 upward by 8                           (LC)
//    9      C fine downward, then back to the best point   (LC)
//   10, 11  L upward by 2 from the best, then fine downward
//   12      book the best point once more and end
// With the setting AutoTuneSearch 1 the machine runs the "Fast" search
// instead after the carrier wait: state KZ_TUNE_STEP_FAST, whose next word is
// chosen in autotune_fast.cpp; start, booking, target, step limit, abort and
// storing stay the ones here.
// "Worse" means the newest point is more than 0.1 above the one before it.
// The search ends early below the target SWR and gives up after the step
// limit chosen in the settings. A result of SWR 6.0 or less is stored in
// the tune memory of the slot, antenna and bank.
//
// Threads: the step machine runs in the amplifier-link thread, the tune key
// (GoTune) in the key thread, the start on transmit and the carrier
// time-out in the supervisor. One private lock makes start, step and end
// whole against each other, so an abort from the key never lands in the
// middle of a step (and a step never resumes a tune that was just ended).
#include "tuner/autotune.h"

#include <mutex>

#include "tuner/autotune_fast.h"

#include "amplifier/cmdring.h"
#include "amplifier/decode.h"
#include "amplifier/errors.h"
#include "core/notice.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"

TunePoint tuneParam;
TunePoint miglioretuneParam;
TunePoint vTuneParam[10];
int cnttune;
int cnttunefine;
const int SWRTimeoutCICLI[5] = {600, 400, 300, 200, 100};
const char SWRTimeout[5][8] = {"25sec", "20sec", "15sec", "10sec", "5sec"};

namespace {

std::recursive_mutex gTuneMut;

// The search of the tune under way, taken from the setting when the tune
// starts stepping: 0 the walk below, 1 the "Fast" search (autotune_fast.cpp).
uint8_t gSearch;

constexpr uint32_t kBitCL = 1u << 23;
constexpr uint32_t kBitLC = 1u << 18;
constexpr uint32_t kBitBypass = 1u << 16;
constexpr int kCodeMax = 511;
constexpr float kNoPoint = 999.0f;  // SWR of an empty bookkeeping entry
constexpr float kNoPower = 0.01f;   // at or below: nothing was measured
constexpr float kMaxStored = 6.0f;  // worst SWR that is still stored
constexpr int kNoticeS = 5;         // seconds a tune key notice stays
constexpr const char *kBusy = "Tuner busy: press TUNE again";

// The step table never leaves 0..511; a code outside it would be cut to its
// low 9 bits by SetC/SetI and jump across the range, so it is clamped here
// and logged as the fault it would be.
int clampCode(int v, const char *what) {
  if (v >= 0 && v <= kCodeMax) return v;
  kzLog(KZ_LOG_ERR, "auto tune: %s code %d out of range", what, v);
  return v < 0 ? 0 : kCodeMax;
}

void setL(works *w, int v) {
  w->valI = clampCode(v, "L");
  SetI(w, w->valI);
}

void setC(works *w, int v) {
  w->valC = clampCode(v, "C");
  SetC(w, w->valC);
}

// Network mode written straight into the word: one of bits 23, 18, 16.
void setNetwork(works *w, uint32_t bit, int mode) {
  uint32_t word = w->tuneWord.load();
  w->tuneWord = (word & ~(kBitCL | kBitLC | kBitBypass)) | bit;
  w->tuneMode = mode;
}

// The newest point is more than 0.1 above the one before it.
bool worse() { return double(vTuneParam[0].swr) > double(vTuneParam[1].swr) + 0.1; }

int stepLimit(const works *w) {
  int idx = w->autoTuneMaxCicli;
  if (idx > 4) idx = 4;  // the menu offers 0..4; anything else is the shortest
  return SWRTimeoutCICLI[idx];
}

// Coarse upward walk of C (steps 5 and 8): on worse or at the top, turn
// back one code and go fine.
void coarseC(works *w, int next) {
  int c = w->valC;
  if (worse() || c + 8 > 510) {
    w->tuneStep = next;
    cnttunefine = 0;
    if (c > 1) c--;
    setC(w, c);
  } else {
    setC(w, c + 8);
  }
}

}  // namespace

void Clr_vTuneParam(works *) {
  const TunePoint empty{kNoPoint, 0, 0, 0, 0};
  tuneParam = empty;
  miglioretuneParam = empty;
  for (TunePoint &p : vTuneParam) p = empty;
}

// Keeps the best point (ties keep the older one) and the history. A
// reading without forward power (SWR 0, the carrier is missing) goes into
// the history but never becomes the best: it measured nothing.
void CtrlNuovoTune() {
  if (tuneParam.swr > kNoPower && tuneParam.swr < miglioretuneParam.swr)
    miglioretuneParam = tuneParam;
  for (int i = 9; i > 0; i--) vTuneParam[i] = vTuneParam[i - 1];
  vTuneParam[0] = tuneParam;
}

// Puts the best point back: readings and the whole network word. While no
// point has been booked as best the network stays as it is.
void TuneEnd(works *w) {
  tuneParam = miglioretuneParam;
  if (!(miglioretuneParam.swr < kNoPoint)) return;
  w->swr = tuneParam.swr;
  w->pwrFwd = tuneParam.pwr;
  w->valI = tuneParam.ind;
  w->valC = tuneParam.cap;
  w->tuneWord = tuneParam.word;
  w->tuneMode = DecodeModoFromTuneval(tuneParam.word);
}

int TuneStep(works *w) {
  if (w->ampStatus1.load() & 0x02) {  // protection tripped on this point
    w->swr = 100;
    w->tuneState = 2;  // the decoder has "CPFFFF;" sent once, then goes on
  }
  tuneParam = {w->swr.load(), w->pwrFwd.load(), w->valI, w->valC, w->tuneWord.load()};
  cnttune++;
  CtrlNuovoTune();
  if (tuneParam.swr < w->swrEscAutoTune && tuneParam.swr > kNoPower) {
    TuneEnd(w);
    EscAutoTune(w, 1);
    return 1;
  }
  return 0;
}

void EscAutoTune(works *w, int save) {
  std::lock_guard<std::recursive_mutex> lk(gTuneMut);
  if (tuneParam.swr <= kMaxStored) {
    if (save == 1) {
      if (tuneParam.swr > kNoPower)
        InsertTuneToMem(w, w->numBanco.load(), w->antenna.load());
      else
        kzLog(KZ_LOG_ERR, "auto tune: no forward power, tune not stored");
    }
  } else {
    AddErrore(w, 18);
    kzTrace("------- ERRORE MAX TUNE (%f)\n", double(tuneParam.swr));
  }
  IncPNTIn_CMDLinear(14, w);  // back to the operating attenuator
  cnttune = 0;
  if (w->autoTuneMode.load() & 0x01) w->autoTuneMode |= 0x04;  // "RX;" wanted
  w->tsRow = -1;  // band thresholds go out again at the next frequency check
  w->tuneState = 0;
}

void StartAutotune(works *w) {
  std::lock_guard<std::recursive_mutex> lk(gTuneMut);
  if (w->atuBypass.load() == 1) return;
  // Six start commands at most ("MP1;", attenuator, "TS", "CPFFFF;",
  // "MP0;", "AN"); a tune whose protection commands were refused would run
  // with the wrong protection, so it does not start without room for them.
  if (KZ_CMD_RING - 1 - CmdRingPending(w) < 6) {
    kzLog(KZ_LOG_ERR, "auto tune: command queue full, tune not started");
    return;
  }
  w->tuneStep = 0;
  IncPNTIn_CMDLinear(18, w);  // "MP1;"
  IncPNTIn_CMDLinear(15, w);  // attenuator of the tune
  w->tsThreshold[0] = 4095;
  IncPNTIn_CMDLinear(22, w);  // "TS..."
  IncPNTIn_CMDLinear(13, w);  // "CPFFFF;"
  IncPNTIn_CMDLinear(17, w);  // "MP0;"
  w->atuBypass = 0;
  w->tuneCmdPending = 1;
  w->tuneState = 1;
  if (w->ampStatus0.load() & 0x01) {
    w->anState = 0;
    IncPNTIn_CMDLinear(21, w);  // "AN%d;"
  }
  kzTrace("--------- START AUTO TUNE (%x) %i\n", unsigned(w->autoTuneMode.load()), w->tuneStep);
}

// The tune key. A press that starts nothing says why on the panel's
// message line; so does a tune that waits for the operator's carrier.
void GoTune(works *w) {
  std::lock_guard<std::recursive_mutex> lk(gTuneMut);
  if (w->tuneEnabled < 0) {
    PanelNotice(w, "No tuner installed: SET, AUTO TUNE, ATU Installed", kNoticeS);
    return;
  }
  if (w->tuneState.load() != 0) {
    kzTrace("esc tune TUNEMENU\n");
    EscAutoTune(w, 0);
    return;
  }
  uint8_t mode = w->autoTuneMode.load();
  kzTrace("c-START TUNE (%x)!!\n", unsigned(mode));
  if (!(mode & 0x01)) {
    PanelNotice(w, "Auto tune is off: SET, AUTO TUNE, Enable KAV Tune", kNoticeS);
    return;
  }
  if (mode & 0x08) {  // the transceiver is still being released from the last tune
    PanelNotice(w, kBusy, kNoticeS);
    return;
  }
  // "Generic" takes its frequency from the amplifier's counter, which the
  // link does not read while a tune runs: a tune started before the
  // carrier would be made, and stored, for the last frequency counted (with
  // that band's antenna and filter). So the carrier comes first there
  // (a bypassed network is refused below, with its own reason).
  if (w->ModeWorkIdx.load() == 0 && w->txActive.load() == 0 && w->atuBypass.load() != 1) {
    PanelNotice(w, "Auto tune: transmit a carrier (1 to 10 W) first", kNoticeS);
    return;
  }
  StartAutotune(w);
  kzTrace("b-START TUNE!!\n");
  if (w->tuneState.load() != 1) {
    PanelNotice(w, w->atuBypass.load() == 1 ? "Tuner bypassed: ATU puts it in line" : kBusy,
                kNoticeS);
    return;
  }
  if (w->ModeWorkIdx.load() == 1) {
    // Carrier wanted: the supervisor asks the transceiver to transmit.
    w->autoTuneMode &= uint8_t(~0x40);
    w->autoTuneMode |= 0x10;
    kzTrace("a-START TUNE!!\n");
  } else if (w->txActive.load() == 0) {
    // "FT-817" tunes on the operator's own carrier (the supervisor takes it
    // from the amplifier's input power) and waits for it.
    PanelNotice(w, "Auto tune: transmit a carrier of 1 to 10 W", kNoticeS);
  }
}

// One step per status reply. Cost: a handful of assignments, plus the file
// save of the tune memory on a successful end.
void TuneTask(works *w) {
  std::lock_guard<std::recursive_mutex> lk(gTuneMut);
  if (w->tuneState.load() == 0) return;  // ended meanwhile (key, time-out)
  if (w->tuneCmdPending.load() == 1) return;  // start commands still going out

  if (cnttune > stepLimit(w)) {
    TuneEnd(w);
    EscAutoTune(w, 0);
    AddErrore(w, w->swrEscAutoTune != 0 ? 13 : 12);
    AttivaDisattivaProtezione(w, 1);
    return;
  }

  if (w->tuneStep == KZ_TUNE_STEP_FAST) {  // the second search chooses the words
    FastTuneStep(w);
    return;
  }

  int l = w->valI;
  int c = w->valC;
  switch (w->tuneStep) {
    case 0:
      w->tuneStep = 1;
      break;

    case 1:
      Clr_vTuneParam(w);
      setNetwork(w, kBitCL, 1);
      // The panel shows the "   VIEW " button status "Off" from the state.
      setC(w, tuneParam.cap);
      setL(w, tuneParam.ind);
      w->tuneStep = 2;
      cnttune = 0;
      gSearch = w->autoTuneSearch.load() == 1 ? 1 : 0;
      break;

    case 2:
      if (w->txActive.load() == 1) {
        kzSleepMs(3);
        w->tuneStep = 3;
        if (gSearch == 1) {
          FastTuneStart(w);
          w->tuneStep = KZ_TUNE_STEP_FAST;
        }
      }
      break;

    case 3:  // L upward by 4 (CL)
      if (TuneStep(w)) return;
      if (worse() || l + 4 > 510) {
        w->tuneStep = 4;
        cnttunefine = 0;
        if (l > 1) l--;
        setL(w, l);
      } else {
        setL(w, l + 4);
      }
      break;

    case 4:  // L fine downward (CL)
      if (TuneStep(w)) return;
      if (worse()) {
        w->tuneStep = 5;
        cnttunefine = 0;
        setC(w, c + 8);
      } else if (l > 0 && cnttunefine <= 7) {
        cnttunefine++;
        setL(w, l - 1);
      } else {
        w->tuneStep = 5;
        setC(w, c + 8);
        cnttunefine = 0;
      }
      break;

    case 5:  // C upward by 8 (CL)
      if (TuneStep(w)) return;
      coarseC(w, 6);
      break;

    case 6:  // C fine downward (CL), then over to LC
      if (TuneStep(w)) return;
      if (worse() || c == 0 || cnttunefine > 15) {
        w->tuneStep = 7;
        cnttunefine = 0;
        setNetwork(w, kBitLC, 2);
        setC(w, 0);
      } else {
        cnttunefine++;
        setC(w, c - 1);
      }
      break;

    case 7:  // first LC point: booked without comparing (history is CL)
      if (TuneStep(w)) return;
      if (c + 8 <= 510) setC(w, c + 8);
      w->tuneStep = 8;
      break;

    case 8:  // C upward by 8 (LC)
      if (TuneStep(w)) return;
      coarseC(w, 9);
      break;

    case 9:  // C fine downward (LC), then back to the best of both networks
      if (TuneStep(w)) return;
      if (worse()) {
        w->tuneStep = 10;
        cnttunefine = 0;
        TuneEnd(w);
      } else if (c > 0 && cnttunefine <= 15) {
        cnttunefine++;
        setC(w, c - 1);
      } else {
        w->tuneStep = 10;
        cnttunefine = 0;
        TuneEnd(w);
        if (w->valI + 2 <= 510) setL(w, w->valI + 2);
      }
      break;

    case 10:  // L upward by 2 from the best point
      if (TuneStep(w)) return;
      if (worse() || l + 2 > 510) {
        w->tuneStep = 11;
        cnttunefine = 0;
        if (l > 1) l--;
        setL(w, l);
      } else {
        setL(w, l + 2);
      }
      break;

    case 11:  // L fine downward, then the best point once more
      if (TuneStep(w)) return;
      if (worse() || l == 0 || cnttunefine > 5) {
        w->tuneStep = 12;
        TuneEnd(w);
      } else {
        cnttunefine++;
        setL(w, l - 1);
      }
      break;

    case 12:
      if (TuneStep(w)) return;
      EscAutoTune(w, 1);
      break;

    default:  // not a state of the machine: end without storing
      kzLog(KZ_LOG_ERR, "auto tune: bad step %d", w->tuneStep);
      EscAutoTune(w, 0);
      break;
  }
}
