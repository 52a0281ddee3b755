// Settings menus: the flat list of 32 settings (menuPar) with the editing
// rule and value text of each, and the key-label table of every screen
// (Novamenu). The button thread edits through ModifyParameter while the
// supervisor draws the list with LoadParameterMenu; values live in works
// and in globals and reach setup.txt through writeSetup when confirmed.
//
// Sections:
//   1 tables: the entry list, the initial key labels, shared globals
//   2 InitMenuNova
//   3 value texts: LoadParameterMenu
//   4 address editing: ModifyIP and the four network entries
//   5 factory default
//   6 editing: the step helpers, the remote mode (ModifyUseMode) and
//     ModifyParameter
//
// Design rules:
//   - Every value stays inside the range the rest of the program indexes
//     with (table labels, attenuator, time-out steps) and inside the width
//     of its setup field, so a confirmed value is read back unchanged.
//   - Decimal settings step in whole hundredths or tenths (rounded), so a
//     run of presses never drifts to 0.30000004 or shows "-0.00".
//   - Value texts are written with snprintf into at most 32 bytes.
//   - Nothing here draws; the supervisor shows the result on its next cycle.
#include "panel/menu.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "core/lan.h"
#include "core/maint.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "panel/keyb.h"
#include "panel/mainscreen.h"
#include "panel/meters.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "remote/ready.h"
#include "tuner/autotune.h"
#include "tuner/banktab.h"
#include "tuner/tunemem.h"

// ---------------------------------------------------------------------------
// 1 tables
// ---------------------------------------------------------------------------

MenuEntry menuPar[KZ_MENU_ENTRIES];
NovamenuEntry Novamenu[KZ_NOVAMENU_STATES];

std::mutex NovaLabelMut;

void SetNovaLabel(int state, int lbl, const char *fmt, ...) {
  if (state < 0 || state >= KZ_NOVAMENU_STATES || lbl < 0 || lbl >= 12) return;
  std::lock_guard<std::mutex> lk(NovaLabelMut);
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(Novamenu[state].lbl[lbl], sizeof Novamenu[state].lbl[lbl], fmt, ap);
  va_end(ap);
}

const int SaveScreen[5] = {5, 10, 20, 30, 60};
const char SaveScreenVal[5][8] = {"5min", "10min", "20min", "30min", "60min"};

uint8_t LAN_vect[4];
int LAN_idx;
uint8_t factoryConfirm;

