// Meters and plot: the two needle meters of the main screen (forward power
// on the left; reflected power, SWR or input power on the right) with
// their peak-hold needles, and the spectrum plot around the operating
// frequency, with the frequency written above both.
//
// The supervisor calls DrawMeters (layouts 0-3) or DrawGrid (layouts 4
// and 5) once per cycle into the drawing buffer, after the background was
// copied in, and PeakHoldTick after the cycle with the time it took. The
// key dispatcher changes divX, xRangeEnd and plotSpan on a layout switch;
// the settings menu edits RefLevel, RefPos and PointDiv.
//
// Sections:
//   1 geometry and scales   globals, InitGrid, CONV_SWR, CalcolaSWR,
//                           ConvertW_to_dBm, NeedleAngle, CalculatePoint
//   2 peak hold             CalcolaPwrPeak, CalcolaPwrPeak2, PeakHoldTick
//   3 texts                 FormatFreqText, DrawFreq, the meter readings
//   4 meters                DrawMeters
//   5 plot                  DrawGrid
//
// Design rules:
// - Everything here runs every 10 ms on the supervisor thread: no heap
//   allocation, texts go through fixed char buffers.
// - Every drawing function does nothing without a display (fb null).
// - Values from the amplifier are cleaned before use: a value that is not
//   a number counts as 0, so no NaN reaches a needle, a text or a division.
// - A needle never leaves its scale: the angle is taken from the value
//   limited to 0..full scale.
#include "panel/meters.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "panel/fb.h"
#include "panel/mainscreen.h"
#include "panel/menu.h"
#include "panel/text.h"

// ===========================================================================
// 1 geometry and scales
// ===========================================================================

int SchermoWidth = 800, SchermoHeight = 280, divY = 10, borderLeft = 70, borderRight = 40,
    borderBottom = 50, borderTop = 60, xRangeStart = 0, LabelBorder = 4, RefLevel = -110,
    RefPos = 0, PointDiv = 10;
std::atomic<int> divX{16}, xRangeEnd{854};
// Derived from the above by InitGrid (and again by DrawGrid); the start
// values are those of the 16-division layout, so the frequency text is
// placed right even before the first InitGrid.
int r_x = 43, r_y = 17, bound_left = 70, bound_right = 758, b_top = 60, b_bottom = 230;

const SwrPair CONV_SWR[12] = {{1, 0},  {1.5, 11}, {2, 20}, {3, 30}, {4, 36},  {5, 40},
                              {6, 43}, {7, 45},   {8, 47}, {9, 48}, {10, 50}, {100, 60}};

