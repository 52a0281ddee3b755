// Meters and plot: the two needle meters (forward power; reflected power,
// SWR or input power) with peak hold, and the spectrum plot around the
// operating frequency with the frequency written above it. Drawn by the
// supervisor every cycle into the drawing buffer, only while no overlay is
// open (statusFlags 0).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

struct works;

// Plot geometry (InitGrid sets them; the layout switch changes divX and
// xRangeEnd on the button thread, hence atomic; the menu edits RefLevel,
// RefPos and PointDiv).
extern int SchermoWidth, SchermoHeight, divY, borderLeft, borderRight, borderBottom,
    borderTop, xRangeStart, LabelBorder, RefLevel, RefPos, PointDiv;
extern std::atomic<int> divX, xRangeEnd;
extern int r_x, r_y, bound_left, bound_right, b_top, b_bottom;

struct SwrPair {
  float swr;
  float pos;
};
extern const SwrPair CONV_SWR[12];

struct KzPoint {
  float x, y;
};

void InitGrid();
void DrawGrid(works *w);
void DrawFreq(works *w);
KzPoint CalculatePoint(float low, float high, float x, float y);
float ConvertW_to_dBm(float watts);
// SWR -> position on the 0..60 SWR scale.
float CalcolaSWR(float swr);
void CalcolaPwrPeak(works *w, float x);
void CalcolaPwrPeak2(works *w, float x);
// Needle angle (radians) of value v on a meter of full scale `scale`.
float NeedleAngle(float v, int scale);
// The two meters of layouts 1-3 (the supervisor's meter step).
void DrawMeters(works *w);
// The peak-hold timers after a cycle of `elapsedMs` (supervisor step 12).
void PeakHoldTick(works *w, int elapsedMs);
// The frequency text written above the meters and the plot ("7.100MHz",
// "999.999kHz", "500Hz") into buf; returns its length, 0 (empty text) for
// 0 Hz.
int FormatFreqText(uint32_t hz, char *buf, size_t size);
