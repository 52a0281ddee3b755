// The status text a connected remote unit receives: every field at its
// position, fields too wide for their place, the band lookup and the last
// error byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "amplifier/statusbuf.h"
#include "support.h"

namespace {

struct StatusFix {
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  char buf[80];
  StatusFix() {
    w->bandCount = 2;
    w->bandTab[0] = BandRow{"40m", 7000000, 7300000, 1, 1, 0, 0, 0.0f};
    w->bandTab[1] = BandRow{"Band12m", 24890000, 24990000, 1, 1, 0, 0, 0.0f};
    w->freqHz = 7300000;  // the high edge belongs to the band
    w->ampModel = '0';
  }
  // The 52 characters, with a canary past the terminator.
  std::string build() {
    memset(buf, 'X', sizeof buf);
    CreaBufferDiStato(w.get(), buf);
    EXPECT_EQ(buf[KZ_STATUS_TEXT], '\0');
    EXPECT_EQ(buf[KZ_STATUS_BUF], 'X');
    return std::string(buf, KZ_STATUS_TEXT);
  }
};

}  // namespace

TEST(StatusBuf, EveryFieldAtItsPlace) {
  StatusFix f;
  works *w = f.w.get();
  w->ModeWorkIdx = 1;
  w->attenuator = 2;
  w->antenna = 1;
  w->ampBypass = 1;
  w->atuBypass = 1;
  w->tuneState = 1;
  w->swr = 1.5f;
  w->pwrFwd = 42.25f;
  w->pwrIn = 2.5f;
  w->temp1 = 25.0f;
  w->temp2 = 31.2f;
  w->panelReply[3] = 200;         // 200 x 3.3 x 118 / 255 / 18 = 16.96 V
  w->currentRaw = 4096.0f / 14.05f * 3.5f;  // 3.5 A
  w->numBanco = 7;
  EXPECT_EQ(f.build(), "40m 1211B1001.50042.25002.5031.217.003.507000000000;");

  // Every band name is cut to four characters; outside every band "----".
  w->freqHz = 24990000;
  EXPECT_EQ(f.build().substr(0, 4), "Band");
  w->freqHz = 7300001;
  EXPECT_EQ(f.build().substr(0, 4), "----");
  // Interface, tuner not installed, idle tuner.
  w->ModeWorkIdx = -1;
  w->tuneEnabled = -128;
  w->tuneState = 0;
  std::string s = f.build();
  EXPECT_EQ(s[4], '0');
  EXPECT_EQ(s[8], 'N');
  EXPECT_EQ(s[9], '0');
  w->tuneEnabled = 0;
  w->atuBypass = 0;
  EXPECT_EQ(f.build()[8], 'T');
}

TEST(StatusBuf, WideValuesRunIntoTheNextField) {
  StatusFix f;
  works *w = f.w.get();
  w->swr = 100.0f;
  w->temp1 = -10.0f;  // "-10.0": its last character is the voltage's
  w->temp2 = -20.0f;
  w->panelReply[3] = 200;
  std::string s = f.build();
  EXPECT_EQ(s.substr(10, 6), "100.00");
  EXPECT_EQ(s.substr(28, 8), "-10.17.0");
  // Values far out of range never write past the text.
  w->swr = 1e30f;
  w->pwrFwd = -1e30f;
  w->currentRaw = std::nanf("");
  w->numBanco = -2000000000;
  s = f.build();
  EXPECT_EQ(s.substr(42), "000000000;");
}

TEST(StatusBuf, LastErrorAsRawByte) {
  StatusFix f;
  works *w = f.w.get();
  EXPECT_EQ(f.build()[42], '0');
  AddErrore(w, 12);
  AddErrore(w, 4);
  EXPECT_EQ(f.build()[42], char(5));
  AddErrore(w, 0);
  EXPECT_EQ(f.build()[42], char(1));
  DeleteErrore(w, 0);
  DeleteErrore(w, 4);
  EXPECT_EQ(f.build()[42], char(13));
}
