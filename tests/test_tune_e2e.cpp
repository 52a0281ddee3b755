// Auto-tune end to end: the Linear thread and the supervisor against the
// simulated amplifier with its tuner network, a bank table that keeps the
// tuner in line on 15 m and 20 m, a load the network can match. On the
// transceiver interface the simulated transceiver, on its own PTY, gives
// the frequency and transmits when the tune asks for a carrier; the tune
// converges, lands in the slot file, and comes back from memory after the
// transceiver's VFO goes away and returns. In "Generic" mode the tune key starts a
// tune that runs on the operator's carrier, seen at the amplifier's input.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/bandconf.h"
#include "core/notice.h"
#include "core/setup.h"
#include "core/timer.h"
#include "core/works.h"
#include "panel/keys.h"
#include "platform/files.h"
#include "sim/amp_sim.h"
#include "sim/unit_files.h"
#include "sim/xcvr_sim.h"
#include "radio/serlink.h"
#include "radio/serparams.h"
#include "support.h"
#include "unit_support.h"
#include "tuner/autotune.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"

namespace {

std::string lastMt1(SimAmp *amp) {
  auto r = simAmpReceived(amp);
  for (auto it = r.rbegin(); it != r.rend(); ++it)
    if (it->compare(0, 3, "MT1") == 0) return *it;
  return "";
}

}  // namespace

TEST(TuneE2E, ConvergesStoresAndComesBackFromMemory) {
  KzTempRoot root("kz_tune");
  KzLogCapture log(0);
  ASSERT_EQ(kzSaveFileAtomic(root.file("antenna_b1.txt"),
                             "!Kav\n"
                             "20m 14000000 14350000 1 1 0 0 0.0\n"
                             "15m 21000000 21450000 1 1 0 0 0.0\n"),
            0);
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  // A load the search reaches: 80 - j60 ohm at 21.2 MHz.
  simAmpSetLoad(amp, 0, {80.0, -60.0});
  XcvrSimOptions xo;
  xo.vfoAHz = 21200000;
  xo.driveW = 5.0;
  XcvrSim *xcvr = xcvrSimStart(xo);
  ASSERT_NE(xcvr, nullptr);
  xcvrSimSetCarrierHook(xcvr, [amp](double watts, uint32_t hz) { simAmpSetDrive(amp, watts, hz); });

  SetupRec rec;
  SerParameters params{};
  auto w = std::make_unique<works>();
  w->setup = &rec;
  w->serParams = &params;
  initSetup(w.get());
  InitErrTable(w.get());
  w->errorsMuted = 0;
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", simAmpSlavePath(amp));
  snprintf(rec.SerPort, sizeof rec.SerPort, "%s", xcvrSimSlavePath(xcvr));
  rec.enaser = '1';
  LoadAllBankTable(w.get(), 1);
  ASSERT_EQ(w->ModeWorkIdx.load(), 1);  // the transceiver gives the frequency
  w->swrEscAutoTune = 1.5f;
  w->autoTuneMode = 1;

  std::thread link(Linear, w.get());
  std::thread ser(Serial, w.get());
  std::thread sup(timer, w.get());
  auto stop = [&] {
    w->running = 0;
    sup.join();
    ser.join();
    link.join();
    xcvrSimStop(xcvr);
    simAmpStop(amp);
  };
  // The transceiver's frequency reaches the amplifier, and the band row is
  // applied: tuner in line with nothing stored = reset to "CL" with both
  // codes 0, amplifier in operation.
  auto told = [&](const char *fa) {
    auto r = simAmpReceived(amp);
    return std::find(r.begin(), r.end(), fa) != r.end();
  };
  bool ready = kzWaitFor(
      [&] {
        return told("FA00021200000;") && lastMt1(amp) == "MT100800000;" &&
               !simAmpState(amp).bypass;
      },
      10000);
  if (!ready) stop();
  ASSERT_TRUE(ready);
  EXPECT_EQ(w->txActive.load(), 0);

  // The key asks the transceiver for a carrier, tunes on it and lets it go.
  GoTune(w.get());
  ASSERT_EQ(w->tuneState.load(), 1);
  bool ended = kzWaitFor([&] { return w->tuneState.load() == 0; }, 30000);
  if (!ended) stop();
  ASSERT_TRUE(ended);
  EXPECT_TRUE(kzWaitFor([&] { return !xcvrSimState(xcvr).transmit; }, 5000));
  EXPECT_EQ(xcvrSimReceived(xcvr), (std::vector<std::string>{"TU120;", "TX2;", "RX;"}));
  EXPECT_EQ(log.countContaining("SENT KAV TX2;!"), 1);
  EXPECT_FALSE(ExistError(w.get(), 14));
  uint32_t tuned = w->tuneWord.load();
  EXPECT_FALSE(ExistError(w.get(), 18));
  EXPECT_LT(tuneParam.swr, 1.5f);
  char want[16];
  snprintf(want, sizeof want, "MT1%08X;", tuned);
  EXPECT_TRUE(kzWaitFor([&] { return simAmpState(amp).tuneWord == tuned; }, 3000));
  // The handshake is idle again once the transceiver has let go.
  EXPECT_TRUE(kzWaitFor([&] { return (w->autoTuneMode.load() & 0x1E) == 0; }, 5000));

  // Stored in the slot of 21.2 MHz, antenna 1, bank 1.
  std::string text;
  EXPECT_EQ(kzReadFile(root.file("atu_ant1_b1.txt"), text), 0);
  char line[64];
  snprintf(line, sizeof line, "3820 21200000 1 %d %d %d\n", DecodeModoFromTuneval(tuned),
           DecodeInduttanzaFromTuneval(tuned), DecodeCapacitaFromTuneval(tuned));
  EXPECT_EQ(text, line);

  // The VFO away to 20 m (nothing stored there: reset) and back: the
  // amplifier is told each frequency, and the stored tune goes out again.
  xcvrSimSetVfo(xcvr, 0, 14200000);
  EXPECT_TRUE(kzWaitFor(
      [&] { return told("FA00014200000;") && lastMt1(amp) == "MT100800000;"; }, 5000));
  xcvrSimSetVfo(xcvr, 0, 21200000);
  EXPECT_TRUE(kzWaitFor([&] { return lastMt1(amp) == want; }, 5000));
  EXPECT_EQ(simAmpState(amp).tuneWord, tuned);
  stop();
}

