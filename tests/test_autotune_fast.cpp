// The "Fast" auto-tune search (AutoTuneSearch 1): in the step machine as
// the reply decoder drives it (target, step limit, abort, protection trip
// as for the walk; a network of values it does not know), and end to end
// through the link against the simulated amplifier and its network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "amplifier/linear.h"
#include "core/bandconf.h"
#include "core/timer.h"
#include "panel/keys.h"
#include "platform/files.h"
#include "sim/amp_sim.h"
#include "sim/tuner_net.h"
#include "sim/unit_files.h"
#include "support.h"
#include "unit_support.h"
#include "tuner/autotune.h"
#include "tuner/autotune_fast.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"

namespace {

using SwrFn = std::function<float(uint32_t word)>;
const char kProt[] = "PROTEZIONE ON -------------\n";

// The machine driven by hand: one TuneTask per "status reply" carrying the
// SWR of the word on the relays.
struct FastTuner {
  KzTempRoot root{"kz_fasttune"};
  KzLogCapture log;
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  int booked = 0;  // steps that measured a point
  FastTuner() {
    w->freqHz = 14200000, w->antenna = 1, w->numBanco = 2;
    w->autoTuneMode = 1, w->txActive = 1, w->autoTuneSearch = 1;
  }
  void start() {
    StartAutotune(w.get());
    kzTakeQueued(w.get());
    w->tuneCmdPending = 0;
    for (int i = 0; i < 3; i++) TuneTask(w.get());  // steps 0, 1, 2: carrier seen
  }
  void reply(const SwrFn &f, uint8_t status1 = 0) {
    w->swr = f(w->tuneWord.load()), w->pwrFwd = 50, w->ampStatus1 = status1;
    int gaveUp = log.count(kProt);
    TuneTask(w.get());
    if (log.count(kProt) == gaveUp) booked++;
    ASSERT_EQ(w->valC, DecodeCapacitaFromTuneval(w->tuneWord));
    ASSERT_EQ(w->valI, DecodeInduttanzaFromTuneval(w->tuneWord));
    ASSERT_NE(DecodeModoFromTuneval(w->tuneWord), 0);
  }
  void runToEnd(const SwrFn &f) {
    for (int i = 0; i < 2000 && w->tuneState != 0; i++) reply(f);
  }
  TuneVal slot() {
    uint32_t s0, s1;
    int first, end;
    return LoadTuneValFromTabRam(AtuIdxSearch(w->freqHz, &s0, &s1, &first, &end), 1, w.get());
  }
};

SwrFn flat(float swr) { return [swr](uint32_t) { return swr; }; }

}  // namespace

// The SWR the unit reads for a network and load (exact, no noise).
static SwrFn through(const SimNetParams &net, double freq, SimNetZ load) {
  return [=](uint32_t word) { return float(simNetSwr(simNetAbsGamma(net, word, freq, load))); };
}

TEST(FastTune, SameContractAsTheWalk) {
  {  // the setting chooses the search when the tune starts; a change meanwhile waits
    FastTuner t;
    t.start();
    EXPECT_EQ(t.w->tuneStep, KZ_TUNE_STEP_FAST);
    t.w->autoTuneSearch = 0;
    t.reply(flat(3.0f));
    EXPECT_EQ(t.w->tuneStep, KZ_TUNE_STEP_FAST);
    GoTune(t.w.get());  // the tune key aborts: nothing stored
    EXPECT_EQ(t.w->tuneState, 0);
    EXPECT_EQ(kzQueued(t.w.get()), std::vector<int>{14});
    EXPECT_EQ(t.slot().valid, 0);
    t.start();
    EXPECT_EQ(t.w->tuneStep, 3);  // the walk
  }
  {  // below the target at the first point: ended and stored
    FastTuner t;
    t.w->swrEscAutoTune = 1.5f;
    t.start();
    t.runToEnd(flat(1.4f));
    EXPECT_EQ(t.booked, 1);
    TuneVal v = t.slot();
    EXPECT_TRUE(v.valid == 1 && v.mode == 1 && v.ind == 0 && v.cap == 0);
    EXPECT_EQ(t.w->autoTuneMode, 0x05);  // "RX;" wanted
  }
  {  // a protection trip books SWR 100 and asks for "CPFFFF;"; the search goes on
    FastTuner t;
    t.start();
    t.reply(flat(2.0f));
    t.reply(flat(1.0f), 0x02);
    EXPECT_EQ(vTuneParam[0].swr, 100.0f);
    EXPECT_EQ(t.w->tuneState, 2);
    t.w->tuneState = 1;  // the decoder, after "CPFFFF;"
    t.reply(flat(2.0f));
    EXPECT_EQ(t.w->tuneState, 1);
    EXPECT_EQ(miglioretuneParam.swr, 2.0f);
  }
  for (float target : {0.0f, 1.2f}) {  // the step limit: error 12 or 13, protection on
    FastTuner t;  // a load the network cannot match: the search goes on past 100 points
    t.w->autoTuneMaxCicli = 4, t.w->swrEscAutoTune = target;  // 100 steps
    t.start();
    t.runToEnd(through(simNetNominal(), 28e6, {5, 1400}));
    EXPECT_EQ(t.booked, 101);
    // best far above SWR 6: "Max SWR" as well, as at any end without a match
    EXPECT_EQ(kzListed(t.w.get()), (std::vector<int>{18, target == 0 ? 12 : 13}));
    EXPECT_EQ(kzQueued(t.w.get()), (std::vector<int>{14, 18, 16}));
    EXPECT_EQ(t.log.count(kProt), 1);
    EXPECT_EQ(t.slot().valid, 0);
    EXPECT_EQ(t.w->tuneWord.load(), miglioretuneParam.word);  // back on the best point
  }
}

