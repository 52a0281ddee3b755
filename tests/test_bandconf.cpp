// Band configuration files: config.txt rows and coefficients, the band row
// in force and its thresholds (command 22), SearchK, filter.txt and the
// filter choice (command 28).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <utility>

#include "amplifier/linear.h"
#include "core/bandconf.h"
#include "core/notice.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "sim/unit_files.h"
#include "support.h"

namespace {

class BandConfTest : public ::testing::Test {
 protected:
  std::unique_ptr<KzTempRoot> root;
  std::string dir;
  std::unique_ptr<works> w = std::make_unique<works>();
  works *savedStatic = staticworks;

  void SetUp() override {
    root = std::make_unique<KzTempRoot>("kz_band");
    dir = root->dir;
    kzTraceQuiet(true);
    InitGlobalVar(w.get());
  }
  void TearDown() override {
    kzTraceQuiet(false);
    root.reset();
    staticworks = savedStatic;
  }
  void config(const std::string &t) { parseConfigText(w.get(), t.data(), t.size()); }
  void filter(const std::string &t) { parseFilterText(w.get(), t.data(), t.size()); }
  // The commands queued since the last call.
  std::vector<int> queued() { return kzTakeQueued(w.get()); }
  std::vector<int> thresholds() const { return {w->tsThreshold, w->tsThreshold + 4}; }
};

// Forward 25 W at raw 500 and input 100 W at raw 1000 give 1e-4, reflected
// 4 W at raw 400 gives 2.5e-5. Row 0: 50 W in is raw 707, 40 W forward 632,
// 2 W reflected 282, 10 A is 2915. Row 1: 60 W in 774, 2500 W forward 5000.
const char *kBands =
    "; low high fwdW fwdRaw reflW reflRaw inW inRaw kCorr PWIN A REFL FWD tune... step\n"
    "1800000 2000000 25 500 4 400 100 1000 -0.007 50 10 2 40 1 2 3 4 5 6 7 8 9 10 8\n"
    "3500000 3800000 25 500 4 400 100 1000 -0.005 60 12 3 2500 0 0 0 0 0 0 0 0 0 0 4\n"
    "7000000 7200000 1 1 1 1 1 1 0 1 1 1 1 0 0 0 0 0 0 0 0 0 0 2\n";

}  // namespace

TEST_F(BandConfTest, RowsCoefficientsAndMalformedNumbers) {
  config(";comment\r\n"
         "0x1B7740 0 25 500 4 400 100 1000 -0.007 50 10 2 40 1 2 3 4 5 6 7 8 9 10 8\r\n"
         "\n"
         "0100 12 5 0 4 abc 1 1 1 1 1 1 1 1 1 1\n"
         "4294967296 -1 1 1 1 1 1 1 0.5 1 1 1 1");
  ASSERT_EQ(w->confCount, 4);
  const ConfRow &a = w->confTab[0];
  EXPECT_EQ(a.low, 1800000u);
  EXPECT_FLOAT_EQ(a.kFwd, 1e-4f);
  EXPECT_FLOAT_EQ(a.kRefl, 2.5e-5f);
  EXPECT_FLOAT_EQ(a.kCorr, -0.007f);
  EXPECT_FLOAT_EQ(a.thrFwd, 40);
  EXPECT_EQ(a.tuneParA[0], 1);
  EXPECT_EQ(a.tuneParB[0], 2);
  EXPECT_EQ(a.tuneParB[4], 10);
  EXPECT_EQ(a.step, 8);
  // The empty line is a row of zeros; raw readings of 0 give infinite k.
  EXPECT_EQ(w->confTab[1].low, 0u);
  EXPECT_TRUE(std::isinf(w->confTab[1].kFwd));
  // Octal edge; "abc" and everything after it read as 0.
  const ConfRow &m = w->confTab[2];
  EXPECT_EQ(m.low, 64u);
  EXPECT_TRUE(std::isinf(m.kRefl) && std::isinf(m.kIn));
  EXPECT_EQ(m.thrIn, 0.0f);
  // Past 32 bits is limited; a short line leaves the rest 0.
  EXPECT_EQ(w->confTab[3].low, 0xFFFFFFFFu);
  EXPECT_FLOAT_EQ(w->confTab[3].kCorr, 0.5f);
  EXPECT_EQ(w->confTab[3].tuneParA[0], 0);

  // A line past 255 characters is cut; its tail is not a row of its own.
  config("1000 2000" + std::string(300, ' ') + "3000 4000\n5000\n");
  ASSERT_EQ(w->confCount, 2);
  EXPECT_EQ(w->confTab[1].low, 5000u);
}

