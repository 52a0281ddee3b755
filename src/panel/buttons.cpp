// The GPIO thread: the six front-panel buttons, three output lines and the
// three-wire exchange with the panel's supervisor chip; see buttons.h.
//
// Sections:
//   1 pins and register access     2 thread state and the dispatcher
//   3 set-up                       4 outputs
//   5 supervisor chip: periodic reads and the bit-banged exchange
//   6 buttons: debounce, long press and repeat
//   7 the thread
//
// Design rules: every register access goes through the GPIO backend chosen
// at start (the board's mapping or the simulated block); every wait goes
// through the clock seam, and press times are taken on its monotonic clock,
// so the long-press and repeat thresholds are real time (the processor time
// of a thread that mostly sleeps says nothing about how long a finger has
// been on a key). An idle pass costs one level read and two writes and
// allocates nothing; a pass with an exchange sleeps about 10 ms inside it.
// The 2 ms pass stays a poll: the block has no interrupt the thread could
// wait on, and the debounce and the supervisor's read cycle count passes.
#include "panel/buttons.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "core/timer.h"
#include "core/works.h"
#include "panel/keys.h"
#include "platform/clock.h"
#include "platform/gpio.h"
#include "platform/log.h"

// ---------------------------------------------------------------------------
// 1 pins and register access
// ---------------------------------------------------------------------------
namespace {

enum {
  PIN_DATA = 4,      // supervisor data, switched to input for the reply
  PIN_CLOCK = 6,     // supervisor clock, idle high
  PIN_UPDATE = 13,   // low while the firmware-update mode is armed
  PIN_ALIVE = 16,    // driven high on every pass
  PIN_BUTTON1 = 22,  // buttons 1-6 on GPIO22-27, pressed = low
  BUTTONS = 6,

  FN_INPUT = 0,
  FN_OUTPUT = 1,
  PULL_UP = 2,

  PASS_US = 2000,
  HALF_BIT_US = 200,
  PULL_SETUP_US = 5,  // the pull-up control needs 150 core cycles to settle

  PANEL_IDLE = 255,  // panelCmd: no order pending
  READ_PASSES = 200,
  ORDER_BITS = 8,
  REPLY_BITS = 12,

  DEBOUNCE_SAMPLES = 5,
  REPEATS_SLOW = 14,  // repeats at the slow rate before the fast one
};

constexpr double kRepeatSlowS = 0.1;
constexpr double kRepeatFastS = 0.02;
constexpr double kWarnAheadS = 0.15;  // keyFlags bit 0 this long before a long press

constexpr uint32_t pinBit(int pin) { return 1u << pin; }
constexpr uint32_t kButtonPins = 0x3Fu << PIN_BUTTON1;

const KzGpioBackend *gIo = nullptr;  // null until a start succeeded

uint32_t rd(int reg) { return gIo->read(reg); }
void wr(int reg, uint32_t v) { gIo->write(reg, v); }

// Three function-select bits per pin, ten pins per word.
void pinMode(int pin, uint32_t fn) {
  int reg = GPIO_FSEL0 + pin / 10;
  int shift = (pin % 10) * 3;
  uint32_t v = rd(reg);
  v = (v & ~(7u << shift)) | (fn << shift);
  wr(reg, v);
}

// ---------------------------------------------------------------------------
// 2 thread state and the dispatcher
// ---------------------------------------------------------------------------
struct Button {
  int state;  // debounced: 1 released, 0 pressed
  int prev;   // debounced state at the last pass, -1 before the first
  int count;  // disagreeing samples since the last accepted change
};

struct GpioState {
  uint32_t setShadow, clrShadow;  // output words written every pass
  bool clockIdleHigh;             // the clock rests high between exchanges
  Button btn[BUTTONS];
  unsigned timed;    // the button being timed (one bit at most)
  unsigned pending;  // long presses answered 0: no call until the release
  int repeats;       // repeats of the held key, shared by all buttons
  int64_t startMs;   // start of the running long-press or repeat interval
};

GpioState g;

// Stands in for the key dispatcher until the panel installs its own with
// GpioSetDispatcher: it does what every dispatch ends with (the key time
// for the screen saver, the long-press warning cleared) and asks for no
// repeat.
int noDispatcher(works *w, int key, int longBits) {
  (void)key;
  (void)longBits;
  w->lastKeyTime = kzKeyClockSeconds();
  w->keyFlags.fetch_and(uint8_t(~1u));
  return 0;
}

std::atomic<KzKeyDispatcher> gDispatch{noDispatcher};

int dispatch(works *w, int key, int longBits) { return gDispatch.load()(w, key, longBits); }

std::atomic<KzKeyObserver> gObserver{nullptr};

void observe(int key, int what) {
  if (KzKeyObserver o = gObserver.load()) o(key, what);
}

void shadowHigh(int pin) {
  g.setShadow |= pinBit(pin);
  g.clrShadow &= ~pinBit(pin);
}

void shadowLow(int pin) {
  g.clrShadow |= pinBit(pin);
  g.setShadow &= ~pinBit(pin);
}

}  // namespace