// Networks off the unit's values (every bit +-15 %, scaled, lossy, more
// stray), hard loads: the best point found is within 0.03 |gamma| of the
// exhaustive best, stored, and measured no point twice.
TEST(FastTune, FindsTheMatchOfNetworksItDoesNotKnow) {
  struct Case {
    double freq;
    SimNetZ load;
    double scaleC, scaleL, q, strayPf;
  };
  const double wobble[9] = {0.12, -0.1, 0.07, -0.15, 0.03, 0.15, -0.05, 0.09, -0.12};
  for (const Case &k : {Case{14.2e6, {15, -450}, 1.3, 0.75, 40, 45}, Case{3.6e6, {900, 700}, 0.7, 1.35, 180, 2},
                        Case{28.5e6, {12, 80}, 1.0, 1.0, 100, 15}}) {
    SimNetParams net = simNetNominal();
    for (int i = 0; i < 9; i++) {
      net.capF[i] *= k.scaleC * (1 + wobble[i]);
      net.indH[i] *= k.scaleL * (1 - wobble[8 - i]);
    }
    net.q = k.q, net.strayF = k.strayPf * 1e-12;
    SimNetBest best = simNetExhaustive(net, k.freq, k.load);
    ASSERT_LT(simNetSwr(best.absGamma), 1.5) << k.freq;
    FastTuner t;
    t.w->freqHz = uint32_t(k.freq);
    std::vector<uint32_t> words;
    t.start();
    SwrFn f = through(net, k.freq, k.load);
    t.runToEnd([&](uint32_t word) {
      words.push_back(word);
      return f(word);
    });
    double g = simNetAbsGamma(net, t.w->tuneWord.load(), k.freq, k.load);
    EXPECT_LE(g, best.absGamma + 0.03) << k.freq;
    EXPECT_EQ(t.slot().valid, 1);
    EXPECT_LT(t.booked, 300);
    std::sort(words.begin(), words.end());
    EXPECT_EQ(std::adjacent_find(words.begin(), words.end()), words.end()) << k.freq;
  }
}

// A load only "CL" can match, and only to SWR 3 (above the target): every
// "LC" point reads the SWR ceiling, so after its coarse look that network
// is not searched; the tune ends on its own with the "CL" match stored.
TEST(FastTune, NetworkWithoutSlopeIsNotSearched) {
  FastTuner t;
  t.w->swrEscAutoTune = 1.5f;
  int lcPoints = 0;
  t.start();
  t.runToEnd([&](uint32_t word) {
    if (DecodeModoFromTuneval(word) != 1) return ++lcPoints, 100.0f;
    double c = std::log2(DecodeCapacitaFromTuneval(word) + 1.0) - 5, l = std::log2(DecodeInduttanzaFromTuneval(word) + 1.0) - 6;
    return float(std::min(100.0, 3 + 2 * (c * c + l * l)));
  });
  EXPECT_EQ(t.w->tuneState, 0);
  EXPECT_LE(lcPoints, 15);  // the coarse look only
  EXPECT_LT(t.booked, 150);
  EXPECT_FALSE(ExistError(t.w.get(), 12) || ExistError(t.w.get(), 13) || ExistError(t.w.get(), 18));
  TuneVal v = t.slot();
  EXPECT_TRUE(v.valid == 1 && v.mode == 1);
  EXPECT_LT(miglioretuneParam.swr, 3.2f);
}

