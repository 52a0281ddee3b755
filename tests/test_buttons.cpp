// Front-panel buttons, the output lines and the supervisor-chip exchange,
// stepped pass by pass on the fake clock against the simulated GPIO block;
// the board backend's refusal off the board; the simulated block itself.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "amplifier/decode.h"
#include "core/works.h"
#include "panel/buttons.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/gpio.h"
#include "sim/gpio_sim.h"
#include "support.h"

namespace {

using Keys = std::vector<std::pair<int, int>>;  // key, longBits
using Ints = std::vector<int>;

// Recording dispatcher: answers gLongAnswer to long presses and, like the
// panel's dispatcher, clears the long-press warning at the end of a call.
Keys gKeys;
std::vector<int64_t> gKeyMs;
int gLongAnswer = 0;
std::function<void(works *)> gOnCall;

int recordKey(works *w, int key, int bits) {
  gKeys.push_back({key, bits});
  gKeyMs.push_back(kzNowMs());
  if (gOnCall) gOnCall(w);
  w->keyFlags.fetch_and(uint8_t(~1u));
  return bits ? gLongAnswer : 0;
}

class ButtonsTest : public ::testing::Test {
 protected:
  std::unique_ptr<works> w = std::make_unique<works>();
  KzLogCapture log{0};
  double savedLongPress = TIME_LONG_PRESS;

  void SetUp() override {
    w->running = 1;
    w->panelCmd = 255;
    w->panelCmdTimer = 100000;  // no periodic read unless a test wants them
    gKeys.clear();
    gKeyMs.clear();
    gLongAnswer = 0;
    gOnCall = nullptr;
    TIME_LONG_PRESS = 0.5;
    simGpioReset();
    kzGpioUse(&simGpioBackend);
    kzClockUse(&kzClockFake);
    kzFakeClockSet(0);
    GpioSetDispatcher(recordKey);
  }
  void TearDown() override {
    GpioSetDispatcher(nullptr);
    kzGpioUse(nullptr);
    kzClockUse(&kzClockReal);
    TIME_LONG_PRESS = savedLongPress;
  }
  void start() { ASSERT_EQ(GpioStart(w.get()), 0); }
  void passes(int n) {
    for (int i = 0; i < n; i++) {
      GpioPass(w.get());
      kzSleepUs(2000);
    }
  }
  // The buttons of `down` (bit n - 1 for button n) held, the others
  // released, for n passes.
  void step(unsigned down, int n) {
    for (int b = 1; b <= 6; b++) simGpioSetButton(b, (down >> (b - 1)) & 1);
    passes(n);
  }
};

using GpioSupervisor = ButtonsTest;
using ButtonsThread = ButtonsTest;

// Puts another thread's order 149 in after the Nth register write.
works *gPoked = nullptr;
int gWritesLeft = 0;
void pokeWrite(int off, uint32_t v) {
  simGpioBackend.write(off, v);
  if (gWritesLeft > 0 && --gWritesLeft == 0) gPoked->panelCmd = 149;
}
const KzGpioBackend kPokeBackend = {simGpioBackend.open, simGpioBackend.read, pokeWrite};

}  // namespace

TEST(GpioBoard, RefusesOffTheBoard) {
  KzTempRoot root("kz_gpio");
  KzLogCapture log(0);
  std::string pi = root.dir + "/pi", other = root.dir + "/other";
  std::ofstream(pi) << std::string("raspberrypi,3-model-b\0brcm,bcm2837\0", 35);
  std::ofstream(other) << std::string("qemu,virt\0linux,dummy-virt\0", 27);
  EXPECT_EQ(kzIsBcmBoard(pi.c_str()), 1);
  EXPECT_EQ(kzIsBcmBoard(other.c_str()), 0);
  // Whole names only.
  EXPECT_EQ(kzCompatibleIsBcm("brcm,bcm2835-x\0xbrcm,bcm2711", 29), 0);
  EXPECT_EQ(kzCompatibleIsBcm("brcm,bcm2711", 12), 1);

  // Off the board nothing is mapped and the thread leaves the buttons off
  // without ending the process.
  kzGpioBoardCompatiblePath(other.c_str());
  EXPECT_EQ(kzGpioBoard.open(), 1);
  kzGpioBoard.write(GPIO_SET0, 0xFFFFFFFF);
  EXPECT_EQ(kzGpioBoard.read(GPIO_LEV0), 0u);
  auto w = std::make_unique<works>();
  w->running = 1;
  kzGpioUse(&kzGpioBoard);
  GPIO(w.get());
  kzGpioBoardCompatiblePath(nullptr);
  EXPECT_EQ(log.count("GPIO block not available (1): buttons off"), 1);
  EXPECT_EQ(log.count("GPIO operations end\n"), 0);
  EXPECT_EQ(log.count("can't open /dev/mem"), 0);
}