TEST_F(BandConfTest, ThresholdsFollowTheRowInForce) {
  config(kBands);
  w->freqHz = 1900000;
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(queued(), std::vector<int>{22});
  EXPECT_EQ(thresholds(), (std::vector<int>{707, 632, 282, 2915}));
  SearchCambioSoglie_TS(w.get());  // same row: nothing
  EXPECT_TRUE(queued().empty());

  w->freqHz = 3600000;  // second row; forward 5000 is sent as 4095
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(queued(), std::vector<int>{22});
  EXPECT_EQ(w->tsRow, 1);
  EXPECT_EQ(thresholds(), (std::vector<int>{774, 4095, 346, 3498}));

  // 7000000 only closes the second row; nothing below the first either.
  for (uint32_t f : {7000000u, 1000000u}) {
    w->freqHz = f;
    SearchCambioSoglie_TS(w.get());
    EXPECT_TRUE(queued().empty()) << f;
    EXPECT_EQ(w->tsRow, 1) << f;
  }
  EXPECT_EQ(ConfRowForFreq(w.get(), 3499999), 0);
  EXPECT_EQ(ConfRowForFreq(w.get(), 6999999), 1);
}

TEST_F(BandConfTest, DefaultThresholdsWithoutTableOrFrequency) {
  w->tsThreshold[0] = 1;
  SearchCambioSoglie_TS(w.get());
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(queued(), std::vector<int>{22});
  EXPECT_EQ(w->tsRow, 0);
  EXPECT_EQ(thresholds(), (std::vector<int>{4095, 4095, 1500, 3700}));

  w->tsRow = -1;
  config(kBands);
  w->freqHz = 0;
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(queued(), std::vector<int>{22});
  EXPECT_EQ(w->tsRow, 0);
}

TEST_F(BandConfTest, NonFiniteCalibrationGivesDefinedThresholds) {
  // Row 0: infinite forward k, zero reflected k, negative input threshold,
  // NaN current. Row 1: infinite input k and threshold, negative current.
  config("1000000 0 25 0 0 400 100 1000 0 -5 nan 2 40\n"
         "2000000 0 1 1 1 1 inf 1 0 inf -1 1 1\n"
         "3000000\n");
  w->freqHz = 1500000;
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(thresholds(), (std::vector<int>{0, 0, 4095, 0}));
  w->freqHz = 2500000;
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(thresholds(), (std::vector<int>{0, 1, 1, 0}));
  EXPECT_EQ(queued(), (std::vector<int>{22, 22}));
}

TEST_F(BandConfTest, SearchKBuiltInAndFromTable) {
  EXPECT_EQ((std::vector<float>{SearchK(w.get(), 0), SearchK(w.get(), 1), SearchK(w.get(), 2),
                                SearchK(w.get(), 3), SearchK(w.get(), 4)}),
            (std::vector<float>{5.156579e-6f, 3.3262754e-6f, 5.5078103e-6f, -0.007f, 1.0f}));
  config(kBands);
  w->freqHz = 3600000;
  EXPECT_FLOAT_EQ(SearchK(w.get(), 1), 2.5e-5f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 3), -0.005f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 9), 1.0f);
  // No row covers 7 MHz: the built-in coefficients, never 1.
  w->freqHz = 7000000;
  EXPECT_FLOAT_EQ(SearchK(w.get(), 0), 5.156579e-6f);
  EXPECT_FLOAT_EQ(SearchK(w.get(), 3), -0.007f);
}

TEST_F(BandConfTest, FilterTableAndChoice) {
  filter("; low high enabled\n"
         "1800000 2000000 1\r\n"
         "0x35B60 3800000 0\n"  // disabled
         "3500000 4000000 1\n"
         "1 2 1\n1 2 1\n1 2 1\n1 2 1\n1 2 0\n"
         "14000000 14350000 1\n");  // a ninth data line: ignored
  EXPECT_EQ(w->filters[1].low, 220000u);
  EXPECT_EQ(w->filters[5].low, 1u);

  w->freqHz = 3800000;  // filter 1 is disabled: filter 2
  SetFilterFromfreq(w.get());
  SetFilterFromfreq(w.get());
  EXPECT_EQ(w->filterCode, 1 << 2);
  EXPECT_EQ(queued(), std::vector<int>{28});
  w->freqHz = 2000000;  // high edge included
  SetFilterFromfreq(w.get());
  EXPECT_EQ(w->filterCode, 1 << 0);
  EXPECT_EQ(queued(), std::vector<int>{28});
  for (uint32_t f : {14100000u, 2000001u}) {  // no match: kept, nothing sent
    w->freqHz = f;
    SetFilterFromfreq(w.get());
    EXPECT_EQ(w->filterCode, 1 << 0) << f;
    EXPECT_TRUE(queued().empty()) << f;
  }
}

TEST_F(BandConfTest, ReadersUseTheFixedPaths) {
  ReadConfigFile(w.get());
  LoadTabFiltri(w.get());
  EXPECT_EQ(w->confCount, 0);
  ASSERT_EQ(kzSaveFileAtomic(dir + "/opt/set/config.txt", kBands), 0);
  ASSERT_EQ(kzSaveFileAtomic(dir + "/opt/set/filter.txt", "1800000 2000000 1\n"), 0);
  ReadConfigFile(w.get());
  LoadTabFiltri(w.get());
  EXPECT_EQ(w->confCount, 3);
  EXPECT_EQ(w->filters[0].enabled, 1);
}

