// Main screen: frames drawn by LoadButtons checked at chosen pixels and
// against renderings of the expected texts (key labels and the RESET key,
// error buttons, information bar, menu band with the three-piece address,
// bank table, status overlay, transmit marker), the run-time labels, and
// the two readings (my_temp, date and time). Frames are saved as PNG.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "core/lan.h"
#include "core/threads.h"
#include "core/timer.h"
#include "panel/keys.h"
#include "panel/mainscreen.h"
#include "panel/menu.h"
#include "platform/clock.h"
#include "screen_support.h"

namespace {

const KzRgb kOrange{250, 150, 0}, kWhite250{250, 250, 250}, kBlack{0, 0, 0};

class MainScreenTest : public ::testing::Test {
 protected:
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  KzMemScreen scr;
  SerParameters par{};
  void SetUp() override {
    kzLoadTestFonts();
    InitGlobalVar(w.get());
    w->fb = &scr.fb;
    w->ampModel = '0';
    w->ModeWorkIdx = 0;
    w->linkError = 0;
    rec.enaser = '1';
    InitMenuNova(w.get());
  }
  void frame() {
    scr.clear();
    LoadButtons(w.get(), par);
  }
  void setErrors(std::initializer_list<int> codes) {
    int n = 0;
    for (int c : codes) w->errList[n++] = c;
    w->errCount = n;
  }
  // The frame's pixels in [x0, x1) x [y0, y1) equal those of `ref`.
  bool same(const KzMemScreen &ref, int x0, int y0, int x1, int y1) {
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++)
        if (!(scr.at(x, y) == ref.at(x, y))) return false;
    return true;
  }
  // The region shows exactly `text` drawn at (x, y) over a plain background.
  bool shows(int x0, int y0, int x1, int y1, int font, int x, int y, const char *text, KzRgb c,
             KzRgb bg = kBlack) {
    KzMemScreen ref;
    for (int yy = y0; yy < y1; yy++) DrawHorizontalLine(x0, yy, x1, bg.r, bg.g, bg.b, &ref.fb, 0);
    putString(font, x, y, text, c.r, c.g, c.b, &ref.fb);
    if (ref.countNot(x0, y0, x1, y1, bg) == 0) return false;  // nothing drawn
    return same(ref, x0, y0, x1, y1);
  }
};

}  // namespace

TEST(MainScreenUnits, FahrenheitConversion) {
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(0.0f), 32.0f);
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(100.0f), 212.0f);
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(-40.0f), -40.0f);
  EXPECT_NEAR(ConversionCelsius_to_Fahrenheit(37.5f), 99.5f, 1e-4);
}

TEST_F(MainScreenTest, NothingWithoutADisplay) {
  w->fb = nullptr;
  setErrors({1});
  w->statusFlags = 1;
  LoadButtons(w.get(), par);
  DrawTastoErrore(w.get(), 5, 130, 0);
  EXPECT_EQ(scr.countNot(0, 0, 800, 480, kBlack), 0);
}

