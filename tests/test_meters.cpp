// Meters and plot: SWR scale and dBm, needle angles and where they land,
// readings against reference renderings of the same text, peak hold, the
// frequency text, plot labels and trace per layout, point clamping, and
// frames over the generated artwork saved as PNG.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "panel/meters.h"
#include "panel/png.h"
#include "platform/clock.h"
#include "screen_support.h"

namespace {

const KzRgb kRed{255, 0, 0}, kBlack{0, 0, 0}, kWhite{255, 255, 255}, kTrace{250, 0, 150};

float angleOf(double pos, double full) { return float((0.24 - pos * 0.48 / full) * 3.141692653); }

class MetersTest : public ::testing::Test {
 protected:
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  KzMemScreen scr;
  works *saved = staticworks;
  void SetUp() override {
    kzLoadTestFonts();
    InitGlobalVar(w.get());
    w->fb = &scr.fb;
    w->ampModel = '0';
    startGrid();
  }
  void TearDown() override {
    startGrid();
    InitGlobalVar(w.get());
    staticworks = saved;
  }
  // The plot globals as at start (other suites switch layouts).
  static void startGrid() {
    divX = 16, divY = 10, xRangeStart = 0, xRangeEnd = 854;
    RefLevel = -110, RefPos = 0, PointDiv = 10;
    InitGrid();
  }
  void frame(uint8_t bg = 255) {
    std::fill(scr.draw.begin(), scr.draw.end(), bg);
    DrawMeters(w.get());
  }
  // The drawing shows `text` at (x, y) exactly as putString draws it alone.
  bool shows(int font, int x, int y, const char *text, int r = 0, int g = 0, int b = 0) {
    KzMemScreen ref;
    std::fill(ref.draw.begin(), ref.draw.end(), scr.draw[0]);
    putString(font, x, y, text, r, g, b, &ref.fb);
    // The text's box: its width, from the height of capitals to below the baseline.
    const int size = font == 4 ? 24 : font == 8 ? 20 : 14;
    const int x1 = x + getStringSpace(font, text) + 2, y0 = y - size * 4 / 5, y1 = y + 4;
    if (ref.countNot(x - 2, y0, x1, y1, ref.at(0, 0)) == 0) return false;  // nothing to see
    for (int yy = y0; yy < y1; yy++)
      for (int xx = x - 2; xx < x1; xx++)
        if (!(scr.at(xx, yy) == ref.at(xx, yy))) return false;
    return true;
  }
  // A meter text centred on its plate beside the pivot (inner columns 15 to
  // 127, or 673 to 785), name row 216, reading row 240; font 8, or 10 where
  // 8 is too wide.
  bool onPlate(int plate, int row, const char *text) {
    const int x0 = plate == 0 ? 15 : 673;
    const int font = getStringSpace(8, text) <= 112 ? 8 : 10;
    return shows(font, x0 + (112 - getStringSpace(font, text)) / 2, row, text);
  }
  bool fwdName(const char *t) { return onPlate(0, 216, t); }
  bool fwdValue(const char *t) { return onPlate(0, 240, t); }
  bool rightName(const char *t) { return onPlate(1, 216, t); }
  bool rightValue(const char *t) { return onPlate(1, 240, t); }
  bool near(int x, int y, KzRgb c) { return scr.count(x - 1, y - 1, x + 2, y + 2, c) > 0; }
};

}  // namespace

TEST(MetersScale, SwrPositionsAndDbm) {
  EXPECT_FLOAT_EQ(CalcolaSWR(1.25f), 5.5f);
  EXPECT_FLOAT_EQ(CalcolaSWR(2.5f), 25.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(10.0f), 50.0f);
  EXPECT_NEAR(CalcolaSWR(50.0f), 50.0f + 10.0f * 40.0f / 90.0f, 1e-4);  // 54.44 by the table
  for (float x : {0.0f, 0.999f, -3.0f, NAN}) EXPECT_EQ(CalcolaSWR(x), 0.0f) << x;
  for (float x : {100.0f, 150.0f, INFINITY}) EXPECT_EQ(CalcolaSWR(x), 60.0f) << x;
  EXPECT_FLOAT_EQ(ConvertW_to_dBm(1.0f), 30.0f);
  EXPECT_FLOAT_EQ(ConvertW_to_dBm(100.0f), 50.0f);
  for (float x : {0.0f, -1.0f, NAN}) EXPECT_EQ(ConvertW_to_dBm(x), -INFINITY) << x;
}