namespace {

// Menu indices of the entries with their own rules.
enum {
  M_MAXBANK = 0,
  M_FREQSENS = 1,
  M_FREQPERIOD = 2,
  M_AUTOTUNE = 3,
  M_ATTTUNE = 4,
  M_TARGETSWR = 5,
  M_TUNETIMEOUT = 6,
  M_ATUINST = 7,
  M_USEMODE = 8,
  M_IP = 9,
  M_NETMASK = 10,
  M_GATEWAY = 11,
  M_DNS = 12,
  M_REFLEV = 13,
  M_REFPOS = 14,
  M_POINTDIV = 15,
  M_OFFSET = 16,
  M_DATETIME = 17,
  M_TEMPUNITS = 18,
  M_PEAKMETER = 19,
  M_PEAKTIME = 20,
  M_ALARM1 = 21,
  M_ALARM2 = 22,
  M_POWERUNITS = 23,
  M_SAVER = 24,
  M_FACTORY = 25,
  M_LONGPRESS = 26,
  M_OFFHW = 27,
  M_FWUPDATE = 28,
  M_UIUPDATE = 29,
  M_REMOTESRV = 30,
  // Added after the list of the first version, so no entry moves: the
  // auto-tune search, numbered 18 (the first number free after the
  // AUTO TUNE group's block 1-17).
  M_TUNESEARCH = 31,
};

enum { K_ENTER = 0, K_MINUS = 1, K_PLUS = 2, K_LEFT = 3, K_RIGHT = 4 };

struct EntryDef {
  int number;
  const char *title;
  const char *label;
};

const EntryDef kEntries[KZ_MENU_ENTRIES] = {
    {1, "MAX BANK", " "},
    {2, "FREQ", "Input Sens"},
    {3, "FREQ", "Period (ms)"},
    {4, "AUTO TUNE", "Enable KAV Tune"},
    {5, "AUTO TUNE", "Force Attenuator"},
    {6, "AUTO TUNE", "Target SWR (0=Off)"},
    {7, "AUTO TUNE", "AutoTune Timeout"},
    {8, "AUTO TUNE", "ATU Installed"},
    {9, "KAV ZIL USE MODE", " "},
    {10, "NETWORK LAN", "IP"},
    {11, "NETWORK LAN", "SUBNET"},
    {12, "NETWORK LAN", "GATEWAY"},
    {13, "NETWORK LAN", "DNS"},
    {14, "PLOT", "Ref Lev"},
    {15, "PLOT", "Ref Pos"},
    {16, "PLOT", "Point Div"},
    {17, "PLOT", "Offset"},
    {50, "VIEW SCREEN", "DateTime"},
    {51, "TEMPERATURE UNITS", " "},
    {52, "PEAK POWER METER", " "},
    {53, "PEAK POWER METER", "Release Time (ms)"},
    {54, "1-TEMPERATURE ALARM", " SET POINT"},
    {55, "2-TEMPERATURE ALARM", " SET POINT"},
    {56, "SET POWER UNITS", " "},
    {57, "SCREEN SAVER TIMEOUT", " "},
    {58, "FACTORY DEFAULT", " "},
    {59, "BUTTON TIME", "Long Press Time"},
    {96, "OFF HW", " "},
    {97, "FW UPDATE", " "},
    {98, "UI UPDATE", " "},
    {99, "REMOTE SERVICE", " "},
    {18, "AUTO TUNE", "Search"},
};

// Initial key labels of the twelve screens, first and second line of keys
// 1 to 6; nullptr marks a label written at run time (empty until then).
struct ScreenLabels {
  const char *lbl[12];
  uint8_t flags;
};

const ScreenLabels kScreens[12] = {
    {{"  MEM", nullptr, " IN-ATT", nullptr, "   ANT", nullptr, "  TUNE", " ", "   SET", " ",
      "   VIEW ", " 1 "},
     0x21},
    {{" BACK ", " ", "  ", " ", "    UP", " ", "  DOWN", " ", " ", " ", "  ENTER", " "}, 0},
    {{" ", " ", " < ", " ", "   > ", " ", "      - ", " ", "     + ", " ", "  ENTER", " "}, 0},
    {{" BACK ", " ", " ", " ", " ", " ", "  TUNE", nullptr, "   ATU", nullptr, "MANUAL", "Tune"},
     0},
    {{" BACK ", nullptr, " down L", " ", "   up L", nullptr, " down C", " ", "   up C", nullptr,
      "STARTTX", " "},
     0x01},
    {{"  ", " ", "  ", " ", "    ", " ", "     ", " ", " Retry", " ", "Cancel", " "}, 0},
    {{" BACK", " ", " INTERF", nullptr, "    UP", " ", "  DOWN", " ", "   UTIL", " ", " ENTER",
      " "},
     0},
    {{"BACK", " ", "  <", " ", "    >", " ", "  + ", " ", " - ", " ", "SAVE", " "}, 0},
    {{"  ESC", " ", "  BANK", nullptr, "   ANT", nullptr, " ", " ", " ", " ", "   SAVE", " "}, 0},
    {{"BACK", " ", "  COPY", " ", "   RESET", " ", "  ", " ", " ", " ", " ", " "}, 0},
    {{"BACK", " ", " ORIGIN", nullptr, "  DEST", nullptr, "  ", " ", " ", " ", " START", "COPY"},
     0},
    {{"BACK", " ", " BANK", nullptr, "  ", " ", "  ", " ", " ", " ", " START", "RESET"}, 0},
};

// Copies text into a fixed field, cut to fit, always terminated.
template <size_t N>
void setText(char (&dst)[N], const char *src) {
  snprintf(dst, N, "%s", src ? src : "");
}

// The attenuator label of index a ("0", "2", "3", "5"); "" out of range.
const char *attLabel(int a) { return (a >= 0 && a <= 3) ? AttVectStr[a] : ""; }

}  // namespace

// ---------------------------------------------------------------------------
// 2 InitMenuNova
// ---------------------------------------------------------------------------

