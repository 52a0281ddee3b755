// Auto-tune step machine, driven as the reply decoder drives it: one
// TuneTask per status reply, with the SWR of the word on the relays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "core/notice.h"
#include "support.h"
#include "tuner/autotune.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"

namespace {

using SwrFn = std::function<float(int mode, int c, int l)>;  // synthetic antenna
SwrFn flat(float swr) { return [swr](int, int, int) { return swr; }; }
const char kProt[] = "PROTEZIONE ON -------------\n";

struct Measured { int mode, c, l; float swr; };

struct Tuner {
  KzTempRoot root{"kz_autotune"};
  KzLogCapture log;
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  std::vector<Measured> seen;  // points booked by the machine, in order
  int calls = 0;
  Tuner() {
    w->freqHz = 14200000, w->antenna = 1, w->numBanco = 2;
    w->autoTuneMode = 1, w->txActive = 1;  // carrier on, as the supervisor sees it
  }
  void start() {  // ... and the link has sent the start commands
    StartAutotune(w.get());
    kzTakeQueued(w.get());
    w->tuneCmdPending = 0;
  }
  void reply(const SwrFn &f, uint8_t status1 = 0) {
    uint32_t word = w->tuneWord;
    Measured m{DecodeModoFromTuneval(word), DecodeCapacitaFromTuneval(word),
               DecodeInduttanzaFromTuneval(word), 0};
    w->swr = f(m.mode, m.c, m.l), w->pwrFwd = 50, w->ampStatus1 = status1;
    bool books = w->tuneStep >= 3;  // unless the step limit ends it first
    int gaveUp = log.count(kProt);
    TuneTask(w.get());
    calls++;
    if (books && log.count(kProt) == gaveUp) seen.push_back({m.mode, m.c, m.l, w->swr.load()});
    ASSERT_EQ(w->valC, DecodeCapacitaFromTuneval(w->tuneWord));
    ASSERT_EQ(w->valI, DecodeInduttanzaFromTuneval(w->tuneWord));
    ASSERT_TRUE(w->valC >= 0 && w->valC <= 511 && w->valI >= 0 && w->valI <= 511);
  }
  void runToEnd(const SwrFn &f) {
    while (w->tuneState != 0 && calls < 2000) reply(f);
  }
  TuneVal slot() {
    uint32_t s0, s1;
    int first, end;
    return LoadTuneValFromTabRam(AtuIdxSearch(w->freqHz, &s0, &s1, &first, &end), 1, w.get());
  }
  bool remounted() {
    auto r = kzCmdRecorded();
    return std::count(r.begin(), r.end(), "mount -o remount defaults,rw /opt/set") == 1 &&
           std::count(r.begin(), r.end(), "mount -v -n -o remount -r /opt/set") == 1;
  }
};

}  // namespace

TEST(AutoTuneStart, KeyStartsOnlyWhenEnabledAndInLineAndAbortsARunningTune) {
  Tuner t;
  // Each refused press says why on the message line.
  auto notice = [&] {
    char text[64];
    PanelNoticeText(t.w.get(), text, sizeof text);
    PanelNoticeClear(t.w.get());
    return std::string(text);
  };
  t.w->atuBypass = 1;
  t.w->autoTuneMode = 0x01;
  t.w->ModeWorkIdx = 1;
  GoTune(t.w.get());  // bypassed: no tune, and no carrier asked for either
  EXPECT_EQ(t.w->autoTuneMode, 0x01);
  EXPECT_EQ(notice(), "Tuner bypassed: ATU puts it in line");
  t.w->ModeWorkIdx = 0;
  for (uint8_t mode : {0x00, 0x09}) {  // setting off; "RX;" still pending
    t.w->atuBypass = 0, t.w->autoTuneMode = mode;
    GoTune(t.w.get());
    EXPECT_EQ(notice(), mode == 0 ? "Auto tune is off: SET, AUTO TUNE, Enable KAV Tune"
                                  : "Tuner busy: press TUNE again");
  }
  t.w->autoTuneMode = 0x41, t.w->tuneEnabled = -1;  // no tuner installed
  GoTune(t.w.get());
  EXPECT_EQ(notice(), "No tuner installed: SET, AUTO TUNE, ATU Installed");
  EXPECT_EQ(t.w->tuneState, 0);
  EXPECT_TRUE(kzQueued(t.w.get()).empty());

  t.w->tuneEnabled = 1, t.w->ModeWorkIdx = 1, t.w->ampStatus0 = 0x01, t.w->anState = 1;
  GoTune(t.w.get());
  EXPECT_EQ(kzTakeQueued(t.w.get()), (std::vector<int>{18, 15, 22, 13, 17, 21}));
  EXPECT_EQ(t.w->tsThreshold[0], 4095);
  EXPECT_EQ(t.w->anState, 0);
  EXPECT_EQ(t.w->autoTuneMode, 0x11);  // carrier wanted
  EXPECT_EQ(t.log.count("--------- START AUTO TUNE (41) 0\n"), 1);
  t.reply(flat(2.0f));  // start commands still pending: no step
  EXPECT_EQ(t.w->tuneStep, 0);
  t.w->tuneCmdPending = 0;
  for (int i = 0; i < 4; i++) t.reply(flat(2.0f));
  EXPECT_EQ(t.w->tuneStep, 3);

  t.w->autoTuneMode = 0;  // setting switched off meanwhile: the key still aborts
  GoTune(t.w.get());
  EXPECT_EQ(t.w->tuneState, 0);
  EXPECT_EQ(kzQueued(t.w.get()), std::vector<int>{14});
  EXPECT_EQ(t.log.count("esc tune TUNEMENU\n"), 1);
  EXPECT_EQ(t.w->tsRow, -1);
  EXPECT_EQ(t.slot().valid, 0);
}

