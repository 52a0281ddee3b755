// Key dispatch: the screen-saver wake-up, the attenuator key, manual tuning
// with held keys, SAVE of the tuning values, bank
// reset and copy, the layout cycle, the link-failure screen, the menu wrap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/threads.h"
#include "core/timer.h"
#include "panel/keys.h"
#include "panel/menu.h"
#include "panel/meters.h"
#include "platform/files.h"
#include "sim/amp_sim.h"
#include "support.h"
#include "tuner/banktab.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"

namespace {

using Ints = std::vector<int>;

class KeysTest : public ::testing::Test {
 protected:
  KzTempRoot root{"kz_keys"};
  KzLogCapture log{0};
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  int keptDivX = divX, keptRangeEnd = xRangeEnd;  // plot globals the layouts change

  void TearDown() override {
    divX = keptDivX;
    xRangeEnd = keptRangeEnd;
  }

  void SetUp() override {
    initSetup(w.get());
    w->errorsMuted = 0;
    w->ampBypass = 0;
    w->numBanco = 0;
    w->ModeWorkIdx = 0;
    w->maxBank = 3;
    w->menuCount = KZ_MENU_ENTRIES;
    InitTabAntenna(w.get(), 0);
  }
  int press(int key, int longBits = 0) { return DecodeTasto(w.get(), key, longBits); }
  int state() const { return w->screenState.load(); }
  Ints queued() { return kzTakeQueued(w.get()); }
  std::string read(const std::string &name) {
    std::string d;
    kzReadFile(root.file(name.c_str()), d);
    return d;
  }
  // Files named in the recorded "rm -f" command lines.
  std::vector<std::string> removed() {
    std::vector<std::string> v;
    const std::string pre = "rm -f " + root.dir + "/opt/set/";
    for (const std::string &c : kzCmdRecorded())
      if (c.rfind(pre, 0) == 0) v.push_back(c.substr(pre.size()));
    return v;
  }
};

}  // namespace

TEST_F(KeysTest, SaverWakeUpOnlyRestoresTheScreen) {
  w->saverActive = 1;
  w->lastKeyTime = 0;
  w->keyFlags = 1;
  EXPECT_EQ(press(3, 1 << 2), 0);
  EXPECT_TRUE(w->saverActive.load() == 0 && w->antenna.load() == 0 && queued().empty());
  EXPECT_EQ(w->keyFlags.load(), 0);
  EXPECT_STREQ(w->imgName, "img1");
  EXPECT_LE(std::abs(w->lastKeyTime.load() - kzKeyClockSeconds()), 1);
  EXPECT_EQ(log.count("----------> DISATTIVO SAVE SCREEN\n"), 1);
  w->keyFlags = 1;
  press(3);  // awake: the antenna steps
  EXPECT_TRUE(w->antenna.load() == 1 && queued() == Ints{7} && w->keyFlags.load() == 0);
}

TEST_F(KeysTest, AttenuatorStepsStandbyAndRefusalWhileTransmitting) {
  auto steps = [&](int n) {
    Ints shown;
    for (int i = 0; i < n; ++i) press(2), shown.push_back(w->attenuatorShown.load());
    return shown;
  };
  EXPECT_EQ(steps(5), (Ints{1, 2, 3, 4, 0}));
  EXPECT_EQ(queued(), (Ints{14, 14, 14, 20, 14}));
  w->attenuatorShown = 4;  // standby: back to operate
  w->ampBypass = 1;
  press(2);
  EXPECT_TRUE(w->attenuatorShown.load() == 0 && queued() == (Ints{14, 19}));
  w->ampBypass = 0;
  w->ampStatus1 = 1;  // transmitting: 0..3 only
  EXPECT_EQ(steps(5), (Ints{1, 2, 3, 0, 1}));
  queued();
  w->ampBypass = 1;  // transmitting in standby: error 17, nothing changes
  w->attenuatorShown = 4;
  press(2);
  EXPECT_EQ(w->attenuatorShown.load(), 4);
  EXPECT_EQ(kzListed(w.get()), Ints{17});
  EXPECT_TRUE(queued().empty());
}

