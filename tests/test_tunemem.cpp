// Tune memory: frequency slots, the nearest filled slot, loading a stored
// tune into the network word, storing the current one, and the tune files.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/notice.h"
#include "core/threads.h"
#include "platform/files.h"
#include "support.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"

namespace {
const char *kRw = "mount -o remount defaults,rw /opt/set";
const char *kRo = "mount -v -n -o remount -r /opt/set";
TuneVal tune(int mode, int ind, int cap) { return {1, uint8_t(mode), int16_t(ind), int16_t(cap)}; }
int slot(uint32_t f) { return AtuIdxSearch(f, nullptr, nullptr, nullptr, nullptr); }
bool same(TuneVal a, TuneVal b) {
  return a.valid == b.valid && a.mode == b.mode && a.ind == b.ind && a.cap == b.cap;
}
}  // namespace

TEST(TuneMem, SlotOfFrequencyAndBack) {
  const std::vector<std::pair<uint32_t, int>> cases = {
      {1800000, 900},   {1801000, 901},   {1999999, 1000},  {3750000, 1438},  {7100000, 2120},
      {14000000, 3110}, {14004999, 3110}, {14005000, 3111}, {14200000, 3130}, {28500000, 4115},
      {50100000, 4571}, {54000000, 4649}, {54100000, 4652}};
  for (auto [f, idx] : cases) EXPECT_EQ(slot(f), idx) << f;
  uint32_t s = 0, e = 0;
  int first = 0, end = 0;
  AtuIdxSearch(14200000, &s, &e, &first, &end);
  EXPECT_TRUE(s == 14000000 && e == 14350000 && first == 3110 && end == 3145);
  EXPECT_EQ(AtuFreqfromIdx(900), 1800000u);
  EXPECT_EQ(AtuFreqfromIdx(1438), 3752000u);
  EXPECT_EQ(AtuFreqfromIdx(4999), 71500000u);  // past the table: counted on
  EXPECT_EQ(AtuFreqfromIdx(-5), 0u);
  for (int i = 0; i <= 4649; ++i) ASSERT_EQ(slot(AtuFreqfromIdx(i)), i);
}

TEST(TuneMem, RamSlotsAndNearestFilledSlot) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  for (int idx : {4999, 5000, -1}) SaveTuneValsuTabRam(tune(2, 7, 8), idx, 2, w.get());
  EXPECT_EQ(LoadTuneValFromTabRam(4999, 2, w.get()).cap, 8);
  EXPECT_EQ(LoadTuneValFromTabRam(5000, 2, w.get()).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(-1, 2, w.get()).valid, 0);
  SaveTuneValsuTabRam(tune(3, 1, 1), 100, 0, w.get());
  EXPECT_EQ(LoadTuneValFromTabRam(100, 0, w.get()).mode, 1);  // bypass comes back "CL"
  // Neighbouring segments (3109, 3145) are never chosen; of 3127 and 3133
  // around 3130 the lower wins.
  for (int idx : {3109, 3145}) SaveTuneValsuTabRam(tune(1, 1, 1), idx, 0, w.get());
  EXPECT_EQ(EsisteTuneValInTabRam(w.get(), 3130, 3110, 3145, 0), 1);
  for (int idx : {3133, 3127}) SaveTuneValsuTabRam(tune(1, 1, 1), idx, 0, w.get());
  EXPECT_EQ(SearchBestTune(w.get(), 3130, 3110, 3145, 0), 3127);
  EXPECT_EQ(EsisteTuneValInTabRam(w.get(), 3130, 3110, 3145, 0), 0);
  // The range's first slot is found even from its end; ranges stay in the table.
  SaveTuneValsuTabRam(tune(1, 1, 1), 4569, 0, w.get());
  EXPECT_EQ(SearchBestTune(w.get(), 4649, 4569, 4649, 0), 4569);
  EXPECT_EQ(SearchBestTune(w.get(), 6000, 4990, 9000, 2), 4999);
}

