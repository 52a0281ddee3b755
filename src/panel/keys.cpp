// Key dispatch and screen states: the soft-key state machine of the front
// panel. DecodeTasto runs on the button thread (and ChangeBanco also on the
// remote threads); it changes works and the Novamenu labels, queues
// amplifier orders, starts tuner actions and restarts failed link threads.
// The only drawing done here is loading a background picture; the
// supervisor redraws labels and contents from the same state every cycle.
//
// Sections:
//   1 helpers          labels, tuner steps, the run bytes of the links
//   2 backgrounds      SetWorkImg, EscFromStatus, ImpostaLblManuale
//   3 bank utilities   save of the tuning values, bank copy, bank reset
//   4 the six keys     one function per key, a switch on the screen state
//   5 entry            DecodeTasto
//
// Design rules:
//   - Every index stepped here (menu cursor, bank-table cursors, banks,
//     antenna, attenuator step) wraps inside its range even when the range
//     was changed meanwhile (maxBank, bandCount, menuCount), so no drawing
//     code ever indexes a table with it out of bounds.
//   - The tuner word and its mirrors (tuneWord, valI, valC, tuneMode) are
//     changed only while holding the tuner value semaphore.
//   - Whole-table work that swaps another bank's tables into works (SAVE to
//     another bank, bank copy) holds tabMut until the bank in use is back,
//     so the band automation never applies a foreign table.
//   - Nothing here allocates on the supervisor's per-frame path: the label
//     writers (ImpostaLblManuale) format into the fixed label buffers.
#include "panel/keys.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "core/optset.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/timer.h"
#include "core/works.h"
#include "panel/fb.h"
#include "panel/mainscreen.h"
#include "panel/menu.h"
#include "panel/meters.h"
#include "panel/png.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "tuner/autotune.h"
#include "tuner/automation.h"
#include "tuner/banktab.h"
#include "tuner/tunemem.h"
#include "tuner/tunesem.h"
#include "tuner/tuneword.h"

// ---------------------------------------------------------------------------
// 1 helpers
// ---------------------------------------------------------------------------

namespace {

// Amplifier orders used by the keys (the command set of the link).
enum {
  ORD_ANTENNA = 7,      // "SA%d;"
  ORD_FREQ = 9,         // "FA%011lu;"
  ORD_READ_TUNE = 10,   // "MT;"
  ORD_TUNE_WORD = 11,   // "MT1%08X;"
  ORD_CLEAR_PROT = 13,  // "CPFFFF;"
  ORD_ATTENUATOR = 14,
  ORD_MP0 = 17,         // "MP0;"
  ORD_OPERATE = 19,     // "AB0;"
  ORD_STANDBY = 20,     // "AB1;"
  ORD_AN = 21,          // "AN%d;"
  ORD_THRESHOLDS = 22,  // "TS...;"
  ORD_BYPASS = 39,      // tuner network bypassed
};


constexpr int kMaxCode = 511;  // inductor and capacitor steps 0..511

bool longFor(int key, int longBits) { return (longBits & (1 << (key - 1))) != 0; }

// The interface label of the bank screen (state 6, key 2 second line).
void refreshInterfaceLabel(works *w) {
  GetLblInterface(w->ModeWorkIdx.load(), Novamenu[KZ_SCR_BANK].lbl[NovaLine2(2)]);
}

// The run bytes of the link threads are polled by those threads.
void setRunByte(char &b, char v) { std::atomic_ref<char>(b).store(v); }

// value + 1, back to 0 at `count` (and from anything out of 0..count-1).
int wrapUp(int value, int count) {
  int v = value + 1;
  return (v >= count || v < 0) ? 0 : v;
}

// value - 1, to count - 1 below 0 (and from anything at or above count).
int wrapDown(int value, int count) {
  if (count <= 0) return 0;
  int v = value - 1;
  return (v < 0 || v >= count) ? count - 1 : v;
}

// One step of the inductor (ind) or capacitor code in manual tuning, under
// the tuner value semaphore; the new word goes to the amplifier.
void stepCode(works *w, bool ind, int delta) {
  WaitSemaforoTuneval(w);
  int &val = ind ? w->valI : w->valC;
  int next = val + delta;
  if (next >= 0 && next <= kMaxCode) {
    val = next;
    if (ind)
      SetI(w, next);
    else
      SetC(w, next);
    IncPNTIn_CMDLinear(ORD_TUNE_WORD, w);
  }
  StopSemaforoTuneval(w);
}

int bankCount(const works *w) { return w->maxBank.load(); }

}  // namespace