// The error texts (errTable) are filled by InitErrTable before any thread
// starts; they are not filled again here.
void InitMenuNova(works *w) {
  memset(menuPar, 0, sizeof menuPar);
  for (int i = 0; i < KZ_MENU_ENTRIES; ++i) {
    MenuEntry &e = menuPar[i];
    e.number = kEntries[i].number;
    setText(e.title, kEntries[i].title);
    setText(e.sub[0].label, kEntries[i].label);
    e.sub[0].kind = 0;
    e.sub[0].flag = (i >= M_IP && i <= M_DNS) ? 1 : 0;
    e.subCount = 1;
  }

  {
    std::lock_guard<std::mutex> lk(NovaLabelMut);  // the button thread may run already
    memset(Novamenu, 0, sizeof Novamenu);
    for (int s = 0; s < 12; ++s) {
      for (int l = 0; l < 12; ++l) setText(Novamenu[s].lbl[l], kScreens[s].lbl[l]);
      Novamenu[s].flags = kScreens[s].flags;
    }
  }
  // First run-time labels of the main screen and of the save screen.
  SetNovaLabel(0, 1, "BANK %i", w->numBanco.load());
  SetNovaLabel(0, 3, "%sdB",
           attLabel(w->attenuator.load()));
  SetNovaLabel(0, 5, "%d", w->antenna.load() + 1);
  SetNovaLabel(8, 3, "   %i", w->saveBank.load());
  SetNovaLabel(8, 5, "     %i", w->saveAnt.load() + 1);

  w->menuCount = KZ_MENU_ENTRIES;
}

// ---------------------------------------------------------------------------
// 3 value texts
// ---------------------------------------------------------------------------

namespace {

constexpr size_t kOut = 32;  // bytes LoadParameterMenu may write

struct AddrRef {
  char *text;  // 32-character dotted text
  uint8_t *vect;
  int *cursor;
  uint8_t *none;  // "no value in the file" marker, or nullptr
};

// The address behind entries 9 to 12; false for any other index.
bool addrOf(int index, AddrRef &a) {
  switch (index) {
    case M_IP: a = {IP, IP_v, &CntIP, nullptr}; return true;
    case M_NETMASK: a = {NetMask, NetMask_v, &CntNetMask, nullptr}; return true;
    case M_GATEWAY: a = {Gateway, Gateway_v, &CntGateway, &Gateway_none}; return true;
    case M_DNS: a = {DNS, DNS_v, &CntDNS, &DNS_none}; return true;
    default: return false;
  }
}

const char *onOff(bool on) { return on ? "ON" : "OFF"; }

}  // namespace

// The button thread edits (ModifyParameter) the values and the address
// texts the supervisor shows (LoadParameterMenu, the plot's scale): one at
// a time.
static std::mutex gMenuMut;

PlotScale MenuPlotScale(const works *w) {
  std::lock_guard<std::mutex> lk(gMenuMut);
  return {RefLevel, RefPos, PointDiv, w->offsetPlot};
}