// With a target the search cannot reach, it ends on its own after a bounded
// number of points (no step limit error); the best point is put back.
TEST(FastTune, UnreachableTargetEndsBeforeTheStepLimit) {
  FastTuner t;
  t.w->swrEscAutoTune = 1.5f, t.w->autoTuneMaxCicli = 0;  // 600 steps
  t.start();
  t.runToEnd(through(simNetNominal(), 28e6, {5, 1400}));
  EXPECT_EQ(t.w->tuneState, 0);
  EXPECT_LE(t.booked, 150);
  EXPECT_EQ(kzListed(t.w.get()), std::vector<int>{18});  // no match: "Max SWR" only
  EXPECT_EQ(t.w->tuneWord.load(), miglioretuneParam.word);
}

// A unit as it leaves the factory ("Generic", automatic tuning on), the
// fast search chosen, 2.5 W of drive on 20 m. ANT3 first carries 15 - j450
// ohm: SWR 100 at the start and a protection trip, matched below the
// target through the link and stored. Then ANT3's own end-fed wire on
// another frequency of the band: tuned and stored beside the first.
TEST(FastTuneE2E, HardLoadAndEndFedWireThroughTheLink) {
  KzTempRoot root("kz_fasttune_e2e");
  KzLogCapture log(0);
  ASSERT_EQ(kzSaveFileAtomic(root.file("antenna_b1.txt"), "!Gen\n20m 14000000 14350000 1 3 0 0 0.0\n"), 0);
  simWriteUnitFiles(root.dir);
  ASSERT_EQ(kzSaveFileAtomic(root.file("setup.txt"), "AutoTuneMode: 1\nSWRescAutoTune: 150\nAutoTuneSearch: 1\n"),
            0);
  SimAmpOptions ao;
  ao.antennaModels = true;
  SimAmp *amp = simAmpStart(ao);
  ASSERT_NE(amp, nullptr);
  simAmpSetLoad(amp, 2, {15.0, -450.0});
  simAmpSetDrive(amp, 2.5, 14200000);

  KzRunningUnit unit(amp);
  works *w = unit.w.get();
  ASSERT_EQ(w->autoTuneSearch.load(), 1);
  unit.start();
  auto stop = [&] { unit.stop(); };
  auto ready = [&](uint32_t freq) {
    return kzWaitFor(
        [&] {
          SimAmpState st = simAmpState(amp);
          return st.antenna == 3 && !st.bypass && w->lastFreqHz.load() == freq && w->txActive.load() == 1 &&
                 w->tuneState.load() == 0;
        },
        10000);
  };
  auto tune = [&] {
    w->screenState = KZ_SCR_TUNE;
    DecodeTasto(w, 4, 0);
    EXPECT_EQ(w->tuneState.load(), 1);
    return kzWaitFor([&] { return w->tuneState.load() == 0; }, 60000);
  };
  bool up = ready(14200000) && kzWaitFor([&] { return w->swr.load() >= 99.0f; }, 5000);
  if (!up) stop();
  ASSERT_TRUE(up);

  ASSERT_TRUE(tune());
  EXPECT_GE(log.countContaining(" err:1\n"), 1);  // the protection tripped on the way
  EXPECT_FALSE(ExistError(w, 18));
  EXPECT_LT(tuneParam.swr, 1.5f);
  const std::string first = unit.storedLine(14200000);
  uint32_t tuned = w->tuneWord.load();
  EXPECT_TRUE(kzWaitFor([&] { return simAmpState(amp).tuneWord == tuned && !simAmpState(amp).tripped; }, 5000));
  EXPECT_LT(simNetSwr(std::abs(simNetGamma(simAmpLoadSeen(amp)))), 1.5);
  std::string text;
  EXPECT_EQ(kzReadFile(root.file("atu_ant3_b1.txt"), text), 0);
  EXPECT_NE(text.find(first), std::string::npos) << text;

  simAmpSetDefaultLoad(amp, 2);  // the end-fed wire
  simAmpSetDrive(amp, 2.5, 14100000);
  up = ready(14100000);
  if (!up) stop();
  ASSERT_TRUE(up);
  ASSERT_TRUE(tune());
  EXPECT_FALSE(ExistError(w, 18));
  EXPECT_LT(tuneParam.swr, 1.5f);
  EXPECT_EQ(kzReadFile(root.file("atu_ant3_b1.txt"), text), 0);
  EXPECT_NE(text.find(first), std::string::npos) << text;
  EXPECT_NE(text.find(unit.storedLine(14100000)), std::string::npos) << text;
  EXPECT_EQ(log.countContaining("FAST TUNE END"), 0);  // both ended below the target
  stop();
}