// ---------------------------------------------------------------------------
// 2 backgrounds and labels
// ---------------------------------------------------------------------------

void SetWorkImg(works *w) {
  const bool big = w->ampModel.load() == '1';
  const char *name = big ? "img1b" : "img1";  // 1 and 3 (and a number that names none)
  switch (w->workScreenType.load()) {
    case 2: name = big ? "img3b" : "img3"; break;
    case 4:
      name = "m5a";
      divX = 16;
      w->plotSpan = 160000;
      xRangeEnd = 854;
      break;
    case 5:
      name = "m5a";
      divX = 8;
      w->plotSpan = 80000;
      xRangeEnd = 427;
      break;
    default:
      break;
  }
  SetBackground(w, name);
  // Only the KAV transceiver interface uses the transceiver serial link.
  if (w->ModeWorkIdx.load() != 1 && w->setup != nullptr) setRunByte(w->setup->enaser, '0');
}

void RestoreScreenImg(works *w) {
  const uint8_t sf = w->statusFlags.load();
  if (sf & 2)
    SetBackground(w, "statusB");
  else if (sf & 1)
    SetBackground(w, "status");
  else
    SetWorkImg(w);
}

int EscFromStatus(works *w) {
  if ((w->statusFlags.load() & 1) == 0) return 0;
  w->statusFlags &= uint8_t(~1u);
  SetWorkImg(w);
  return 1;
}

void ImpostaLblManuale(works *w) {
  if (w->screenState.load() != KZ_SCR_MANUAL) return;
  SetNovaLabel(KZ_SCR_MANUAL, NovaLine2(3), "     %u", unsigned(w->valI));
  SetNovaLabel(KZ_SCR_MANUAL, NovaLine2(5), "     %u", unsigned(w->valC));
  const int mode = DecodeModoFromTuneval(w->tuneWord.load());
  const char *text = mode == 1 ? "CL" : mode == 2 ? "LC" : "ByP";
  SetNovaLabel(KZ_SCR_MANUAL, NovaLine2(1), "%s", text);
}

// ---------------------------------------------------------------------------
// 3 bank utilities
// ---------------------------------------------------------------------------