TEST_F(MainScreenTest, SixNewestErrorsOldestLeft) {
  setErrors({3, 9, 12, 1, 17, 22, 10});  // entry 0 (code 3) drops out
  frame();
  scr.save("mainscreen_errors");
  const int box[6][2] = {{5, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 795}};
  const int code[6] = {9, 12, 1, 17, 22, 10};
  const KzRgb red{255, 30, 0};
  for (int k = 0; k < 6; k++) {
    const int x0 = box[k][0], x1 = box[k][1];
    // Alarm codes (kind bit 0) are red, the others orange; white frame.
    const KzRgb fillc = (w->errTable[code[k]].kind & 1) ? red : kOrange;
    EXPECT_EQ(scr.at(x1 - 2, 372), fillc) << k;
    EXPECT_EQ(scr.at(x0, 400), (KzRgb{255, 255, 255})) << k;
    EXPECT_EQ(scr.at(x1, 415), (KzRgb{255, 255, 255})) << k;
    // The box holds exactly what the single button of its code shows there.
    KzMemScreen ref;
    works *pw = w.get();
    pw->fb = &ref.fb;
    int keep[KZ_ERR_CODES];
    memcpy(keep, pw->errList, sizeof keep);
    int n = pw->errCount;
    setErrors({code[k]});
    DrawTastoErrore(pw, x0, x1, 0);
    memcpy(pw->errList, keep, sizeof keep);
    pw->errCount = n;
    pw->fb = &scr.fb;
    EXPECT_TRUE(same(ref, x0, 369, x1 + 1, 417)) << "box " << k;
  }
  // Slots past the list draw nothing; the overlay hides the buttons.
  KzMemScreen empty;
  w->fb = &empty.fb;
  DrawTastoErrore(w.get(), 5, 130, 7);
  EXPECT_EQ(empty.countNot(0, 0, 800, 480, kBlack), 0);
  w->fb = &scr.fb;
  w->statusFlags = 1;
  frame();
  EXPECT_EQ(scr.count(5, 370, 796, 416, kOrange), 0);
}

TEST_F(MainScreenTest, ResetKeyOnlyForRealErrors) {
  const KzRgb bar{40, 40, 40};
  setErrors({2, 22, 23, 24});
  EXPECT_EQ(VerifyError(w.get()), 0);
  frame();
  EXPECT_TRUE(shows(2, 424, 129, 452, 0, 20, 445, "  MEM", kOrange, bar));
  setErrors({});
  EXPECT_EQ(VerifyError(w.get()), 0);
  setErrors({23, 5, 2});
  EXPECT_EQ(VerifyError(w.get()), 1);
  frame();
  scr.save("mainscreen_reset_key");
  EXPECT_TRUE(shows(2, 424, 129, 452, 0, 20, 445, "RESET", kOrange, bar));
  EXPECT_TRUE(shows(2, 453, 129, 477, 1, 30, 472, " Error ", kOrange, bar));
  w->screenState = KZ_SCR_MENU;  // elsewhere key 1 keeps its way back
  frame();
  EXPECT_TRUE(shows(2, 424, 129, 452, 0, 20, 445, " BACK ", kOrange, bar));
  w->screenState = KZ_SCR_MAIN;
  frame();
  // Key bar: grey frame, underlines of keys 1 and 6 in state 0.
  EXPECT_EQ(scr.at(130, 450), (KzRgb{120, 120, 120}));
  EXPECT_EQ(scr.at(50, 420), (KzRgb{120, 120, 120}));
  EXPECT_EQ(scr.at(2, 479), kOrange);
  EXPECT_EQ(scr.at(796, 478), kOrange);
  EXPECT_EQ(scr.at(400, 479), bar);
}

