// artgen: draws the background pictures of the front panel at build time.
//
//   artgen OUTDIR
//
// writes start.png, start120.png, statusB.png, status.png, img1.png,
// img1b.png, img3.png, img3b.png and m5a.png into OUTDIR: 800 x 480, 8-bit
// RGBA (colour type 6, alpha opaque), the only kind the panel's picture
// loader takes. Everything is drawn with the panel's own code where it
// serves (the FbScreen record, DrawLine, putString/getStringSpace with
// TrueType faces) plus the anti-aliased coverage helpers below for arcs,
// filled shapes and gradients. No binary picture is kept in the sources.
//
// The pictures are the instrument faces under what the program draws each
// frame, so they follow its fixed positions:
//   - meter screens: the needle end points of the two meters (pivots
//     (210, 260) and (590, 260)) carry the scale marks; the black labels
//     and readings of the meters (on plates beside the pivots, outside the
//     needles' sweep), and the black frequency text, sit on light plates; everything from row 274 down (information bars, messages,
//     error buttons, key bar) and the clock corner stay plain and dark;
//   - m5a: the plot area (70..758 x 60..230) is an empty dark well for the
//     grid and trace;
//   - start pictures: the rows of the loading count-down, the closing
//     message and the link-failure message stay clear;
//   - status and statusB: table bands behind the rows of the status page
//     and of the memory table.
//
// Sections:
//   1 canvas            the drawing screen and plain pixel access
//   2 coverage masks    anti-aliased segments, curves, discs, rounded boxes
//   3 fonts and text    font slots of the generator, centred strings
//   4 meter scales      needle geometry, marks, numbers, zones
//   5 pictures          one function per picture, artDraw by name
//   6 output            PNG writing, artWriteAll, main
//
// A test or a benchmark may include this file with ARTGEN_NO_MAIN defined
// to call artDraw/artWriteAll without the executable's main.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <png.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "panel/fb.h"
#include "panel/text.h"

// ===========================================================================
// 1 canvas
// ===========================================================================

enum { ART_W = 800, ART_H = 480 };

struct ArtRgb {
  int r, g, b;
};

// A screen of the panel's layout (4-byte pixels blue, green, red, 0) that
// lives in plain memory; pictures are drawn into its drawing buffer.
struct ArtScreen {
  FbScreen fb{};
  std::vector<uint8_t> screen, draw, back;
};

inline std::unique_ptr<ArtScreen> artScreenNew() {
  auto s = std::make_unique<ArtScreen>();
  const size_t bytes = size_t(ART_W) * ART_H * 4;
  s->screen.assign(bytes, 0);
  s->draw.assign(bytes, 0);
  s->back.assign(bytes, 0);
  s->fb.xres = ART_W;
  s->fb.yres = ART_H;
  s->fb.pixelSize = 4;
  s->fb.lineSize = ART_W * 4;
  s->fb.memSize = int32_t(bytes);
  s->fb.screenMem = s->screen.data();
  s->fb.drawBuf = s->draw.data();
  s->fb.backBuf = s->back.data();
  return s;
}

inline uint8_t *artPixel(FbScreen *fb, int x, int y) {
  return fb->drawBuf + size_t(y) * size_t(fb->lineSize) + size_t(x) * 4;
}

// Blends colour c with opacity a (0..1) over pixel (x, y); outside: nothing.
inline void artBlend(FbScreen *fb, int x, int y, ArtRgb c, double a) {
  if (x < 0 || y < 0 || x >= fb->xres || y >= fb->yres || a <= 0) return;
  if (a > 1) a = 1;
  uint8_t *p = artPixel(fb, x, y);
  p[0] = uint8_t(std::lround(p[0] + (c.b - p[0]) * a));
  p[1] = uint8_t(std::lround(p[1] + (c.g - p[1]) * a));
  p[2] = uint8_t(std::lround(p[2] + (c.r - p[2]) * a));
  p[3] = 0;
}

inline ArtRgb artMix(ArtRgb a, ArtRgb b, double t) {
  t = std::clamp(t, 0.0, 1.0);
  return {int(std::lround(a.r + (b.r - a.r) * t)), int(std::lround(a.g + (b.g - a.g) * t)),
          int(std::lround(a.b + (b.b - a.b) * t))};
}