TEST_F(ButtonsTest, SetUpProgramsThePinsAndOutputsFollowTheUpdateMode) {
  EXPECT_EQ(simGpioLevel(23), 0);  // the block's own lines read low without a pull
  start();
  for (int pin : {4, 6, 13, 16}) EXPECT_EQ(simGpioFunction(pin), 1) << pin;
  for (int pin = 22; pin <= 27; pin++) {
    EXPECT_EQ(simGpioFunction(pin), 0) << pin;
    EXPECT_EQ(simGpioPull(pin), 2) << pin;
  }
  EXPECT_EQ(log.count(" t1 1 -1, t2 1 -1, t3 1 -1, t4 1 -1, t5 1 -1, t6 1 -1\n"), 1);

  passes(1);
  EXPECT_EQ(simGpioLevel(16) + simGpioLevel(6) + simGpioLevel(13), 3);
  w->maintFlags = 1;
  passes(1);
  EXPECT_EQ(simGpioLevel(13), 0);
  w->maintFlags = 0x0E;  // the other bits leave it high
  passes(1);
  EXPECT_EQ(simGpioLevel(13), 1);
  EXPECT_TRUE(gKeys.empty());  // released buttons give no key at start
}

TEST_F(ButtonsTest, TapAndDebounce) {
  start();
  step(4, 150);  // button 3 for 0.3 s: short of the warning
  EXPECT_EQ(w->keyFlags.load(), 0);
  step(0, 50);
  EXPECT_EQ(gKeys, (Keys{{3, 0}}));

  // Five low samples are no press; the count stays, so one low sample
  // later completes one, and the sixth high sample releases it.
  gKeys.clear();
  step(16, 5);
  step(0, 100);
  step(16, 1);
  step(0, 5);
  EXPECT_TRUE(gKeys.empty());
  passes(1);
  EXPECT_EQ(gKeys, (Keys{{5, 0}}));
}

TEST_F(ButtonsTest, HoldRepeatsSlowThenFastAndEndsWithARelease) {
  start();
  gLongAnswer = 1;
  int64_t t0 = kzNowMs();
  step(2, 0);
  bool warned = false;  // key 2 has no second function: no warning, no repeat one either
  while (gKeys.size() < 25 && kzNowMs() < t0 + 5000) {
    passes(1);
    warned = warned || (w->keyFlags.load() & 1);
  }
  ASSERT_EQ(gKeys, Keys(25, {2, 2}));
  EXPECT_FALSE(warned);
  EXPECT_GE(gKeyMs[0] - t0, 500);
  EXPECT_LE(gKeyMs[0] - t0, 530);  // plus the debounce and a pass
  for (size_t i = 1; i < gKeyMs.size(); i++) {
    int64_t d = gKeyMs[i] - gKeyMs[i - 1], low = i <= 14 ? 100 : 20;
    EXPECT_TRUE(d >= low && d <= low + 16) << i << ": " << d;
  }
  step(0, 100);
  step(2, 240);  // the next hold waits the long-press time again
  ASSERT_EQ(gKeys.size(), 26u);
  EXPECT_EQ(gKeys[25], std::make_pair(2, 0));
}

TEST_F(ButtonsTest, HoldAnsweredZeroFiresOnceAfterTheWarning) {
  start();
  TIME_LONG_PRESS = 0.8;
  step(32, 0);
  int64_t warnedAt = -1;
  for (int64_t end = kzNowMs() + 2000; kzNowMs() < end;) {
    passes(1);
    if (warnedAt < 0 && (w->keyFlags.load() & 1)) warnedAt = kzNowMs();
    if (!gKeys.empty()) {
      EXPECT_EQ(w->keyFlags.load() & 1, 0);  // no warning after the call
    }
  }
  ASSERT_EQ(gKeys, (Keys{{6, 32}}));
  ASSERT_GE(warnedAt, 0);
  EXPECT_GE(gKeyMs[0] - warnedAt, 140);
  EXPECT_LE(gKeyMs[0] - warnedAt, 165);
  step(0, 100);
  EXPECT_EQ(gKeys.size(), 1u);
}