TEST_F(MainScreenTest, RunTimeLabelsFollowTheirState) {
  w->screenState = KZ_SCR_MAIN;
  w->numBanco = 3;
  w->ampBypass = 1;
  w->antenna = 1;
  w->workScreenType = 4;
  frame();
  EXPECT_STREQ(Novamenu[0].lbl[1], "BANK3");
  EXPECT_STREQ(Novamenu[0].lbl[3], "  StBy");
  EXPECT_STREQ(Novamenu[0].lbl[5], "     2");
  EXPECT_STREQ(Novamenu[0].lbl[11], "    4");
  EXPECT_TRUE(shows(666, 453, 798, 477, 1, 695, 472, "    4", kOrange, {40, 40, 40}));
  w->ampBypass = 0;
  w->attenuator = 3;
  SetAttenuatorLabel(w.get());
  EXPECT_STREQ(Novamenu[0].lbl[3], "  5dB");
  // The protection told the amplifier "AT11;" over the operator's 0 dB:
  // the key and the information bar show the 5 dB in force.
  w->attenuator = 0;
  w->attForced = 1 + 3;
  w->workScreenType = 1;
  frame();
  EXPECT_STREQ(Novamenu[0].lbl[3], "  5dB");
  EXPECT_TRUE(shows(406, 279, 520, 303, 8, 415, 298, "Att 5dB", {0, 200, 255}));
  w->attForced = 0;

  // Labels of other states are left alone while state 0 shows.
  char before[12];
  memcpy(before, Novamenu[KZ_SCR_RESET].lbl[3], sizeof before);
  w->resetBank = 7;
  LblRESET(w.get());
  EXPECT_EQ(memcmp(before, Novamenu[KZ_SCR_RESET].lbl[3], sizeof before), 0);

  w->screenState = KZ_SCR_RESET;
  w->maxBank = 7;
  frame();
  EXPECT_STREQ(Novamenu[KZ_SCR_RESET].lbl[3], "  ALL");
  w->resetBank = 2;
  frame();
  EXPECT_STREQ(Novamenu[KZ_SCR_RESET].lbl[3], "    2");

  w->screenState = KZ_SCR_TUNE;
  w->tuneEnabled = int8_t(0x80);
  w->atuBypass = 1;
  frame();
  EXPECT_STREQ(Novamenu[KZ_SCR_TUNE].lbl[7], "NotInst");
  EXPECT_STREQ(Novamenu[KZ_SCR_TUNE].lbl[9], "   Bpy");
  w->tuneEnabled = 0;
  w->tuneState = 1;
  frame();
  EXPECT_STREQ(Novamenu[KZ_SCR_TUNE].lbl[7], "    On");

  w->screenState = KZ_SCR_BANK;
  w->ModeWorkIdx = 2;
  frame();
  EXPECT_STREQ(Novamenu[KZ_SCR_BANK].lbl[3], " FT-817");
  char out[12] = "keep";
  GetLblInterface(3, out);
  GetLblInterface(-1, out);
  EXPECT_STREQ(out, "keep");
}

TEST_F(MainScreenTest, InformationBarBandAndSupply) {
  w->bandCount = 3;
  w->bandTab[0] = BandRow{"40m", 7000000, 7300000, 1, 1, 0, 0, 1.0f};
  w->bandTab[1] = BandRow{"40x", 7050000, 7200000, 1, 1, 0, 0, 1.0f};
  w->bandTab[2] = BandRow{"11m", 26000000, 28000000, 1, 1, 0, 0, 1.0f};
  const KzRgb cyan{0, 200, 255};
  w->freqHz = 27000000;
  w->panelReply[3] = 255;  // 21.6 V on the 60 W model: out of range
  frame();
  scr.save("mainscreen_nopa");
  EXPECT_EQ(scr.at(265, 290), (KzRgb{200, 200, 200}));
  EXPECT_TRUE(shows(266, 279, 400, 303, 8, 275, 298, "NOPA", cyan));
  EXPECT_TRUE(shows(2, 308, 400, 332, 8, 10, 327, "PA Temp1: 00.0°C      Temp2: 00.0°C",
                    {0, 200, 0}));
  EXPECT_TRUE(shows(406, 308, 799, 332, 8, 415, 327, "PA Voltage: -----       Current: 00.0A",
                    {0, 200, 0}));
  w->freqHz = 7100000;  // the last row that holds it wins
  w->panelReply[3] = 100;
  w->temp1 = 41.5f;
  w->temp2 = 30.0f;
  frame();
  EXPECT_TRUE(shows(266, 279, 400, 303, 8, 275, 298, "Band:40x", cyan));
  EXPECT_TRUE(shows(2, 308, 400, 332, 8, 10, 327, "PA Temp1: 41.5°C      Temp2: 30.0°C",
                    {0, 200, 0}));
  EXPECT_TRUE(shows(406, 308, 799, 332, 8, 415, 327, "PA Voltage: 08.5V       Current: 00.0A",
                    {0, 200, 0}));
  w->freqHz = 3600000;
  w->remoteActive = 1;
  w->remoteRestart = 1;
  w->tempMode = 1;
  frame();
  EXPECT_TRUE(shows(266, 279, 400, 303, 8, 275, 298, "Band:---", cyan));
  // "Remote" inside its box (font 8 would reach the box's right line).
  const int rf = 725 + getStringSpace(8, "Remote") <= 797 ? 8 : 10;
  EXPECT_LE(725 + getStringSpace(rf, "Remote"), 797);
  EXPECT_TRUE(shows(716, 279, 798, 303, rf, 725, 298, "Remote", {250, 0, 0}));
  EXPECT_TRUE(shows(2, 308, 400, 332, 8, 10, 327, "PA Temp1: 106.7°F      Temp2: 86.0°F",
                    {0, 200, 0}));
  // The link silent for 5 s: the amplifier's readings and its transmit
  // state are no longer shown as current; the panel's supply reading is.
  w->ampStatus1 = 1;
  w->lastStatusMs = kzNowMs() - 5000;
  frame();
  scr.save("mainscreen_stale");
  EXPECT_TRUE(shows(2, 308, 400, 332, 8, 10, 327, "PA Temp1: ---°F      Temp2: ---°F",
                    {0, 200, 0}));
  EXPECT_TRUE(shows(406, 308, 799, 332, 8, 415, 327, "PA Voltage: 08.5V       Current: --.-A",
                    {0, 200, 0}));
  EXPECT_EQ(scr.count(375, 175, 430, 210, {250, 0, 0}), 0);
  w->lastStatusMs = kzNowMs();
  frame();
  EXPECT_GT(scr.count(375, 175, 430, 210, {250, 0, 0}), 1000);
}

