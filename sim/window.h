// Simulator window: the simulated unit's panel on the desktop (SDL2).
//
// The window shows the 800 x 480 screen at 1:1, the six front-panel
// buttons under it and a strip of simulator controls: the carrier at the
// amplifier's input (on/off, drive power, frequency), the load on each
// antenna port and fault injection into the simulated amplifier. With a
// simulated transceiver attached the carrier controls are the
// transceiver's own (transmit, drive, VFO frequency and band), with its
// mode and VFO A/B besides: the carrier then reaches the amplifier from the
// transceiver, also when the amplifier orders it to transmit. The panel
// buttons act on the simulated GPIO block exactly as the panel's own
// buttons would (pressed while a key or the mouse button is held), so the
// program's button thread does the debounce, long press and repeat.
//
// Like every simulated peer, the window knows nothing of the program: the
// simulator hands it the screen, its text drawing, the service keyboard and
// the stop through the hooks below. The controls are a plain record with
// one function per action, usable (and tested) without a display.
//
// Without SDL2 at build time (no KZ_HAVE_SDL) simWindowOpen always fails
// and the simulator runs headless.
#pragma once
#include <complex>
#include <cstddef>
#include <cstdint>

struct SimAmp;
struct XcvrSim;
struct Ft817Sim;

// ---- simulator controls ------------------------------------------------------

enum SimControlAction {
  SIMC_NONE = 0,
  SIMC_CARRIER,     // carrier on / off
  SIMC_DRIVE_DOWN,  // drive power one step down / up
  SIMC_DRIVE_UP,
  SIMC_BAND_DOWN,   // drive frequency to the next band below / above
  SIMC_BAND_UP,
  SIMC_FREQ_DOWN,   // drive frequency one fine step down / up
  SIMC_FREQ_UP,
  SIMC_STEP,        // next fine step size
  SIMC_PORT,        // next antenna port for the load key
  SIMC_LOAD,        // next load of the chosen port
  SIMC_HOT,         // over-temperature forced / released
  SIMC_FAULT,       // next fault bit (none, bits 0 to 6, none)
  SIMC_TRIP,        // protection trip now
  SIMC_SILENT,      // link silence on / off
  SIMC_RESTART,     // micro-controller restart
  SIMC_MODE,        // transceiver or FT-817: next mode
  SIMC_VFO,         // transceiver: VFO A / B
  SIMC_ACTIONS
};

// Names of the controls, for scripts (kavzil-sim --script) and help texts.
struct SimControlInfo {
  int action;           // SIMC_*
  const char *word;     // script word: "carrier", "drive+", ...
  const char *key;      // the window's key: "C", "+", ...
  const char *meaning;  // what it does
};
// Every control, SIMC_CARRIER to SIMC_VFO in order (SIMC_ACTIONS - 1 entries).
const SimControlInfo *simControlsTable();
// The action a script word names; SIMC_NONE for none.
int simControlsByWord(const char *word);

// Drive power the controls step through, W (the carrier's range).
constexpr double kSimDriveMinW = 0.1, kSimDriveMaxW = 10.0;
// Frequencies the amplifier covers (160 m to 6 m), Hz. The fine steps may
// go a little outside them (1 MHz to 60 MHz), to try the unit there.
constexpr uint32_t kSimFreqLowHz = 1800000, kSimFreqHighHz = 54000000;

// Loads of a port, in the order the load key steps through them: the
// port's own model, then fixed impedances.
enum { SIMC_LOADS = 5 };
// Temperatures forced by the over-temperature control, degrees C.
constexpr double kSimHotCelsius = 75.0;

struct SimControls {
  SimAmp *amp = nullptr;  // null: an outside amplifier, nothing to steer
  bool carrier = false;
  double driveW = 2.5;    // carrier power when on, W
  uint32_t freqHz = 14070000;
  int stepIdx = 1;        // fine step: 100 Hz, 1 kHz, 10 kHz, 100 kHz
  int port = 0;           // antenna port 0..2 the load key acts on
  int load[3] = {0, 0, 0};  // per port: 0 its model, 1.. a fixed impedance
  bool hot = false;
  int faultBit = -1;      // -1 no fault bit, else the bit set
  bool silent = false;
  int trips = 0, restarts = 0;
  XcvrSim *xcvr = nullptr;  // the simulated transceiver, or null
  Ft817Sim *ft817 = nullptr;  // the simulated FT-817, or null
  int ft817Mode = 1;          // its mode byte
  // The transceiver's mode and VFO (0 A, 1 B): filled in by simControlsCopy,
  // with carrier, driveW and freqHz taken from the transceiver.
  int xcvrMode = 0, xcvrVfo = 0;
};

