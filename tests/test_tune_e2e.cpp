// Auto-tune end to end: the Linear thread and the supervisor against the
// simulated amplifier with its tuner network, a bank table that keeps the
// tuner in line on 15 m and 20 m, a load the network can match. The tune
// converges, lands in the slot file, and comes back from memory after the
// frequency goes away and returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/setup.h"
#include "core/timer.h"
#include "core/works.h"
#include "platform/files.h"
#include "sim/amp_sim.h"
#include "support.h"
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
  simAmpSetDrive(amp, 5.0, 21200000);

  SetupRec rec;
  auto w = std::make_unique<works>();
  w->setup = &rec;
  initSetup(w.get());
  InitErrTable(w.get());
  w->errorsMuted = 0;
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", simAmpSlavePath(amp));
  LoadAllBankTable(w.get(), 1);
  ASSERT_EQ(w->ModeWorkIdx.load(), 1);  // the transceiver gives the frequency
  w->swrEscAutoTune = 1.5f;
  w->autoTuneMode = 1;
  w->freqHz = 21200000;

  std::thread link(Linear, w.get());
  std::thread sup(timer, w.get());
  // The band row is applied: tuner in line with nothing stored = reset to
  // "CL" with both codes 0, amplifier in operation.
  ASSERT_TRUE(kzWaitFor([&] { return lastMt1(amp) == "MT100800000;"; }, 5000));
  ASSERT_TRUE(kzWaitFor([&] { return !simAmpState(amp).bypass; }, 3000));

  // The transceiver transmits (its link would set this) and the key starts
  // the tune.
  w->txActive = 1;
  GoTune(w.get());
  ASSERT_EQ(w->tuneState.load(), 1);
  ASSERT_TRUE(kzWaitFor([&] { return w->tuneState.load() == 0; }, 20000));
  uint32_t tuned = w->tuneWord.load();
  EXPECT_FALSE(ExistError(w.get(), 18));
  EXPECT_LT(tuneParam.swr, 1.5f);
  char want[16];
  snprintf(want, sizeof want, "MT1%08X;", tuned);
  ASSERT_TRUE(kzWaitFor([&] { return simAmpState(amp).tuneWord == tuned; }, 3000));
  // What the amplifier now measures through the network.
  ASSERT_TRUE(kzWaitFor([&] { return w->swr.load() > 0 && w->swr.load() < 1.5f; }, 3000));

  // Stored in the slot of 21.2 MHz, antenna 1, bank 1.
  std::string text;
  ASSERT_EQ(kzReadFile(root.file("atu_ant1_b1.txt"), text), 0);
  char line[64];
  snprintf(line, sizeof line, "3820 21200000 1 %d %d %d\n", DecodeModoFromTuneval(tuned),
           DecodeInduttanzaFromTuneval(tuned), DecodeCapacitaFromTuneval(tuned));
  EXPECT_EQ(text, line);

  // Away to 20 m (nothing stored there: reset) and back: the stored tune
  // goes out again.
  w->freqHz = 14200000;
  ASSERT_TRUE(kzWaitFor([&] { return lastMt1(amp) == "MT100800000;"; }, 3000));
  w->freqHz = 21200000;
  ASSERT_TRUE(kzWaitFor([&] { return lastMt1(amp) == want; }, 3000));
  EXPECT_EQ(simAmpState(amp).tuneWord, tuned);

  w->running = 0;
  sup.join();
  link.join();
  simAmpStop(amp);
}