// Palette shared by all pictures.
const ArtRgb ART_BG_TOP = {14, 16, 20};
const ArtRgb ART_BG_BOTTOM = {9, 10, 13};
const ArtRgb ART_PANEL_TOP = {29, 33, 40};
const ArtRgb ART_PANEL_BOTTOM = {19, 22, 27};
const ArtRgb ART_PANEL_EDGE = {66, 73, 84};
const ArtRgb ART_SCALE = {238, 233, 220};     // marks and numbers
const ArtRgb ART_ORANGE = {250, 150, 0};      // the panel's own orange
const ArtRgb ART_RED = {226, 58, 42};         // over-range zone
const ArtRgb ART_AMBER = {236, 176, 48};      // caution zone
const ArtRgb ART_PLATE = {230, 224, 206};     // readout plates under black text
const ArtRgb ART_PLATE_EDGE = {128, 122, 106};
const ArtRgb ART_CAPTION = {150, 157, 168};   // small grey captions
const ArtRgb ART_BAND_A = {24, 27, 33};       // table bands
const ArtRgb ART_BAND_B = {18, 20, 25};

// Vertical gradient over the whole screen: the plain background of every
// picture. O(pixels).
inline void artBackground(FbScreen *fb) {
  for (int y = 0; y < fb->yres; y++) {
    ArtRgb c = artMix(ART_BG_TOP, ART_BG_BOTTOM, double(y) / (fb->yres - 1));
    for (int x = 0; x < fb->xres; x++) {
      uint8_t *p = artPixel(fb, x, y);
      p[0] = uint8_t(c.b);
      p[1] = uint8_t(c.g);
      p[2] = uint8_t(c.r);
      p[3] = 0;
    }
  }
}

// ===========================================================================
// 2 coverage masks
// ===========================================================================
// A shape is first rasterised into a coverage mask (0..1 per pixel, the
// largest coverage wins where parts overlap, so joints of a curve do not
// darken), then painted once with a colour or a colour function. Each
// helper touches only the bounding box of its shape.

struct ArtMask {
  std::vector<float> a = std::vector<float>(size_t(ART_W) * ART_H, 0.0f);
  int x0 = ART_W, y0 = ART_H, x1 = -1, y1 = -1;  // touched box, inclusive

  void set(int x, int y, double c) {
    if (x < 0 || y < 0 || x >= ART_W || y >= ART_H || c <= 0) return;
    float &v = a[size_t(y) * ART_W + size_t(x)];
    if (c > v) v = float(std::min(c, 1.0));
    x0 = std::min(x0, x);
    y0 = std::min(y0, y);
    x1 = std::max(x1, x);
    y1 = std::max(y1, y);
  }
  float at(int x, int y) const { return a[size_t(y) * ART_W + size_t(x)]; }
};