namespace {

// SAVE of the tuning values (state 8) into bank saveBank, antenna saveAnt.
// A bypassed network is no tune: the save is refused and the main screen
// shows the notice.
void saveTuningValues(works *w) {
  if (DecodeModoFromTuneval(w->tuneWord.load()) == 3) {
    w->keyFlags |= 2;
    return;
  }
  const int bank = w->saveBank.load();
  const int ant = w->saveAnt.load();
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  LoadTabAtu(w, bank, ant);
  InsertTuneToMem(w, bank, ant);
  // Only the tune table swapped out comes back. Reloading the whole bank
  // would mark its band row for the band actions again, which put the
  // stored tune of the bank in use in place of the tune just saved (none
  // stored there: the network reset to L 0 / C 0).
  LoadTabAtu(w, w->numBanco.load(), ant);
}

// Copies one table file as it stands (between the remounts); false when the
// source bank has no such file.
bool copyTableFile(const std::string &from, const std::string &to) {
  std::string text;
  if (kzReadFile(kzPath(from.c_str()), text) != 0) return false;
  OptSetSaveFile(to.c_str(), text, true);
  return true;
}

// Copies bank copySrc to copyDst: its three tune tables and its bank table
// (with the source's interface line), then loads the bank in use again.
// The stored files go over as they are; a table the source has no file for
// is the default its loader builds, saved under the destination.
void copyBank(works *w) {
  const int src = w->copySrc.load();
  const int dst = w->copyDst.load();
  const int n = bankCount(w);
  // A bank past the count (the count was lowered meanwhile) would name the
  // files of bank 0.
  if (src < 0 || src >= n || dst < 0 || dst >= n) {
    kzLog(KZ_LOG_ERR, "copy bank %d to %d refused: %d banks", src, dst, n);
    return;
  }
  kzTrace("COPY BANK %d -> %d\n", src, dst);
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  for (int a = 0; a < KZ_ANTENNAS; ++a) {
    if (copyTableFile(AtuFileName(src, a), AtuFileName(dst, a))) continue;
    LoadTabAtu(w, src, a);
    SaveTabAtu(w, dst, a);
  }
  if (!copyTableFile(BankTabFileName(src), BankTabFileName(dst))) {
    LoadTabConfig(w, src);
    SaveTabConfig(w, dst);
  }
  LoadAllBankTable(w, w->numBanco.load());
}

// Deletes the files of bank resetBank, or of every bank when it is maxBank.
void resetBanks(works *w) {
  const int n = bankCount(w);
  const int which = w->resetBank.load();
  int first = which, last = which;
  if (which == n) {
    first = 0;
    last = n - 1;
  } else if (which < 0 || which > n) {
    kzLog(KZ_LOG_ERR, "reset bank %d refused: %d banks", which, n);
    return;
  }
  for (int b = first; b <= last; ++b)
    for (int kind = 0; kind <= 3; ++kind) DeleteFileConf(w, b, kind);
  LoadAllBankTable(w, w->numBanco.load());
  w->bandRowIdx = -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// 4 the six keys
// ---------------------------------------------------------------------------

namespace {

int key1(works *w, int state, int longBits) {
  // The error reset: a short press of key 1 while it shows "RESET", which
  // is only on the main screen. A long press still opens the bank screen,
  // and on every other screen key 1 is the way back: an alarm that lasts
  // (an over-temperature is raised again by every status reply) must not
  // lock the operator in a menu or a tune screen.
  if (state == KZ_SCR_MAIN && longBits == 0 && ResetKeyShown(w)) {
    GPIO_Errori(w);
    return 0;
  }
  switch (state) {
    case KZ_SCR_MAIN:
      if (EscFromStatus(w)) break;
      if ((w->statusFlags.load() & 2) == 0) {
        if (longBits != 0) {
          w->statusFlags |= 2;
          SetBackground(w, "statusB");
          refreshInterfaceLabel(w);
          w->screenState = KZ_SCR_BANK;
        } else {
          ChangeBanco(w);
        }
      } else {
        w->statusFlags &= uint8_t(~2u);
        SetWorkImg(w);
      }
      break;
    case KZ_SCR_TUNE:
      w->keyFlags &= uint8_t(~2u);
      if (w->tuneState.load() == 0) w->screenState = KZ_SCR_MAIN;
      break;
    case KZ_SCR_MENU:
    case KZ_SCR_SAVETUNE: w->screenState = KZ_SCR_MAIN; break;
    case KZ_SCR_MANUAL:
      if (longBits != 0) {
        if (w->tuneState.load() == 0) {
          // The next mode after the one shown on the key (from the word in
          // use, not the last decoded copy, which may be older).
          WaitSemaforoTuneval(w);
          const int shown = DecodeModoFromTuneval(w->tuneWord.load());
          SetMode(w, shown >= 1 && shown <= 2 ? shown + 1 : 1);
          IncPNTIn_CMDLinear(ORD_TUNE_WORD, w);
          StopSemaforoTuneval(w);
        }
      } else {
        w->txTest = uint8_t((w->txTest.load() | 1u) & ~2u);
        // The test carrier is off now: the key offers to start it again.
        SetNovaLabel(KZ_SCR_MANUAL, NovaLine1(6), "StartTX");
        w->saveBank = w->numBanco.load();
        w->saveAnt = w->antenna.load();
        w->manualTune = 0;
        w->screenState = KZ_SCR_SAVETUNE;
      }
      break;
    case KZ_SCR_BANK:
      w->statusFlags &= uint8_t(~2u);
      SetWorkImg(w);
      w->screenState = KZ_SCR_MAIN;
      break;
    case KZ_SCR_BANKEDIT: {
      // The edits not saved with SAVE are dropped.
      std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
      LoadTabConfig(w, w->numBanco.load());
      refreshInterfaceLabel(w);
      w->antTabCol = -1;
      w->screenState = KZ_SCR_BANK;
      break;
    }
    case KZ_SCR_UTIL:
      refreshInterfaceLabel(w);
      w->screenState = KZ_SCR_BANK;
      break;
    case KZ_SCR_COPY:
    case KZ_SCR_RESET: w->screenState = KZ_SCR_BANK; break;
    default: break;
  }
  return 0;
}

// The input attenuator from the main screen: steps 0..3 (0, 2, 3, 5 dB),
// then 4, standby. While transmitting the amplifier is not switched to
// standby (0..3 only), and in standby the step is refused (error 17).
void stepAttenuator(works *w) {
  const bool bypass = w->ampBypass.load() == 1;
  int shown = w->attenuatorShown.load() + 1;
  if (w->ampStatus1.load() & 1) {
    if (bypass) {
      // Nothing changes: stepping on would leave the step past the last
      // label.
      AddErrore(w, 17);
      return;
    }
    if (shown > 3) shown = 0;
  } else if (shown > 4) {
    shown = 0;
  }
  w->attenuatorShown = uint8_t(shown);
  if (shown <= 3) {
    w->attenuator = uint8_t(shown);
    IncPNTIn_CMDLinear(ORD_ATTENUATOR, w);
    if (bypass) IncPNTIn_CMDLinear(ORD_OPERATE, w);
  } else if (!bypass) {
    IncPNTIn_CMDLinear(ORD_STANDBY, w);
  }
  SaveToBank(w, w->numBanco.load(), w->antenna.load());
}

int key2(works *w, int state, int longBits) {
  switch (state) {
    case KZ_SCR_MAIN:
      if (longBits == 0 && !EscFromStatus(w)) stepAttenuator(w);
      break;
    case KZ_SCR_EDIT: return ModifyParameter(w, 3);
    case KZ_SCR_TUNE: w->keyFlags &= uint8_t(~2u); break;
    case KZ_SCR_MANUAL: stepCode(w, true, -1); return longFor(2, longBits);
    case KZ_SCR_BANK: ChangeInterfaceBanco(w); break;
    case KZ_SCR_BANKEDIT: w->antTabCol = wrapDown(w->antTabCol, 5); break;
    case KZ_SCR_SAVETUNE: w->saveBank = wrapUp(w->saveBank.load(), bankCount(w)); break;
    case KZ_SCR_UTIL:
      w->copySrc = w->numBanco.load();
      w->screenState = KZ_SCR_COPY;
      break;
    case KZ_SCR_COPY: w->copySrc = wrapUp(w->copySrc.load(), bankCount(w)); break;
    case KZ_SCR_RESET:
      // maxBank itself stands for every bank ("ALL").
      w->resetBank = wrapUp(w->resetBank.load(), bankCount(w) + 1);
      break;
    default: break;
  }
  return 0;
}

int key3(works *w, int state, int longBits) {
  switch (state) {
    case KZ_SCR_MAIN:
      if (EscFromStatus(w)) break;
      w->antenna = wrapUp(w->antenna.load(), KZ_ANTENNAS);
      IncPNTIn_CMDLinear(ORD_ANTENNA, w);
      SaveToBank(w, w->numBanco.load(), w->antenna.load());
      break;
    case KZ_SCR_MENU:
      w->menuSub = 0;
      w->menuIdx = wrapDown(w->menuIdx.load(), w->menuCount);
      break;
    case KZ_SCR_EDIT: return ModifyParameter(w, 4);
    case KZ_SCR_TUNE: w->keyFlags &= uint8_t(~2u); break;
    case KZ_SCR_MANUAL: stepCode(w, true, +1); return longFor(3, longBits);
    case KZ_SCR_BANK: w->antTabRow = wrapDown(w->antTabRow, w->bandCount); break;
    case KZ_SCR_BANKEDIT: w->antTabCol = wrapUp(w->antTabCol, 5); break;
    case KZ_SCR_SAVETUNE: w->saveAnt = wrapUp(w->saveAnt.load(), KZ_ANTENNAS); break;
    case KZ_SCR_UTIL:
      w->resetBank = w->numBanco.load();
      w->screenState = KZ_SCR_RESET;
      break;
    case KZ_SCR_COPY: w->copyDst = wrapUp(w->copyDst.load(), bankCount(w)); break;
    default: break;
  }
  return 0;
}

int key4(works *w, int state, int longBits) {
  switch (state) {
    case KZ_SCR_MAIN:
      if (!EscFromStatus(w)) w->screenState = KZ_SCR_TUNE;
      break;
    case KZ_SCR_MENU:
      w->menuIdx = wrapUp(w->menuIdx.load(), w->menuCount);
      w->menuSub = 0;
      break;
    case KZ_SCR_EDIT: return ModifyParameter(w, 1);
    case KZ_SCR_TUNE:
      w->keyFlags &= uint8_t(~2u);
      GoTune(w);
      break;
    case KZ_SCR_MANUAL: stepCode(w, false, -1); return longFor(4, longBits);
    case KZ_SCR_BANK: w->antTabRow = wrapUp(w->antTabRow, w->bandCount); break;
    case KZ_SCR_BANKEDIT: ModifytabAntenna(w, 0); break;
    default: break;
  }
  return 0;
}

int key5(works *w, int state, int longBits) {
  switch (state) {
    case KZ_SCR_MAIN:
      if (!EscFromStatus(w)) w->screenState = KZ_SCR_MENU;
      break;
    case KZ_SCR_EDIT: return ModifyParameter(w, 2);
    case KZ_SCR_TUNE:
      w->keyFlags &= uint8_t(~2u);
      if (w->atuBypass.load()) {
        w->atuBypass = 0;
        GestioneLoadTuneVal(w, 1);
      } else {
        w->atuBypass = 1;
        IncPNTIn_CMDLinear(ORD_BYPASS, w);
      }
      SaveToBank(w, w->numBanco.load(), w->antenna.load());
      break;
    case KZ_SCR_MANUAL: stepCode(w, false, +1); return longFor(5, longBits);
    case KZ_SCR_LINKFAIL:
      // Retry: start the link that failed again. Code 2 is the FT-817 CAT
      // serial link, so that is the one started again.
      switch (w->linkError.load()) {
        case 1:
          w->linkError = -1;
          StartThreadLinear(w);
          break;
        case 2:
          w->linkError = -1;
          StartThreadCATserial(w);
          break;
        case 3:
          w->linkError = -1;
          StartThreadKAV(w);
          break;
        default: break;
      }
      break;
    case KZ_SCR_BANK: w->screenState = KZ_SCR_UTIL; break;
    case KZ_SCR_BANKEDIT: ModifytabAntenna(w, 1); break;
    default: break;
  }
  return 0;
}

// Long press on the tune screen: the whole configuration again.
void resendConfiguration(works *w) {
  IncPNTIn_CMDLinear(ORD_MP0, w);
  IncPNTIn_CMDLinear(ORD_CLEAR_PROT, w);
  if (w->ModeWorkIdx.load() != 0) IncPNTIn_CMDLinear(ORD_FREQ, w);
  IncPNTIn_CMDLinear(ORD_THRESHOLDS, w);
  IncPNTIn_CMDLinear(ORD_OPERATE, w);
  IncPNTIn_CMDLinear(ORD_AN, w);
  IncPNTIn_CMDLinear(ORD_ANTENNA, w);
  IncPNTIn_CMDLinear(ORD_ATTENUATOR, w);
}

// STARTTX / StopTX of manual tuning: the test transmission bits of txTest.
void testTransmission(works *w) {
  uint8_t t = w->txTest.load();
  if (t & 2) {
    w->txTest = uint8_t((t | 1u) & ~(2u | 16u | 32u));
    SetNovaLabel(KZ_SCR_MANUAL, NovaLine1(6), "StartTX");
    return;
  }
  if (w->ampStatus0.load() & 1) {
    w->anResendCnt = 0;
    IncPNTIn_CMDLinear(ORD_AN, w);
    t |= 16;
  }
  w->txTest = uint8_t(t | 1u | 2u);
  SetNovaLabel(KZ_SCR_MANUAL, NovaLine1(6), "StopTX");
}

int key6(works *w, int state, int longBits) {
  switch (state) {
    case KZ_SCR_MAIN:
      if (longBits != 0) {
        w->statusFlags |= 1;
        SetBackground(w, "status");
      } else if (!EscFromStatus(w)) {
        int type = w->workScreenType.load() + 1;
        if (type > 5 || type < 1) type = 1;
        w->workScreenType = type;
        w->statusFlags = 0;
        SetWorkImg(w);
        kzLog(KZ_LOG_INFO, "type to %d\n", type);
      }
      break;
    case KZ_SCR_MENU: {
      const int idx = w->menuIdx.load();
      const int sub = w->menuSub.load();
      if (idx >= 0 && idx < KZ_MENU_ENTRIES && sub >= 0 && sub < 10 &&
          menuPar[idx].sub[sub].kind == 0)
        w->screenState = KZ_SCR_EDIT;
      break;
    }
    case KZ_SCR_EDIT:
      ModifyParameter(w, 0);
      w->screenState = (w->statusFlags.load() & 2) ? KZ_SCR_BANK : KZ_SCR_MENU;
      break;
    case KZ_SCR_TUNE:
      w->keyFlags &= uint8_t(~2u);
      if (longBits != 0) {
        resendConfiguration(w);
      } else {
        // Always into manual tuning: the flag is cleared when the operator
        // leaves it, so MANUAL never takes a press that shows nothing.
        w->manualTune = 1;
        IncPNTIn_CMDLinear(ORD_READ_TUNE, w);
        w->screenState = KZ_SCR_MANUAL;
        ImpostaLblManuale(w);
      }
      break;
    case KZ_SCR_MANUAL: testTransmission(w); break;
    case KZ_SCR_LINKFAIL:
      // Cancel: the amplifier link cannot be switched off, so it is started
      // again; a transceiver link is switched off through its run byte
      // (code 2 the FT-817 CAT serial link, code 3 the serial link).
      // The code is acknowledged before the link starts again, so that a
      // link failing at once keeps its new code.
      switch (w->linkError.exchange(-1)) {
        case 1: StartThreadLinear(w); break;
        case 2:
          if (w->setup != nullptr) setRunByte(w->setup->enaCatSer, '0');
          break;
        case 3:
          if (w->setup != nullptr) setRunByte(w->setup->enaser, '0');
          break;
        default: break;
      }
      break;
    case KZ_SCR_BANK:
      w->antTabCol = 0;
      w->screenState = KZ_SCR_BANKEDIT;
      break;
    case KZ_SCR_BANKEDIT: SaveTabConfig(w, w->numBanco.load()); break;
    case KZ_SCR_SAVETUNE:
      saveTuningValues(w);
      w->screenState = KZ_SCR_TUNE;
      break;
    case KZ_SCR_COPY:
      copyBank(w);
      w->screenState = KZ_SCR_BANK;
      break;
    case KZ_SCR_RESET:
      resetBanks(w);
      w->screenState = KZ_SCR_BANK;
      break;
    default: break;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// 5 entry
// ---------------------------------------------------------------------------

int KeyHasLongPress(works *w, int key) {
  if (w == nullptr) return 0;
  switch (w->screenState.load()) {
    case KZ_SCR_MAIN: return key == 1 || key == 6;
    case KZ_SCR_TUNE: return key == 6;
    case KZ_SCR_MANUAL: return key == 1;
    default: return 0;
  }
}

int DecodeTasto(works *w, int key, int longBits) {
  if (w == nullptr) return 0;
  w->lastKeyTime = kzKeyClockSeconds();  // the screen saver's clock
  w->errSeen = w->errRaised.load();       // the errors listed now were seen
  if (w->saverActive.load()) {
    // The key only wakes the screen, with the background of the page that
    // was open. Its long-press warning is over too: left set, the main
    // screen would show it with no key held.
    RestoreScreenImg(w);
    w->saverActive = 0;
    kzTrace("----------> DISATTIVO SAVE SCREEN\n");
    w->keyFlags &= uint8_t(~1u);
    return 0;
  }
  const int state = w->screenState.load();
  int repeat = 0;
  switch (key) {
    case 1: repeat = key1(w, state, longBits); break;
    case 2: repeat = key2(w, state, longBits); break;
    case 3: repeat = key3(w, state, longBits); break;
    case 4: repeat = key4(w, state, longBits); break;
    case 5: repeat = key5(w, state, longBits); break;
    case 6: repeat = key6(w, state, longBits); break;
    default: break;
  }
  w->keyFlags &= uint8_t(~1u);
  return repeat;
}