TEST_F(KeysTest, ManualTuningHeldKeysStopAtTheBounds) {
  w->screenState = KZ_SCR_TUNE;
  press(6);
  ASSERT_EQ(state(), KZ_SCR_MANUAL);
  EXPECT_EQ(queued(), Ints{10});
  SetMode(w.get(), 1);
  w->valI = 509;
  SetI(w.get(), 509);
  Ints rep;
  for (int i = 0; i < 4; ++i) rep.push_back(press(3, 1 << 2));  // "up L" held
  EXPECT_EQ(rep, (Ints{1, 1, 1, 1}));
  EXPECT_EQ(w->valI, 511);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord.load()), 511);
  EXPECT_EQ(queued(), (Ints{11, 11}));
  EXPECT_EQ(press(3), 0);  // a short press does not repeat
  w->valC = 0;
  EXPECT_EQ(press(4, 1 << 3), 1);  // "down C" at 0
  EXPECT_TRUE(w->valC == 0 && queued().empty());
  w->ampStatus0 = 1;  // test carrier on, then off
  w->anResendCnt = 7;
  press(6);
  EXPECT_TRUE(w->txTest.load() == (1 | 2 | 16) && w->anResendCnt.load() == 0);
  EXPECT_STREQ(Novamenu[4].lbl[10], "StopTX");
  EXPECT_EQ(queued(), Ints{21});
  press(6);
  EXPECT_EQ(w->txTest.load(), 1);
  EXPECT_STREQ(Novamenu[4].lbl[10], "StartTX");
  // Long key 1 steps on from the mode the key shows (the word in use), even
  // with an older decoded copy: LC -> bypass -> CL.
  SetMode(w.get(), 2);
  w->tuneMode = 1;
  Ints modes;
  for (int i = 0; i < 2; ++i)
    press(1, 1), modes.push_back(DecodeModoFromTuneval(w->tuneWord.load()));
  EXPECT_EQ(modes, (Ints{3, 1}));
  // Out through the save screen and back: the first MANUAL opens it again.
  press(1);
  ASSERT_EQ(state(), KZ_SCR_SAVETUNE);
  press(1);
  w->screenState = KZ_SCR_TUNE;
  press(6);
  EXPECT_EQ(state(), KZ_SCR_MANUAL);
}

TEST_F(KeysTest, SaveIsRefusedInBypassAndStoresTheTuneOtherwise) {
  w->freqHz = 14200000;
  w->screenState = KZ_SCR_SAVETUNE;
  w->saveBank = 1;
  w->saveAnt = 1;
  SetMode(w.get(), 3);
  press(6);
  EXPECT_TRUE(state() == KZ_SCR_TUNE && (w->keyFlags.load() & 2));
  EXPECT_FALSE(std::filesystem::exists(root.file("atu_ant2_b1.txt")));
  press(2);  // any key of the tune screen takes the notice away
  EXPECT_EQ(w->keyFlags.load() & 2, 0);
  w->screenState = KZ_SCR_SAVETUNE;
  SetMode(w.get(), 2);
  SetI(w.get(), 33);
  SetC(w.get(), 44);
  w->bandRowIdx = 5;
  press(6);
  // The band actions are not run again: they would replace the tune in use
  // by the stored tune of the bank in use (none here).
  EXPECT_EQ(w->bandRowIdx.load(), 5);
  EXPECT_EQ(read("atu_ant2_b1.txt"), "3130 14200000 1 2 33 44\n");
  EXPECT_EQ(w->tuneTab[1][3130].valid, 0);  // bank 0 is the one loaded
  // The tune in use stays the one just saved, in the works and at the
  // amplifier.
  EXPECT_TRUE(DecodeInduttanzaFromTuneval(w->tuneWord) == 33 &&
              DecodeCapacitaFromTuneval(w->tuneWord) == 44 &&
              DecodeModoFromTuneval(w->tuneWord) == 2);
}

TEST_F(KeysTest, ResetDeletesOneBankOrEveryBank) {
  w->numBanco = 1;
  w->screenState = KZ_SCR_UTIL;
  press(3);
  ASSERT_TRUE(state() == KZ_SCR_RESET && w->resetBank.load() == 1);
  press(6);
  EXPECT_EQ(removed(), (std::vector<std::string>{"atu_ant1_b1.txt", "atu_ant2_b1.txt",
                                                 "atu_ant3_b1.txt", "antenna_b1.txt"}));
  EXPECT_TRUE(state() == KZ_SCR_BANK && w->bandRowIdx.load() == -1);
  kzCmdClearRecorded();
  w->screenState = KZ_SCR_RESET;
  Ints steps;  // past the last bank: maxBank ("ALL"), then 0
  for (int i = 0; i < 4; ++i) press(2), steps.push_back(w->resetBank.load());
  EXPECT_EQ(steps, (Ints{2, 3, 0, 1}));
  press(2), press(2);
  press(6);
  std::vector<std::string> want;
  for (const char *b : {"", "_b1", "_b2"}) {
    for (int a = 1; a <= 3; ++a) want.push_back("atu_ant" + std::to_string(a) + b + ".txt");
    want.push_back(std::string("antenna") + b + ".txt");
  }
  EXPECT_EQ(removed(), want);
}

