// Band configuration: "/opt/set/config.txt" (per band the power-detector
// calibration, the protection thresholds the amplifier enforces and tune
// parameters) and "/opt/set/filter.txt" (up to eight low-pass filters).
//
// Sections:
//   1 line splitting and number parsing shared by both files
//   2 config.txt: parseConfigText, ReadConfigFile
//   3 filter.txt: parseFilterText, LoadTabFiltri
//   4 the row in force: ConfRowForFreq, SearchK, SearchCambioSoglie_TS
//   5 the filter in force: SetFilterFromfreq
//
// Both tables are read once at start, before the threads run; afterwards
// they are only read. Numbers are parsed with the C library's end-pointer
// semantics: a malformed number reads as 0 and the next number is read from
// the same place. Every float that becomes an integer (the thresholds sent
// to the amplifier) is limited first, so NaN and infinite calibrations give
// defined values.
#include "core/bandconf.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "amplifier/cmdring.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/textlines.h"

namespace {

// ---------------------------------------------------------------------------
// 1 lines and numbers
// ---------------------------------------------------------------------------


// A cursor over one NUL-terminated line, read number after number.
struct NumCursor {
  std::string buf;
  const char *p;

  explicit NumCursor(std::string_view line) : buf(line), p(buf.c_str()) {}

