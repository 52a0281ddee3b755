// The status text a connected remote unit receives: every field at its
// position, fields too wide for their place, the band lookup, the last error.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "amplifier/statusbuf.h"
#include "support.h"

TEST(StatusBuf, FieldsBandsWideValuesAndTheLastError) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  w->bandCount = 2;
  w->bandTab[0] = BandRow{"40m", 7000000, 7300000, 1, 1, 0, 0, 0.0f};
  w->bandTab[1] = BandRow{"Band12m", 24890000, 24990000, 1, 1, 0, 0, 0.0f};
  char buf[80];
  auto build = [&] {  // the 52 characters; nothing written past the terminator
    memset(buf, 'X', sizeof buf);
    CreaBufferDiStato(w.get(), buf);
    EXPECT_TRUE(buf[KZ_STATUS_TEXT] == '\0' && buf[KZ_STATUS_BUF] == 'X');
    return std::string(buf, KZ_STATUS_TEXT);
  };
  w->freqHz = 7300000, w->ampModel = '0';  // the high edge belongs to the band
  w->ModeWorkIdx = 1, w->attenuator = 2, w->antenna = 1;
  w->ampBypass = w->atuBypass = w->tuneState = 1;
  w->swr = 1.5f, w->pwrFwd = 42.25f, w->pwrIn = 2.5f, w->temp1 = 25.0f, w->temp2 = 31.2f;
  w->panelReply[3] = 200;  // 200 x 3.3 x 118 / 255 / 18 = 16.96 V
  w->currentRaw = 4096.0f / 14.05f * 3.5f;
  w->numBanco = 7;
  EXPECT_EQ(build(), "40m 1211B1001.50042.25002.5031.217.003.507000000000;");
  w->freqHz = 24990000;  // names are cut to four characters
  w->tuneEnabled = -128;  // tuner not installed
  EXPECT_EQ(build().substr(0, 9), "Band1211N");
  w->freqHz = 7300001;
  EXPECT_EQ(build().substr(0, 4), "----");

  // An SWR of 100 fills its field; -10.0 degrees runs into the voltage,
  // which overwrites its last character.
  w->swr = 100.0f, w->temp1 = -10.0f, w->temp2 = -20.0f;
  std::string s = build();
  EXPECT_EQ(s.substr(10, 6), "100.00");
  EXPECT_EQ(s.substr(28, 8), "-10.17.0");
  // Values far out of range stay inside the text.
  w->pwrFwd = -1e30f, w->numBanco = -2000000000;
  EXPECT_EQ(build().substr(42), "000000000;");

  // Position 42: the last registered code + 1 as a raw byte, or '0'.
  AddErrore(w.get(), 12);
  AddErrore(w.get(), 4);
  EXPECT_EQ(build()[42], char(5));
  DeleteErrore(w.get(), 4);
  EXPECT_EQ(build()[42], char(13));
}