TEST_F(KeysTest, CopyBankGivesTheDestinationTheOriginsTables) {
  for (int a = 0; a < KZ_ANTENNAS; ++a) {  // bank 1: a tune per antenna, interface KAV
    w->tuneTab[a][1000 + a] = TuneVal{1, 1, int16_t(10 + a), int16_t(20 + a)};
    SaveTabAtu(w.get(), 1, a);
  }
  w->bandTab[5].ant = 2;
  w->ModeWorkIdx = 1;
  SaveTabConfig(w.get(), 1);
  w->ModeWorkIdx = 0;
  LoadAllBankTable(w.get(), 0);  // bank 0 in use, without files
  w->screenState = KZ_SCR_UTIL;
  press(2);  // COPY: origin = bank in use
  press(2);  // ORIGIN 0 -> 1
  press(3), press(3);  // DEST 0 -> 2
  ASSERT_TRUE(w->copySrc.load() == 1 && w->copyDst.load() == 2);
  press(6);
  EXPECT_EQ(state(), KZ_SCR_BANK);
  for (int a = 1; a <= 3; ++a) {
    const std::string n = "atu_ant" + std::to_string(a);
    EXPECT_FALSE(read(n + "_b1.txt").empty());
    EXPECT_EQ(read(n + "_b2.txt"), read(n + "_b1.txt")) << a;
  }
  EXPECT_EQ(read("antenna_b2.txt"), read("antenna_b1.txt"));
  EXPECT_EQ(read("antenna_b2.txt").substr(0, 5), "!Kav\n");
  // Bank 0 is loaded again.
  EXPECT_TRUE(w->tuneTab[0][1000].valid == 0 && w->bandTab[5].ant == 1);
  EXPECT_EQ(w->ModeWorkIdx.load(), 0);
}

TEST_F(KeysTest, LayoutCycleChoosesBackgroundAndPlot) {
  rec.enaser = '1';
  const std::vector<std::string> imgs = {"img3", "img1", "m5a", "m5a", "img1"};
  for (int i = 0; i < 5; ++i) {
    press(6);
    EXPECT_EQ(w->workScreenType.load(), (i + 1) % 5 + 1);
    EXPECT_EQ(std::string(w->imgName), imgs[i]);
    if (i == 2) {
      EXPECT_TRUE(divX == 16 && xRangeEnd == 854 && w->plotSpan == 160000);
    }
    if (i == 3) {
      EXPECT_TRUE(divX == 8 && xRangeEnd == 427 && w->plotSpan == 80000);
    }
  }
  EXPECT_EQ(log.count("type to 1\n"), 1);
  EXPECT_EQ(rec.enaser, '0');  // not the KAV interface: its serial link is off
  w->ampModel = '1';
  press(6);
  EXPECT_STREQ(w->imgName, "img3b");
  press(6);
  EXPECT_STREQ(w->imgName, "img1b");
  press(6, 1 << 5);  // the status overlay; the next short press only closes it
  EXPECT_TRUE(w->statusFlags.load() == 1 && std::string(w->imgName) == "status");
  press(6);
  EXPECT_TRUE(w->statusFlags.load() == 0 && w->workScreenType.load() == 3);
}

TEST_F(KeysTest, LinkFailureRetryAndCancel) {
  w->screenState = KZ_SCR_LINKFAIL;
  rec.enaser = '1';  // transceiver serial link: cancel switches it off
  snprintf(rec.SerPort, sizeof rec.SerPort, "/nonexistent");
  w->linkError = 3;
  press(5);  // retry: the link starts again and fails again
  JoinAllThreads();
  EXPECT_EQ(w->linkError.load(), 3);
  EXPECT_STREQ(w->linkErrorText, "Serial: Unable to open device /nonexistent\n");
  w->linkError = 3;
  press(6);
  EXPECT_TRUE(w->linkError.load() == -1 && rec.enaser == '0');
  rec.enaCatSer = '1';  // FT-817 CAT serial link: the same, that link only
  rec.EnableCAT = '1';
  snprintf(rec.CatSerialPort, sizeof rec.CatSerialPort, "/nonexistent");
  w->linkError = 2;
  press(5);
  JoinAllThreads();
  EXPECT_EQ(w->linkError.load(), 2);
  EXPECT_STREQ(w->linkErrorText, "CAT: Unable to open device /nonexistent");
  w->linkError = 2;
  press(6);
  EXPECT_TRUE(w->linkError.load() == -1 && rec.enaCatSer == '0' && rec.EnableCAT == '1');
  // Amplifier link: both keys start its thread again. With the run flag
  // down the thread only tries its port and ends, which shows it ran.
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", "/nonexist/x");
  rec.EnableLinear = '1';
  w->running = 0;
  for (int key : {5, 6}) {
    w->linkError = 1;
    w->linkErrorText[0] = 0;
    press(key);
    ASSERT_TRUE(thrLin.started);
    thrLin.th.join();
    thrLin.started = false;
    EXPECT_EQ(w->linkError.load(), 1) << key;  // set again by the thread
    EXPECT_STREQ(w->linkErrorText, "Linear: Unable to open device /nonexist/x");
  }
}