TEST_F(ButtonsTest, OneButtonAtATime) {
  start();
  // Pressed together: the lower one is taken, the other never counts.
  step(1 | 8, 50);
  step(1, 20);
  step(0, 50);
  EXPECT_EQ(gKeys, (Keys{{1, 0}}));
  // One held past the first's release is taken then, and times its own
  // long press from there: 0.8 s gives 5 its long press, none for 2.
  step(16, 50);
  step(16 | 2, 400);
  step(2, 50);
  step(0, 50);
  EXPECT_EQ(gKeys, (Keys{{1, 0}, {5, 16}, {2, 0}}));
}

TEST_F(GpioSupervisor, PeriodicReadsCycleEvery200Passes) {
  w->panelCmdTimer = 0;
  start();
  Ints orderPass;
  for (int pass = 0; pass <= 1200; pass++) {
    passes(1);
    while (orderPass.size() < simGpioOrders().size()) orderPass.push_back(pass);
  }
  EXPECT_EQ(simGpioOrders(), (Ints{176, 209, 210, 211, 176, 209}));
  EXPECT_EQ(orderPass, (Ints{0, 200, 400, 600, 1000, 1200}));
  EXPECT_EQ(w->panelReply[0].load(), 0x12);
  EXPECT_EQ(w->panelReply[1].load(), simGpioRailRaw(12.0));
  EXPECT_EQ(w->panelReply[2].load(), simGpioRailRaw(15.0));
  EXPECT_EQ(w->panelCmd.load(), 255);
  // The chip's scale is the one the program reads the supply with.
  w->ampModel = '0';
  EXPECT_NEAR(CalvTensVadcAmp(w.get(), w->panelReply[3]), 13.8, 0.1);
}

TEST_F(GpioSupervisor, ExchangeStoresTheLowByteInTheOrdersSlot) {
  start();
  simGpioSetStatusNibble(0xA);
  simGpioSetVersion(0x9C3);
  simGpioSetRaw(3, 200);
  simGpioSetRaw(1, 0x5A);
  w->panelCmd = 211;
  int64_t t0 = kzNowMs();
  GpioPass(w.get());
  EXPECT_EQ(kzNowMs() - t0, 10);  // 8 x 600 + 600 + 12 x 400 us
  EXPECT_EQ(w->panelReply[3].load(), 200);
  EXPECT_EQ(w->panelCmd.load(), 255);
  EXPECT_EQ(simGpioFunction(4) + simGpioLevel(4) + simGpioLevel(6), 3);  // output, high
  w->panelCmd = 176;
  passes(1);
  w->panelCmd = 133;
  passes(1);
  EXPECT_EQ(w->panelReply[0].load(), 0xC3);
  EXPECT_EQ(w->panelReply[1].load(), 0x5A);
  EXPECT_EQ(w->panelReply[2].load(), 0);
  EXPECT_EQ(simGpioOrders(), (Ints{211, 176, 133}));

  // An order put in by another thread during an exchange is sent next.
  simGpioClearOrders();
  kzGpioUse(&kPokeBackend);
  start();
  gPoked = w.get();
  w->panelCmd = 210;
  gWritesLeft = 12;  // among the order bits
  passes(1);
  EXPECT_EQ(w->panelCmd.load(), 149);
  passes(1);
  EXPECT_EQ(simGpioOrders(), (Ints{210, 149}));
  EXPECT_EQ(w->panelCmd.load(), 255);
}

TEST_F(ButtonsThread, RunsUntilTheRunFlagDropsAndStaysOffWithoutItsBlock) {
  w->panelCmd = 176;
  gOnCall = [](works *x) { x->running = 0; };
  simGpioSetButton(1, true);
  GPIO(w.get());  // the dispatcher stops it at the long press
  EXPECT_EQ(gKeys, (Keys{{1, 1}}));
  EXPECT_EQ(simGpioOrders().at(0), 176);
  EXPECT_EQ(log.count("GPIO operations end\n"), 1);

  // A simulated block reporting the board's failure does not end the
  // process: the buttons stay off.
  simGpioSetOpenResult(8);
  w->running = 1;
  GPIO(w.get());
  EXPECT_EQ(log.count("GPIO block not available (8): buttons off"), 1);
  EXPECT_EQ(log.count("GPIO operations end\n"), 1);
}
