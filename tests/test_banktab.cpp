// Bank table: reading quirks and corrected values, the zero-edge fallback,
// the save between remounts and its round trip, SaveToBank, the editing
// screen's wrapping, the interface switch.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/notice.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "support.h"
#include "tuner/banktab.h"

namespace {

const std::vector<std::string> kRemounts = {"mount -o remount defaults,rw /opt/set",
                                            "mount -v -n -o remount -r /opt/set"};

class BankTabTest : public ::testing::Test {
 protected:
  KzTempRoot root{"kz_bank"};
  KzLogCapture log{0};
  std::unique_ptr<works> w = std::make_unique<works>();

  void SetUp() override { InitTabAntenna(w.get(), 0); }
  int parse(const std::string &t) { return parseTabConfigText(w.get(), t.data(), t.size()); }
  std::string read(const char *name) {
    std::string d;
    kzReadFile(root.file(name), d);
    return d;
  }
  // A row as the file would hold it.
  std::string row(int i) const {
    const BandRow &r = w->bandTab[i];
    char b[128];
    snprintf(b, sizeof b, "%s %ld %ld %i %i %i %i %2.1f", r.name, long(r.lowHz), long(r.highHz),
             r.ampEnable, r.ant, r.atuOff, r.attIdx, double(r.pwr));
    return b;
  }
};

}  // namespace

TEST_F(BankTabTest, ReadsTypesRowsAndLineQuirks) {
  w->bandRowIdx = 3;
  EXPECT_EQ(parse("!817"), 2);
  EXPECT_EQ(w->bandCount, 0);
  EXPECT_EQ(w->bandRowIdx, -1);

  EXPECT_EQ(parse("; c\n!Kav\n!Foo\n20m 0xD59F80 0xDAF6B0 1 2 0 3 12.5\r\n"
                  "12345678 14000000 1 0 1 1 0 0.0\n40m 07000000 7300000 1 3 1 2\n"),
            1);
  ASSERT_EQ(w->bandCount, 3);
  EXPECT_EQ(row(0), "20m 14000000 14350000 1 2 0 3 12.5");
  EXPECT_EQ(row(1), "1234567 8 14000000 1 0 1 1 0.0");  // numbers from the 8th character
  EXPECT_EQ(row(2), "40m 1835008 7300000 1 3 1 2 0.0");  // leading 0: octal
}

TEST_F(BankTabTest, OutOfRangeValuesAreCorrectedAndLogged) {
  parse("x 5000000000 -1 2 7 9 4 nan\ny 100 200 1 3 0 3 -2.5\n");
  EXPECT_EQ(row(0), "x 2147483647 2147483647 0 0 1 3 0.0");
  EXPECT_EQ(log.countContaining("antenna.txt line 1: row 0 (x)"), 7);
  EXPECT_EQ(row(1), "y 100 200 1 3 0 3 -2.5");
}

TEST_F(BankTabTest, ZeroEdgeFallsBackToDefaultEdgesKeepingSettings) {
  w->bandTab[2].ampEnable = 1;
  EXPECT_EQ(parse("!Kav\nA 100 200 1 3 0 2 4.0\nB 0 300 1 2 0 1 0\n"), 1);
  EXPECT_EQ(log.count("Error Reinit antenna\n"), 1);
  EXPECT_EQ(w->bandCount, 11);
  EXPECT_EQ(row(0), "160m 1800000 2000000 1 3 0 2 4.0");
  EXPECT_EQ(row(1), "80m 3500000 4000000 1 2 0 1 0.0");
  EXPECT_EQ(row(2), "60m 5330500 5450000 0 1 1 0 0.0");
}

TEST_F(BankTabTest, SaveLoadRoundTripBetweenRemounts) {
  w->bandTab[3].ampEnable = 1;
  w->bandRowIdx = 3;
  EXPECT_EQ(LoadTabConfig(w.get(), 4), 0);  // no file: the defaults
  EXPECT_EQ(w->bandRowIdx, -1);
  EXPECT_EQ(row(3), "40m 7000000 7300000 0 1 1 0 0.0");

  w->ModeWorkIdx = 2;
  w->bandTab[10].ant = 3;
  SaveTabConfig(w.get(), 4);
  EXPECT_EQ(kzCmdRecorded(), kRemounts);
  std::string text = read("antenna_b4.txt");
  EXPECT_EQ(text.rfind("!817\n160m 1800000 2000000 0 1 1 0 0.0\n", 0), 0u) << text;
  EXPECT_NE(text.find("\n20m 14000000 14350000 0 1 1 0 0.0\n"), std::string::npos);
  InitTabAntenna(w.get(), 0);
  EXPECT_EQ(LoadTabConfig(w.get(), 4), 2);
  EXPECT_EQ(row(10), "6m 50000000 54000000 0 3 1 0 0.0");

  // A failed rw remount writes nothing and is also on standard error.
  kzCmdClearRecorded();
  kzCmdScript("mount -o remount defaults,rw", 1);
  SaveTabConfig(w.get(), 5);
  EXPECT_EQ(kzCmdRecorded(), std::vector<std::string>{kRemounts[0]});
  EXPECT_FALSE(kzFileExists(root.file("antenna_b5.txt")));
  EXPECT_EQ(log.countContaining("can't mount rw /opt/set/ error"), 2);
}