TEST_F(MainScreenTest, MenuBandWrapsAndShowsValues) {
  w->screenState = KZ_SCR_MENU;
  w->menuIdx = 0;
  w->maxBank = 5;
  const KzRgb band{40, 40, 40};
  frame();
  scr.save("mainscreen_menu_first");
  // Previous line: the last entry (number 18, added after 99); next: entry
  // 1 (number 2); the numbers end at x 62, clear of the titles at 70.
  auto numX = [](int font, const char *n) { return 62 - getStringSpace(font, n); };
  EXPECT_TRUE(shows(5, 287, 68, 310, 1, numX(1, "18 -"), 305, "18 -", kOrange, band));
  EXPECT_TRUE(shows(5, 341, 68, 364, 1, numX(1, "2 -"), 360, "2 -", kOrange, band));
  EXPECT_TRUE(shows(5, 312, 68, 339, 7, numX(7, "1 -"), 335, "1 -", {255, 255, 255},
                    {80, 80, 80}));
  // The current value "5" in font 0, right edge at 790.
  const int x5 = 790 - getStringSpace(0, "5");
  EXPECT_TRUE(shows(700, 312, 799, 339, 0, x5, 335, "5", {255, 255, 255}, {80, 80, 80}));
  // The overlay moves the band down by 50 rows.
  w->statusFlags = 1;
  frame();
  EXPECT_EQ(scr.at(795, 290), kBlack);
  EXPECT_EQ(scr.at(795, 340), band);
  const int xStd = 790 - getStringSpace(11, "Standard");  // the last entry's value
  EXPECT_TRUE(shows(700, 337, 799, 360, 11, xStd, 355, "Standard", kOrange, band));
}