// Writes at most 32 bytes (terminator included). Cost: one snprintf.
void LoadParameterMenu(works *w, char *out, int index, int sub) {
  if (out == nullptr) return;
  std::lock_guard<std::mutex> lk(gMenuMut);
  switch (index) {
    case M_USEMODE: case M_TEMPUNITS: case M_PEAKMETER: case M_POWERUNITS: case M_SAVER:
    case M_FACTORY: case M_OFFHW: case M_FWUPDATE: case M_UIUPDATE: case M_REMOTESRV:
      if (sub != 0) return;
      break;
    default:
      break;
  }
  AddrRef a;
  if (addrOf(index, a)) {
    // The text follows the vector each time it is shown.
    SplitAddrInv(a.text, a.vect);
    memcpy(LAN_vect, a.vect, sizeof LAN_vect);
    LAN_idx = *a.cursor;
    snprintf(out, kOut, "%s", a.text);
    return;
  }
  uint8_t maint = w->maintFlags.load();
  switch (index) {
    case M_MAXBANK: snprintf(out, kOut, "%d", w->maxBank.load()); break;
    case M_FREQSENS: snprintf(out, kOut, "%s", w->freqSensIn == 0 ? "FQ1" : "FQ2"); break;
    case M_FREQPERIOD: snprintf(out, kOut, "%d", w->freqPeriodTime); break;
    case M_AUTOTUNE: snprintf(out, kOut, "%s", (w->autoTuneMode.load() & 1) ? "On" : "Off"); break;
    case M_ATTTUNE: snprintf(out, kOut, "%sdB", attLabel(w->attenuatorTune.load())); break;
    case M_TARGETSWR: snprintf(out, kOut, "%02.02f", double(w->swrEscAutoTune)); break;
    case M_TUNETIMEOUT: {
      int i = w->autoTuneMaxCicli;
      snprintf(out, kOut, "%s", (i >= 0 && i <= 4) ? SWRTimeout[i] : "");
      break;
    }
    case M_ATUINST: snprintf(out, kOut, "%s", w->tuneEnabled < 0 ? "No" : "Yes"); break;
    case M_TUNESEARCH:
      snprintf(out, kOut, "%s", w->autoTuneSearch.load() == 1 ? "Fast" : "Standard");
      break;
    case M_USEMODE: snprintf(out, kOut, "%s", w->remoteActive == 1 ? "Remote" : "Local"); break;
    case M_REFLEV: snprintf(out, kOut, "%d", RefLevel); break;
    case M_REFPOS: snprintf(out, kOut, "%d", RefPos); break;
    case M_POINTDIV: snprintf(out, kOut, "%d", PointDiv); break;
    case M_OFFSET: snprintf(out, kOut, "%3.02f", w->offsetPlot); break;
    case M_DATETIME: snprintf(out, kOut, "%s", onOff(w->viewTimeStr != 0)); break;
    case M_TEMPUNITS: snprintf(out, kOut, "%s", w->tempMode != 0 ? "Fahrenheit" : "Celsius"); break;
    case M_PEAKMETER: snprintf(out, kOut, "%s", onOff(w->enablePwrPeak != 0)); break;
    case M_PEAKTIME: snprintf(out, kOut, "%i", TimerPeakSec); break;
    case M_ALARM1:
    case M_ALARM2: {
      // Stored and stepped in degrees C; shown in the unit the operator
      // chose (the information bar and the status page use it too).
      const float c = index == M_ALARM1 ? w->maxTemperature : w->maxTemperature2;
      if (w->tempMode == 1)
        snprintf(out, kOut, "%02.02f°F", double(ConversionCelsius_to_Fahrenheit(c)));
      else
        snprintf(out, kOut, "%02.02f", double(c));
      break;
    }
    case M_POWERUNITS: snprintf(out, kOut, "%s", w->powerUnits != 0 ? "dBm" : "Watt"); break;
    case M_SAVER: {
      int i = w->saveScreenIdx;
      snprintf(out, kOut, "%s", (i >= 0 && i <= 4) ? SaveScreenVal[i] : "");
      break;
    }
    case M_FACTORY: snprintf(out, kOut, "%s", factoryConfirm ? "Set Default" : "No Default"); break;
    case M_LONGPRESS: snprintf(out, kOut, "%01.01f sec", TIME_LONG_PRESS); break;
    case M_OFFHW: snprintf(out, kOut, "OFF"); break;
    case M_FWUPDATE: snprintf(out, kOut, "%s", onOff(maint & 1)); break;
    case M_UIUPDATE: snprintf(out, kOut, "%s", onOff(maint & 8)); break;
    case M_REMOTESRV: snprintf(out, kOut, "%s", onOff(maint & 2)); break;
    default: out[0] = '\0'; break;
  }
}

// ---------------------------------------------------------------------------
// 4 address editing
// ---------------------------------------------------------------------------

int ModifyIP(int key, int cursor, uint8_t *octets) {
  cursor = ((cursor % 4) + 4) % 4;  // a stray cursor never indexes outside the four
  switch (key) {
    case K_MINUS: if (octets) octets[cursor] = uint8_t(octets[cursor] - 1); break;  // 0 -> 255
    case K_PLUS: if (octets) octets[cursor] = uint8_t(octets[cursor] + 1); break;   // 255 -> 0
    case K_LEFT: cursor = cursor == 0 ? 3 : cursor - 1; break;
    case K_RIGHT: cursor = cursor == 3 ? 0 : cursor + 1; break;
    default: break;
  }
  return cursor;
}