TEST(TuneMem, LoadFromMemoryUsesTheNearestSlotOfTheSegment) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  w->freqHz = 14200000;  // slot 3130
  SaveTuneValsuTabRam(tune(2, 40, 100), 3144, 1, w.get());
  SaveTuneValsuTabRam(tune(1, 1, 2), 3109, 1, w.get());  // other segment
  SaveTuneValsuTabRam(tune(3, 37, 120), 3127, 1, w.get());
  SaveTuneValsuTabRam(tune(2, 9, 9), 3130, 0, w.get());  // other antenna
  w->tuneWord = 1u << 16;
  LoadTuneFromMEM(w.get(), 1);
  EXPECT_EQ(w->tuneWord.load(), 0x805C62u);  // "CL", C 120, L 37
  EXPECT_TRUE(w->valC == 120 && w->valI == 37 && w->tuneMode == 1);
  EXPECT_EQ(
      tc.count(">>>>>>>>>>>>>>> MEMTUNE: load a Tune for 14200000 idx:3127 -> C 120 I 37!!\n"), 1);
  LoadTuneFromMEM(w.get(), 1);  // already in the network: not reloaded
  EXPECT_EQ(tc.countContaining("MEMTUNE"), 1);
  w->freqHz = 7100000;  // nothing stored there: the word stays, the copies follow
  w->tuneWord = (1u << 18) | (1u << 15);
  LoadTuneFromMEM(w.get(), 1);
  EXPECT_EQ(w->tuneWord.load(), (1u << 18) | (1u << 15));
  EXPECT_TRUE(w->valC == 1 && w->valI == 0 && w->tuneMode == 2);
}

TEST(TuneMem, FileNamesAndLines) {
  EXPECT_EQ(AtuFileName(0, 0), "/opt/set/atu_ant1.txt");
  EXPECT_EQ(AtuFileName(20, 2), "/opt/set/atu_ant3.txt");
  EXPECT_EQ(AtuFileName(19, 1), "/opt/set/atu_ant2_b19.txt");
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  w->tuneTab[0][7] = tune(1, 1, 1);  // cleared by the load
  const std::string text =
      "; slot freq valid mode ind cap\r\n3130 14200000 1 1 37 120\r\n4999 0 1 2 511 0\n"
      "5000 0 1 2 5 5\n-1 0 1 2 5 5\ngarbage 1 1 1 1\n\n  \n100 1000 1 3 1 2\n"
      "200 400000 1 2\n201 0 1 4 1 1\n202 0 1 1 512 1\n203 0 1 1 1 -1\n204 x 1 1 1 1\n"
      "300 0 0 1 5 5\n301 0 1 1 5 5 trailing words\n302 0 1 1 1 1";
  testing::internal::CaptureStdout();
  parseTabAtuText(w.get(), 0, text.data(), text.size());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "LoadTabAtu Errore idxLoadTabAtu Errore idxLoadTabAtu Errore idx");
  EXPECT_EQ(tc.count("LoadTabAtu Errore idx\n"), 3);
  std::vector<int> filled;
  for (int i = 0; i < KZ_TUNE_SLOTS; ++i)
    if (w->tuneTab[0][i].valid) filled.push_back(i);
  EXPECT_EQ(filled, (std::vector<int>{100, 301, 302, 3130, 4999}));
  EXPECT_TRUE(same(w->tuneTab[0][3130], tune(1, 37, 120)));
  EXPECT_EQ(LoadTuneValFromTabRam(100, 0, w.get()).mode, 1);
}

TEST(TuneMem, SavedFileReadsBackWholeBetweenRemounts) {
  KzTempRoot root("kz_tmem");
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  for (int k = 0; k < 199; ++k)
    w->tuneTab[1][k * 23 + 5] = tune(1 + k % 3, k * 7 % 512, k * 13 % 512);
  w->tuneTab[1][3130] = tune(1, 37, 120);
  const std::vector<TuneVal> before(w->tuneTab[1], w->tuneTab[1] + KZ_TUNE_SLOTS);
  SaveTabAtu(w.get(), 5, 1);
  EXPECT_EQ(tc.count("SaveTabAtu Bank5 , antenna 1\n"), 1);
  EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{kRw, kRo}));
  std::string text;
  kzReadFile(root.file("atu_ant2_b5.txt"), text);
  EXPECT_EQ(text.rfind("5 10000 1 1 0 0\n28 56000 1 2 7 13\n", 0), 0u);
  EXPECT_NE(text.find("\n3130 14200000 1 1 37 120\n"), std::string::npos);
  LoadTabAtu(w.get(), 5, 1);
  for (int i = 0; i < KZ_TUNE_SLOTS; ++i) ASSERT_TRUE(same(w->tuneTab[1][i], before[i])) << i;
  kzCmdScript(kRw, 1);  // refused remount: nothing written
  SaveTabAtu(w.get(), 6, 1);
  EXPECT_FALSE(kzFileExists(root.file("atu_ant2_b6.txt")));
  EXPECT_EQ(tc.countContaining("can't mount rw /opt/set/ error"), 1);
  LoadTabAtu(w.get(), 6, 1);  // missing file: empty table
  EXPECT_EQ(SearchBestTune(w.get(), 0, 0, KZ_TUNE_SLOTS, 1), -1);
}

