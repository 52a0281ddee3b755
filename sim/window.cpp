// Simulator window and its controls; see window.h.
//
// Sections: 1 controls (no display needed), 2 the window's picture
// (layout, buttons, control strip), 3 events, 4 the event loop.
//
// Design rules:
// - One picture of the whole window (4-byte pixels blue, green, red, 0,
//   the screen's own layout) is composed in memory and handed to SDL as a
//   texture of the matching pixel format (SDL_PIXELFORMAT_RGB888): no
//   conversion. The screen part is copied from the simulated display every
//   frame (about 30 a second); the buttons and the strip are drawn again
//   only when something changed and four times a second (the impedance the
//   transmitter sees follows the tuner).
// - A frame allocates nothing: the picture, the snapshot buffer and the
//   table of clickable chips are made once when the window opens; texts are
//   formatted into fixed buffers.
// - A panel button is held on the simulated GPIO block while its key or the
//   mouse button is down on it, and at least 100 ms: a quick tap of a
//   computer key (a few milliseconds from a fast hand or a script) would
//   otherwise end before the button thread's debounce takes it. Losing the
//   focus lets every button go, so no button stays held behind the
//   operator's back.
#include "sim/window.h"

#include <linux/input.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "sim/bands.h"
#include "sim/amp_sim.h"
#include "sim/gpio_sim.h"
#include "sim/ft817_sim.h"
#include "sim/xcvr_sim.h"

// ===========================================================================
// 1 controls
// ===========================================================================

namespace {

// Drive powers the -/+ keys step through, W.
const double kDrives[] = {kSimDriveMinW, 0.25, 0.5, 1.0, 1.5, 2.0, 2.5,
                          3.0,           3.5,  4.0, 5.0, 6.0, 8.0, kSimDriveMaxW};
constexpr int kDriveCount = int(sizeof kDrives / sizeof kDrives[0]);

const uint32_t kSteps[] = {100, 1000, 10000, 100000};
constexpr int kStepCount = int(sizeof kSteps / sizeof kSteps[0]);

// The bands the carrier can be put on (sim/bands.h).
constexpr const SimBand (&kBands)[kSimBandCount] = kSimBands;
constexpr int kBandCount = kSimBandCount;
constexpr uint32_t kFreqMin = 1000000, kFreqMax = 60000000;

const char *const kPortModels[3] = {"dummy load", "dipole", "end-fed wire"};
const char *const kFixedNames[SIMC_LOADS] = {"", "50 ohm", "25 ohm", "100 ohm", "200+j100 ohm"};
const std::complex<double> kFixedZ[SIMC_LOADS] = {{0, 0}, {50, 0}, {25, 0}, {100, 0}, {200, 100}};

const char *const kFaultNames[7] = {"I OUT", "REFL", "FWD", "SENS PW", "FILTER TX", "input power",
                                    "band"};

const SimControlInfo kControlInfo[SIMC_ACTIONS - 1] = {
    {SIMC_CARRIER, "carrier", "C", "carrier at the amplifier's input on / off"},
    {SIMC_DRIVE_DOWN, "drive-", "-", "drive power one step down"},
    {SIMC_DRIVE_UP, "drive+", "+", "drive power one step up"},
    {SIMC_BAND_DOWN, "band-", "PgDn", "drive frequency to the band below"},
    {SIMC_BAND_UP, "band+", "PgUp", "drive frequency to the band above"},
    {SIMC_FREQ_DOWN, "freq-", "Left", "drive frequency one step down"},
    {SIMC_FREQ_UP, "freq+", "Right", "drive frequency one step up"},
    {SIMC_STEP, "step", "S", "frequency step: 100 Hz, 1 kHz, 10 kHz, 100 kHz"},
    {SIMC_PORT, "port", "A", "antenna port the load control acts on: ANT1, ANT2, ANT3"},
    {SIMC_LOAD, "load", "L",
     "that port's load: its model, then 50, 25, 100 and 200+j100 ohm"},
    {SIMC_HOT, "hot", "T", "over-temperature: both sensors forced to 75 C / released"},
    {SIMC_FAULT, "fault", "F", "next fault bit of the amplifier's status (none, 0x01 ... 0x40, none)"},
    {SIMC_TRIP, "trip", "P", "trip the amplifier's protection now"},
    {SIMC_SILENT, "silent", "M", "silence the amplifier's serial link / let it answer again"},
    {SIMC_RESTART, "restart", "R", "restart the amplifier's micro-controller"},
    {SIMC_MODE, "mode", "O", "simulated transceiver or FT-817: next mode"},
    {SIMC_VFO, "vfo", "V", "simulated transceiver: VFO A / VFO B"},
};

// Guards every SimControls record against the window and a script acting
// at once (one simulator, one record).
std::mutex gControlsMut;

void applyDrive(const SimControls *c) {
  if (c->amp && c->xcvr == nullptr) simAmpSetDrive(c->amp, c->carrier ? c->driveW : 0.0, c->freqHz);
  if (c->ft817) ft817SimSetVfo(c->ft817, c->freqHz);  // the radio driving the carrier
}

// The FT-817's mode bytes in the order the mode control steps them: LSB,
// USB, CW, CW-R, AM, FM, DIG, PKT.
const uint8_t kFt817Modes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x08, 0x0A, 0x0C};