namespace {

void editAddress(int key, const AddrRef &a) {
  if (key == K_ENTER) {
    SaveLanParam();  // reports its own failures
    return;
  }
  *a.cursor = ModifyIP(key, *a.cursor, a.vect);
  // An address set by the operator is a value: it is written on saving
  // even where the file had an empty gateway or name-server line.
  if ((key == K_MINUS || key == K_PLUS) && a.none != nullptr) *a.none = 0;
}

// ---------------------------------------------------------------------------
// 5 factory default
// ---------------------------------------------------------------------------

// Deletes the tune and bank-table files of banks 0-19, rebuilds setup.txt
// with the start texts and start values of a fresh record (what a first
// start writes) and loads it back, so every setting in memory follows the
// file; the unit then reloads its (default) bank.
//
// The running program is left alone: the file is built from a separate
// record and read back with the parser alone, so the start values of the
// run state (links, the amplifier's identity, the error gate, screen,
// pending panel order) are not applied to it, and no run byte of the
// record passes through another value on the way.
void FactoryDefault(works *w) {
  for (int bank = 0; bank < 20; ++bank)
    for (int kind = 0; kind < 4; ++kind) DeleteFileConf(w, bank, kind);

  {
    auto fresh = std::make_unique<works>();
    SetupRec rec{};
    fresh->setup = &rec;
    // The start values also reach a few globals: the settings among them
    // come back from the file below, the meter scales (set by the
    // amplifier's model) and the record pointer are put back at once.
    int steps[4] = {number_ofStep_meter_FWD, number_ofStep_meter_REFL,
                    number_ofStep_meter_SWR, number_ofStep_meter_PW};
    initSetup(fresh.get());
    staticworks = w;
    number_ofStep_meter_FWD = steps[0];
    number_ofStep_meter_REFL = steps[1];
    number_ofStep_meter_SWR = steps[2];
    number_ofStep_meter_PW = steps[3];
    if (writeSetup(fresh.get()) != 0)
      kzLog(KZ_LOG_ERR, "factory default: setup file not rewritten, settings reloaded");
  }
  std::string data;
  if (kzReadFile(kzPath("/opt/set/setup.txt"), data) != 0) {
    kzLog(KZ_LOG_ERR, "can't open /opt/set/setup.txt");
  } else {
    // Only bit 0 of autoTuneMode and the first FFT byte are settings; the
    // handshake bits and the second FFT byte (a run byte) stay.
    uint8_t handshake = uint8_t(w->autoTuneMode.load() & ~1);
    char fft2 = w->setup->EnableFFT2;
    parseSetupText(w, data.data(), data.size());
    w->autoTuneMode = uint8_t((w->autoTuneMode.load() & 1) | handshake);
    w->setup->EnableFFT2 = fft2;
  }
  factoryConfirm = 0;

  LoadAllBankTable(w, w->numBanco.load());
  w->bandRowIdx = -1;
  kzLog(KZ_LOG_INFO, "factory default set");
}

// ---------------------------------------------------------------------------
// 6 editing helpers
// ---------------------------------------------------------------------------

// Steps v (in units of 1/scale) by delta and limits it to [lo, hi] units.
// A value far out of range (or NaN) is first brought to one step outside
// it, so the rounding stays defined and the result is still the bound.
double stepScaled(double v, double scale, int delta, long lo, long hi) {
  double d = v * scale;
  if (!(d >= double(lo - 1))) d = double(lo - 1);
  if (d > double(hi + 1)) d = double(hi + 1);
  long c = std::lround(d) + delta;
  if (c < lo) c = lo;
  if (c > hi) c = hi;
  return double(c) / scale;
}

int delta(int key) { return key == K_PLUS ? 1 : (key == K_MINUS ? -1 : 0); }
bool plusMinus(int key) { return key == K_PLUS || key == K_MINUS; }

void toggle(uint8_t &v) { v = v ? 0 : 1; }

}  // namespace

// "KAV ZIL USE MODE". Runs outside the menu lock: the readiness check runs
// shell commands and searches ports, and stopping the remote group waits
// 500 ms for its threads; the supervisor must go on drawing meanwhile
// (remoteActive is atomic, the value text reads it without the lock).
static void ModifyUseMode(works *w, int key) {
  SetupRec *s = w->setup;
  if (key != K_ENTER) {
    if (w->remoteActive.load() == 1) {
      w->remoteActive = 0;
    } else if (s->EnableFFT == '0') {
      const int i = Find_Remote_Settings(w);
      const int j = Get_AudioKAV(w);
      kzTrace("j=%d i=%d enaser=%c\n", j, i, s->enaser);
      if (i == 0 && s->enaser == '1' && j != 0) {
        w->remoteActive = 1;
        w->remoteRestart = 0;
        kzTrace("Remote GO!\n");
      } else {
        w->remoteRestart = 1;
        if (i == 1) AddErrore(w, 5);   // "Remote warn" / "Usb"
        if (i == 2) AddErrore(w, 20);  // "Remote warn" / "Cat"
        if (i == 3) AddErrore(w, 9);   // "Audio read" / "warning"
        if (j == 0) AddErrore(w, 6);   // "Audio" / "not found"
        if (s->enaser != '1') AddErrore(w, 7);  // "KAV mode" / "not activated"
        kzTrace("Remote ERROR!\n");
      }
    } else {
      w->remoteActive = 1;
    }
    return;
  }
  if (w->remoteActive.load() == 1) {
    // The server is started only when this switches it on: one that runs
    // already (WebSocket '1' or '2' since the start) keeps its thread.
    if (s->WebSocket == '0') {
      s->WebSocket = '1';
      StartThreadSoket(w);
    }
    StartThreadCommRemote(w);
  } else {
    ExitThreadRemote(w);
  }
}

