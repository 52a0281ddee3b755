// The background pictures drawn by tools/artgen: the files the picture
// loader takes, scale marks where the program's needles end, dark and
// plain regions where the program draws its labels, bars and error
// buttons, light plates under the program's black texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <png.h>
#include <string>

#define ARTGEN_NO_MAIN
#include "../tools/artgen.cpp"
#include "panel/png.h"
#include "support.h"

namespace {

// Every picture drawn once per test run.
const std::map<std::string, std::unique_ptr<ArtScreen>> &pictures() {
  static std::map<std::string, std::unique_ptr<ArtScreen>> all = [] {
    std::map<std::string, std::unique_ptr<ArtScreen>> m;
    if (artLoadFonts() != 0) return m;
    for (const char *n : ART_NAMES) {
      auto s = artScreenNew();
      artDraw(n, &s->fb);
      m[n] = std::move(s);
    }
    return m;
  }();
  return all;
}

const FbScreen &pic(const char *name) { return pictures().at(name)->fb; }

double luma(const FbScreen &fb, int x, int y) {
  const uint8_t *p = fb.drawBuf + size_t(y) * size_t(fb.lineSize) + size_t(x) * 4;
  return 0.299 * p[2] + 0.587 * p[1] + 0.114 * p[0];
}

struct Stats {
  double mean, max;
};

// Over x0 <= x < x1, y0 <= y < y1.
Stats region(const FbScreen &fb, int x0, int y0, int x1, int y1) {
  double sum = 0, mx = 0;
  for (int y = y0; y < y1; y++)
    for (int x = x0; x < x1; x++) {
      const double l = luma(fb, x, y);
      sum += l;
      mx = std::max(mx, l);
    }
  return {sum / ((x1 - x0) * (y1 - y0)), mx};
}

// The program's needle: value v on full scale s, pivot (px, 260); the
// brightest pixel from k0 to k1 pixels beyond its end along its direction.
double alongNeedle(const FbScreen &fb, double px, double v, double s, double k0, double k1) {
  const double a = (0.24 - v * 0.48 / s) * 3.141692653;
  const double ex = px - 200 * std::sin(a) + 15 * std::cos(a + 1.5708463265);
  const double ey = 260 - 200 * std::cos(a) + 15 * std::sin(a + 1.5708463265);
  const double len = std::hypot(ex - px, ey - 260);
  double mx = 0;
  for (double k = k0; k <= k1; k += 0.5) {
    const double x = ex + k * (ex - px) / len, y = ey + k * (ey - 260) / len;
    mx = std::max(mx, luma(fb, int(x), int(y)));
  }
  return mx;
}

// Marks are bright 3..9 pixels out at every value of `marks`, the scale is
// dark 8..12 pixels out at every value of `gaps`.
void expectMarks(const char *name, double px, double s, const std::vector<double> &marks,
                 const std::vector<double> &gaps) {
  const FbScreen &fb = pic(name);
  for (double v : marks)
    EXPECT_GT(alongNeedle(fb, px, v, s, 3, 9), 170) << name << " mark at " << v;
  for (double v : gaps)
    EXPECT_LT(alongNeedle(fb, px, v, s, 8, 12), 90) << name << " gap at " << v;
}

std::vector<double> steps(double from, double to, double step) {
  std::vector<double> v;
  for (double x = from; x <= to + 1e-9; x += step) v.push_back(x);
  return v;
}

// The header of the PNG file f (left at 0 when it cannot be read).
void readHeader(FILE *f, png_uint_32 *w, png_uint_32 *h, int *depth, int *type) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_read_info(png, info);
    png_get_IHDR(png, info, w, h, depth, type, nullptr, nullptr, nullptr);
  }
  png_destroy_read_struct(&png, &info, nullptr);
}

}  // namespace

TEST(ArtworkFiles, EveryPictureIsAnRgbaScreenTheLoaderTakes) {
  KzTempRoot root("art");
  ASSERT_EQ(artWriteAll(root.dir), 0);
  auto screen = artScreenNew();
  for (const char *n : ART_NAMES) {
    const std::string path = root.dir + "/" + n + ".png";
    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr) << path;
    png_uint_32 w = 0, h = 0;
    int depth = 0, type = 0;
    readHeader(f, &w, &h, &depth, &type);
    EXPECT_EQ(w, 800u) << n;
    EXPECT_EQ(h, 480u) << n;
    EXPECT_EQ(depth, 8) << n;
    EXPECT_EQ(type, PNG_COLOR_TYPE_RGB_ALPHA) << n;
    // The program's own loader takes it and gets the drawn pixels back.
    rewind(f);
    memset(screen->fb.backBuf, 0x55, size_t(screen->fb.memSize));
    EXPECT_EQ(getPngFile(path.c_str(), f, &screen->fb, screen->fb.backBuf), 0) << n;
    fclose(f);
    EXPECT_EQ(memcmp(screen->fb.backBuf, pic(n).drawBuf, size_t(screen->fb.memSize)), 0) << n;
  }
  // A directory that cannot be written is a failure, not a silent success.
  EXPECT_EQ(artWriteAll(root.dir + "/missing/dir"), -1);
}