// The next listed drive power below or above `w` (a --drive value need not
// be one of them); `w` itself at the ends.
double nextDrive(double w, bool up) {
  if (up) {
    for (int i = 0; i < kDriveCount; i++)
      if (kDrives[i] > w + 1e-9) return kDrives[i];
  } else {
    for (int i = kDriveCount - 1; i >= 0; i--)
      if (kDrives[i] < w - 1e-9) return kDrives[i];
  }
  return w;
}

constexpr int kXcvrModes = 7;  // LSB, USB, AM, FM, CW, DIG, CW-R

// The transceiver's share of the controls; -1 for a control that is not
// the transceiver's. Caller holds gControlsMut.
int xcvrAct(SimControls *c, int action) {
  XcvrSim *x = c->xcvr;
  const XcvrSimState st = xcvrSimState(x);
  switch (action) {
    case SIMC_CARRIER:
      xcvrSimSetTransmit(x, !st.transmit);
      return 1;
    case SIMC_DRIVE_DOWN:
    case SIMC_DRIVE_UP: {
      double next = nextDrive(st.driveW, action == SIMC_DRIVE_UP);
      if (next == st.driveW) return 0;
      c->driveW = next;
      xcvrSimSetDrive(x, next);
      return 1;
    }
    case SIMC_BAND_DOWN:
    case SIMC_BAND_UP:
      xcvrSimBandStep(x, action == SIMC_BAND_UP ? 1 : -1);
      return 1;
    case SIMC_FREQ_DOWN:
    case SIMC_FREQ_UP: {
      int32_t step = int32_t(simControlsStepHz(c));
      xcvrSimTune(x, action == SIMC_FREQ_UP ? step : -step);
      return 1;
    }
    case SIMC_MODE:
      xcvrSimSetMode(x, st.mode >= 0 && st.mode < kXcvrModes - 1 ? st.mode + 1 : 0);
      return 1;
    case SIMC_VFO:
      xcvrSimSelectVfo(x, st.activeVfo == 0 ? 1 : 0);
      return 1;
    default:
      return -1;
  }
}

}  // namespace

void simControlsInit(SimControls *c, SimAmp *amp, double driveW, uint32_t freqHz) {
  *c = SimControls();
  c->amp = amp;
  c->carrier = driveW > 0;
  c->driveW = driveW > 0 ? driveW : 2.5;
  c->freqHz = freqHz;
  applyDrive(c);
}

const SimControlInfo *simControlsTable() { return kControlInfo; }

int simControlsByWord(const char *word) {
  for (const SimControlInfo &i : kControlInfo)
    if (strcmp(i.word, word) == 0) return i.action;
  return SIMC_NONE;
}

void simControlsAttachXcvr(SimControls *c, XcvrSim *x) {
  std::lock_guard<std::mutex> lk(gControlsMut);
  if (c->amp) simAmpSetDrive(c->amp, 0.0, c->freqHz);  // the transceiver drives it now
  c->xcvr = x;
  if (x == nullptr) return;
  xcvrSimSetDrive(x, c->driveW);
  xcvrSimSelectVfo(x, 0);
  xcvrSimSetVfo(x, 0, c->freqHz);
  xcvrSimSetTransmit(x, c->carrier);
}

void simControlsAttachFt817(SimControls *c, Ft817Sim *f) {
  std::lock_guard<std::mutex> lk(gControlsMut);
  c->ft817 = f;
  if (f == nullptr) return;
  ft817SimSetVfo(f, c->freqHz);
  ft817SimSetMode(f, uint8_t(c->ft817Mode));
}

SimControls simControlsCopy(const SimControls *c) {
  std::lock_guard<std::mutex> lk(gControlsMut);
  SimControls copy = *c;
  if (copy.xcvr) {
    const XcvrSimState st = xcvrSimState(copy.xcvr);
    copy.carrier = st.transmit;
    copy.driveW = st.driveW;
    copy.xcvrVfo = st.activeVfo;
    copy.freqHz = st.vfoHz[st.activeVfo == 1 ? 1 : 0];
    copy.xcvrMode = st.mode;
  }
  return copy;
}

uint32_t simControlsStepHz(const SimControls *c) {
  int i = c->stepIdx;
  return kSteps[i >= 0 && i < kStepCount ? i : 1];
}

std::complex<double> simControlsLoadZ(int load) {
  return load > 0 && load < SIMC_LOADS ? kFixedZ[load] : std::complex<double>(0, 0);
}