int ModifyParameter(works *w, int key) {
  if (key < K_ENTER || key > K_RIGHT) return 0;
  if (w->menuIdx.load() == M_USEMODE) {
    ModifyUseMode(w, key);
    return 0;
  }
  std::lock_guard<std::mutex> lk(gMenuMut);
  int idx = w->menuIdx.load();
  const bool enter = key == K_ENTER;
  AddrRef a;
  if (addrOf(idx, a)) {
    editAddress(key, a);
    return 0;
  }
  switch (idx) {
    case M_MAXBANK: {
      int m = w->maxBank.load();
      if (key == K_PLUS) {
        m += 1;
        if (m > 20) m = 2;
        w->maxBank = m;
      } else if (key == K_MINUS) {
        m -= 1;
        if (m <= 1) m = 20;
        w->maxBank = m;
      } else {
        writeSetup(w);
      }
      return 0;
    }
    case M_FREQSENS:
      if (enter) {
        IncPNTIn_CMDLinear(12, w);
        writeSetup(w);
      } else {
        toggle(w->freqSensIn);
      }
      return 0;
    case M_FREQPERIOD:
      if (enter) {
        IncPNTIn_CMDLinear(12, w);
        writeSetup(w);
        return 0;
      }
      // The setup field holds four digits: the period stops at 9999.
      if (key == K_PLUS && w->freqPeriodTime + 10 <= 9999) w->freqPeriodTime += 10;
      if (key == K_MINUS && w->freqPeriodTime > 10) w->freqPeriodTime -= 10;
      return plusMinus(key) ? 1 : 0;
    case M_AUTOTUNE:
      if (enter) writeSetup(w);
      else w->autoTuneMode.fetch_xor(1);  // the handshake bits stay as they are
      return 0;
    case M_ATTTUNE:
      if (enter) {
        writeSetup(w);
      } else {
        int t = w->attenuatorTune.load() + 1;
        w->attenuatorTune = uint8_t(t > 3 || t < 0 ? 0 : t);
      }
      return 0;
    case M_TARGETSWR: {
      if (enter) {
        writeSetup(w);
        return 0;
      }
      if (!plusMinus(key)) return 0;
      long c = std::lround(stepScaled(double(w->swrEscAutoTune), 100.0, delta(key), 0, 1000) * 100.0);
      if (c < 100) c = key == K_MINUS ? 0 : 100;  // below 1.00 means off
      w->swrEscAutoTune = float(double(c) / 100.0);
      return 1;
    }
    case M_TUNETIMEOUT: {
      if (enter) {
        writeSetup(w);
        return 0;
      }
      int i = w->autoTuneMaxCicli;
      if (i < 0 || i > 4) i = 0;
      if (key == K_PLUS) i = i >= 4 ? 0 : i + 1;
      if (key == K_MINUS) i = i <= 0 ? 0 : i - 1;
      w->autoTuneMaxCicli = uint8_t(i);
      return 0;
    }
    case M_ATUINST:
      if (enter) {
        writeSetup(w);
      } else {
        w->tuneEnabled = int8_t(uint8_t(w->tuneEnabled) ^ 0x80);
        kzTrace("----------> SAVE ATU: 0x%0X\n", unsigned(uint8_t(w->tuneEnabled)));
      }
      return 0;
    case M_TUNESEARCH:  // a tune under way keeps the search it started with
      if (enter) writeSetup(w);
      else w->autoTuneSearch = w->autoTuneSearch.load() == 1 ? 0 : 1;
      return 0;
    case M_REFLEV:
      RefLevel += 10 * delta(key);
      return 0;
    case M_REFPOS:
      if (key == K_PLUS && RefPos < 10) RefPos += 1;
      if (key == K_MINUS && RefPos > 0) RefPos -= 1;
      return 0;
    case M_POINTDIV:
      if (PointDiv < 1) PointDiv = 1;
      if (key == K_PLUS && PointDiv <= 19) {
        PointDiv *= 2;
        if (PointDiv == 4) PointDiv = 5;
      }
      if (key == K_MINUS && PointDiv > 1) PointDiv /= 2;
      return 0;
    case M_OFFSET:
      if (!plusMinus(key)) {
        writeSetup(w);
        return 0;
      }
      // Tenths, within what the five characters of the setup field hold.
      w->offsetPlot = stepScaled(w->offsetPlot, 10.0, delta(key), -9999, 99999);
      return 1;
    case M_DATETIME:
      if (enter) writeSetup(w);
      else toggle(w->viewTimeStr);
      return 0;
    case M_TEMPUNITS:
      if (enter) writeSetup(w);
      else toggle(w->tempMode);
      return 0;
    case M_PEAKMETER:
      if (enter) writeSetup(w);
      else toggle(w->enablePwrPeak);
      return 0;
    case M_PEAKTIME:
      if (!plusMinus(key)) {
        writeSetup(w);
        return 0;
      }
      TimerPeakSec += 10 * delta(key);
      if (TimerPeakSec > 5000) TimerPeakSec = 5000;
      if (TimerPeakSec < 0) TimerPeakSec = 0;
      return 1;
    case M_ALARM1:
    case M_ALARM2: {
      if (enter) {
        writeSetup(w);
        return 0;
      }
      if (!plusMinus(key)) return 0;
      long hi = w->maxTempAllowed > 20 ? long(w->maxTempAllowed) * 10 : 200;
      float &t = idx == M_ALARM1 ? w->maxTemperature : w->maxTemperature2;
      float n = float(stepScaled(double(t), 10.0, delta(key), 200, hi));
      // A set point outside the bounds (the second alarm starts at 80 with
      // 60 allowed) is brought in by the key that moves it inwards; the
      // other key leaves it, so "+" never lowers a value and "-" never
      // raises one.
      if ((delta(key) > 0 && n < t) || (delta(key) < 0 && n > t)) n = t;
      t = n;
      return 1;
    }
    case M_POWERUNITS:
      if (enter) writeSetup(w);
      else toggle(w->powerUnits);
      return 0;
    case M_SAVER: {
      if (enter) {
        writeSetup(w);
        return 0;
      }
      int i = w->saveScreenIdx;
      if (i < 0 || i > 4) i = 0;
      if (key == K_PLUS) i = i >= 4 ? 0 : i + 1;
      if (key == K_MINUS) i = i <= 0 ? 0 : i - 1;
      w->saveScreenIdx = uint8_t(i);
      return 0;
    }
    case M_FACTORY:
      if (!enter) toggle(factoryConfirm);
      else if (factoryConfirm) FactoryDefault(w);
      return 0;
    case M_LONGPRESS:
      if (plusMinus(key)) TIME_LONG_PRESS = stepScaled(TIME_LONG_PRESS, 10.0, delta(key), 3, 50);
      else writeSetup(w);
      return 0;
    case M_OFFHW:
      w->panelCmd = 133;
      return 0;
    case M_FWUPDATE:
      // Armed stays armed: the programming pin is held until the restart.
      if (!enter) w->maintFlags.fetch_xor(1);
      else if (w->maintFlags.load() & 1) AggFwUpdate(w);
      return 0;
    case M_UIUPDATE:
      if (!enter) {
        w->maintFlags.fetch_xor(8);
      } else if (w->maintFlags.load() & 8) {
        int st = AggUiUpdate(w);
        if (st != 0) kzLog(KZ_LOG_ERR, "UI update script ended with status %d", st);
        w->maintFlags.fetch_and(uint8_t(~8));
      }
      return 0;
    case M_REMOTESRV:
      if (!enter) {
        w->maintFlags.fetch_xor(2);
      } else if (w->maintFlags.load() & 2) {
        kzTrace("Start REMOTE SRV\n");
        RemoteConnection(w);
      }
      return 0;
    default:
      return 0;
  }
}