// Starts the controls from the command line: the carrier is on when
// `driveW` > 0 (at that power), off at 2.5 W otherwise. Puts the drive
// on the amplifier.
void simControlsInit(SimControls *c, SimAmp *amp, double driveW, uint32_t freqHz);
// Hands the carrier controls to a simulated transceiver (sim/xcvr_sim.h):
// its VFO A takes the controls' frequency, its drive their power, and it
// transmits when the carrier was on. The transceiver's carrier hook is the
// caller's to set (to the amplifier's drive); the controls no longer drive
// the amplifier themselves.
void simControlsAttachXcvr(SimControls *c, XcvrSim *x);
// Ties a simulated FT-817's VFO to the carrier's frequency (its band and
// frequency controls then tune the FT-817 too; the carrier stays the
// amplifier's drive), and the mode control to its mode byte.
void simControlsAttachFt817(SimControls *c, Ft817Sim *f);
// Acts on one control; returns 1 when something changed (0 for an outside
// amplifier or a step that has nowhere to go). The window and a script may
// act from different threads: every action takes the controls' lock.
int simControlsAct(SimControls *c, int action);
// A copy of the controls taken under that lock, to draw from.
SimControls simControlsCopy(const SimControls *c);
// Fine step size, Hz.
uint32_t simControlsStepHz(const SimControls *c);
// Impedance of load `load` (1..SIMC_LOADS-1); load 0 (the port's model)
// has none and gives 0.
std::complex<double> simControlsLoadZ(int load);
// Text of a port's load: "dummy load", "dipole", "end-fed wire", "50 ohm", ...
const char *simControlsLoadName(int port, int load);
// Band of a frequency ("20m"), or "---".
const char *simControlsBandName(uint32_t freqHz);
// Name of a fault bit ("I OUT", ...), "none" for -1.
const char *simControlsFaultName(int bit);

// ---- the window ----------------------------------------------------------------

enum {
  SIMWIN_W = 800,
  SIMWIN_SCREEN_H = 480,
  SIMWIN_H = 658,  // screen, button row, control strip
};

// Text sizes the window asks for.
enum { SIMWIN_TEXT_SMALL = 0, SIMWIN_TEXT_LARGE = 1 };

struct SimWindowHooks {
  // Copies the 800 x 480 screen (4-byte pixels blue, green, red, 0, rows of
  // 3200 bytes) into `dst`; false while there is no screen.
  bool (*readScreen)(void *ctx, uint8_t *dst) = nullptr;
  // Draws `text` into a 4-byte-pixel picture of width x height with its
  // baseline at y; `size` is one of SIMWIN_TEXT_*.
  void (*drawText)(void *ctx, uint8_t *pixels, int width, int height, int size, int x, int y,
                   const char *text, int red, int green, int blue) = nullptr;
  // Width of `text` in pixels at `size` (0 until the fonts are loaded).
  int (*textWidth)(void *ctx, int size, const char *text) = nullptr;
  // A service keyboard key went down: a linux/input.h code (KEY_SYSRQ,
  // KEY_F10, KEY_F11, KEY_F12).
  void (*serviceKey)(void *ctx, int code) = nullptr;
  // The window was closed: the unit is to stop.
  void (*close)(void *ctx) = nullptr;
  // The unit has stopped: the event loop ends.
  bool (*finished)(void *ctx) = nullptr;
  // Saves a 4-byte-pixel picture as PNG (the window snapshot); 0 or -1.
  int (*savePng)(void *ctx, const uint8_t *pixels, int width, int height,
                 const char *path) = nullptr;
  void *ctx = nullptr;
};

struct SimWindow;

// Opens the window; nullptr when there is no display (or no SDL2 in this
// build), with the reason in `why`.
SimWindow *simWindowOpen(const SimWindowHooks &hooks, SimControls *controls, char *why,
                         size_t whyLen);
// The event loop, on the calling thread (the process's main thread) until
// the hooks' finished answers true. With `snapshotPath` (may be null) the
// whole window is saved as PNG there every second and at the end.
void simWindowRun(SimWindow *win, const char *snapshotPath);
void simWindowClose(SimWindow *win);