TEST_F(MetersTest, GridGeometryAndPointClamping) {
  InitGrid();
  EXPECT_EQ(std::vector<int>({r_x, r_y, bound_left, bound_right, b_top, b_bottom}),
            std::vector<int>({43, 17, 70, 758, 60, 230}));
  // low -110, high -10 over rows 230..60; x 0..854 over 70..758.
  const float xy[][4] = {{0, -60, 70, 145}, {427, 20, 414, 60}, {854, -200, 758, 230}};
  for (auto &c : xy) {
    const KzPoint p = CalculatePoint(-110, -10, c[0], c[1]);
    EXPECT_TRUE(p.x == c[2] && p.y == c[3]) << c[0] << " " << c[1];
  }
  for (KzPoint p : {CalculatePoint(-50, -50, 10, -50), CalculatePoint(-110, -10, NAN, NAN)})
    EXPECT_TRUE(p.y >= 60 && p.y <= 230 && std::isfinite(p.x)) << p.x << " " << p.y;
}

TEST_F(MetersTest, NeedlesAndReadings) {
  frame();  // 0 W: tip and half way where the needle formula puts them
  EXPECT_FLOAT_EQ(w->angleFwd, angleOf(0, 60));
  EXPECT_TRUE(near(62, 125, kRed) && near(136, 192, kRed) && near(442, 125, kRed));
  EXPECT_TRUE(fwdValue("0.0W") && rightName("REFLECTED") && fwdName("FORWARD"));
  w->pwrFwd = 60;
  frame();
  EXPECT_FLOAT_EQ(w->angleFwd, angleOf(60, 60));
  EXPECT_TRUE(near(357, 125, kRed));
  EXPECT_EQ(scr.count(0, 0, 200, 250, kRed), 0);

  w->ampModel = '1';  // 150 W on the 120 W model: needle at 120 W, text as measured
  number_ofStep_meter_FWD = 120;
  w->pwrFwd = 150;
  frame();
  EXPECT_FLOAT_EQ(w->angleFwd, angleOf(120, 120));
  EXPECT_TRUE(fwdValue("150.0W"));

  w->powerUnits = 1;
  w->pwrFwd = 1;
  frame();
  EXPECT_TRUE(fwdValue("30.0dBm") && rightValue("---dBm"));
  w->powerUnits = 0;
  w->pwrRefl = 70;  // capped at 60 for the needle only
  frame();
  EXPECT_FLOAT_EQ(w->angleRight, angleOf(60, 60));
  EXPECT_TRUE(rightValue("70.0W"));

  w->workScreenType = 2;  // SWR 0 -> position 0, 2.5 -> 25, 150 -> limited to 100
  const std::pair<float, float> swr[] = {{0, 0}, {2.5f, 25}, {NAN, 0}, {150, 60}};
  for (auto [s, pos] : swr) {
    w->swr = s;
    frame();
    EXPECT_FLOAT_EQ(w->angleRight, angleOf(pos, 60)) << s;
  }
  EXPECT_TRUE(near(737, 125, kRed) && rightValue("100.0") && rightName("SWR"));
  w->workScreenType = 3;
  w->pwrIn = 12.5f;
  frame();
  EXPECT_FLOAT_EQ(w->angleRight, angleOf(12.5, 60));
  EXPECT_TRUE(rightValue("12.5W") && rightName("PRWIN"));

  // A peak needle at the value needle's angle lies under it: the red value
  // needle is whole on the frame.
  w->workScreenType = 1;
  w->enablePwrPeak = 1;
  w->peakStarted = 3;
  w->pwrFwd = 30.0f;
  w->pwrPeak = 30.0f;
  w->peakFwd = 30.0f;
  frame(0);
  const int redAlone = scr.count(0, 60, 400, 262, kRed);
  w->enablePwrPeak = 0;
  frame(0);
  EXPECT_EQ(redAlone, scr.count(0, 60, 400, 262, kRed));
  EXPECT_GT(redAlone, 300);
  w->workScreenType = 0;  // right needle left where it was, no right label
  w->angleRight = 0.7f;
  frame();
  EXPECT_FLOAT_EQ(w->angleRight, 0.7f);
  EXPECT_EQ(scr.countNot(670, 196, 790, 250, kWhite), 0);
  w->workScreenType = 1;
  w->statusFlags = 1;  // overlay open: nothing
  frame();
  EXPECT_EQ(scr.countNot(0, 0, 800, 480, kWhite), 0);
  w->fb = nullptr;  // no display: nothing, no crash
  DrawMeters(w.get());
  DrawGrid(w.get());
}