TEST(AutoTuneTarget, EndsStrictlyBelowTheTargetAndStores) {
  {
    Tuner t;
    t.w->swrEscAutoTune = 1.5f;
    t.start();
    t.runToEnd(flat(1.4f));
    EXPECT_EQ(t.seen.size(), 1u);
    TuneVal v = t.slot();
    EXPECT_TRUE(v.valid == 1 && v.mode == 1 && v.ind == 0 && v.cap == 0);
    EXPECT_TRUE(t.remounted());
    EXPECT_EQ(kzQueued(t.w.get()), std::vector<int>{14});
    EXPECT_EQ(t.w->autoTuneMode, 0x05);  // "RX;" wanted
  }
  Tuner t;
  t.w->swrEscAutoTune = 1.5f;
  t.start();
  for (int i = 0; i < 4; i++) t.reply(flat(1.5f));  // equal to the target
  EXPECT_EQ(t.w->tuneState, 1);
  t.reply(flat(1.0f), 0x02);  // protection tripped: booked as 100
  EXPECT_EQ(vTuneParam[0].swr, 100.0f);
  EXPECT_EQ(t.w->tuneState, 2);
  t.w->tuneState = 1;   // the decoder, after "CPFFFF;"
  t.reply(flat(0.0f));  // no forward power: neither an end nor the best point
  EXPECT_EQ(t.w->tuneState, 1);
  EXPECT_EQ(miglioretuneParam.swr, 1.5f);
}

TEST(AutoTuneLimit, GivesUpAfterTheStepLimitWithProtectionOn) {
  for (float target : {0.0f, 1.2f}) {
    Tuner t;
    t.w->autoTuneMaxCicli = 4, t.w->swrEscAutoTune = target;  // 100 steps
    t.start();
    t.runToEnd(flat(3.0f));
    EXPECT_EQ(t.seen.size(), 101u);
    EXPECT_EQ(t.calls, 3 + 101 + 1);  // the call after the 101st gives up
    EXPECT_EQ(kzListed(t.w.get()), std::vector<int>{target == 0 ? 12 : 13});
    EXPECT_EQ(kzQueued(t.w.get()), (std::vector<int>{14, 18, 16}));
    EXPECT_EQ(t.log.count(kProt), 1);
    EXPECT_EQ(t.slot().valid, 0);
    EXPECT_EQ(t.w->valI, t.seen[0].l);  // back on the best point: the first of equals
  }
}

TEST(AutoTuneEnd, StoresUpToSwr6AndRaisesMaxSwrAbove) {
  // 0.0: no forward power all along, nothing was measured, nothing is kept.
  for (float swr : {6.0f, 6.01f, 0.0f}) {
    Tuner t;  // limit 600: a flat load walks the whole table to step 12
    t.start();
    t.runToEnd(flat(swr));
    // The whole table on a flat load: 128 + 9 + 63 + 17 + 1 + 63 + 17 +
    // 255 + 7 + 1 measurements (without power the best point never moves
    // the network, so the last phases start elsewhere).
    if (swr > 0) {
      EXPECT_EQ(t.seen.size(), 561u) << swr;
    }
    EXPECT_NE(DecodeModoFromTuneval(t.w->tuneWord), 0);
    bool good = swr <= 6.0f && swr > 0;
    EXPECT_EQ(t.slot().valid, good ? 1 : 0);
    EXPECT_EQ(t.remounted(), good);
    EXPECT_EQ(ExistError(t.w.get(), 18), swr > 6.0f ? 1 : 0);
    EXPECT_EQ(t.log.count("------- ERRORE MAX TUNE (6.010000)\n"), swr > 6.0f ? 1 : 0);
  }
}

TEST(AutoTuneSearch, ConvergesNearTheMinimumOfAReachableBowl) {
  struct Bowl {  // minimum `base` at (c, l), capped at 100
    float base;
    int c, l;
    float at(int cc, int ll) const {
      return std::min(100.0f, base + 0.002f * float((cc - c) * (cc - c) + (ll - l) * (ll - l)));
    }
  };
  struct Case { Bowl cl, lc; int mode; };  // mode: network of the lower minimum
  for (const Case &k : {Case{{2.5f, 100, 150}, {1.2f, 200, 150}, 2},
                        Case{{1.1f, 60, 90}, {1.9f, 300, 90}, 1}}) {
    Tuner t;
    t.start();
    t.runToEnd([&](int mode, int c, int l) { return mode == 1 ? k.cl.at(c, l) : k.lc.at(c, l); });
    const Bowl &b = k.mode == 1 ? k.cl : k.lc;
    auto best = std::min_element(t.seen.begin(), t.seen.end(),
                                 [](const Measured &x, const Measured &y) { return x.swr < y.swr; });
    TuneVal v = t.slot();  // the best point measured is stored
    EXPECT_TRUE(v.valid == 1 && v.mode == best->mode && v.cap == best->c && v.ind == best->l);
    EXPECT_EQ(v.mode, k.mode);
    EXPECT_LE(std::abs(v.cap - b.c), 3);
    EXPECT_LE(std::abs(v.ind - b.l), 3);
    EXPECT_LT(best->swr, b.base + 0.05f);
  }
}