namespace {

// The meter calibration uses these two constants (close to, but not, pi
// and pi/2): the scale marks of the meter faces are placed with them.
constexpr double kNeedlePi = 3.141692653;
constexpr double kNeedleHalfPi = 1.5708463265;

constexpr int kPivotY = 260;
constexpr int kPivotFwdX = 210;
constexpr int kPivotRightX = 590;

constexpr int kTraceLen = 1024;  // floats in the spectrum record's trace

// Not a number -> 0; everything else unchanged.
inline float clean(float v) { return std::isnan(v) ? 0.0f : v; }

inline float limit(float v, float lo, float hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

void InitGrid() {
  const int n = divX;  // one reading: the layout switch may change it meanwhile
  const int dx = n > 0 ? n : 1;  // a division count of 0 would divide by zero
  const int dy = divY > 0 ? divY : 1;
  r_x = (SchermoWidth - borderLeft - borderRight) / dx;
  r_y = (SchermoHeight - borderTop - borderBottom) / dy;
  bound_left = borderLeft;
  bound_right = r_x * n + bound_left;
  b_top = borderTop;
  b_bottom = r_y * divY + b_top;
}

float CalcolaSWR(float swr) {
  const float x = clean(swr);
  for (int i = 0; i < 12; i++) {
    if (CONV_SWR[i].swr > x) {
      if (i == 0) return 0.0f;  // below 1: no carrier
      const SwrPair &a = CONV_SWR[i - 1], &b = CONV_SWR[i];
      return a.pos + (b.pos - a.pos) * (x - a.swr) / (b.swr - a.swr);
    }
  }
  return 60.0f;  // 100 and above
}

float ConvertW_to_dBm(float watts) {
  // 0 W (and anything that is no power at all) is minus infinity.
  if (!(watts > 0.0f)) return -INFINITY;
  return 10.0f * std::log10(watts * 1000.0f);
}

float NeedleAngle(float v, int scale) {
  if (scale <= 0) return float(0.24 * kNeedlePi);
  const double f = limit(clean(v), 0.0f, float(scale));
  return float((0.24 - f * 0.48 / scale) * kNeedlePi);
}

KzPoint CalculatePoint(float low, float high, float x, float y) {
  KzPoint p{};
  const float top = float(borderTop), bottom = float(b_bottom);
  float sy = bottom;  // no range or no value: on the bottom line
  if (high != low && !std::isnan(y)) sy = bottom - (y - low) / (high - low) * (bottom - top);
  if (std::isnan(sy)) sy = bottom;
  p.y = limit(sy, top, bottom);
  const int range = xRangeEnd - xRangeStart;
  p.x = float(bound_left);
  if (range != 0 && !std::isnan(x))
    p.x = float(bound_left) + (x - float(xRangeStart)) / float(range) * float(bound_right - borderLeft);
  return p;
}

// ===========================================================================
// 2 peak hold
// ===========================================================================
// A value above the held peak replaces it and starts the hold; while the
// hold runs the supervisor lets the peak fall by PeakDecrement every
// PeakDecrementTime + 1 cycles; once it has run out, each new value pulls
// the peak towards itself with weight 1 against fattoremedia.

namespace {

enum { PEAK_STARTED_FWD = 1, PEAK_STARTED_RIGHT = 2 };  // bits of peakStarted

void peakUpdate(works *w, float &peak, int &hold, uint8_t startedBit, float x) {
  x = clean(x);
  if ((w->peakStarted & startedBit) == 0) {  // the very first value is only stored
    w->peakStarted = uint8_t(w->peakStarted | startedBit);
    peak = x;
    return;
  }
  if (x > peak) {
    peak = x;
    hold = TimerPeakSec;
  } else if (hold <= 0) {
    const float k = fattoremedia > 0 ? float(fattoremedia) : 0.0f;
    peak = (k * peak + x) / (k + 1.0f);
  }
}

void peakTick(float &peak, int &hold, int &decCnt, int elapsedMs) {
  if (hold <= 0) return;
  hold -= elapsedMs;
  if (decCnt >= PeakDecrementTime) {
    peak = float(peak - PeakDecrement);
    if (!(peak > 0.0f)) peak = 0.0f;
    decCnt = 0;
  } else {
    decCnt++;
  }
}

}  // namespace

void CalcolaPwrPeak(works *w, float x) {
  if (w == nullptr) return;
  peakUpdate(w, w->peakFwd, w->peakFwdHold, PEAK_STARTED_FWD, x);
}

void CalcolaPwrPeak2(works *w, float x) {
  if (w == nullptr) return;
  peakUpdate(w, w->peakRight, w->peakRightHold, PEAK_STARTED_RIGHT, x);
}

void PeakHoldTick(works *w, int elapsedMs) {
  if (w == nullptr) return;
  if (elapsedMs < 0) elapsedMs = 0;
  peakTick(w->peakFwd, w->peakFwdHold, w->peakFwdDecCnt, elapsedMs);
  peakTick(w->peakRight, w->peakRightHold, w->peakRightDecCnt, elapsedMs);
}

// ===========================================================================
// 3 texts
// ===========================================================================

int FormatFreqText(uint32_t hz, char *buf, size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = 0;
  const float f = float(hz);
  int n = 0;
  if (f <= 0.0f) return 0;
  if (f < 1000.0f)
    n = snprintf(buf, size, "%.00fHz", double(f));
  else if (hz <= 999999)
    n = snprintf(buf, size, "%.03fkHz", double(f / 1000.0f));
  else
    n = snprintf(buf, size, "%.03fMHz", double(f / 1000000.0f));
  if (n < 0) return 0;
  return n < int(size) ? n : int(size) - 1;
}

void DrawFreq(works *w) {
  if (w == nullptr || w->fb == nullptr) return;
  char s[32];
  if (FormatFreqText(w->freqHz, s, sizeof s) == 0) return;
  const int x = (bound_right - bound_left) / 2 + bound_left - 75;
  const int y = b_top - r_y / 2;
  if (w->workScreenType > 3)
    putString(4, x, y, s, 250, 150, 0, w->fb);
  else
    putString(4, x, y, s, 0, 0, 0, w->fb);
}

namespace {

// A power reading: "%02.01fW", or with dBm "%02.01fdBm" ("---dBm" below
// 1 mW, 0 W included).
void powerText(char *buf, size_t size, float watts, bool dBm) {
  watts = clean(watts);
  if (dBm) {
    const float d = ConvertW_to_dBm(watts);
    if (d < 0.0f)
      snprintf(buf, size, "---dBm");
    else
      snprintf(buf, size, "%02.01fdBm", double(d));
  } else {
    snprintf(buf, size, "%02.01fW", double(watts));
  }
}


}  // namespace

// ===========================================================================
// 4 meters
// ===========================================================================

namespace {

// A needle of the meter with pivot (px, 260) at `angle`: three lines from
// beside and on the pivot to the tip, 200 px out and 15 px to the side.
void drawNeedle(FbScreen *fb, int px, float angle, int r, int g, int b) {
  const double a = angle;
  const int tx = int(px - 200 * std::sin(a) + 15 * std::cos(a + kNeedleHalfPi));
  const int ty = int(kPivotY - 200 * std::cos(a) + 15 * std::sin(a + kNeedleHalfPi));
  for (int d = -1; d <= 1; d++) DrawLine(px + d, kPivotY, tx, ty, r, g, b, fb, 0);
}

// The right meter's needle and peak at scale position p (the reading
// already capped to the scale's range).
void rightMeter(works *w, float p, int scale, bool peaks) {
  if (peaks) {
    CalcolaPwrPeak2(w, p);
    w->angleRightPeak = NeedleAngle(w->peakRight, scale);
  }
  w->angleRight = NeedleAngle(p, scale);
}

}  // namespace

// The label plates of the artwork sit beside the pivots, outside the
// needles' sweep (left of the forward meter's, right of the right
// meter's), so no needle ever crosses a name or a reading: the name on row
// 216, the reading on row 240, each centred on its plate (font 8, or 10
// where it would not fit).
constexpr int kPlateX[2][2] = {{12, 130}, {670, 788}};
constexpr int kNameRow = 216, kValueRow = 240;

static void plateText(works *w, int plate, int row, const char *s) {
  static const int fonts[] = {8, 10};
  putStringBox(fonts, 2, kPlateX[plate][0] + 3, kPlateX[plate][1] - 3, row, 1, 1, s, 0, 0, 0,
               w->fb);
}

// Readings that are no longer current (link silent, firmware update) put
// both needles at rest with "---" for the values, and no peak needles; the
// peak hold is left as it was. A peak needle is drawn under its value
// needle, so the red needle stays visible where the two meet.
void DrawMeters(works *w) {
  if (w == nullptr || w->fb == nullptr) return;
  if (w->statusFlags != 0 || w->workScreenType > 3) return;
  FbScreen *fb = w->fb;
  const bool stale = ReadingsStale(w) != 0;
  const bool peaks = !stale && w->enablePwrPeak == 1;
  const bool dBm = w->powerUnits != 0;
  const char *none = dBm ? "---dBm" : "---W";
  char s[32];

  // Forward meter.
  const float fwd = stale ? 0.0f : clean(w->pwrFwd);
  const float fwdCap = w->ampModel == '1' ? 120.0f : 60.0f;
  w->angleFwd = NeedleAngle(limit(fwd, 0.0f, fwdCap), number_ofStep_meter_FWD);
  if (peaks) {
    CalcolaPwrPeak(w, w->pwrPeak);
    w->angleFwdPeak = NeedleAngle(w->peakFwd, number_ofStep_meter_FWD);
    drawNeedle(fb, kPivotFwdX, w->angleFwdPeak, 0, 0, 0);
  }
  drawNeedle(fb, kPivotFwdX, w->angleFwd, 255, 0, 0);

  // Right meter; layout 0 leaves its needles where they were.
  const char *name = nullptr;
  switch (w->workScreenType.load()) {
    case 1:
      name = "REFLECTED";
      rightMeter(w, stale ? 0.0f : limit(clean(w->pwrRefl), 0.0f, 60.0f),
                 number_ofStep_meter_REFL, peaks);
      powerText(s, sizeof s, w->pwrRefl, dBm);
      break;
    case 2: {
      name = "SWR";
      const float v = limit(clean(w->swr), 0.0f, 100.0f);
      rightMeter(w, stale ? 0.0f : CalcolaSWR(v), number_ofStep_meter_SWR, peaks);
      snprintf(s, sizeof s, "%02.01f", double(v));
      none = "---";
      break;
    }
    case 3:
      name = "PRWIN";
      rightMeter(w, stale ? 0.0f : limit(clean(w->pwrIn), 0.0f, 60.0f), number_ofStep_meter_PW,
                 peaks);
      powerText(s, sizeof s, w->pwrIn, dBm);
      break;
    default:
      break;
  }
  if (name != nullptr) {
    plateText(w, 1, kNameRow, name);
    plateText(w, 1, kValueRow, stale ? none : s);
  }
  if (peaks) drawNeedle(fb, kPivotRightX, w->angleRightPeak, 0, 0, 0);
  drawNeedle(fb, kPivotRightX, w->angleRight, 255, 0, 0);

  DrawFreq(w);
  plateText(w, 0, kNameRow, "FORWARD");
  if (stale) {
    plateText(w, 0, kValueRow, dBm ? "---dBm" : "---W");
  } else {
    powerText(s, sizeof s, w->pwrFwd, dBm);
    plateText(w, 0, kValueRow, s);
  }
}

// ===========================================================================
// 5 plot
// ===========================================================================

void DrawGrid(works *w) {
  if (w == nullptr || w->fb == nullptr || w->statusFlags != 0) return;
  FbScreen *fb = w->fb;
  InitGrid();
  const PlotScale sc = MenuPlotScale(w);
  const float low = float(sc.refLevel - sc.refPos * sc.pointDiv);
  const float high = float(divY * sc.pointDiv) + low;
  char s[16];

  putString(8, bound_left - 35, b_top - r_y, "dBm", 180, 180, 180, fb);
  for (int i = 0; i <= divY; i++) {  // level lines and their dBm labels
    const int y = r_y * i + b_top;
    DrawHorizontalLine(bound_left, y, bound_right, 120, 120, 120, fb, 0);
    snprintf(s, sizeof s, "%d", int(high) - sc.pointDiv * i);
    putString(6, bound_left - 35, y, s, 180, 180, 180, fb);
  }
  const int halfSpanKHz = w->plotSpan / 2000;
  for (int i = 0; i <= divX; i++) {  // frequency lines, kHz from the centre
    const int x = r_x * i + bound_left;
    DrawLine(x, b_top, x, b_bottom, 120, 120, 120, fb, 0);
    const int m = 10 * i - halfSpanKHz;
    snprintf(s, sizeof s, m > 0 ? "+%d" : "%d", m);
    putString(6, m == 0 ? x : x - 10, b_bottom + 13, s, 180, 180, 180, fb);
  }

  // Trace: point k uses entry k, or k + 213 (the middle of the trace) for
  // the narrow span. Copied out under the lock its writer holds, onto the
  // stack (4 KB, no allocation); O(xRangeEnd) lines.
  // No trace before the first spectrum has arrived: the zeroed record
  // would draw a flat line at the top, which reads as a saturated signal.
  SpectrumRec *rec = w->spectrum;
  if (rec != nullptr && rec->trace != nullptr && rec->updates.load() != 0) {
    const int first = divX == 16 ? 0 : 213;
    int points = xRangeEnd;
    if (points > kTraceLen - first) points = kTraceLen - first;
    if (points >= 2) {
      float trace[kTraceLen];
      {
        std::lock_guard<std::mutex> lk(w->serMut);
        memcpy(trace, rec->trace + first, sizeof(float) * size_t(points));
      }
      const float offset = float(sc.offset);
      KzPoint a = CalculatePoint(low, high, 0.0f, trace[0] + offset);
      for (int i = 0; i + 1 < points; i++) {
        const KzPoint b = CalculatePoint(low, high, float(i + 1), trace[i + 1] + offset);
        DrawLine(int(a.x), int(a.y), int(b.x), int(b.y), 250, 0, 150, fb, 0);
        a = b;
      }
    }
  }

  DrawFreq(w);
}