// A unit as it leaves the factory (the simulated unit's own files: "Generic"
// bank, automatic tuning on), 20 m on antenna 3, the end-fed wire, driven
// with 2.5 W: the untuned wire reflects enough to trip the protection the
// tune switches on at its start. The tune key tunes on the carrier that is
// already there, the trip counts as one bad point and is cleared, and the
// tune ends, stored, with nothing left tripped. Without a carrier the key
// starts nothing and says why; with the carrier back on another frequency
// the next tune is stored for that one.
TEST(TuneE2E, GenericModeTunesOnTheOperatorsCarrier) {
  KzTempRoot root("kz_tune_gen");
  KzLogCapture log(0);
  ASSERT_EQ(kzSaveFileAtomic(root.file("antenna_b1.txt"),
                             "!Gen\n"
                             "20m 14000000 14350000 1 3 0 0 0.0\n"),
            0);
  simWriteUnitFiles(root.dir);
  SimAmpOptions ao;
  ao.antennaModels = true;
  SimAmp *amp = simAmpStart(ao);
  ASSERT_NE(amp, nullptr);
  simAmpSetDrive(amp, 2.5, 14200000);

  KzRunningUnit unit(amp);
  works *w = unit.w.get();
  ASSERT_EQ(w->ModeWorkIdx.load(), 0);
  ASSERT_EQ(w->autoTuneMode.load(), 1);
  unit.start();
  auto stop = [&] { unit.stop(); };
  // The counter gives the frequency, the band row puts antenna 3 and the
  // tuner in line ("CL", nothing stored), the input power the transmit state.
  bool ready = kzWaitFor(
      [&] {
        SimAmpState st = simAmpState(amp);
        return lastMt1(amp) == "MT100800000;" && st.antenna == 3 && !st.bypass &&
               w->lastFreqHz.load() == 14200000u && w->txActive.load() == 1;
      },
      10000);
  if (!ready) stop();
  ASSERT_TRUE(ready);
  const float before = w->swr.load();
  EXPECT_GT(before, 6.0f);

  auto pressTune = [&] {
    w->screenState = KZ_SCR_TUNE;
    DecodeTasto(w, 4, 0);
  };
  pressTune();
  EXPECT_EQ(w->tuneState.load(), 1);
  bool ended = kzWaitFor([&] { return w->tuneState.load() == 0; }, 60000);
  EXPECT_TRUE(ended);
  {  // the trip was seen: "Error" / "REFL" and "HI SWR" were raised
    std::lock_guard<std::mutex> lk(log.mut);
    auto raised = [&](const char *code) {
      return std::count_if(log.lines.begin(), log.lines.end(), [&](const std::string &l) {
        return l.compare(0, 5, "Add: ") == 0 && l.find(code) != std::string::npos;
      });
    };
    EXPECT_GE(raised(" err:15\n"), 1);
    EXPECT_GE(raised(" err:1\n"), 1);
  }
  EXPECT_FALSE(ExistError(w, 18));
  EXPECT_LE(tuneParam.swr, 6.0f);
  uint32_t tuned = w->tuneWord.load();
  EXPECT_TRUE(kzWaitFor(
      [&] {
        SimAmpState st = simAmpState(amp);
        return st.tuneWord == tuned && !st.tripped && !ExistError(w, 1) &&
               !ExistError(w, 15) && w->swr.load() > 0 && w->swr.load() < before;
      },
      5000));
  std::string text;
  EXPECT_EQ(kzReadFile(root.file("atu_ant3_b1.txt"), text), 0);
  const std::string first = "3130" + unit.storedLine(14200000);
  EXPECT_EQ(text, first);

  // Carrier off: the transmit state follows, and the key starts nothing.
  simAmpSetDrive(amp, 0, 14200000);
  EXPECT_TRUE(kzWaitFor([&] { return w->txActive.load() == 0; }, 5000));
  pressTune();
  char notice[64];
  EXPECT_TRUE(PanelNoticeText(w, notice, sizeof notice));
  EXPECT_STREQ(notice, "Auto tune: transmit a carrier (1 to 10 W) first");
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_EQ(log.countContaining("START AUTO TUNE ("), 1);
  simAmpSetDrive(amp, 2.5, 14100000);
  EXPECT_TRUE(kzWaitFor(
      [&] { return w->txActive.load() == 1 && w->lastFreqHz.load() == 14100000u; }, 5000));
  pressTune();
  EXPECT_EQ(w->tuneState.load(), 1);
  EXPECT_TRUE(kzWaitFor([&] { return w->tuneState.load() == 0; }, 60000));
  EXPECT_FALSE(ExistError(w, 18));
  EXPECT_EQ(kzReadFile(root.file("atu_ant3_b1.txt"), text), 0);
  EXPECT_NE(text.find(first), std::string::npos) << text;
  EXPECT_NE(text.find(unit.storedLine(14100000)), std::string::npos) << text;
  stop();
}