inline double artClamp01(double v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

// Segment (round caps) of full width w.
inline void artMaskSegment(ArtMask &m, double ax, double ay, double bx, double by, double w) {
  const double r = w / 2;
  int xa = int(std::floor(std::min(ax, bx) - r - 1)), xb = int(std::ceil(std::max(ax, bx) + r + 1));
  int ya = int(std::floor(std::min(ay, by) - r - 1)), yb = int(std::ceil(std::max(ay, by) + r + 1));
  const double dx = bx - ax, dy = by - ay, len2 = dx * dx + dy * dy;
  for (int y = ya; y <= yb; y++) {
    for (int x = xa; x <= xb; x++) {
      const double qx = x + 0.5 - ax, qy = y + 0.5 - ay;  // pixel centre
      double t = len2 > 0 ? (qx * dx + qy * dy) / len2 : 0;
      t = std::clamp(t, 0.0, 1.0);
      const double ex = qx - t * dx, ey = qy - t * dy;
      const double d = std::sqrt(ex * ex + ey * ey);
      m.set(x, y, artClamp01(r + 0.5 - d));
    }
  }
}

// Curve through fn(t) for t from t0 to t1 in `steps` straight pieces.
inline void artMaskCurve(ArtMask &m, const std::function<void(double, double &, double &)> &fn,
                         double t0, double t1, int steps, double w) {
  double px = 0, py = 0;
  fn(t0, px, py);
  for (int i = 1; i <= steps; i++) {
    double x = 0, y = 0;
    fn(t0 + (t1 - t0) * i / steps, x, y);
    artMaskSegment(m, px, py, x, y, w);
    px = x;
    py = y;
  }
}

inline void artMaskDisc(ArtMask &m, double cx, double cy, double r) {
  for (int y = int(cy - r - 1); y <= int(cy + r + 1); y++)
    for (int x = int(cx - r - 1); x <= int(cx + r + 1); x++) {
      const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
      m.set(x, y, artClamp01(r + 0.5 - d));
    }
}

// Signed distance from the pixel centre (x, y) to a box with corners
// (x0, y0)-(x1, y1) (pixel edges) rounded with radius rad.
inline double artBoxDistance(int x, int y, double x0, double y0, double x1, double y1,
                             double rad) {
  const double cx = (x0 + x1) / 2, cy = (y0 + y1) / 2;
  const double hx = (x1 - x0) / 2 - rad, hy = (y1 - y0) / 2 - rad;
  const double qx = std::fabs(x + 0.5 - cx) - hx, qy = std::fabs(y + 0.5 - cy) - hy;
  const double ox = std::max(qx, 0.0), oy = std::max(qy, 0.0);
  return std::hypot(ox, oy) + std::min(std::max(qx, qy), 0.0) - rad;
}

// Filled rounded box; with ring > 0 only a band of that width inside its edge.
inline void artMaskBox(ArtMask &m, double x0, double y0, double x1, double y1, double rad,
                       double ring = 0) {
  for (int y = int(y0) - 1; y <= int(y1) + 1; y++)
    for (int x = int(x0) - 1; x <= int(x1) + 1; x++) {
      const double d = artBoxDistance(x, y, x0, y0, x1, y1, rad);
      double c = artClamp01(0.5 - d);
      if (ring > 0) c -= artClamp01(0.5 - (d + ring));
      m.set(x, y, c);
    }
}

inline void artPaint(FbScreen *fb, const ArtMask &m, ArtRgb c, double opacity = 1.0) {
  for (int y = m.y0; y <= m.y1; y++)
    for (int x = m.x0; x <= m.x1; x++) artBlend(fb, x, y, c, m.at(x, y) * opacity);
}

inline void artPaintFn(FbScreen *fb, const ArtMask &m, const std::function<ArtRgb(int, int)> &fn) {
  for (int y = m.y0; y <= m.y1; y++)
    for (int x = m.x0; x <= m.x1; x++) {
      const float a = m.at(x, y);
      if (a > 0) artBlend(fb, x, y, fn(x, y), a);
    }
}

// A rounded panel: vertical gradient top..bottom and a thin edge.
inline void artPanel(FbScreen *fb, double x0, double y0, double x1, double y1, double rad,
                     ArtRgb top, ArtRgb bottom, ArtRgb edge) {
  ArtMask body;
  artMaskBox(body, x0, y0, x1, y1, rad);
  artPaintFn(fb, body, [&](int, int y) { return artMix(top, bottom, (y - y0) / (y1 - y0)); });
  ArtMask rim;
  artMaskBox(rim, x0, y0, x1, y1, rad, 1.2);
  artPaint(fb, rim, edge);
}

// A light readout plate: the program writes black text on it.
inline void artPlate(FbScreen *fb, double x0, double y0, double x1, double y1) {
  const ArtRgb lit = {240, 235, 219};
  artPanel(fb, x0, y0, x1, y1, 6, lit, ART_PLATE, ART_PLATE_EDGE);
  // A faint inner shadow along the top edge: the plate sits behind glass.
  ArtMask shade;
  artMaskSegment(shade, x0 + 5, y0 + 2.2, x1 - 5, y0 + 2.2, 1.2);
  artPaint(fb, shade, {170, 164, 148}, 0.5);
}

// A soft glow: colour c added towards the centre, fading out at radius r.
inline void artGlow(FbScreen *fb, double cx, double cy, double rx, double ry, ArtRgb c,
                    double strength) {
  for (int y = std::max(0, int(cy - ry)); y < std::min(int(fb->yres), int(cy + ry) + 1); y++)
    for (int x = std::max(0, int(cx - rx)); x < std::min(int(fb->xres), int(cx + rx) + 1); x++) {
      const double d = std::hypot((x + 0.5 - cx) / rx, (y + 0.5 - cy) / ry);
      if (d < 1) artBlend(fb, x, y, c, strength * (1 - d) * (1 - d));
    }
}

// ===========================================================================
// 3 fonts and text
// ===========================================================================
// The generator's own font slots (the program uses 0 to 11); text is drawn
// with the panel's putString, so glyphs look as they do on the unit.

enum {
  ART_F_TITLE = 12,   // DejaVu Sans Bold 84: "KAV ZIL"
  ART_F_NUM = 13,     // PT Sans Bold 19: scale numbers
  ART_F_UNIT = 14,    // PT Sans Bold 27: units on the meter faces
  ART_F_CAPTION = 15, // PT Sans 17: captions
  ART_F_MODEL = 16,   // PT Sans Bold 40: the model on the start pictures
  ART_F_HEAD = 17,    // PT Sans Bold 26: page titles
  ART_F_SMALL = 18,   // DejaVu Sans 13: small captions
  ART_F_NUMS = 19,    // PT Sans Bold 17: the crowded SWR numbers
};

const char *const ART_DEJAVU_DIR = "/usr/share/fonts/truetype/dejavu/";
const char *const ART_PTSANS_DIRS[] = {"/usr/share/fonts/truetype/paratype/",
                                       "/usr/share/fonts/truetype/fonts-paratype/",
                                       "/usr/share/fonts/paratype/"};

inline bool artFileExists(const std::string &path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// PT Sans file `name` where the system keeps it, else the DejaVu face
// `fallback` (the pictures stay complete, only the letter shapes differ).
inline std::string artPtSans(const char *name, const char *fallback) {
  for (const char *dir : ART_PTSANS_DIRS) {
    std::string p = std::string(dir) + name;
    if (artFileExists(p)) return p;
  }
  return std::string(ART_DEJAVU_DIR) + fallback;
}

// Loads the generator's slots. Returns 0, or -1 (with a message) when a
// face file is missing: drawing text from an empty slot is not allowed.
inline int artLoadFonts() {
  static int loaded = 0;  // faces are loaded once per process
  if (loaded) return 0;
  const std::string dejaBold = std::string(ART_DEJAVU_DIR) + "DejaVuSans-Bold.ttf";
  const std::string deja = std::string(ART_DEJAVU_DIR) + "DejaVuSans.ttf";
  const std::string ptBold = artPtSans("PTS75F.ttf", "DejaVuSans-Bold.ttf");
  const std::string pt = artPtSans("PTS55F.ttf", "DejaVuSans.ttf");
  for (const std::string *p : {&dejaBold, &deja, &ptBold, &pt}) {
    if (!artFileExists(*p)) {
      fprintf(stderr, "artgen: font %s not found\n", p->c_str());
      return -1;
    }
  }
  TTFLoad(dejaBold.c_str(), 84, ART_F_TITLE);
  TTFLoad(ptBold.c_str(), 19, ART_F_NUM);
  TTFLoad(ptBold.c_str(), 27, ART_F_UNIT);
  TTFLoad(pt.c_str(), 17, ART_F_CAPTION);
  TTFLoad(ptBold.c_str(), 40, ART_F_MODEL);
  TTFLoad(ptBold.c_str(), 26, ART_F_HEAD);
  TTFLoad(deja.c_str(), 13, ART_F_SMALL);
  TTFLoad(ptBold.c_str(), 17, ART_F_NUMS);
  loaded = 1;
  return 0;
}

// Height of capitals and digits above the baseline for a slot, close
// enough to centre text vertically.
inline double artCapHeight(int font) {
  switch (font) {
    case ART_F_TITLE: return 84 * 0.73;
    case ART_F_NUM: return 19 * 0.70;
    case ART_F_UNIT: return 27 * 0.70;
    case ART_F_CAPTION: return 17 * 0.70;
    case ART_F_MODEL: return 40 * 0.70;
    case ART_F_HEAD: return 26 * 0.70;
    case ART_F_SMALL: return 13 * 0.73;
    case ART_F_NUMS: return 17 * 0.70;
    default: return 14;
  }
}

inline void artText(FbScreen *fb, int font, int x, int y, const char *s, ArtRgb c) {
  putString(font, x, y, s, c.r, c.g, c.b, fb);
}

// Centred on (cx, cy): horizontally by width, vertically by cap height.
inline void artTextCentred(FbScreen *fb, int font, double cx, double cy, const char *s, ArtRgb c) {
  const int w = getStringSpace(font, s);
  artText(fb, font, int(std::lround(cx - w / 2.0)), int(std::lround(cy + artCapHeight(font) / 2)),
          s, c);
}

// Letter-spaced text centred on cx with its baseline at y: `track` extra
// pixels after every character (a character is one UTF-8 sequence).
inline void artTextTracked(FbScreen *fb, int font, double cx, int y, const char *s, int track,
                           ArtRgb c) {
  std::vector<std::string> chars;
  for (const char *p = s; *p != 0;) {
    const char *q = p + 1;
    while ((uint8_t(*q) & 0xC0) == 0x80) q++;  // continuation bytes
    chars.emplace_back(p, q);
    p = q;
  }
  int total = 0;
  for (size_t i = 0; i < chars.size(); i++)
    total += getStringSpace(font, chars[i].c_str()) + (i + 1 < chars.size() ? track : 0);
  int x = int(std::lround(cx - total / 2.0));
  for (const std::string &ch : chars) {
    artText(fb, font, x, y, ch.c_str(), c);
    x += getStringSpace(font, ch.c_str()) + track;
  }
}

// ===========================================================================
// 4 meter scales
// ===========================================================================
// The program points a needle of value v on a meter of full scale S along
// angle = (0.24 - v * 0.48 / S) * 3.141692653 (this constant) and ends it at
//   x = px - 200 sin(angle) + 15 cos(angle + 1.5708463265)
//   y = py - 200 cos(angle) + 15 sin(angle + 1.5708463265).
// Scale marks are placed along the needle direction around that end point,
// so the needle tip touches the mark of its value. A point "k pixels out"
// is the end point moved k pixels further along the needle.

const double ART_PIVOT_Y = 260;
const double ART_PIVOT_FWD_X = 210;
const double ART_PIVOT_RIGHT_X = 590;

struct ArtMeter {
  double px, py;  // pivot
  double full;    // full scale S
};

inline double artNeedleAngle(double v, double full) {
  return (0.24 - v * 0.48 / full) * 3.141692653;
}

inline void artNeedleEnd(const ArtMeter &m, double v, double &x, double &y) {
  const double a = artNeedleAngle(v, m.full);
  x = m.px - 200 * std::sin(a) + 15 * std::cos(a + 1.5708463265);
  y = m.py - 200 * std::cos(a) + 15 * std::sin(a + 1.5708463265);
}

// The point k pixels beyond the needle end of value v (k < 0: inside).
inline void artScalePoint(const ArtMeter &m, double v, double k, double &x, double &y) {
  double ex = 0, ey = 0;
  artNeedleEnd(m, v, ex, ey);
  const double dx = ex - m.px, dy = ey - m.py, len = std::hypot(dx, dy);
  x = ex + k * dx / len;
  y = ey + k * dy / len;
}

// Mark lengths: every mark starts on the scale line 2 px inside the needle
// end and runs outward.
enum ArtMarkKind { ART_MARK_MAJOR, ART_MARK_MEDIUM, ART_MARK_MINOR };
const double ART_SCALE_LINE_K = -2;
const double ART_NUMBER_K = 25;

inline void artMark(ArtMask &mk, const ArtMeter &m, double v, ArtMarkKind kind) {
  const double outer = kind == ART_MARK_MAJOR ? 14 : kind == ART_MARK_MEDIUM ? 10 : 6;
  const double w = kind == ART_MARK_MAJOR ? 2.6 : kind == ART_MARK_MEDIUM ? 1.9 : 1.3;
  double ax = 0, ay = 0, bx = 0, by = 0;
  artScalePoint(m, v, ART_SCALE_LINE_K, ax, ay);
  artScalePoint(m, v, outer, bx, by);
  artMaskSegment(mk, ax, ay, bx, by, w);
}

// A curve k pixels out from value v0 to v1, width w.
inline void artScaleCurve(ArtMask &mk, const ArtMeter &m, double v0, double v1, double k,
                          double w) {
  artMaskCurve(
      mk, [&](double v, double &x, double &y) { artScalePoint(m, v, k, x, y); }, v0, v1,
      std::max(8, int(std::fabs(v1 - v0) / m.full * 120)), w);
}

// Coloured zone band just inside the scale line.
inline void artZone(FbScreen *fb, const ArtMeter &m, double v0, double v1, ArtRgb c) {
  ArtMask z;
  artScaleCurve(z, m, v0, v1, -6.5, 4.2);
  artPaint(fb, z, c);
}

inline void artScaleNumber(FbScreen *fb, const ArtMeter &m, double v, const char *s, int font) {
  double x = 0, y = 0;
  artScalePoint(m, v, ART_NUMBER_K, x, y);
  artTextCentred(fb, font, x, y, s, ART_SCALE);
}

// A power scale 0..full in W: numbers every `labelStep`, medium marks every
// `mediumStep`, minor marks every `minorStep`; red zone from `redFrom`.
inline void artPowerScale(FbScreen *fb, const ArtMeter &m, int labelStep, int mediumStep,
                          int minorStep, double redFrom) {
  artZone(fb, m, redFrom, m.full, ART_RED);
  ArtMask mk;
  artScaleCurve(mk, m, 0, m.full, ART_SCALE_LINE_K, 1.6);
  for (int v = 0; v <= int(m.full); v += minorStep) {
    ArtMarkKind kind = v % labelStep == 0    ? ART_MARK_MAJOR
                       : v % mediumStep == 0 ? ART_MARK_MEDIUM
                                             : ART_MARK_MINOR;
    artMark(mk, m, v, kind);
  }
  artPaint(fb, mk, ART_SCALE);
  for (int v = 0; v <= int(m.full); v += labelStep) {
    char s[8];
    snprintf(s, sizeof s, "%d", v);
    artScaleNumber(fb, m, v, s, ART_F_NUM);
  }
}

// The SWR scale: the program puts SWR s at the position interpolated in
// this table (positions 0..60 on a meter of full scale 60).
struct ArtSwrPair {
  double swr, pos;
};
const ArtSwrPair ART_SWR_TABLE[12] = {{1, 0},  {1.5, 11}, {2, 20},  {3, 30},
                                      {4, 36}, {5, 40},   {6, 43},  {7, 45},
                                      {8, 47}, {9, 48},   {10, 50}, {100, 60}};

inline double artSwrPosition(double s) {
  for (int i = 0; i < 12; i++) {
    if (ART_SWR_TABLE[i].swr > s) {
      if (i == 0) return 0;
      const ArtSwrPair &a = ART_SWR_TABLE[i - 1], &b = ART_SWR_TABLE[i];
      return a.pos + (b.pos - a.pos) * (s - a.swr) / (b.swr - a.swr);
    }
  }
  return 60;
}

inline void artSwrScale(FbScreen *fb, const ArtMeter &m) {
  artZone(fb, m, artSwrPosition(2), artSwrPosition(3), ART_AMBER);
  artZone(fb, m, artSwrPosition(3), 60, ART_RED);
  ArtMask mk;
  artScaleCurve(mk, m, 0, 60, ART_SCALE_LINE_K, 1.6);
  struct Label {
    double swr;
    const char *text;  // null: a mark without a number
  };
  const Label majors[] = {{1, "1"}, {1.5, "1.5"}, {2, "2"}, {3, "3"},   {4, "4"},
                          {5, "5"}, {7, "7"},     {10, "10"}, {100, "\xE2\x88\x9E"}};
  for (const Label &l : majors) artMark(mk, m, artSwrPosition(l.swr), ART_MARK_MAJOR);
  for (double s : {6.0, 8.0, 9.0}) artMark(mk, m, artSwrPosition(s), ART_MARK_MEDIUM);
  for (double s : {1.1, 1.2, 1.3, 1.4, 1.6, 1.7, 1.8, 1.9, 2.5, 3.5, 4.5})
    artMark(mk, m, artSwrPosition(s), ART_MARK_MINOR);
  artPaint(fb, mk, ART_SCALE);
  for (const Label &l : majors) {
    // The infinity sign is small beside the digits: one size up.
    const bool inf = l.swr >= 100;
    artScaleNumber(fb, m, artSwrPosition(l.swr), l.text, inf ? ART_F_NUM : ART_F_NUMS);
  }
}

// Pivot housing of a meter: a dark disc with a rim.
inline void artHub(FbScreen *fb, double cx, double cy) {
  ArtMask d;
  artMaskDisc(d, cx, cy, 10);
  artPaintFn(fb, d, [&](int x, int y) {
    const double t = std::hypot(x + 0.5 - (cx - 3), y + 0.5 - (cy - 3)) / 13;
    return artMix({92, 98, 108}, {28, 31, 36}, t);
  });
  ArtMask rim;
  artMaskDisc(rim, cx, cy, 10);
  ArtMask in;
  artMaskDisc(in, cx, cy, 8.8);
  for (size_t i = 0; i < rim.a.size(); i++) rim.a[i] = std::max(0.0f, rim.a[i] - in.a[i]);
  artPaint(fb, rim, {120, 126, 136});
}

// One meter face: scale (by `swr` the SWR scale, else power in W), unit,
// the plate under the program's label and reading (columns plateX0 to
// plateX1, beside the pivot and outside the needle's sweep), and the hub.
inline void artMeterFace(FbScreen *fb, const ArtMeter &m, bool swr, double plateX0,
                         double plateX1) {
  // A faint light behind the scale.
  artGlow(fb, m.px, m.py - 120, 210, 150, {60, 68, 80}, 0.35);
  if (swr) {
    artSwrScale(fb, m);
  } else if (m.full > 60) {
    artPowerScale(fb, m, 20, 10, 5, m.full * 5 / 6);
  } else {
    artPowerScale(fb, m, 10, 5, 1, m.full * 5 / 6);
  }
  artTextCentred(fb, ART_F_UNIT, m.px, 110, swr ? "SWR" : "W", ART_ORANGE);
  // The program writes the meter's name on row 216 and its reading on row
  // 240 in black, centred on the plate; the needle sweeps no nearer than 10
  // pixels to it (43 degrees either side of upright, from the pivot).
  artPlate(fb, plateX0, 196, plateX1, 250);
  artHub(fb, m.px, m.py);
}

// ===========================================================================
// 5 pictures
// ===========================================================================

// The instrument panel behind the meters and the plot.
const double ART_PANEL_X0 = 8, ART_PANEL_Y0 = 24, ART_PANEL_X1 = 792, ART_PANEL_Y1 = 273;

inline void artInstrumentPanel(FbScreen *fb) {
  artPanel(fb, ART_PANEL_X0, ART_PANEL_Y0, ART_PANEL_X1, ART_PANEL_Y1, 12, ART_PANEL_TOP,
           ART_PANEL_BOTTOM, ART_PANEL_EDGE);
}

// Meter screens: forward power on the left (0..fwdFull W), reflected or
// input power (0..60 W) or SWR on the right.
inline void artMeterScreen(FbScreen *fb, double fwdFull, bool swr) {
  artBackground(fb);
  artInstrumentPanel(fb);
  artMeterFace(fb, {ART_PIVOT_FWD_X, ART_PIVOT_Y, fwdFull}, false, 12, 130);
  artMeterFace(fb, {ART_PIVOT_RIGHT_X, ART_PIVOT_Y, 60}, swr, 670, 788);
  // Frequency window: the program writes the frequency in black from x 339
  // on row 52.
  artPlate(fb, 327, 30, 493, 62);
  // Transmit lamp: the program lights it (a red block over 375..429 x
  // 175..209) while transmitting.
  ArtMask lamp;
  artMaskBox(lamp, 372, 172, 433, 213, 5);
  artPaint(fb, lamp, {44, 16, 16});
  ArtMask rim;
  artMaskBox(rim, 372, 172, 433, 213, 5, 1.4);
  artPaint(fb, rim, {104, 40, 34});
  artTextCentred(fb, ART_F_CAPTION, 402.5, 192.5, "TX", {104, 44, 38});
  // Divider between the meters, below the frequency window and around the lamp.
  ArtMask div;
  artMaskSegment(div, 402.5, 126, 402.5, 160, 1.2);
  artMaskSegment(div, 402.5, 226, 402.5, 262, 1.2);
  artPaint(fb, div, {52, 58, 68});
}

// Spectrum screen: an empty dark well where the program draws grid and
// trace (70..758 x 60..230), captions around it.
inline void artPlotScreen(FbScreen *fb) {
  artBackground(fb);
  artInstrumentPanel(fb);
  ArtMask well;
  artMaskBox(well, 70, 60, 759, 231, 0);
  artPaint(fb, well, {8, 10, 13});
  // A faint glow at the bottom of the well, as on a lit display.
  ArtMask wellGlow;
  artMaskBox(wellGlow, 71, 61, 758, 230, 0);
  artPaintFn(fb, wellGlow, [](int, int y) {
    return artMix({8, 10, 13}, {14, 22, 30}, (y - 61) / 170.0);
  });
  const char *cap = "SPECTRUM";
  artText(fb, ART_F_SMALL, 758 - getStringSpace(ART_F_SMALL, cap), 44, cap, ART_CAPTION);
  const char *khz = "kHz";
  artText(fb, ART_F_SMALL, 758 - getStringSpace(ART_F_SMALL, khz), 264, khz, ART_CAPTION);
}

// Start pictures: name and model; the count-down (row 400), the closing
// message (row 400) and the link-failure message (row 300) are drawn over
// the empty lower half.
inline void artStartScreen(FbScreen *fb, const char *model) {
  artBackground(fb);
  artGlow(fb, 400, 130, 520, 230, {40, 46, 58}, 0.9);
  artTextTracked(fb, ART_F_TITLE, 400, 148, "KAV ZIL", 10, {242, 238, 228});
  // Orange rule under the name, fading at both ends.
  for (int x = 170; x < 630; x++) {
    const double t = std::fabs(x + 0.5 - 400) / 230;
    const double a = 1 - t * t * t;
    artBlend(fb, x, 170, ART_ORANGE, a);
    artBlend(fb, x, 171, ART_ORANGE, a);
  }
  artTextTracked(fb, ART_F_CAPTION, 400, 202,
                 "HF LINEAR AMPLIFIER  \xC2\xB7  AUTOMATIC ANTENNA TUNER", 3, ART_CAPTION);
  // The model in an outlined badge.
  const int w = getStringSpace(ART_F_MODEL, model);
  ArtMask badge;
  artMaskBox(badge, 400 - w / 2.0 - 22, 214, 400 + w / 2.0 + 22, 262, 9, 1.8);
  artPaint(fb, badge, ART_ORANGE);
  artTextCentred(fb, ART_F_MODEL, 400, 238, model, ART_ORANGE);
}

// Table bands: `rows` bands of `pitch` pixels whose text baselines start
// at `firstBaseline`, alternating shades, from x0 to x1.
inline void artTableBands(FbScreen *fb, int x0, int x1, int firstBaseline, int rows, int pitch) {
  for (int i = 0; i < rows; i++) {
    const int top = firstBaseline + pitch * i - 18;
    ArtMask b;
    artMaskBox(b, x0, top, x1, top + pitch, 0);
    artPaint(fb, b, i % 2 == 0 ? ART_BAND_A : ART_BAND_B);
  }
}

// Status page: headings at x 5 and values from x 180 on rows 110..352 (22
// apart), the date at (300, 400).
inline void artStatusScreen(FbScreen *fb) {
  artBackground(fb);
  artText(fb, ART_F_HEAD, 14, 52, "AMPLIFIER STATUS", ART_ORANGE);
  ArtMask rule;
  artMaskSegment(rule, 14, 68.5, 786, 68.5, 1.0);
  artPaint(fb, rule, {62, 68, 78});
  artTableBands(fb, 0, 800, 110, 12, 22);
  // Heading column, a shade lighter.
  ArtMask col;
  artMaskBox(col, 0, 92, 172, 92 + 12 * 22, 0);
  artPaint(fb, col, {255, 255, 255}, 0.03);
  ArtMask sep;
  artMaskSegment(sep, 172.5, 92, 172.5, 92 + 12 * 22, 1.0);
  artPaint(fb, sep, {56, 62, 72});
}

// Interface and bank screen: the title at (100, 50), the column header at
// (50, 100) and one row per band from row 130, 22 apart.
inline void artBankScreen(FbScreen *fb) {
  artBackground(fb);
  artPanel(fb, 8, 18, 792, 64, 10, {30, 34, 41}, {22, 25, 30}, ART_PANEL_EDGE);
  ArtMask head;
  artMaskBox(head, 8, 80, 792, 106, 4);
  artPaint(fb, head, {40, 45, 54});
  artTableBands(fb, 8, 792, 130, 12, 22);
  ArtMask edge;
  artMaskBox(edge, 8, 80, 792, 130 + 22 * 11 + 6, 4, 1.0);
  artPaint(fb, edge, {52, 58, 68});
}

// The names the program loads, in the order they are written.
const char *const ART_NAMES[] = {"start", "start120", "statusB", "status", "img1",
                                 "img1b", "img3",     "img3b",   "m5a"};
enum { ART_NAME_COUNT = 9 };

// Draws picture `name` into fb's drawing buffer (fonts loaded first).
// Returns 0, or -1 for a name that is not one of the pictures.
inline int artDraw(const char *name, FbScreen *fb) {
  const std::string n = name;
  if (n == "start") artStartScreen(fb, "60 W");
  else if (n == "start120") artStartScreen(fb, "120 W");
  else if (n == "statusB") artBankScreen(fb);
  else if (n == "status") artStatusScreen(fb);
  else if (n == "img1") artMeterScreen(fb, 60, false);
  else if (n == "img1b") artMeterScreen(fb, 120, false);
  else if (n == "img3") artMeterScreen(fb, 60, true);
  else if (n == "img3b") artMeterScreen(fb, 120, true);
  else if (n == "m5a") artPlotScreen(fb);
  else return -1;
  return 0;
}

// ===========================================================================
// 6 output
// ===========================================================================

// Writes fb's drawing buffer as an 8-bit RGBA PNG (alpha opaque).
// Returns 0 or -1 (with a message); a failed write leaves no file behind.
inline int artWritePng(const FbScreen *fb, const std::string &path) {
  if (fbSavePng(fb, path, FB_DRAW, true) == 0) return 0;
  remove(path.c_str());
  fprintf(stderr, "artgen: can't write %s\n", path.c_str());
  return -1;
}

// Draws every picture and writes it as OUTDIR/<name>.png. Returns 0 or -1.
inline int artWriteAll(const std::string &outDir) {
  if (artLoadFonts() != 0) return -1;
  auto s = artScreenNew();
  for (const char *name : ART_NAMES) {
    artDraw(name, &s->fb);
    if (artWritePng(&s->fb, outDir + "/" + name + ".png") != 0) return -1;
  }
  return 0;
}

#ifndef ARTGEN_NO_MAIN
int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: artgen OUTDIR\n");
    return 2;
  }
  return artWriteAll(argv[1]) == 0 ? 0 : 1;
}
#endif
