// Simulated GPIO block and panel supervisor chip; see gpio_sim.h.
//
// Every register write re-evaluates the clock line, and the chip acts on
// its edges, so the exchange is followed bit by bit at whatever pace the
// program writes. Cost: a few operations per access, under one lock.
#include "sim/gpio_sim.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "platform/clock.h"

namespace {

enum {
  WORDS = 1024,  // 4096-byte block
  PINS = 32,     // bank 0: the panel's pins
  DATA = 4,
  CLOCK = 6,
  BUTTON1 = 22,
  BUTTONS = 6,
  RESYNC_MS = 100,
};

struct Chip {
  bool replying = false;  // false: shifting an order in
  int bits = 0;           // bits shifted in or out in this phase
  uint8_t order = 0;
  uint16_t reply = 0;
  bool driving = false;  // puts a level on the data line
  int drive = 1;
  int64_t lastEdgeMs = 0;
  uint16_t version = 0x012;
  uint8_t raw[4] = {0, 0, 0, 0};
  uint8_t status = 0;
  std::vector<int> orders;
};

struct Block {
  uint32_t regs[WORDS] = {};
  uint32_t latch = 0;
  uint8_t pull[PINS] = {};
  bool pressed[BUTTONS] = {};
  // Scripted presses: the thread's reports so far, per kind and button,
  // and the report on which a scripted button is let go (-1 none).
  uint32_t taken[3][BUTTONS] = {};
  int releaseOn[BUTTONS] = {-1, -1, -1, -1, -1, -1};
  bool cancelled = false;
  int clock = 0;  // clock line level as last seen
  int openResult = 0;
  Chip chip;
};

std::mutex gMut;
std::condition_variable gTaken;  // a report came, or the presses were cancelled
Block gBlock;

uint8_t toRaw(double x) {
  if (!(x > 0)) return 0;  // also NaN
  if (x >= 255) return 255;
  return uint8_t(std::lround(x));
}

void defaults(Block &b) {
  b = Block{};
  b.chip.raw[1] = simGpioRailRaw(12.0);
  b.chip.raw[2] = simGpioRailRaw(15.0);
  b.chip.raw[3] = simGpioSupplyRaw(13.8);
}

int functionOf(const Block &b, int pin) { return int((b.regs[pin / 10] >> ((pin % 10) * 3)) & 7); }

int levelOf(const Block &b, int pin) {
  if (pin < 0 || pin >= PINS) return 0;
  if (functionOf(b, pin) == 1) return int((b.latch >> pin) & 1);
  if (pin == DATA && b.chip.driving) return b.chip.drive;
  if (pin >= BUTTON1 && pin < BUTTON1 + BUTTONS && b.pressed[pin - BUTTON1]) return 0;
  return b.pull[pin] == 2 ? 1 : 0;
}

uint16_t answer(const Chip &c, uint8_t order) {
  int cls = order & 3;
  if (cls == 0) return uint16_t(c.version & 0xFFF);
  return uint16_t(((c.status & 0xF) << 8) | c.raw[cls]);
}

void clockEdge(Block &b, int level) {
  Chip &c = b.chip;
  int64_t now = kzNowMs();
  if (now < c.lastEdgeMs || now - c.lastEdgeMs > RESYNC_MS) {
    c.replying = false;
    c.bits = 0;
    c.order = 0;
    c.driving = false;
  }
  c.lastEdgeMs = now;
  if (level == 0) {  // falling edge
    if (!c.replying) {
      c.order = uint8_t((c.order << 1) | levelOf(b, DATA));
      if (++c.bits == 8) {
        c.orders.push_back(c.order);
        c.reply = answer(c, c.order);
        c.replying = true;
        c.bits = 0;
      }
    } else if (c.bits < 12) {
      c.driving = true;
      c.drive = (c.reply >> (11 - c.bits)) & 1;
      c.bits++;
    }
  } else if (c.replying && c.bits == 12) {  // rising edge after the last bit
    c.driving = false;
    c.replying = false;
    c.bits = 0;
    c.order = 0;
  }
}

void followClock(Block &b) {
  int level = levelOf(b, CLOCK);
  if (level == b.clock) return;
  b.clock = level;
  clockEdge(b, level);
}

int simOpen() {
  std::lock_guard<std::mutex> lk(gMut);
  return gBlock.openResult;
}

uint32_t simRead(int off) {
  std::lock_guard<std::mutex> lk(gMut);
  if (off < 0 || off >= WORDS) return 0;
  if (off == GPIO_SET0 || off == GPIO_CLR0) return 0;  // write-only
  if (off == GPIO_LEV0) {
    uint32_t v = 0;
    for (int pin = 0; pin < PINS; pin++) v |= uint32_t(levelOf(gBlock, pin)) << pin;
    return v;
  }
  return gBlock.regs[off];
}

void simWrite(int off, uint32_t v) {
  std::lock_guard<std::mutex> lk(gMut);
  Block &b = gBlock;
  if (off < 0 || off >= WORDS || off == GPIO_LEV0) return;
  switch (off) {
    case GPIO_SET0:
      b.latch |= v;
      break;
    case GPIO_CLR0:
      b.latch &= ~v;
      break;
    case GPIO_PUD:
      b.regs[off] = v & 3;
      break;
    case GPIO_PUDCLK0:
      for (int pin = 0; pin < PINS; pin++)
        if (v & (1u << pin)) b.pull[pin] = uint8_t(b.regs[GPIO_PUD] & 3);
      b.regs[off] = v;
      break;
    default:
      b.regs[off] = v;
      break;
  }
  followClock(b);
}

}  // namespace