// The factory filter table with two lines of junk before it and its 40 m
// line damaged in place: every filter stays on its own relay, so 14.2 MHz
// still sends filter 4 and 28.5 MHz filter 6 on the amplifier's wire; the
// damaged slot selects nothing. Each bad line is logged, the file named.
TEST_F(BandConfTest, DamagedFilterLinesNeverMoveAFilterToAnotherRelay) {
  KzLogCapture log('L');
  filter("garbage in the table\n\x01\x02\xff\n;low high enabled\n"
         "1800000 2000000 1\n3500000 4000000 1\n5300000 73O0000 1\n10100000 10150000 1\n"
         "14000000 14350000 1\n18068000 21450000 1\n24890000 29700000 1\n0 0 0\n");
  int wire[2];
  ASSERT_EQ(pipe(wire), 0);
  w->linFD = wire[1];
  for (auto [freq, sent] : {std::pair{14200000u, "SF3000010;"}, {28500000u, "SF3000040;"}}) {
    w->freqHz = freq;
    SetFilterFromfreq(w.get());
    ASSERT_EQ(queued(), std::vector<int>{28}) << freq;
    ASSERT_EQ(SendLinearCommand(w.get(), 28), 0);
    char buf[64] = {};
    ASSERT_GT(read(wire[0], buf, sizeof buf - 1), 0);
    EXPECT_EQ(std::string(buf + 2), sent) << freq;  // after the two CRC characters
  }
  close(wire[0]);
  close(wire[1]);
  w->freqHz = 7100000;
  SetFilterFromfreq(w.get());
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(log.count("filter.txt line 1: not a filter line, skipped (no filter slot)"), 1);
  EXPECT_EQ(log.count("filter.txt line 2: not a filter line, skipped (no filter slot)"), 1);
  EXPECT_EQ(log.count("filter.txt line 6: not \"low high enabled\", filter 2 disabled"), 1);
  char notice[64];
  ASSERT_EQ(PanelNoticeText(w.get(), notice, sizeof notice), 1);
  EXPECT_STREQ(notice, "Settings file damaged: filter.txt");
}

// Junk in config.txt stays a row of its own (the rows after it keep their
// bands) but is logged, and its calibration is never used: the readings
// there, and at a frequency no row covers, come from the built-in
// coefficients. A file over the cap is not read at all.
TEST_F(BandConfTest, DamagedConfigRowsAreLoggedAndNeverBecomeCalibrations) {
  KzLogCapture log('L');
  config(std::string(kBands) + "garbage here\n10000000 10150000 25 500 4 400 100 1000 0 1 1 1 1\n");
  ASSERT_EQ(w->confCount, 5);
  w->freqHz = 3600000;  // a good row keeps its calibration
  EXPECT_FLOAT_EQ(SearchK(w.get(), 0), 1e-4f);
  // The garbage row (edge 0, infinite coefficients) covers 0 to 10 MHz and
  // bounds no row before it.
  for (uint32_t f : {7100000u, 9000000u}) {
    w->freqHz = f;
    EXPECT_FLOAT_EQ(SearchK(w.get(), 0), 5.156579e-6f) << f;
    EXPECT_FLOAT_EQ(SearchK(w.get(), 2), 5.5078103e-6f) << f;
  }
  EXPECT_EQ(log.count("config.txt line 5: not a band row of 24 numbers, kept as row 3 "
                      "(missing numbers 0)"),
            1);
  EXPECT_EQ(log.count("config.txt line 5: row 3: forward calibration unusable, built-in "
                      "coefficient used"),
            1);
  EXPECT_EQ(log.countContaining("config.txt line 6: not a band row"), 1);  // 13 numbers
  char notice[64];
  ASSERT_EQ(PanelNoticeText(w.get(), notice, sizeof notice), 1);
  EXPECT_STREQ(notice, "Settings file damaged: config.txt");

  ASSERT_EQ(kzSaveFileAtomic(dir + "/opt/set/config.txt",
                             std::string(KZ_TABLE_MAX_BYTES + 1, '\n')),
            0);
  ReadConfigFile(w.get());
  EXPECT_EQ(w->confCount, 0);
  EXPECT_EQ(log.count("can't read /opt/set/config.txt: larger than 1048576 bytes, not read, "
                      "file left as it is"),
            1);
}

// The simulated unit's tables cover 6 m: at 50.1 MHz full scale on every
// detector reads as the unit's own calibration, inside the meters' range.
TEST_F(BandConfTest, SimulatedUnitReadsSanelyAtSixMetres) {
  simWriteUnitFiles(dir);
  ReadConfigFile(w.get());
  w->freqHz = 50100000;
  ASSERT_GE(ConfRowForFreq(w.get(), 50100000), 0);
  for (int kind = 0; kind < 3; ++kind) {
    float full = SearchK(w.get(), kind) * 4095.0f * 4095.0f;
    EXPECT_GT(full, 1.0f) << kind;
    EXPECT_LT(full, 200.0f) << kind;
  }
}