void GpioSetDispatcher(KzKeyDispatcher d) { gDispatch = d ? d : noDispatcher; }
void GpioSetKeyObserver(KzKeyObserver o) { gObserver = o; }

// ---------------------------------------------------------------------------
// 3 set-up
// ---------------------------------------------------------------------------
int GpioStart(works *w) {
  (void)w;
  g = GpioState{};
  for (Button &b : g.btn) b = Button{1, -1, 0};
  g.clockIdleHigh = true;
  gIo = nullptr;

  kzLog(KZ_LOG_INFO, "GPIO operations start\n");
  const KzGpioBackend *io = kzGpioCurrent();
  int rc = io->open();
  if (rc != 0) return rc;
  gIo = io;

  pinMode(PIN_DATA, FN_OUTPUT);
  pinMode(PIN_CLOCK, FN_OUTPUT);
  pinMode(PIN_ALIVE, FN_OUTPUT);
  wr(GPIO_SET0, pinBit(PIN_UPDATE));
  pinMode(PIN_UPDATE, FN_OUTPUT);
  for (int i = 0; i < BUTTONS; i++) pinMode(PIN_BUTTON1 + i, FN_INPUT);
  // Pull-ups on the buttons: control, clock the pins in, release both.
  wr(GPIO_PUD, PULL_UP);
  kzSleepUs(PULL_SETUP_US);
  wr(GPIO_PUDCLK0, kButtonPins);
  kzSleepUs(PULL_SETUP_US);
  wr(GPIO_PUD, 0);
  wr(GPIO_PUDCLK0, 0);

  kzLog(KZ_LOG_INFO, "GPIO loop start\n");
  const Button *b = g.btn;
  kzTrace(" t1 %d %d, t2 %d %d, t3 %d %d, t4 %d %d, t5 %d %d, t6 %d %d\n", b[0].state, b[0].prev,
          b[1].state, b[1].prev, b[2].state, b[2].prev, b[3].state, b[3].prev, b[4].state,
          b[4].prev, b[5].state, b[5].prev);
  return 0;
}