TEST_F(MainScreenTest, AddressDrawnInThreePieces) {
  const uint8_t keepV[4] = {IP_v[0], IP_v[1], IP_v[2], IP_v[3]};
  const int keepCnt = CntIP;
  const uint8_t ip[4] = {192, 168, 1, 10};
  memcpy(IP_v, ip, 4);
  CntIP = 2;
  w->screenState = KZ_SCR_EDIT;
  w->menuIdx = 9;
  frame();
  scr.save("mainscreen_address");
  int whiteLo = 800, whiteHi = -1, right = -1;
  for (int y = 311; y <= 339; y++)
    for (int x = 400; x < 799; x++) {
      KzRgb c = scr.at(x, y);
      if (c == kWhite250) whiteLo = std::min(whiteLo, x), whiteHi = std::max(whiteHi, x);
      if (!(c == KzRgb{80, 80, 80})) right = std::max(right, x);
    }
  ASSERT_LE(whiteLo, whiteHi);
  EXPECT_LT(whiteHi - whiteLo, getStringSpace(7, "1") + 1);  // only the "1"
  EXPECT_GT(scr.count(400, 311, whiteLo, 340, kOrange), 0);   // "192.168."
  EXPECT_GT(scr.count(whiteHi + 1, 311, 800, 340, kOrange), 0);  // ".10"
  EXPECT_EQ(scr.count(whiteLo, 311, whiteHi + 1, 340, kOrange), 0);
  EXPECT_GE(right, 784);
  EXPECT_LE(right, 790);
  // "<" and ">" show while an address is edited, not for other entries.
  EXPECT_GT(scr.count(134, 421, 262, 478, kOrange), 0);
  w->menuIdx = 0;
  frame();
  EXPECT_EQ(scr.count(134, 421, 395, 478, kOrange), 0);
  memcpy(IP_v, keepV, 4);
  CntIP = keepCnt;
}

TEST_F(MainScreenTest, BankTableScreen) {
  w->screenState = KZ_SCR_BANK;
  w->statusFlags = 2;
  w->bandCount = 2;
  w->bandTab[0] = BandRow{"160m", 1800000, 2000000, 1, 2, 1, 1, 12.5f};
  w->bandTab[1] = BandRow{"80m", 3500000, 3800000, 0, 3, 0, 2, 7.0f};
  w->antTabRow = 1;
  w->antTabCol = 3;
  w->numBanco = 4;
  frame();
  scr.save("mainscreen_banktable");
  EXPECT_TRUE(shows(95, 25, 700, 58, 0, 100, 50, " Memory Table Bank 4 - Interface: Generic",
                    kOrange));
  EXPECT_TRUE(shows(45, 111, 85, 135, 8, 50, 130, "1", kWhite250));
  EXPECT_TRUE(shows(85, 111, 160, 135, 8, 90, 130, "160m", kWhite250));
  EXPECT_TRUE(shows(165, 111, 240, 135, 8, 170, 130, "12.5", kWhite250));
  EXPECT_TRUE(shows(245, 111, 340, 135, 8, 250, 130, "2", kWhite250));
  EXPECT_TRUE(shows(535, 111, 640, 135, 8, 540, 130, "Off", kWhite250));
  EXPECT_TRUE(shows(345, 136, 460, 157, 8, 350, 152, "Off", kOrange));
  // Browsing (state 6): the cursor row is orange, no cell is red yet.
  EXPECT_TRUE(shows(465, 134, 530, 157, 8, 470, 152, "3", kOrange));
  w->screenState = KZ_SCR_BANKEDIT;  // editing: the cursor cell in red
  frame();
  EXPECT_TRUE(shows(465, 134, 530, 157, 7, 470, 152, "3", {255, 0, 0}));  // cursor cell
  EXPECT_EQ(scr.count(0, 110, 800, 134, {255, 0, 0}), 0);
  // No information bar on this screen.
  EXPECT_EQ(scr.count(0, 278, 800, 304, {200, 200, 200}), 0);
  // Transmitting: the TX marker at the end of the title band, off the rows.
  w->ampStatus1 = 1;
  frame();
  EXPECT_EQ(scr.count(375, 175, 430, 210, {250, 0, 0}), 0);
  EXPECT_GT(scr.count(725, 22, 780, 56, {250, 0, 0}), 1000);
  w->statusFlags = 0;  // a plot layout: above the plot, beside the frequency
  w->screenState = KZ_SCR_MAIN;
  w->workScreenType = 4;
  frame();
  EXPECT_EQ(scr.count(375, 175, 430, 210, {250, 0, 0}), 0);
  EXPECT_GT(scr.count(560, 22, 615, 56, {250, 0, 0}), 1000);
}