  // strtoul with base prefix ("0x" hexadecimal, leading 0 octal), limited
  // to 32 bits.
  uint32_t u32() {
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(p, &end, 0);
    p = end;
    if (errno == ERANGE || v > 0xFFFFFFFFUL) return 0xFFFFFFFFU;
    return uint32_t(v);
  }
  float f() {
    char *end = nullptr;
    float v = strtof(p, &end);
    p = end;
    return v;
  }
  // Decimal int, limited to the int range.
  int i() {
    char *end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    p = end;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
  }
};

// Watts per raw unit squared from one calibration pair. A raw reading of 0
// gives an infinite coefficient (any reading means full power).
float coefficient(float watts, float raw) {
  if (raw == 0.0f) return std::numeric_limits<float>::infinity();
  return watts / (raw * raw);
}

// A value for a 12-bit threshold of the amplifier: the integer part,
// limited to 0..4095. +inf reads as 4095; NaN and negative values read as
// 0, the most protective threshold (the calibration makes no sense).
int limitRaw(double v) {
  if (!(v >= 0.0)) return 0;
  if (v >= 4095.0) return 4095;
  return int(v);
}

// Raw reading at which the power reaches `thr` W: sqrt(thr / k).
int rawAtPower(float thr, float k) {
  double q;
  if (k == 0.0f)
    q = thr > 0.0f ? std::numeric_limits<double>::infinity() : std::nan("");
  else
    q = double(thr) / double(k);
  if (!(q >= 0.0)) return 0;  // negative or NaN: no real root
  return limitRaw(std::sqrt(q));
}

void clearFilters(works *w) {
  for (FilterRow &r : w->filters) r.enabled = 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// 2 config.txt
// ---------------------------------------------------------------------------

void parseConfigText(works *w, const char *text, size_t len) {
  std::string_view body(text ? text : "", text ? len : 0);
  w->confCount = 0;
  w->confTab.clear();

  int rows = 0;
  kzForEachLine(body, 255, [&](std::string_view line, bool) {
    if (line.empty() || line[0] != ';') ++rows;
    return true;
  });
  kzTrace("N row Config File %d \n", rows);
  w->confTab.assign(size_t(rows), ConfRow{});

  int n = 0;
  kzForEachLine(body, 255, [&](std::string_view line, bool) {
    if (!line.empty() && line[0] == ';') return true;
    if (n >= rows) return false;
    ConfRow &r = w->confTab[size_t(n++)];
    NumCursor c(line);
    r.low = c.u32();
    r.high = c.u32();
    float fwdW = c.f(), fwdRaw = c.f();
    float reflW = c.f(), reflRaw = c.f();
    float inW = c.f(), inRaw = c.f();
    r.kFwd = coefficient(fwdW, fwdRaw);
    r.kRefl = coefficient(reflW, reflRaw);
    r.kIn = coefficient(inW, inRaw);
    r.kCorr = c.f();
    r.thrIn = c.f();
    r.thrCurrent = c.f();
    r.thrRefl = c.f();
    r.thrFwd = c.f();
    for (int k = 0; k < 5; ++k) {
      r.tuneParA[k] = c.i();
      r.tuneParB[k] = c.i();
    }
    r.step = c.i();
    kzTrace("->%u,%u,%02.07f,%02.07f,%02.07f,%02.07f (%02.02f,%02.02f) Soglie: PWIN %02.01f, "
            "Corrente: %02.01f, REFL: %02.01f, FWD: %02.01f\n",
            r.low, r.high, double(r.kFwd), double(r.kRefl), double(r.kIn), double(r.kCorr),
            double(inW), double(inRaw), double(r.thrIn), double(r.thrCurrent),
            double(r.thrRefl), double(r.thrFwd));
    kzTrace("\ttunepar: %d %d, %d %d, %d %d, %d %d, %d %d, step:%d\n", r.tuneParA[0],
            r.tuneParB[0], r.tuneParA[1], r.tuneParB[1], r.tuneParA[2], r.tuneParB[2],
            r.tuneParA[3], r.tuneParB[3], r.tuneParA[4], r.tuneParB[4], r.step);
    return true;
  });
  w->confCount = n;
}

void ReadConfigFile(works *w) {
  w->confCount = 0;
  w->confTab.clear();
  std::string data;
  if (kzReadFile(kzPath("/opt/set/config.txt"), data) != 0) {
    kzTrace("Config File not FOUND!!");
    kzLog(KZ_LOG_ERR, "can't open /opt/set/config.txt");
    return;
  }
  parseConfigText(w, data.data(), data.size());
}

// ---------------------------------------------------------------------------
// 3 filter.txt
// ---------------------------------------------------------------------------

void parseFilterText(works *w, const char *text, size_t len) {
  std::string_view body(text ? text : "", text ? len : 0);
  clearFilters(w);
  int n = 0;
  kzForEachLine(body, 511, [&](std::string_view line, bool) {
    if (!line.empty() && line[0] == ';') return true;
    if (n >= KZ_FILTERS) return false;  // later lines are ignored
    FilterRow &f = w->filters[n];
    NumCursor c(line);
    f.low = c.u32();
    f.high = c.u32();
    f.enabled = c.i();
    kzTrace("Filter %i %ld,%ld,%x\n", n, long(f.low), long(f.high), unsigned(f.enabled));
    ++n;
    return true;
  });
}

void LoadTabFiltri(works *w) {
  clearFilters(w);
  std::string data;
  if (kzReadFile(kzPath("/opt/set/filter.txt"), data) != 0) {
    kzTrace("Filter File not FOUND!!\n");
    return;
  }
  parseFilterText(w, data.data(), data.size());
}

// ---------------------------------------------------------------------------
// 4 the row in force
// ---------------------------------------------------------------------------

// Cost: O(rows); the table has a handful of bands.
int ConfRowForFreq(const works *w, unsigned long freq) {
  int n = w->confCount;
  if (n > int(w->confTab.size())) n = int(w->confTab.size());
  for (int i = 0; i + 1 < n; ++i)
    if (w->confTab[size_t(i)].low <= freq && freq < w->confTab[size_t(i + 1)].low) return i;
  return -1;
}

float SearchK(works *w, int kind) {
  if (w->confCount <= 0 || w->confTab.empty()) {
    switch (kind) {
      case 0: return 5.156579e-6f;
      case 1: return 3.3262754e-6f;
      case 2: return 5.5078103e-6f;
      case 3: return -0.007f;
      default: return 1.0f;
    }
  }
  int row = ConfRowForFreq(w, w->freqHz.load());
  if (row < 0) return 1.0f;
  const ConfRow &r = w->confTab[size_t(row)];
  switch (kind) {
    case 0: return r.kFwd;
    case 1: return r.kRefl;
    case 2: return r.kIn;
    case 3: return r.kCorr;
    default: return 1.0f;
  }
}

// Thresholds are marked as sent (tsRow) only when command 22 was queued, so
// a refused request is tried again on the next call.
void SearchCambioSoglie_TS(works *w) {
  uint32_t freq = w->freqHz.load();
  if (w->confCount > 0 && !w->confTab.empty() && freq != 0) {
    kzTrace("Soglia TS (freq %ld):\n", long(freq));
    int row = ConfRowForFreq(w, freq);
    if (row < 0 || row == w->tsRow) return;
    const ConfRow &r = w->confTab[size_t(row)];
    w->tsThreshold[0] = rawAtPower(r.thrIn, r.kIn);
    w->tsThreshold[1] = rawAtPower(r.thrFwd, r.kFwd);
    w->tsThreshold[2] = rawAtPower(r.thrRefl, r.kRefl);
    w->tsThreshold[3] = limitRaw(double(r.thrCurrent) * 4096.0 / 14.05);
    if (IncPNTIn_CMDLinear(22, w) >= 0) w->tsRow = row;
    return;
  }
  if (w->tsRow >= 0) return;
  w->tsThreshold[0] = 4095;
  w->tsThreshold[1] = 4095;
  w->tsThreshold[2] = 1500;
  w->tsThreshold[3] = 3700;
  if (IncPNTIn_CMDLinear(22, w) >= 0) w->tsRow = 0;
}

// ---------------------------------------------------------------------------
// 5 the filter in force
// ---------------------------------------------------------------------------

// Cost: at most eight comparisons; called every supervisor cycle.
void SetFilterFromfreq(works *w) {
  uint32_t freq = w->freqHz.load();
  for (int i = 0; i < KZ_FILTERS; ++i) {
    const FilterRow &f = w->filters[i];
    if (f.enabled != 1 || freq < f.low || freq > f.high) continue;
    uint8_t code = uint8_t(1u << i);
    if (code == w->filterCode) return;
    // The code is in place before the command is queued: the link formats
    // "SF30000%02x;" from it when it sends.
    uint8_t old = w->filterCode;
    w->filterCode = code;
    if (IncPNTIn_CMDLinear(28, w) < 0) {
      w->filterCode = old;  // refused: tried again next cycle
      return;
    }
    kzTrace(">>>>>>>>>>>>>>> SET FILTER: %i!!\n", i + 1);
    return;
  }
}