const char *simControlsLoadName(int port, int load) {
  if (load > 0 && load < SIMC_LOADS) return kFixedNames[load];
  return port >= 0 && port < 3 ? kPortModels[port] : "50 ohm";
}

const char *simControlsBandName(uint32_t freqHz) {
  for (const SimBand &b : kBands)
    if (freqHz >= b.low && freqHz <= b.high) return b.name;
  return "---";
}

const char *simControlsFaultName(int bit) {
  return bit >= 0 && bit < 7 ? kFaultNames[bit] : "none";
}

int simControlsAct(SimControls *c, int action) {
  std::lock_guard<std::mutex> lk(gControlsMut);
  if (c->xcvr) {
    int r = xcvrAct(c, action);
    if (r >= 0) return r;
  }
  if (action == SIMC_MODE && c->ft817) {
    int i = 0;
    while (i < int(sizeof kFt817Modes) && kFt817Modes[i] != c->ft817Mode) i++;
    c->ft817Mode = kFt817Modes[(i + 1) % int(sizeof kFt817Modes)];
    ft817SimSetMode(c->ft817, uint8_t(c->ft817Mode));
    return 1;
  }
  if (c->amp == nullptr) return 0;
  switch (action) {
    case SIMC_CARRIER:
      c->carrier = !c->carrier;
      applyDrive(c);
      return 1;
    case SIMC_DRIVE_DOWN:
    case SIMC_DRIVE_UP: {
      double next = nextDrive(c->driveW, action == SIMC_DRIVE_UP);
      if (next == c->driveW) return 0;
      c->driveW = next;
      applyDrive(c);
      return 1;
    }
    case SIMC_BAND_DOWN:
    case SIMC_BAND_UP: {
      // To the next band wholly above (below) the carrier, at its usual
      // frequency; from between two bands, to the nearer band on that side.
      uint32_t next = c->freqHz;
      if (action == SIMC_BAND_UP) {
        for (int i = 0; i < kBandCount; i++)
          if (kBands[i].low > c->freqHz) {
            next = kBands[i].home;
            break;
          }
      } else {
        for (int i = kBandCount - 1; i >= 0; i--)
          if (kBands[i].high < c->freqHz) {
            next = kBands[i].home;
            break;
          }
      }
      if (next == c->freqHz) return 0;
      c->freqHz = next;
      applyDrive(c);
      return 1;
    }
    case SIMC_FREQ_DOWN:
    case SIMC_FREQ_UP: {
      int64_t step = simControlsStepHz(c);
      int64_t f = int64_t(c->freqHz) + (action == SIMC_FREQ_UP ? step : -step);
      if (f < kFreqMin) f = kFreqMin;
      if (f > kFreqMax) f = kFreqMax;
      if (uint32_t(f) == c->freqHz) return 0;
      c->freqHz = uint32_t(f);
      applyDrive(c);
      return 1;
    }
    case SIMC_STEP:
      c->stepIdx = (c->stepIdx + 1) % kStepCount;
      return 1;
    case SIMC_PORT:
      c->port = (c->port + 1) % 3;
      return 1;
    case SIMC_LOAD: {
      int p = c->port;
      c->load[p] = (c->load[p] + 1) % SIMC_LOADS;
      if (c->load[p] == 0)
        simAmpSetDefaultLoad(c->amp, p);
      else
        simAmpSetLoad(c->amp, p, kFixedZ[c->load[p]]);
      return 1;
    }
    case SIMC_HOT:
      c->hot = !c->hot;
      if (c->hot)
        simAmpForceTemps(c->amp, kSimHotCelsius, kSimHotCelsius);
      else
        simAmpForceTemps(c->amp, NAN, NAN);
      return 1;
    case SIMC_FAULT:
      c->faultBit = c->faultBit >= 6 ? -1 : c->faultBit + 1;
      simAmpSetFaultBits(c->amp, c->faultBit < 0 ? 0 : uint8_t(1u << c->faultBit));
      return 1;
    case SIMC_TRIP:
      simAmpTripProtection(c->amp);
      c->trips++;
      return 1;
    case SIMC_SILENT:
      c->silent = !c->silent;
      simAmpSetSilent(c->amp, c->silent);
      return 1;
    case SIMC_RESTART:
      simAmpMicroRestart(c->amp);
      c->restarts++;
      return 1;
    default:
      return 0;
  }
}

// ===========================================================================
// 2 the window's picture
// ===========================================================================

#ifdef KZ_HAVE_SDL
#include <SDL.h>
#include <dlfcn.h>