TEST(ArtworkMeters, PowerMarksSitAtTheNeedleEnds) {
  const std::vector<double> tens60 = steps(0, 60, 10), gaps60 = steps(2.5, 52.5, 10);
  for (const char *n : {"img1", "img3"}) expectMarks(n, 210, 60, tens60, gaps60);
  for (const char *n : {"img1b", "img3b"}) expectMarks(n, 210, 120, steps(0, 120, 10),
                                                       steps(5, 115, 10));
  // The right meter of img1/img1b: reflected or input power, 60 W.
  for (const char *n : {"img1", "img1b"}) expectMarks(n, 590, 60, tens60, gaps60);
}

TEST(ArtworkMeters, SwrMarksSitAtTheirScalePositions) {
  // Positions of SWR 1, 1.5, 2, 3, 4, 5, 6, 7, 8, 9, 10 and 100 and above.
  const std::vector<double> pos = {0, 11, 20, 30, 36, 40, 43, 45, 47, 48, 50, 60};
  std::vector<double> gaps;
  for (size_t i = 0; i + 1 < pos.size(); i++)
    if (pos[i + 1] - pos[i] >= 3) gaps.push_back((pos[i] + pos[i + 1]) / 2);
  for (const char *n : {"img3", "img3b"}) expectMarks(n, 590, 60, pos, gaps);
  EXPECT_DOUBLE_EQ(artSwrPosition(1.25), 5.5);
  EXPECT_DOUBLE_EQ(artSwrPosition(2.5), 25);
  EXPECT_NEAR(artSwrPosition(50), 50 + 10 * 40 / 90.0, 1e-9);
  EXPECT_DOUBLE_EQ(artSwrPosition(0), 0);
  EXPECT_DOUBLE_EQ(artSwrPosition(150), 60);
}

TEST(ArtworkLayout, ProgramRegionsStayDarkAndPlain) {
  struct Box {
    const char *what;
    int x0, y0, x1, y1;
  };
  const Box mainScreen[] = {{"information bars", 0, 276, 800, 335},
                            {"message line", 0, 335, 800, 369},
                            {"error buttons", 0, 369, 800, 420},
                            {"key bar", 0, 420, 800, 480},
                            {"clock", 600, 0, 800, 22}};
  for (const char *n : {"img1", "img1b", "img3", "img3b", "m5a"})
    for (const Box &b : mainScreen) {
      const Stats s = region(pic(n), b.x0, b.y0, b.x1, b.y1);
      EXPECT_LT(s.mean, 30) << n << " " << b.what;
      EXPECT_LT(s.max, 40) << n << " " << b.what;
    }
  // The plot well of m5a is left empty for grid and trace.
  const Stats well = region(pic("m5a"), 71, 61, 758, 230);
  EXPECT_LT(well.max, 40);
  // Start pictures: the link-failure message (row 300 from x 130) and the
  // count-down / closing message (row 400 from x 300).
  for (const char *n : {"start", "start120"}) {
    EXPECT_LT(region(pic(n), 120, 268, 800, 312).max, 40) << n;
    EXPECT_LT(region(pic(n), 290, 362, 800, 480).max, 40) << n;
  }
  // Status page and memory table: white and orange text rows.
  EXPECT_LT(region(pic("status"), 0, 88, 800, 420).mean, 30);
  EXPECT_LT(region(pic("statusB"), 0, 80, 800, 420).mean, 30);
}

TEST(ArtworkLayout, BlackTextsOfTheProgramSitOnLightPlates) {
  // Meter names on row 216 and readings on row 240 beside the pivots, the
  // frequency on row 52.
  for (const char *n : {"img1", "img1b", "img3", "img3b"}) {
    EXPECT_GT(region(pic(n), 16, 200, 126, 246).mean, 200) << n << " forward";
    EXPECT_GT(region(pic(n), 674, 200, 784, 246).mean, 200) << n << " right";
    EXPECT_GT(region(pic(n), 335, 33, 480, 58).mean, 200) << n << " frequency";
  }
}