TEST_F(KeysTest, MenuCursorAndBankWrap) {
  press(5);
  ASSERT_EQ(state(), KZ_SCR_MENU);
  w->menuSub = 3;
  press(3);
  EXPECT_TRUE(w->menuIdx.load() == 30 && w->menuSub.load() == 0);
  press(4);
  EXPECT_EQ(w->menuIdx.load(), 0);
  press(6);
  EXPECT_EQ(state(), KZ_SCR_EDIT);
  press(6);
  EXPECT_EQ(state(), KZ_SCR_MENU);
  w->screenState = KZ_SCR_MAIN;
  Ints banks;  // MEM: next bank, wrapping at maxBank
  for (int i = 0; i < 3; ++i) press(1), banks.push_back(w->numBanco.load());
  EXPECT_EQ(banks, (Ints{1, 2, 0}));
}

// The amplifier linked and hot for good (both sensors at 75 C over a 60 C
// set point) with a fault listed too: every status reply keeps the alarm.
// Key 1 still leads back from every screen; only on the main screen, where
// it shows "RESET", does a short press reset the errors.
TEST_F(KeysTest, KeyOneLeavesEveryScreenWhileAnAlarmLasts) {
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", simAmpSlavePath(amp));
  w->maxTemperature = 60.0f;
  w->maxTemperature2 = 60.0f;
  w->isteresi1 = 1;
  w->running = 1;
  simAmpForceTemps(amp, 75.0, 75.0);
  simAmpSetFaultBits(amp, 0x02);
  InitMicroCmd(w.get());
  std::thread link(Linear, w.get());
  auto alarmed = [&] {
    return ExistError(w.get(), 2) && ExistError(w.get(), 22) && ExistError(w.get(), 15);
  };
  const bool raised = kzWaitFor(alarmed, 20000);
  // The protection's "AT11;" (both pads) is what the panel shows now.
  const bool padsIn = kzWaitFor([&] { return w->attForced.load() == 1 + 3; }, 10000);
  auto walk = [&](std::initializer_list<std::pair<int, int>> keys) {
    Ints states;
    for (auto [key, longBits] : keys) press(key, longBits), states.push_back(state());
    return states;
  };
  Ints seen;
  if (raised) {
    seen = walk({{5, 0}, {1, 0},                   // menu, back
                 {4, 0}, {1, 0},                   // tune, back
                 {4, 0}, {6, 0}, {1, 0}, {1, 0},   // tune, manual, save (ESC), back
                 {1, 1}, {6, 0}, {1, 0}, {5, 0},   // bank screen, table, back, utilities
                 {2, 0}, {1, 0}, {1, 0}});         // copy, back, back
  }
  const bool stillAlarmed = alarmed();
  const int bank = w->numBanco.load();
  const auto resets = [&] {
    auto r = simAmpReceived(amp);
    return std::count(r.begin(), r.end(), std::string("CPFFFF;"));
  };
  const auto before = resets();
  press(1);  // the reset key of the main screen
  const bool reset = kzWaitFor([&] { return resets() > before; }, 10000);
  w->running = 0;
  link.join();
  simAmpStop(amp);
  ASSERT_TRUE(raised);
  EXPECT_TRUE(padsIn);
  EXPECT_EQ(seen, (Ints{KZ_SCR_MENU, KZ_SCR_MAIN, KZ_SCR_TUNE, KZ_SCR_MAIN, KZ_SCR_TUNE,
                        KZ_SCR_MANUAL, KZ_SCR_SAVETUNE, KZ_SCR_MAIN, KZ_SCR_BANK,
                        KZ_SCR_BANKEDIT, KZ_SCR_BANK, KZ_SCR_UTIL, KZ_SCR_COPY, KZ_SCR_BANK,
                        KZ_SCR_MAIN}));
  EXPECT_TRUE(stillAlarmed);
  EXPECT_TRUE(reset);
  EXPECT_TRUE(state() == KZ_SCR_MAIN && w->numBanco.load() == bank);  // no bank change
}
