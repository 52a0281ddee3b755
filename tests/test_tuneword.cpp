// Tuner network word: capacitor and inductor bits, mode bits and their
// decoding, the forced bypass, and the switch of the interface type.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/threads.h"
#include "support.h"
#include "tuner/tuneword.h"

namespace {
uint32_t bits(std::initializer_list<int> list) {
  uint32_t m = 0;
  for (int b : list) m |= 1u << b;
  return m;
}
const uint32_t kCap = bits({15, 2, 4, 6, 14, 12, 10, 8, 20});
const uint32_t kInd = bits({1, 3, 5, 7, 13, 11, 9, 19, 21});
}  // namespace

TEST(TuneWord, CodesLandOnTheirBitsOnly) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  w->tuneWord = ~kCap;  // SetC touches the code bits and clears bit 22
  SetC(w.get(), 511);
  EXPECT_EQ(w->tuneWord.load(), ~bits({22}));
  SetC(w.get(), 0);
  EXPECT_EQ(w->tuneWord.load(), ~kCap & ~bits({22}));
  w->tuneWord = ~kInd;  // SetI likewise with bit 17
  SetI(w.get(), 5);
  EXPECT_EQ(w->tuneWord.load(), (~kInd & ~bits({17})) | bits({1, 5}));
  SetI(w.get(), 512 + 300);  // cut to 9 bits
  SetC(w.get(), 211);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->tuneWord.load()), 300);
  EXPECT_EQ(DecodeCapacitaFromTuneval(w->tuneWord.load()), 211);
}

TEST(TuneWord, ModesDecodeAndTwoModeBitsForceBypass) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  EXPECT_EQ(DecodeModoFromTuneval(0), 0);
  EXPECT_EQ(DecodeModoFromTuneval(bits({23})), 1);
  EXPECT_EQ(DecodeModoFromTuneval(bits({18}) | kCap), 2);
  EXPECT_TRUE(tc.lines.empty());
  w->tuneWord = bits({16});
  ReadTnePar(w.get());
  EXPECT_TRUE(w->valC == 0 && w->valI == 0 && w->tuneMode == 3);
  w->tuneWord = bits({16, 23, 2, 1});
  ReadTnePar(w.get());
  EXPECT_EQ(tc.count("DecodeModoFromTuneval -> tune: 0x810000 \n"), 1);
  EXPECT_EQ(w->tuneWord.load(), bits({16, 2, 1}));
  EXPECT_TRUE(w->tuneMode == 3 && w->atuBypass == 1 && w->valC == 2 && w->valI == 1);
}

TEST(TuneWord, SetModeBitsBypassFlagAndDebugText) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  std::strcpy(ModeTuneDebug, "xx");
  w->tuneWord = kCap | bits({18, 30});
  SetMode(w.get(), 0);
  EXPECT_EQ(w->tuneWord.load(), kCap | bits({16, 30}));
  EXPECT_TRUE(w->atuBypass == 1 && w->tuneMode == 0);
  EXPECT_STREQ(ModeTuneDebug, "xx");  // debug display off
  w->enableDebug = 1;
  SetMode(w.get(), 1);
  EXPECT_EQ(w->tuneWord.load(), kCap | bits({23, 30}));
  EXPECT_EQ(w->atuBypass.load(), 0);
  EXPECT_STREQ(ModeTuneDebug, "CL");
  SetMode(w.get(), 3);
  EXPECT_STREQ(ModeTuneDebug, "BP");
  SetMode(w.get(), 4);  // no such mode: nothing changes
  SetMode(w.get(), -1);
  EXPECT_EQ(w->tuneWord.load(), kCap | bits({16, 30}));
  EXPECT_TRUE(w->tuneMode == 3 && w->atuBypass == 1);
}

TEST(TuneWord, InterfaceTypeSwitchesRunBytesAndQueuesSettings) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  rec.enaser = rec.enaCatSer = '1';
  AddErrore(w.get(), 8);
  SetModeWorkIDX(w.get());  // 0 "Generic"
  EXPECT_TRUE(rec.enaser == '0' && rec.enaCatSer == '0' && !ExistError(w.get(), 8));
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{35});
  w->ModeWorkIdx = 1;
  rec.enaCatSer = '1';
  SetModeWorkIDX(w.get());
  EXPECT_TRUE(rec.enaser == '1' && rec.enaCatSer == '0');
  EXPECT_EQ(tc.count("KAVread start\n"), 1);  // the link was started
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{35});
  AddErrore(w.get(), 8);
  w->ModeWorkIdx = 2;
  SetModeWorkIDX(w.get());
  EXPECT_TRUE(rec.enaser == '0' && rec.enaCatSer == '1' && !ExistError(w.get(), 8));
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{35});
  JoinAllThreads();  // the link thread started above (its port does not open)
}