const KzGpioBackend simGpioBackend = {simOpen, simRead, simWrite};

void simGpioReset() {
  std::lock_guard<std::mutex> lk(gMut);
  defaults(gBlock);
}

void simGpioSetOpenResult(int rc) {
  std::lock_guard<std::mutex> lk(gMut);
  gBlock.openResult = rc;
}

void simGpioSetButton(int n, bool pressed) {
  if (n < 1 || n > BUTTONS) return;
  std::lock_guard<std::mutex> lk(gMut);
  gBlock.pressed[n - 1] = pressed;
}

void simGpioButtonTaken(int n, int what) {
  if (n < 1 || n > BUTTONS || what < SIMGPIO_TAKEN_UP || what > SIMGPIO_TAKEN_LONG) return;
  {
    std::lock_guard<std::mutex> lk(gMut);
    Block &b = gBlock;
    b.taken[what][n - 1]++;
    if (b.releaseOn[n - 1] == what) {
      b.pressed[n - 1] = false;
      b.releaseOn[n - 1] = -1;
    }
  }
  gTaken.notify_all();
}

void simGpioCancelPresses() {
  {
    std::lock_guard<std::mutex> lk(gMut);
    gBlock.cancelled = true;
  }
  gTaken.notify_all();
}

int simGpioPress(int n, bool longPress, int timeoutMs) {
  if (n < 1 || n > BUTTONS) return -1;
  const int i = n - 1;
  std::unique_lock<std::mutex> lk(gMut);
  Block &b = gBlock;
  // Waits for the next report of kind `what` after the count `since`.
  auto await = [&](int what, uint32_t since) {
    bool got = gTaken.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
      return b.cancelled || b.taken[what][i] != since;
    });
    return b.cancelled ? -2 : got ? 0 : -1;
  };
  if (b.cancelled) return -2;
  const int hold = longPress ? SIMGPIO_TAKEN_LONG : SIMGPIO_TAKEN_DOWN;
  uint32_t held = b.taken[hold][i], up = b.taken[SIMGPIO_TAKEN_UP][i];
  b.releaseOn[i] = hold;
  b.pressed[i] = true;
  int rc = await(hold, held);
  if (rc != 0) {
    b.pressed[i] = false;
    b.releaseOn[i] = -1;
    return rc;
  }
  return await(SIMGPIO_TAKEN_UP, up);
}

int simGpioFunction(int pin) {
  if (pin < 0 || pin >= PINS) return 0;
  std::lock_guard<std::mutex> lk(gMut);
  return functionOf(gBlock, pin);
}

int simGpioPull(int pin) {
  if (pin < 0 || pin >= PINS) return 0;
  std::lock_guard<std::mutex> lk(gMut);
  return gBlock.pull[pin];
}

int simGpioLevel(int pin) {
  std::lock_guard<std::mutex> lk(gMut);
  return levelOf(gBlock, pin);
}

void simGpioSetVersion(uint16_t version12) {
  std::lock_guard<std::mutex> lk(gMut);
  gBlock.chip.version = uint16_t(version12 & 0xFFF);
}

void simGpioSetRaw(int cls, uint8_t raw) {
  if (cls < 1 || cls > 3) return;
  std::lock_guard<std::mutex> lk(gMut);
  gBlock.chip.raw[cls] = raw;
}

void simGpioSetStatusNibble(uint8_t nibble) {
  std::lock_guard<std::mutex> lk(gMut);
  gBlock.chip.status = uint8_t(nibble & 0xF);
}

uint8_t simGpioRailRaw(double volts) { return toRaw(volts * 255.0 / (3.3 * 6.0)); }

uint8_t simGpioSupplyRaw(double volts, int k) {
  if (k <= 0) return 0;
  return toRaw(volts * 255.0 * 18.0 / (3.3 * k));
}

std::vector<int> simGpioOrders() {
  std::lock_guard<std::mutex> lk(gMut);
  return gBlock.chip.orders;
}

void simGpioClearOrders() {
  std::lock_guard<std::mutex> lk(gMut);
  gBlock.chip.orders.clear();
}

// The block starts as after simGpioReset.
namespace {
struct SimGpioInit {
  SimGpioInit() { defaults(gBlock); }
} gInit;
}  // namespace