TEST_F(BankTabTest, SaveToBankStoresTheOperatingStateOfTheBand) {
  w->freqHz = 12000000;  // outside every row: the file is still written
  SaveToBank(w.get(), 0, 2);
  EXPECT_EQ(kzCmdRecorded(), kRemounts);
  EXPECT_NE(read("antenna.txt").find("\n20m 14000000 14350000 0 1 1 0 0.0\n"), std::string::npos);

  w->freqHz = 14350000;
  w->attenuator = 2;
  w->attenuatorShown = 2;
  SaveToBank(w.get(), 0, 2);
  EXPECT_NE(read("antenna.txt").find("\n20m 14000000 14350000 1 3 0 2 0.0\n"), std::string::npos);
  w->attenuatorShown = 4;  // standby
  SaveToBank(w.get(), 0, 0);
  EXPECT_EQ(row(5), "20m 14000000 14350000 0 1 0 2 0.0");
  w->ModeWorkIdx = 2;  // the interface switch wraps and rewrites the header
  ChangeInterfaceBanco(w.get());
  EXPECT_EQ(read("antenna.txt").substr(0, 5), "!Gen\n");
}

TEST_F(BankTabTest, EditingWrapsAtTheEnds) {
  w->antTabRow = 5;
  auto edit = [&](int col, std::vector<int> downs) {
    w->antTabCol = col;
    for (int d : downs) ModifytabAntenna(w.get(), d);
    return row(5);
  };
  const std::string band = "20m 14000000 14350000 ";
  EXPECT_EQ(edit(1, {1}), band + "0 1 1 0 0.0");  // down from 0 stays 0
  EXPECT_EQ(edit(1, {0, 0, 0}), band + "0 1 1 3 0.0");
  EXPECT_EQ(edit(1, {0}), band + "0 1 1 0 0.0");  // up from 3 gives 0
  EXPECT_EQ(edit(3, {1}), band + "0 3 1 0 0.0");  // down from 1
  EXPECT_EQ(edit(3, {0}), band + "0 1 1 0 0.0");  // up from 3
  EXPECT_EQ(edit(0, {0, 0, 0, 1, 1, 1, 1}), band + "0 1 1 0 -0.1");
  w->antTabRow = 11;  // no such row
  EXPECT_EQ(edit(1, {0}), band + "0 1 1 0 -0.1");
}

// Garbage in a bank file keeps the table's documented fallback (default
// edges, settings kept) but every bad line is logged with its number and
// the file is named on the panel. A bank file that cannot be read gives
// the defaults and is never replaced by a save.
TEST_F(BankTabTest, DamagedOrUnreadableFileIsLoudAndUnreadableIsKept) {
  ASSERT_EQ(kzSaveFileAtomic(root.file("antenna_b1.txt"),
                             "!Gen\n160m 1800000 2000000 1 2 0 1 0.0\n#~garbage~#\n"
                             "40m 7000000 7300000 1 3 0 2 0.0 extra\n"),
            0);
  EXPECT_EQ(LoadTabConfig(w.get(), 1), 0);
  EXPECT_EQ(log.count("Error Reinit antenna\n"), 1);
  EXPECT_EQ(row(0), "160m 1800000 2000000 1 2 0 1 0.0");
  EXPECT_EQ(row(2), "60m 5330500 5450000 1 3 0 2 0.0");  // the third row's settings
  EXPECT_EQ(log.countContaining("antenna_b1.txt line 3: row 1 (#~garba): not a bank row"), 1);
  EXPECT_EQ(log.countContaining("antenna_b1.txt line 4: row 2 (40m): not a bank row"), 1);
  EXPECT_EQ(log.count("antenna_b1.txt line 3: row 1 has a band edge of 0: default bands and "
                      "edges for the whole table, the rows' settings kept"),
            1);
  char notice[64];
  ASSERT_EQ(PanelNoticeText(w.get(), notice, sizeof notice), 1);
  EXPECT_STREQ(notice, "Settings file damaged: antenna_b1.txt");

  std::filesystem::create_directory(root.file("antenna_b2.txt"));
  kzCmdClearRecorded();
  EXPECT_EQ(LoadTabConfig(w.get(), 2), 0);
  EXPECT_EQ(w->bandCount, 11);
  EXPECT_EQ(row(5), "20m 14000000 14350000 0 1 1 0 0.0");
  w->freqHz = 14200000;
  SaveToBank(w.get(), 2, 1);
  EXPECT_TRUE(kzCmdRecorded().empty());
  EXPECT_TRUE(std::filesystem::is_directory(root.file("antenna_b2.txt")));
  EXPECT_EQ(log.count("can't save /opt/set/antenna_b2.txt: the bank table in use could not be "
                      "read, file kept"),
            1);
  ASSERT_EQ(PanelNoticeText(w.get(), notice, sizeof notice), 1);
  EXPECT_STREQ(notice, "Settings files damaged: antenna_b1.txt, antenna_b2.txt");
  EXPECT_EQ(LoadTabConfig(w.get(), 3), 0);  // missing: defaults, saves again
  SaveTabConfig(w.get(), 3);
  EXPECT_EQ(kzCmdRecorded(), kRemounts);
}