namespace {

// SDL2 is loaded when a window is opened, not when the simulator starts: a
// headless run maps none of SDL's libraries (the display, sound and input
// stacks behind it, about 7 MB resident), so it weighs what the unit does.
#define KZ_SDL_CALLS(X) \
  X(GetTicks64) \
  X(GetError) \
  X(Quit) \
  X(CreateRenderer) \
  X(WaitEventTimeout) \
  X(UpdateTexture) \
  X(SetHint) \
  X(RenderReadPixels) \
  X(RenderPresent) \
  X(RenderCopy) \
  X(RenderClear) \
  X(PollEvent) \
  X(Init) \
  X(GetCurrentVideoDriver) \
  X(DestroyWindow) \
  X(DestroyTexture) \
  X(DestroyRenderer) \
  X(CreateWindow) \
  X(CreateTexture)

struct SdlApi {
#define KZ_SDL_FIELD(name) decltype(&SDL_##name) name = nullptr;
  KZ_SDL_CALLS(KZ_SDL_FIELD)
#undef KZ_SDL_FIELD
};
SdlApi sdl;

// Binds every call once; false (with the reason) when SDL2 is not there.
bool sdlLoad(char *why, size_t whyLen) {
  static void *lib = nullptr;
  if (lib != nullptr) return true;
  void *h = dlopen("libSDL2-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    snprintf(why, whyLen, "SDL2 cannot be loaded: %s", dlerror());
    return false;
  }
  SdlApi api;
  bool all = true;
#define KZ_SDL_BIND(name)                                                        \
  api.name = reinterpret_cast<decltype(api.name)>(dlsym(h, "SDL_" #name));      \
  all = all && api.name != nullptr;
  KZ_SDL_CALLS(KZ_SDL_BIND)
#undef KZ_SDL_BIND
  if (!all) {
    snprintf(why, whyLen, "the SDL2 library lacks a call the window uses");
    dlclose(h);
    return false;
  }
  sdl = api;
  lib = h;
  return true;
}


// Button row and strip geometry (rows of the window picture).
constexpr int kButtonTop = 486, kButtonBottom = 532;
// Button x ranges: those of the key bar above them, a little inset.
const int kButtonX[6][2] = {{3, 127}, {136, 260}, {269, 393}, {402, 526}, {535, 659}, {668, 796}};
constexpr int kStripTop = 538;
const int kLineBase[5] = {556, 580, 604, 628, 651};
constexpr int kChipsMax = 40;
constexpr int kFramesMs = 33, kStripMs = 250, kSnapshotMs = 1000;
constexpr uint64_t kMinHoldMs = 100;  // shortest press handed to the GPIO block

struct Rgb {
  int r, g, b;
};
const Rgb kOrange{250, 150, 0}, kValue{235, 235, 235}, kDim{150, 150, 150}, kOn{90, 230, 90},
    kAlarm{255, 70, 50};

struct Chip {
  int x0, y0, x1, y1;
  int action;
};

}  // namespace

struct SimWindow {
  SimWindowHooks hooks;
  SimControls *controls = nullptr;
  SDL_Window *win = nullptr;
  SDL_Renderer *ren = nullptr;
  SDL_Texture *tex = nullptr;
  std::vector<uint8_t> frame;     // the whole window, 4-byte pixels
  std::vector<uint8_t> snapshot;  // read back from the renderer
  Chip chips[kChipsMax];
  int chipCount = 0;
  bool keyHeld[7] = {};  // panel key n held on the computer keyboard
  int mouseButton = 0;   // panel button held with the mouse, 0 none
  bool lineDown[7] = {};  // what the GPIO block was last told
  uint64_t downAt[7] = {};  // when it was told the button went down
  bool stripDirty = true;
  bool stripDrawn = false;  // the fonts were there at the last drawing
  bool closing = false;
};

namespace {

void fillRect(SimWindow *w, int x0, int y0, int x1, int y1, Rgb c) {
  if (x0 < 0) x0 = 0;
  if (y0 < 0) y0 = 0;
  if (x1 > SIMWIN_W) x1 = SIMWIN_W;
  if (y1 > SIMWIN_H) y1 = SIMWIN_H;
  for (int y = y0; y < y1; y++) {
    uint8_t *p = w->frame.data() + (size_t(y) * SIMWIN_W + size_t(x0)) * 4;
    for (int x = x0; x < x1; x++, p += 4) {
      p[0] = uint8_t(c.b);
      p[1] = uint8_t(c.g);
      p[2] = uint8_t(c.r);
      p[3] = 0;
    }
  }
}

void outlineRect(SimWindow *w, int x0, int y0, int x1, int y1, Rgb c) {
  fillRect(w, x0, y0, x1, y0 + 1, c);
  fillRect(w, x0, y1 - 1, x1, y1, c);
  fillRect(w, x0, y0, x0 + 1, y1, c);
  fillRect(w, x1 - 1, y0, x1, y1, c);
}

int textWidth(SimWindow *w, int size, const char *text) {
  return w->hooks.textWidth ? w->hooks.textWidth(w->hooks.ctx, size, text) : 0;
}

void text(SimWindow *w, int size, int x, int y, const char *s, Rgb c) {
  if (w->hooks.drawText)
    w->hooks.drawText(w->hooks.ctx, w->frame.data(), SIMWIN_W, SIMWIN_H, size, x, y, s, c.r, c.g,
                      c.b);
}

// A clickable chip with its key's text at x on the line with baseline y;
// returns the x after it.
int chip(SimWindow *w, int x, int y, const char *label, int action) {
  int tw = textWidth(w, SIMWIN_TEXT_SMALL, label);
  int x1 = x + tw + 10;
  bool live = w->controls->amp != nullptr || (w->controls->xcvr != nullptr &&
                                              (action == SIMC_MODE || action == SIMC_VFO));
  fillRect(w, x, y - 15, x1, y + 5, live ? Rgb{55, 55, 55} : Rgb{35, 35, 35});
  outlineRect(w, x, y - 15, x1, y + 5, live ? Rgb{120, 120, 120} : Rgb{70, 70, 70});
  text(w, SIMWIN_TEXT_SMALL, x + 5, y, label, live ? kOrange : kDim);
  if (live && w->chipCount < kChipsMax) w->chips[w->chipCount++] = Chip{x, y - 15, x1, y + 5, action};
  return x1 + 4;
}

// A value or a plain text; returns the x after it.
int value(SimWindow *w, int x, int y, const char *s, Rgb c, int gap = 14) {
  text(w, SIMWIN_TEXT_SMALL, x, y, s, c);
  return x + textWidth(w, SIMWIN_TEXT_SMALL, s) + gap;
}

void drawButtons(SimWindow *w) {
  fillRect(w, 0, SIMWIN_SCREEN_H, SIMWIN_W, kStripTop - 2, Rgb{22, 22, 22});
  for (int k = 1; k <= 6; k++) {
    int x0 = kButtonX[k - 1][0], x1 = kButtonX[k - 1][1];
    bool down = w->lineDown[k];
    fillRect(w, x0, kButtonTop, x1, kButtonBottom, down ? Rgb{250, 150, 0} : Rgb{62, 62, 62});
    outlineRect(w, x0, kButtonTop, x1, kButtonBottom, down ? Rgb{255, 210, 120} : Rgb{130, 130, 130});
    char n[2] = {char('0' + k), 0};
    int tw = textWidth(w, SIMWIN_TEXT_LARGE, n);
    text(w, SIMWIN_TEXT_LARGE, (x0 + x1 - tw) / 2, kButtonTop + 33, n,
         down ? Rgb{0, 0, 0} : Rgb{235, 235, 235});
  }
}

// The control strip: every control with its current value. Cost: some
// forty short strings through the program's text code.
void drawStrip(SimWindow *w) {
  const SimControls copy = simControlsCopy(w->controls);
  const SimControls *c = &copy;
  fillRect(w, 0, kStripTop - 2, SIMWIN_W, SIMWIN_H, Rgb{12, 12, 12});
  w->chipCount = 0;
  char buf[96];
  int x, y;
  if (c->amp == nullptr) {
    value(w, 8, kLineBase[0], "Outside amplifier on LinPort: the simulator has no controls for it.",
          kDim);
  } else {
    // Line 1: the carrier.
    y = kLineBase[0];
    // (With a transceiver: its transmitter, drive and current VFO.)
    x = chip(w, 6, y, c->xcvr ? "C  transmit" : "C  carrier", SIMC_CARRIER);
    x = value(w, x, y, c->carrier ? "ON" : "off", c->carrier ? kOn : kValue);
    x = chip(w, x, y, "-", SIMC_DRIVE_DOWN);
    x = chip(w, x, y, "+", SIMC_DRIVE_UP);
    snprintf(buf, sizeof buf, "drive %.2f W", c->driveW);
    x = value(w, x, y, buf, kValue);
    x = chip(w, x, y, "PgDn", SIMC_BAND_DOWN);
    x = chip(w, x, y, "PgUp", SIMC_BAND_UP);
    snprintf(buf, sizeof buf, "band %s", simControlsBandName(c->freqHz));
    x = value(w, x, y, buf, kValue);
    x = chip(w, x, y, "<", SIMC_FREQ_DOWN);
    x = chip(w, x, y, ">", SIMC_FREQ_UP);
    uint32_t f = c->freqHz;
    snprintf(buf, sizeof buf, "%u.%03u.%03u Hz", f / 1000000, f / 1000 % 1000, f % 1000);
    x = value(w, x, y, buf, kValue);
    x = chip(w, x, y, "S  step", SIMC_STEP);
    uint32_t st = simControlsStepHz(c);
    if (st >= 1000)
      snprintf(buf, sizeof buf, "%u kHz", st / 1000);
    else
      snprintf(buf, sizeof buf, "%u Hz", st);
    value(w, x, y, buf, kValue);

    // Line 2: the antenna ports.
    y = kLineBase[1];
    x = chip(w, 6, y, "A  port", SIMC_PORT);
    x = chip(w, x, y, "L  load", SIMC_LOAD);
    for (int p = 0; p < 3; p++) {
      snprintf(buf, sizeof buf, "%sANT%d %s", p == c->port ? "> " : "", p + 1,
               simControlsLoadName(p, c->load[p]));
      x = value(w, x, y, buf, p == c->port ? kOrange : kValue, 12);
    }

    // Line 3: what the transmitter sees through the tuner network.
    y = kLineBase[2];
    std::complex<double> z = simAmpLoadSeen(c->amp);
    double g = std::abs((z - 50.0) / (z + 50.0));
    double swr = g < 1 ? (1 + g) / (1 - g) : 1e9;
    char swrText[16];
    if (swr < 99.995)
      snprintf(swrText, sizeof swrText, "%.2f", swr);
    else
      snprintf(swrText, sizeof swrText, "over 99");
    x = 8;
    if (c->xcvr) {
      // The transceiver's mode and VFO, then a shorter impedance line.
      x = chip(w, 6, y, "O  mode", SIMC_MODE);
      x = value(w, x, y, xcvrSimModeName(c->xcvrMode), kValue);
      x = chip(w, x, y, "V  VFO", SIMC_VFO);
      x = value(w, x, y, c->xcvrVfo == 1 ? "B" : "A", kValue);
      snprintf(buf, sizeof buf, "transmitter sees %.1f %cj%.1f ohm: SWR %s", z.real(),
               z.imag() < 0 ? '-' : '+', std::fabs(z.imag()), swrText);
    } else {
      snprintf(buf, sizeof buf,
               "The transmitter sees %.1f %cj%.1f ohm through the tuner network: SWR %s",
               z.real(), z.imag() < 0 ? '-' : '+', std::fabs(z.imag()), swrText);
    }
    value(w, x, y, buf, kDim);

    // Line 4: faults.
    y = kLineBase[3];
    x = chip(w, 6, y, "T  over-temp", SIMC_HOT);
    if (c->hot) snprintf(buf, sizeof buf, "ON %.0f C", kSimHotCelsius);
    x = value(w, x, y, c->hot ? buf : "off", c->hot ? kAlarm : kValue);
    x = chip(w, x, y, "F  fault bits", SIMC_FAULT);
    if (c->faultBit >= 0)
      snprintf(buf, sizeof buf, "0x%02X %s", 1u << c->faultBit, simControlsFaultName(c->faultBit));
    x = value(w, x, y, c->faultBit >= 0 ? buf : "none", c->faultBit >= 0 ? kAlarm : kValue);
    x = chip(w, x, y, "P  trip", SIMC_TRIP);
    snprintf(buf, sizeof buf, "%d", c->trips);
    x = value(w, x, y, buf, kValue);
    x = chip(w, x, y, "M  link silent", SIMC_SILENT);
    x = value(w, x, y, c->silent ? "ON" : "off", c->silent ? kAlarm : kValue);
    x = chip(w, x, y, "R  restart", SIMC_RESTART);
    snprintf(buf, sizeof buf, "%d", c->restarts);
    value(w, x, y, buf, kValue);
  }
  // Line 5: help.
  y = kLineBase[4];
  if (w->closing)
    value(w, 8, y, "Closing: the unit shuts down through its normal stop ...", kOrange);
  else
    value(w, 8, y,
          "Panel keys 1-6 or click (hold = long press).  Service keys: F10 shell, F11 save setup, "
          "F12 close, PrtSc screenshot.",
          kDim);
  w->stripDrawn = textWidth(w, SIMWIN_TEXT_SMALL, "A") > 0;
}

// ===========================================================================
// 3 events
// ===========================================================================

// Tells the GPIO block about every button whose held state changed; a
// release within the shortest hold waits for a later call (the event loop
// calls this on every pass).
void syncButtons(SimWindow *w) {
  uint64_t now = sdl.GetTicks64();
  for (int k = 1; k <= 6; k++) {
    bool down = w->keyHeld[k] || w->mouseButton == k;
    if (down == w->lineDown[k]) continue;
    if (!down && now - w->downAt[k] < kMinHoldMs) continue;
    w->lineDown[k] = down;
    if (down) w->downAt[k] = now;
    simGpioSetButton(k, down);
    w->stripDirty = true;
  }
}

int panelKeyOf(SDL_Keycode k) {
  if (k >= SDLK_1 && k <= SDLK_6) return int(k - SDLK_1) + 1;
  switch (k) {
    case SDLK_KP_1: return 1;
    case SDLK_KP_2: return 2;
    case SDLK_KP_3: return 3;
    case SDLK_KP_4: return 4;
    case SDLK_KP_5: return 5;
    case SDLK_KP_6: return 6;
    default: return 0;
  }
}

int serviceKeyOf(SDL_Keycode k) {
  switch (k) {
    case SDLK_F10: return KEY_F10;
    case SDLK_F11: return KEY_F11;
    case SDLK_F12: return KEY_F12;
    case SDLK_PRINTSCREEN:
    case SDLK_SYSREQ: return KEY_SYSRQ;
    default: return 0;
  }
}

int controlOf(SDL_Keycode k) {
  switch (k) {
    case SDLK_c: return SIMC_CARRIER;
    case SDLK_MINUS:
    case SDLK_KP_MINUS: return SIMC_DRIVE_DOWN;
    case SDLK_PLUS:
    case SDLK_EQUALS:
    case SDLK_KP_PLUS: return SIMC_DRIVE_UP;
    case SDLK_PAGEDOWN: return SIMC_BAND_DOWN;
    case SDLK_PAGEUP: return SIMC_BAND_UP;
    case SDLK_LEFT: return SIMC_FREQ_DOWN;
    case SDLK_RIGHT: return SIMC_FREQ_UP;
    case SDLK_s: return SIMC_STEP;
    case SDLK_a: return SIMC_PORT;
    case SDLK_l: return SIMC_LOAD;
    case SDLK_t: return SIMC_HOT;
    case SDLK_o: return SIMC_MODE;
    case SDLK_v: return SIMC_VFO;
    case SDLK_f: return SIMC_FAULT;
    case SDLK_p: return SIMC_TRIP;
    case SDLK_m: return SIMC_SILENT;
    case SDLK_r: return SIMC_RESTART;
    default: return SIMC_NONE;
  }
}

void requestClose(SimWindow *w) {
  if (w->closing) return;
  w->closing = true;
  w->stripDirty = true;
  if (w->hooks.close) w->hooks.close(w->hooks.ctx);
}

void onEvent(SimWindow *w, const SDL_Event &ev) {
  switch (ev.type) {
    case SDL_QUIT:
      requestClose(w);
      break;
    case SDL_WINDOWEVENT:
      if (ev.window.event == SDL_WINDOWEVENT_CLOSE) requestClose(w);
      if (ev.window.event == SDL_WINDOWEVENT_FOCUS_LOST) {
        for (bool &h : w->keyHeld) h = false;
        w->mouseButton = 0;
        syncButtons(w);
      }
      if (ev.window.event == SDL_WINDOWEVENT_EXPOSED) w->stripDirty = true;
      break;
    case SDL_KEYDOWN: {
      SDL_Keycode k = ev.key.keysym.sym;
      int panel = panelKeyOf(k);
      if (panel) {
        // The key's own auto-repeat is not a new press: holding is the
        // long press, and the button thread repeats where the screen wants it.
        w->keyHeld[panel] = true;
        syncButtons(w);
        break;
      }
      if (ev.key.repeat) {
        // Only the frequency steps follow a held key.
        int a = controlOf(k);
        if ((a == SIMC_FREQ_DOWN || a == SIMC_FREQ_UP) && simControlsAct(w->controls, a))
          w->stripDirty = true;
        break;
      }
      int service = serviceKeyOf(k);
      if (service) {
        if (w->hooks.serviceKey) w->hooks.serviceKey(w->hooks.ctx, service);
        break;
      }
      if (simControlsAct(w->controls, controlOf(k))) w->stripDirty = true;
      break;
    }
    case SDL_KEYUP: {
      int panel = panelKeyOf(ev.key.keysym.sym);
      if (panel) {
        w->keyHeld[panel] = false;
        syncButtons(w);
      }
      break;
    }
    case SDL_MOUSEBUTTONDOWN: {
      if (ev.button.button != SDL_BUTTON_LEFT) break;
      int x = ev.button.x, y = ev.button.y;
      if (y >= kButtonTop && y < kButtonBottom) {
        for (int k = 1; k <= 6; k++)
          if (x >= kButtonX[k - 1][0] && x < kButtonX[k - 1][1]) w->mouseButton = k;
        syncButtons(w);
        break;
      }
      for (int i = 0; i < w->chipCount; i++) {
        const Chip &c = w->chips[i];
        if (x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1) {
          if (simControlsAct(w->controls, c.action)) w->stripDirty = true;
          break;
        }
      }
      break;
    }
    case SDL_MOUSEBUTTONUP:
      if (ev.button.button == SDL_BUTTON_LEFT && w->mouseButton) {
        w->mouseButton = 0;
        syncButtons(w);
      }
      break;
    default:
      break;
  }
}

void saveSnapshot(SimWindow *w, const char *path) {
  if (path == nullptr || w->hooks.savePng == nullptr) return;
  // What the renderer holds for this frame, read back as drawn.
  if (sdl.RenderReadPixels(w->ren, nullptr, SDL_PIXELFORMAT_RGB888, w->snapshot.data(),
                           SIMWIN_W * 4) != 0) {
    fprintf(stderr, "kavzil-sim: cannot read the window back: %s\n", sdl.GetError());
    return;
  }
  w->hooks.savePng(w->hooks.ctx, w->snapshot.data(), SIMWIN_W, SIMWIN_H, path);
}

// One frame: the screen, the lower part when due, shown.
void present(SimWindow *w, bool strip, const char *snapshotPath, bool snap) {
  // Without a screen (not yet, or no more) the last picture stays.
  if (w->hooks.readScreen) w->hooks.readScreen(w->hooks.ctx, w->frame.data());
  if (strip) {
    drawButtons(w);
    drawStrip(w);
    w->stripDirty = !w->stripDrawn;
  }
  sdl.UpdateTexture(w->tex, nullptr, w->frame.data(), SIMWIN_W * 4);
  sdl.RenderClear(w->ren);
  sdl.RenderCopy(w->ren, w->tex, nullptr, nullptr);
  if (snap) saveSnapshot(w, snapshotPath);
  sdl.RenderPresent(w->ren);
}

}  // namespace

// ===========================================================================
// 4 the event loop
// ===========================================================================

SimWindow *simWindowOpen(const SimWindowHooks &hooks, SimControls *controls, char *why,
                         size_t whyLen) {
  if (!sdlLoad(why, whyLen)) return nullptr;
  // Ctrl-C stays with the simulator's own handler.
  sdl.SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (sdl.Init(SDL_INIT_VIDEO) != 0) {
    snprintf(why, whyLen, "SDL cannot open the display: %s", sdl.GetError());
    return nullptr;
  }
  // SDL falls back to drivers that show nothing (an off-screen GL surface,
  // the dummy driver) when no display answers: that is no window either.
  const char *driver = sdl.GetCurrentVideoDriver();
  if (driver == nullptr || strcmp(driver, "offscreen") == 0 || strcmp(driver, "dummy") == 0) {
    snprintf(why, whyLen, "no display answers (SDL offers only its \"%s\" video driver)",
             driver ? driver : "none");
    sdl.Quit();
    return nullptr;
  }
  auto *w = new SimWindow();
  w->hooks = hooks;
  w->controls = controls;
  w->frame.assign(size_t(SIMWIN_W) * SIMWIN_H * 4, 0);
  w->snapshot.assign(w->frame.size(), 0);
  w->win = sdl.CreateWindow("KAV ZIL simulator", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                            SIMWIN_W, SIMWIN_H, 0);
  if (w->win) w->ren = sdl.CreateRenderer(w->win, -1, 0);
  if (w->win && w->ren == nullptr) w->ren = sdl.CreateRenderer(w->win, -1, SDL_RENDERER_SOFTWARE);
  // RGB888 is 32-bit XRGB: in memory blue, green, red, unused, the screen's layout.
  if (w->ren)
    w->tex = sdl.CreateTexture(w->ren, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING,
                               SIMWIN_W, SIMWIN_H);
  if (w->tex == nullptr) {
    snprintf(why, whyLen, "SDL cannot make the window: %s", sdl.GetError());
    simWindowClose(w);
    return nullptr;
  }
  return w;
}

void simWindowRun(SimWindow *w, const char *snapshotPath) {
  if (w == nullptr) return;
  if (snapshotPath && *snapshotPath == 0) snapshotPath = nullptr;
  uint64_t lastFrame = 0, lastStrip = 0, lastSnap = sdl.GetTicks64();
  while (!(w->hooks.finished && w->hooks.finished(w->hooks.ctx))) {
    SDL_Event ev;
    if (sdl.WaitEventTimeout(&ev, 10)) {
      onEvent(w, ev);
      while (sdl.PollEvent(&ev)) onEvent(w, ev);
    }
    syncButtons(w);
    uint64_t now = sdl.GetTicks64();
    if (now - lastFrame < uint64_t(kFramesMs)) continue;
    lastFrame = now;
    bool strip = w->stripDirty || now - lastStrip >= uint64_t(kStripMs);
    if (strip) lastStrip = now;
    bool snap = snapshotPath && now - lastSnap >= uint64_t(kSnapshotMs);
    if (snap) lastSnap = now;
    present(w, strip, snapshotPath, snap);
  }
  // The last picture, as the window showed it when the unit stopped.
  present(w, true, snapshotPath, snapshotPath != nullptr);
}

void simWindowClose(SimWindow *w) {
  if (w == nullptr) return;
  // A button still held goes up with the window.
  for (int k = 1; k <= 6; k++)
    if (w->lineDown[k]) simGpioSetButton(k, false);
  if (w->tex) sdl.DestroyTexture(w->tex);
  if (w->ren) sdl.DestroyRenderer(w->ren);
  if (w->win) sdl.DestroyWindow(w->win);
  delete w;
  sdl.Quit();
}

#else  // no SDL2 in this build: the simulator runs headless

struct SimWindow {};

SimWindow *simWindowOpen(const SimWindowHooks &, SimControls *, char *why, size_t whyLen) {
  snprintf(why, whyLen, "SDL2 was not found when kavzil-sim was built");
  return nullptr;
}
void simWindowRun(SimWindow *, const char *) {}
void simWindowClose(SimWindow *) {}

#endif
