// Band automation: the bank-table row of the frequency sets antenna,
// operate or standby, attenuator and the tuner (bypass, stored tune or
// reset), queued as amplifier commands.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "amplifier/cmdring.h"
#include "core/works.h"
#include "support.h"
#include "tuner/automation.h"
#include "tuner/banktab.h"
#include "tuner/tunemem.h"

namespace {

using Cmds = std::vector<int>;

class AutomationTest : public ::testing::Test {
 protected:
  KzLogCapture log{'T'};
  std::unique_ptr<works> w = std::make_unique<works>();

  void SetUp() override { InitTabAntenna(w.get(), 0); }
  BandRow &row(int i) { return w->bandTab[i]; }
  Cmds apply(uint32_t f) {
    w->freqHz = f;
    GestioneAntennaAutomatica(w.get());
    return kzTakeQueued(w.get());
  }
};

}  // namespace

TEST_F(AutomationTest, AppliesTheRowOfTheFrequency) {
  row(5) = {"20m", 14000000, 14350000, 1, 2, 1, 2, 0.0f};
  w->ampBypass = 1;
  EXPECT_EQ(apply(14350000), (Cmds{7, 39, 19, 14}));  // upper edge included
  EXPECT_EQ(w->bandRowIdx, 5);
  EXPECT_EQ(w->antenna, 1);
  EXPECT_EQ(w->attenuator, 2);
  EXPECT_EQ(w->attenuatorShown, 2);
  EXPECT_EQ(log.count("TABLE CONFIG : BYPASS 1 (5)\n"), 1);

  EXPECT_EQ(apply(14350001), Cmds{});  // outside every row nothing changes
  EXPECT_EQ(w->bandRowIdx, 100);
  EXPECT_EQ(w->antenna, 1);

  row(3).ant = 0;  // antenna left alone; standby
  w->ampBypass = 0;
  EXPECT_EQ(apply(7100000), (Cmds{39, 20}));
  EXPECT_EQ(w->antenna, 1);

  row(0) = {"wide", 1000000, 30000000, 1, 3, 1, 0, 0.0f};  // overlaps: first wins
  apply(14100000);
  EXPECT_EQ(w->bandRowIdx, 0);
  EXPECT_EQ(w->antenna, 2);
}

TEST_F(AutomationTest, TunerInLineLoadsStoredTuneOrResets) {
  row(5).atuOff = 0;
  EXPECT_EQ(apply(14200000), (Cmds{40, 20}));  // nothing stored in the segment
  uint32_t a, b;
  int first, end;
  AtuIdxSearch(14000000, &a, &b, &first, &end);
  w->tuneTab[0][first].valid = 1;
  w->ampBypass = 1;
  EXPECT_EQ(apply(14200000), (Cmds{27}));
  w->freqHz = 21100000;  // the key handler: no tune bypasses, or resets
  GestioneLoadTuneVal(w.get(), 0);
  GestioneLoadTuneVal(w.get(), 1);
  EXPECT_EQ(kzTakeQueued(w.get()), (Cmds{39, 40}));

  // While an auto-tune runs the network is left to it.
  w->tuneState = 1;
  row(5).ant = 3;
  row(5).ampEnable = 1;
  row(5).attIdx = 1;
  EXPECT_EQ(apply(14200000), (Cmds{7, 19, 14}));
  GestioneLoadTuneVal(w.get(), 1);
  EXPECT_EQ(kzTakeQueued(w.get()), Cmds{});
}

TEST_F(AutomationTest, RefusedCommandsAreAppliedAgainNextCycle) {
  row(5) = {"20m", 14000000, 14350000, 1, 3, 1, 2, 0.0f};
  for (int i = 0; i < KZ_CMD_RING - 1; ++i) IncPNTIn_CMDLinear(1, w.get());
  EXPECT_EQ(apply(14100000).size(), size_t(KZ_CMD_RING - 1));
  EXPECT_EQ(w->antenna, 0);  // put back, applied again next cycle
  EXPECT_EQ(w->bandRowIdx, -1);
  EXPECT_EQ(apply(14100000), (Cmds{7, 39, 14}));
  EXPECT_EQ(w->antenna, 2);
  EXPECT_EQ(w->bandRowIdx, 5);
}