// Readings that are no longer current (the link silent for 5 s, or a
// firmware update started): both needles at rest, "---" for the values.
TEST_F(MetersTest, ReadingsNoLongerCurrentRestTheNeedles) {
  w->workScreenType = 1;
  w->pwrFwd = 43.0f;
  w->pwrRefl = 5.0f;
  w->lastStatusMs = kzNowMs();
  frame();
  EXPECT_FLOAT_EQ(w->angleFwd, angleOf(43, 60));
  w->lastStatusMs = kzNowMs() - 5000;
  frame();
  EXPECT_FLOAT_EQ(w->angleFwd, angleOf(0, 60));
  EXPECT_FLOAT_EQ(w->angleRight, angleOf(0, 60));
  EXPECT_TRUE(fwdValue("---W") && rightValue("---W"));
  w->lastStatusMs = kzNowMs();
  w->maintFlags = 4;  // "MR1;" sent: the micro is in its boot loader
  w->workScreenType = 2;
  frame();
  EXPECT_FLOAT_EQ(w->angleFwd, angleOf(0, 60));
  EXPECT_TRUE(rightValue("---"));
}

TEST_F(MetersTest, PeakHoldDecayAndSmoothing) {
  works *p = w.get();
  CalcolaPwrPeak(p, 10);  // the first value is only stored
  EXPECT_EQ(p->peakFwdHold, 0);
  CalcolaPwrPeak(p, 4);  // no hold: (2 x 10 + 4) / 3
  EXPECT_FLOAT_EQ(p->peakFwd, 8);
  CalcolaPwrPeak(p, 40);  // a new peak at once, with the hold
  CalcolaPwrPeak(p, 20);
  EXPECT_FLOAT_EQ(p->peakFwd, 40);
  EXPECT_EQ(p->peakFwdHold, 3000);
  PeakHoldTick(p, 10);  // while held: one step of 1 every second cycle
  PeakHoldTick(p, 10);
  EXPECT_FLOAT_EQ(p->peakFwd, 39);
  EXPECT_EQ(p->peakFwdHold, 2980);
  CalcolaPwrPeak(p, 45);  // restarts the hold
  EXPECT_EQ(p->peakFwdHold, 3000);
  PeakHoldTick(p, 2500);
  PeakHoldTick(p, 600);  // the hold runs out
  PeakHoldTick(p, 10);   // no more decay
  EXPECT_FLOAT_EQ(p->peakFwd, 44);
  CalcolaPwrPeak(p, 8);  // then smoothing
  EXPECT_FLOAT_EQ(p->peakFwd, (2 * 44 + 8) / 3.0f);

  CalcolaPwrPeak2(p, 5);  // the right meter: its own first value and hold
  EXPECT_EQ(p->peakRightHold, 0);
  PeakDecrement = 100;
  PeakDecrementTime = 3;
  CalcolaPwrPeak2(p, 50);
  for (int i = 0; i < 3; i++) PeakHoldTick(p, 10);
  EXPECT_FLOAT_EQ(p->peakRight, 50);
  PeakHoldTick(p, 10);  // fourth cycle: falls, not below 0
  EXPECT_FLOAT_EQ(p->peakRight, 0);

  InitGlobalVar(p);  // the meters: peak needle from pwrPeak, kept on the scale
  p->peakStarted = 0;
  p->enablePwrPeak = 1;
  p->pwrFwd = 10;
  p->pwrPeak = 30;
  frame();
  EXPECT_FLOAT_EQ(p->angleFwdPeak, angleOf(30, 60));
  EXPECT_TRUE(near(209, 75, kBlack));
  p->pwrPeak = 90;
  frame();
  EXPECT_FLOAT_EQ(p->peakFwd, 90);
  EXPECT_FLOAT_EQ(p->angleFwdPeak, angleOf(60, 60));
}

TEST_F(MetersTest, FrequencyText) {
  char s[32];
  const std::pair<uint32_t, const char *> cases[] = {
      {7100000, "7.100MHz"}, {999999, "999.999kHz"}, {500, "500Hz"}, {1000, "1.000kHz"}, {0, ""}};
  for (auto [hz, text] : cases) {
    EXPECT_EQ(FormatFreqText(hz, s, sizeof s), int(strlen(text)));
    EXPECT_STREQ(s, text);
  }
  w->freqHz = 7100000;
  frame();
  EXPECT_TRUE(shows(4, 339, 52, "7.100MHz"));  // black above the meters
  w->workScreenType = 4;
  std::fill(scr.draw.begin(), scr.draw.end(), 0);
  DrawFreq(w.get());
  EXPECT_TRUE(shows(4, 339, 52, "7.100MHz", 250, 150, 0));  // orange above the plot
}