TEST(TuneMem, InsertDeleteAndWholeBank) {
  KzTempRoot root("kz_tmem");
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc(0);
  w->freqHz = 7100000;
  SetC(w.get(), 300);
  SetI(w.get(), 45);
  SetMode(w.get(), 2);
  InsertTuneToMem(w.get(), 0, 2);
  EXPECT_EQ(tc.count("--------------> Save Tune To File idx 7100000 (idx:2120)\n"), 1);
  EXPECT_EQ(tc.count("-------------- Save TuneVal C:300, L:45, M:2\n"), 1);
  std::string text;
  kzReadFile(root.file("atu_ant3.txt"), text);
  EXPECT_EQ(text, "2120 7100000 1 2 45 300\n");

  kzCmdClearRecorded();
  DeleteFileConf(w.get(), 3, 1);
  DeleteFileConf(w.get(), 3, 3);
  DeleteFileConf(w.get(), 3, 4);  // no such file number
  EXPECT_EQ(kzCmdRecorded(),
            (std::vector<std::string>{kRw, "rm -f " + root.file("atu_ant2_b3.txt"), kRo, kRw,
                                      "rm -f " + root.file("antenna_b3.txt"), kRo}));
  kzCmdScript("rm -f", 1);
  DeleteFileConf(w.get(), 3, 0);
  EXPECT_EQ(tc.count("can't delete file bank 3"), 1);

  kzSaveFileAtomic(root.file("antenna_b2.txt"), "!817\n");
  kzSaveFileAtomic(root.file("atu_ant1_b2.txt"), "3130 14200000 1 2 3 4\n");
  rec.enaser = rec.enaCatSer = '0';
  kzTakeQueued(w.get());
  LoadAllBankTable(w.get(), 2);
  EXPECT_EQ(w->ModeWorkIdx.load(), 2);
  EXPECT_TRUE(same(w->tuneTab[0][3130], tune(2, 3, 4)) && w->tuneTab[2][2120].valid == 0);
  EXPECT_EQ(rec.enaCatSer, '1');
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{35});
  JoinAllThreads();  // the FT-817 link started by the switch (no port here: it ends)
}

// A tune file that exists but cannot be read (a directory here, which holds
// for root too) gives an empty table marked unread: a store of the current
// tune keeps it in memory but never replaces the file; once the file reads
// again, saves go on. A damaged file logs its first bad lines and a count.
TEST(TuneMem, UnreadableFileIsNeverReplacedAndBadLinesAreBounded) {
  KzTempRoot root("kz_tmem");
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture log('L');
  std::filesystem::create_directory(root.file("atu_ant1_b1.txt"));
  LoadTabAtu(w.get(), 1, 0);
  EXPECT_EQ(log.count("can't read /opt/set/atu_ant1_b1.txt: Is a directory (21), file left "
                      "as it is"),
            1);
  w->freqHz = 14200000;
  w->tuneWord = 0;
  InsertTuneToMem(w.get(), 1, 0);
  EXPECT_TRUE(w->tuneTab[0][3130].valid);
  EXPECT_TRUE(kzCmdRecorded().empty());  // no remount, nothing written
  EXPECT_TRUE(std::filesystem::is_directory(root.file("atu_ant1_b1.txt")));
  EXPECT_EQ(log.count("can't save /opt/set/atu_ant1_b1.txt: the tune file in use could not be "
                      "read, file kept"),
            1);
  char notice[64];
  ASSERT_EQ(PanelNoticeText(w.get(), notice, sizeof notice), 1);
  EXPECT_STREQ(notice, "Settings file damaged: atu_ant1_b1.txt");

  std::filesystem::remove(root.file("atu_ant1_b1.txt"));
  std::string bad;
  for (int i = 0; i < 100; ++i) bad += "7000 0 1 1 1 1\n";
  ASSERT_EQ(kzSaveFileAtomic(root.file("atu_ant1_b1.txt"), "3130 14200000 1 1 37 120\n" + bad), 0);
  testing::internal::CaptureStdout();
  LoadTabAtu(w.get(), 1, 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(log.countContaining("atu_ant1_b1.txt line "), 10);
  EXPECT_EQ(log.count("atu_ant1_b1.txt line 2: no slot index 0-4999, skipped"), 1);
  EXPECT_EQ(log.count("atu_ant1_b1.txt: 100 bad lines in all, the first 10 logged"), 1);
  InsertTuneToMem(w.get(), 1, 0);  // read: the save goes through
  EXPECT_EQ(kzCmdRecorded().size(), 2u);
  std::string text;
  ASSERT_EQ(kzReadFile(root.file("atu_ant1_b1.txt"), text), 0);
  EXPECT_EQ(text, "3130 14200000 1 0 0 0\n");
}