TEST_F(MainScreenTest, StatusOverlayLines) {
  w->statusFlags = 1;
  w->ampStatus0 = 5;
  w->ampStatus1 = 1;
  w->retryTotal = 7;
  w->restartCount = 3;
  w->freqHz = 14200000;
  w->freqMeasured = 14199000;
  par.curFreq = 14200100;
  w->cpuTemp = 48.3f;
  w->gpuTemp = 45.1f;
  rec.enaser = '0';
  setErrors({8});
  KzLogCapture log('L');
  frame();
  scr.save("mainscreen_status");
  EXPECT_EQ(rec.enaser, '1');  // the transceiver link is asked to run
  auto line = [&](int y, const char *t) {
    return shows(178, y - 16, 799, y + 5, 8, 180, y, t, {255, 255, 255});
  };
  EXPECT_TRUE(shows(3, 92, 170, 115, 8, 5, 110, "VERSION", {255, 255, 255}));
  EXPECT_TRUE(line(176, "14200000Hz(14200100)"));
  EXPECT_TRUE(line(220, "CPU:48.3°C, GPU:45.1°C"));
  EXPECT_TRUE(line(308, "State 0x05 0x01,ES:7,ER:3"));
  EXPECT_TRUE(line(330, "No EXT IO data"));
  // No transmit marker, error buttons or information bar under the overlay.
  EXPECT_EQ(scr.count(375, 175, 430, 210, {250, 0, 0}), 0);
  EXPECT_EQ(scr.count(0, 370, 800, 416, kOrange), 0);
  EXPECT_EQ(scr.count(1, 278, 2, 304, {200, 200, 200}), 0);  // the bar's left edge

  rec.enaser = '2';  // neither run state: the amplifier's own counter
  setErrors({});
  w->tempMode = 1;
  frame();
  EXPECT_TRUE(line(176, "14199000Hz(14200100)"));
  EXPECT_TRUE(line(220, "CPU:118.9°F, GPU:113.2°F"));
  EXPECT_TRUE(line(330, "EXT IO connected"));

  // Without the overlay the transmit marker shows.
  w->statusFlags = 0;
  frame();
  EXPECT_EQ(scr.at(380, 180), (KzRgb{250, 0, 0}));
  EXPECT_EQ(scr.at(429, 209), (KzRgb{250, 0, 0}));
  JoinAllThreads();  // the transceiver link the overlay started
}

TEST(MainScreenReadings, CpuTemperatureFromMyTemp) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzTempRoot root("kz_mainscreen");
  kzCmdScript("my_temp", 0, "48.3\ntemp=45.1'C\n");
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->cpuTemp.load(), 48.3f);
  EXPECT_FLOAT_EQ(w->gpuTemp.load(), 45.1f);
  EXPECT_EQ(kzCmdRecorded(), std::vector<std::string>{"my_temp"});
  // An empty answer, a short or wordy one, or a failed start keep the readings.
  for (const char *out : {"", "\n", "warm\ntemp\n", "abc", "nan\ntemp=inf\n"}) {
    kzCmdScript("my_temp", 0, out);
    ReadCPUTemp(w.get());
    EXPECT_FLOAT_EQ(w->cpuTemp.load(), 48.3f) << out;
    EXPECT_FLOAT_EQ(w->gpuTemp.load(), 45.1f) << out;
  }
  kzCmdScript("my_temp", -1);
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->cpuTemp.load(), 48.3f);
  // Only characters 5 to 8 of the second line count; a long line is cut.
  kzCmdScript("my_temp", 0, "51\ntemp=62.75'C" + std::string(100, 'x') + "\n");
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->cpuTemp.load(), 51.0f);
  EXPECT_FLOAT_EQ(w->gpuTemp.load(), 62.7f);
}