TEST_F(MetersTest, PlotLabelsAndTracePerLayout) {
  std::vector<float> trace(1024, -200.0f);
  SpectrumRec sp{trace.data(), trace.data(), {1}};
  w->offsetPlot = 10;
  // Only the layout's entries at -65 (+10), all others far below: the trace
  // pixels, -1 unless all of them lie on `row`.
  auto plot = [&](int first, int last, int row) {
    std::fill(trace.begin(), trace.end(), -200.0f);
    std::fill(trace.begin() + first, trace.begin() + last + 1, -65.0f);
    scr.clear();
    DrawGrid(w.get());
    const int n = scr.count(0, row, 800, row + 1, kTrace);
    return scr.count(0, 0, 800, 480, kTrace) == n ? n : -1;
  };
  DrawGrid(w.get());  // no spectrum: grid and labels, no trace
  EXPECT_EQ(scr.count(0, 0, 800, 480, kTrace), 0);
  EXPECT_TRUE(shows(6, 60, 243, "-80", 180, 180, 180) && shows(6, 35, 60, "-10", 180, 180, 180));
  w->spectrum = &sp;
  sp.updates = 0;  // the zeroed record before any spectrum arrived: no flat line
  std::fill(trace.begin(), trace.end(), 0.0f);
  scr.clear();
  DrawGrid(w.get());
  EXPECT_EQ(scr.count(0, 0, 800, 480, kTrace), 0);
  sp.updates = 1;
  EXPECT_EQ(plot(0, 853, 136), 758 - 70);  // -110..-10: row 136

  divX = 8, xRangeEnd = 427, w->plotSpan = 80000, RefPos = 1;
  EXPECT_EQ(plot(213, 639, 119), 757 - 70);  // -120..-20: row 119
  EXPECT_TRUE(shows(6, 60, 243, "-40", 180, 180, 180) && shows(6, 414, 243, "0", 180, 180, 180) &&
              shows(6, 748, 243, "+40", 180, 180, 180) && shows(6, 35, 60, "-20", 180, 180, 180));
  EXPECT_EQ(scr.count(100, 60, 101, 231, {120, 120, 120}), 11);  // level lines
  EXPECT_EQ(scr.count(70, 100, 759, 101, {120, 120, 120}), 9);   // frequency lines
  std::fill(trace.begin(), trace.end(), NAN);  // no values, range past the record
  xRangeEnd = 2000;
  scr.clear();
  DrawGrid(w.get());
  EXPECT_GT(scr.count(0, 230, 800, 231, kTrace), 0);
  EXPECT_EQ(scr.count(0, 0, 800, 230, kTrace), 0);
}

TEST_F(MetersTest, FramesOnArtwork) {
  const std::string art = KZ_ART_DIR;
  if (access((art + "/img3.png").c_str(), R_OK) != 0) GTEST_SKIP() << "build the artwork target";
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir(art.c_str()) == 0);
  auto background = [&](const char *name) {
    snprintf(w->imgName, sizeof w->imgName, "%s", name);
    getPng(w.get(), 1);
    fbSetBack(w->fb);
  };
  w->enablePwrPeak = 1, w->pwrFwd = 42.5f, w->pwrPeak = 51, w->pwrRefl = 3.2f, w->swr = 1.8f;
  DrawMeters(w.get());  // the first cycle stores the peaks
  background("img1");
  DrawMeters(w.get());
  scr.save("meters_img1");
  EXPECT_GT(scr.count(200, 60, 420, 262, kRed), 100);
  EXPECT_GT(scr.countNot(0, 0, 800, 270, kBlack), 100000);  // the face is there
  w->workScreenType = 2;
  background("img3");
  DrawMeters(w.get());
  scr.save("meters_img3_swr");

  std::vector<float> trace(1024);
  for (int i = 0; i < 1024; i++) {
    float v = -100.0f + 4.0f * std::sin(i * 0.37f) * std::sin(i * 0.05f);
    for (int c : {200, 427, 460, 700}) v = std::max(v, -40.0f - (c == 427 ? 0.5f : 1.2f) * std::abs(i - c));
    trace[size_t(i)] = v;
  }
  SpectrumRec sp{trace.data(), trace.data(), {1}};
  w->spectrum = &sp, w->workScreenType = 4;
  background("m5a");
  DrawGrid(w.get());
  scr.save("plot_m5a");
  EXPECT_GT(scr.count(70, 60, 759, 231, kTrace), 600);
  divX = 8, xRangeEnd = 427, w->plotSpan = 80000, w->workScreenType = 5;
  fbSetBack(w->fb);
  DrawGrid(w.get());
  scr.save("plot_m5a_narrow");
  ASSERT_EQ(chdir(cwd), 0);
}