// ---------------------------------------------------------------------------
// 4 outputs
// ---------------------------------------------------------------------------
namespace {

void driveOutputs(works *w) {
  shadowHigh(PIN_ALIVE);
  if (g.clockIdleHigh) shadowHigh(PIN_CLOCK);
  if (w->maintFlags.load() & 1)
    shadowLow(PIN_UPDATE);
  else
    shadowHigh(PIN_UPDATE);
  wr(GPIO_SET0, g.setShadow);
  wr(GPIO_CLR0, g.clrShadow);
}

// ---------------------------------------------------------------------------
// 5 supervisor chip: periodic reads and the bit-banged exchange
// ---------------------------------------------------------------------------

// One step of the read cycle every READ_PASSES idle passes: version,
// 12 V, 15 V, amplifier supply, one idle step. Returns the order to send
// now, or PANEL_IDLE.
uint8_t periodicRead(works *w) {
  static constexpr uint8_t kCycle[] = {176, 209, 210, 211, PANEL_IDLE};
  constexpr int kSteps = int(sizeof kCycle);
  if (w->panelCmdTimer > 0) w->panelCmdTimer--;
  if (w->panelCmdTimer != 0) return PANEL_IDLE;
  w->panelCmdTimer = READ_PASSES;
  int idx = w->panelCmdIdx < kSteps ? w->panelCmdIdx : 0;
  w->panelCmdIdx = uint8_t((idx + 1) % kSteps);
  uint8_t order = kCycle[idx];
  if (order == PANEL_IDLE) return PANEL_IDLE;
  // Another thread may have put its order in since the pass began: that
  // one goes now and this reading waits for the next cycle.
  uint8_t seen = PANEL_IDLE;
  if (w->panelCmd.compare_exchange_strong(seen, order)) return order;
  return seen;
}

// Sends one order byte and reads the 12-bit reply (about 10 ms):
// the chip takes each data bit on the clock's falling edge, and puts each
// reply bit on the line while the clock is low.
uint16_t panelExchange(uint8_t order) {
  for (int i = ORDER_BITS - 1; i >= 0; i--) {
    wr(GPIO_SET0, pinBit(PIN_CLOCK));
    kzSleepUs(HALF_BIT_US);
    wr((order >> i) & 1 ? GPIO_SET0 : GPIO_CLR0, pinBit(PIN_DATA));
    kzSleepUs(HALF_BIT_US);
    wr(GPIO_CLR0, pinBit(PIN_CLOCK));
    kzSleepUs(HALF_BIT_US);
  }
  pinMode(PIN_DATA, FN_INPUT);
  wr(GPIO_SET0, pinBit(PIN_CLOCK) | pinBit(PIN_DATA));
  for (int i = 0; i < 3; i++) kzSleepUs(HALF_BIT_US);
  uint16_t reply = 0;
  for (int i = 0; i < REPLY_BITS; i++) {
    wr(GPIO_CLR0, pinBit(PIN_CLOCK));
    kzSleepUs(HALF_BIT_US);
    reply = uint16_t((reply << 1) | ((rd(GPIO_LEV0) >> PIN_DATA) & 1));
    wr(GPIO_SET0, pinBit(PIN_CLOCK));
    kzSleepUs(HALF_BIT_US);
  }
  pinMode(PIN_DATA, FN_OUTPUT);
  wr(GPIO_SET0, pinBit(PIN_DATA) | pinBit(PIN_CLOCK));
  return reply;
}

void serveSupervisor(works *w) {
  uint8_t cmd = w->panelCmd.load();
  if (cmd == PANEL_IDLE) cmd = periodicRead(w);
  if (cmd == PANEL_IDLE) return;
  uint16_t reply = panelExchange(cmd);
  w->panelReply[cmd & 3] = uint8_t(reply & 0xFF);
  // An order written by another thread during the exchange stays pending.
  w->panelCmd.compare_exchange_strong(cmd, PANEL_IDLE);
}

// ---------------------------------------------------------------------------
// 6 buttons: debounce, long press and repeat
// ---------------------------------------------------------------------------
bool othersReleased(int i) {
  for (int j = 0; j < BUTTONS; j++)
    if (j != i && g.btn[j].state != 1) return false;
  return true;
}

// A change is taken on the sixth disagreeing sample since the last accepted
// change, and only while every other button is released: one button at a
// time can be down. The level register is read once per pass: the six
// samples are of the same instant, and a pass costs one read, not six.
void sampleButtons() {
  const uint32_t levels = rd(GPIO_LEV0);
  for (int i = 0; i < BUTTONS; i++) {
    int s = int((levels >> (PIN_BUTTON1 + i)) & 1);
    Button &b = g.btn[i];
    if (s == b.state) continue;
    if (b.count < DEBOUNCE_SAMPLES) {
      b.count++;
    } else if (othersReleased(i)) {
      b.state = s;
      b.count = 0;
    }
  }
}

void timeButtons(works *w) {
  for (int i = 0; i < BUTTONS; i++) {
    const int key = i + 1;
    const unsigned m = 1u << i;
    Button &b = g.btn[i];
    const bool down = b.state == 0;
    if (g.timed == 0 && down) {
      g.startMs = kzNowMs();
      g.timed |= m;
    }
    if ((g.timed & m) && down && !(g.pending & m)) {
      double elapsed = double(kzNowMs() - g.startMs) / 1000.0;
      double threshold = g.repeats == 0              ? TIME_LONG_PRESS
                         : g.repeats <= REPEATS_SLOW ? kRepeatSlowS
                                                     : kRepeatFastS;
      // The "second function" warning only before a long press that does
      // something; never while a key repeats.
      if (g.repeats == 0 && elapsed > threshold - kWarnAheadS && KeyHasLongPress(w, key))
        w->keyFlags.fetch_or(1);
      if (elapsed > threshold) {
        int again = dispatch(w, key, int(g.pending | m));
        observe(key, GPIO_KEY_LONG);
        if (again != 0) {
          g.startMs = kzNowMs();
          if (g.repeats <= REPEATS_SLOW) g.repeats++;  // only the rate depends on it
        } else {
          g.pending |= m;
        }
      }
    }
    if (b.state != b.prev) {
      if (b.state == 1) {
        if (!(g.pending & m) && b.prev != -1) dispatch(w, key, 0);
        g.pending &= ~m;
        g.timed &= ~m;
        g.repeats = 0;
      }
      if (b.prev != -1) observe(key, b.state == 0 ? GPIO_KEY_DOWN : GPIO_KEY_UP);
      b.prev = b.state;
    }
  }
}

}  // namespace

void GpioPass(works *w) {
  if (gIo == nullptr) return;
  driveOutputs(w);
  serveSupervisor(w);
  sampleButtons();
  timeButtons(w);
}

// ---------------------------------------------------------------------------
// 7 the thread
// ---------------------------------------------------------------------------
void GPIO(works *w) {
  const KzGpioBackend *io = kzGpioCurrent();
  int rc = GpioStart(w);
  if (rc != 0) {
    // The board's block that cannot be opened or mapped ends the process
    // (it was logged); anything else leaves the unit without its buttons.
    if (io == &kzGpioBoard && (rc == 8 || rc == -1)) exit(rc);
    kzLog(KZ_LOG_ERR, "GPIO block not available (%d): buttons off", rc);
    kzTrace("GPIO block not available (%d): buttons off\n", rc);
    return;
  }
  while (w->running.load()) {
    GpioPass(w);
    kzSleepUs(PASS_US);
  }
  kzLog(KZ_LOG_INFO, "GPIO operations end\n");
}