TEST(MainScreenReadings, DateTimeOncePerSecond) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  // "YYYY-MM-DD hh:mm:ss": digits everywhere but the five separators.
  auto dateShaped = [](const std::string &t) {
    if (t.size() != 19) return false;
    for (size_t i = 0; i < t.size(); i++) {
      char sep = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : 0;
      if (sep ? t[i] != sep : !isdigit(static_cast<unsigned char>(t[i]))) return false;
    }
    return true;
  };
  for (int attempt = 0; attempt < 3; attempt++) {
    time_t before = time(nullptr);
    ReadDataOra(w.get());
    std::string first = w->dateTimeStr;
    ASSERT_TRUE(dateShaped(first)) << first;
    strcpy(w->dateTimeStr, "kept");
    ReadDataOra(w.get());
    if (time(nullptr) != before) continue;  // the second turned: try again
    EXPECT_STREQ(w->dateTimeStr, "kept");
    char expect[32];
    struct tm tmv;
    localtime_r(&before, &tmv);
    strftime(expect, sizeof expect, "%Y-%m-%d %H:%M:%S", &tmv);
    EXPECT_EQ(first, expect);
    return;
  }
  FAIL() << "the clock kept turning";
}

// The long texts the unit can be given, rendered: nothing is drawn past the
// screen's edge (no inked glyph pixel dropped), the link-failure text keeps
// the failing port inside the screen, the status overlay's serial line and
// every menu line stay in their columns.
TEST_F(MainScreenTest, LongTextsStayInsideTheScreenAndTheirBoxes) {
  const unsigned long clipped = TextClippedPixels();
  // Link failure with a long device path.
  w->linkError = 1;
  snprintf(w->linkErrorText, sizeof w->linkErrorText, "%s",
           "Linear: Unable to open device /dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
  SerParameters p{};
  scr.clear();
  TimerHandshake hs;
  TimerCycle(w.get(), p, hs);
  scr.save("mainscreen_linkfail_long");
  const KzRgb white{255, 255, 255};
  EXPECT_GT(scr.count(130, 270, 786, 420, white), 100);
  EXPECT_EQ(scr.count(786, 0, 800, 420, white) + scr.count(0, 270, 130, 420, white), 0);
  EXPECT_EQ(TextClippedPixels(), clipped);
  w->linkError = 0;
  w->screenState = KZ_SCR_MAIN;

  // Status overlay with the longest identity texts.
  w->statusFlags = 1;
  memset(w->ampSerial, 'W', 31);
  memset(w->ampSerial2, 'M', 31);
  w->ampRegion = '1';
  w->ampModel = '1';
  frame();
  scr.save("mainscreen_status_long");
  EXPECT_EQ(TextClippedPixels(), clipped);
  w->statusFlags = 0;

  // The firmware-update notice with error buttons listed: above them.
  w->maintFlags = 4;
  setErrors({4, 16});
  frame();
  scr.save("mainscreen_fwupdate");
  EXPECT_GT(scr.count(20, 330, 780, 356, kWhite250), 50);
  EXPECT_EQ(TextClippedPixels(), clipped);
  w->maintFlags = 0;
  setErrors({});

  // Every menu entry as the current, previous and next line, listing and
  // editing: the numbers end before the titles (x 63 to 69 stay the band).
  for (int state : {KZ_SCR_MENU, KZ_SCR_EDIT}) {
    w->screenState = state;
    for (int i = 0; i < KZ_MENU_ENTRIES; i++) {
      w->menuIdx = i;
      frame();
      if (i == 21) scr.save(state == KZ_SCR_MENU ? "mainscreen_menu_54" : "mainscreen_edit_54");
      ASSERT_EQ(scr.count(63, 287, 70, 310, {40, 40, 40}), 7 * 23) << i;
      ASSERT_EQ(scr.count(63, 312, 70, 339, {80, 80, 80}), 7 * 27) << i;
      ASSERT_EQ(TextClippedPixels(), clipped) << i;
    }
  }
}
