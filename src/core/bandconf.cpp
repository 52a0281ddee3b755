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
//
// Damaged files: every line that is not what its file expects is logged
// with its number and what was done with it (the first few, then a count),
// and the file is named once on the panel. A band row keeps its values as
// read; a calibration that is not a usable coefficient (not finite, or not
// above 0) is replaced by the built-in coefficient of the status decoder
// wherever SearchK gives it, as is every coefficient of a frequency no band
// row covers. A filter row's slot is the relay it selects, so a damaged
// filter line never moves the rows after it: see parseFilterText.
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
#include "core/optset.h"
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
// `missing` counts the numbers that were not there (read as 0).
struct NumCursor {
  std::string buf;
  const char *p;
  int missing = 0;

  explicit NumCursor(std::string_view line) : buf(line), p(buf.c_str()) {}

  void note(const char *end) {
    if (end == p) ++missing;
    p = end;
  }
  // strtoul with base prefix ("0x" hexadecimal, leading 0 octal), limited
  // to 32 bits.
  uint32_t u32() {
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(p, &end, 0);
    note(end);
    if (errno == ERANGE || v > 0xFFFFFFFFUL) return 0xFFFFFFFFU;
    return uint32_t(v);
  }
  float f() {
    char *end = nullptr;
    float v = strtof(p, &end);
    note(end);
    return v;
  }
  // Decimal int, limited to the int range.
  int i() {
    char *end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    note(end);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
  }
  // True when only white space is left.
  bool atEnd() {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    return *p == '\0';
  }
};

// The status decoder's coefficients where config.txt gives none: forward,
// reflected, input (W per raw unit squared) and the reflected-power
// correction.
constexpr float kBuiltInK[4] = {5.156579e-6f, 3.3262754e-6f, 5.5078103e-6f, -0.007f};

// A power coefficient is a calibration only when finite and above 0; the
// correction only when finite.
bool usableK(int kind, float k) {
  if (!std::isfinite(k)) return false;
  return kind == 3 || k > 0.0f;
}

// More rows than any real table; a longer file is cut here (and logged).
constexpr int kMaxConfRows = 1000;

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
  KzBadLines bad("config.txt");
  if (rows > kMaxConfRows) {
    kzLog(KZ_LOG_ERR, "config.txt: %d rows, only the first %d taken", rows, kMaxConfRows);
    ++bad.count;
    rows = kMaxConfRows;
  }
  w->confTab.assign(size_t(rows), ConfRow{});

  int n = 0, lineNo = 0;
  kzForEachLine(body, 255, [&](std::string_view line, bool cut) {
    ++lineNo;
    if (!line.empty() && line[0] == ';') return true;
    if (n >= rows) return false;
    const int rowNo = n;
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
    if (c.missing > 0 || cut || !c.atEnd())
      kzBadLine(bad, lineNo, "not a band row of 24 numbers, kept as row %d (missing numbers 0)",
                rowNo);
    const float k[4] = {r.kFwd, r.kRefl, r.kIn, r.kCorr};
    static const char *const kName[4] = {"forward", "reflected", "input", "correction"};
    for (int kind = 0; kind < 4; ++kind)
      if (!usableK(kind, k[kind]))
        kzBadLine(bad, lineNo, "row %d: %s calibration unusable, built-in coefficient used",
                  rowNo, kName[kind]);
    if (rowNo >= KZ_TRACED_ROWS) return true;
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
  kzTraceRowsEnd("config.txt", n);
  w->confCount = n;
  if (kzBadLinesEnd(bad) > 0) OptSetFileDamaged(w, "config.txt");
}

// A file that cannot be read (logged with its reason) is taken as a missing
// one: the built-in coefficients and default thresholds are used.
void ReadConfigFile(works *w) {
  w->confCount = 0;
  w->confTab.clear();
  std::string data;
  int rc = kzReadTable("/opt/set/config.txt", data);
  if (rc != KZ_READ_OK) {
    kzTrace("Config File not FOUND!!");
    kzLog(KZ_LOG_ERR, "can't open /opt/set/config.txt");
    if (rc == KZ_READ_FAILED) OptSetFileDamaged(w, "config.txt");
    return;
  }
  parseConfigText(w, data.data(), data.size());
}

// ---------------------------------------------------------------------------
// 3 filter.txt
// ---------------------------------------------------------------------------

// Slots: the n-th filter line is filter n, the relay the amplifier switches
// with bit n of "SF30000%02x;". A damaged line must not move the rows
// after it to other relays (a wrong low-pass filter while transmitting):
//   - a line with no number at its start (stray text, binary junk) is no
//     filter line: logged and skipped, it takes no slot;
//   - a line that starts with a number is the filter of its slot; if it is
//     not "low high enabled" (numbers missing, text after them, enabled
//     other than 0 or 1, low above high) its filter is disabled, logged;
//   - an empty line is a filter slot without a filter (disabled), logged.
// Filter lines after the eighth are logged and ignored.
void parseFilterText(works *w, const char *text, size_t len) {
  std::string_view body(text ? text : "", text ? len : 0);
  clearFilters(w);
  KzBadLines bad("filter.txt");
  int n = 0, lineNo = 0;
  kzForEachLine(body, 511, [&](std::string_view line, bool cut) {
    ++lineNo;
    if (!line.empty() && line[0] == ';') return true;
    NumCursor c(line);
    bool empty = c.atEnd();
    if (!empty && !(*c.p >= '0' && *c.p <= '9') && *c.p != '+' && *c.p != '-') {
      kzBadLine(bad, lineNo, "not a filter line, skipped (no filter slot)");
      return true;
    }
    if (n >= KZ_FILTERS) {  // later lines are ignored
      kzBadLine(bad, lineNo, "more than %d filters, the rest of the file ignored",
                int(KZ_FILTERS));
      return false;
    }
    FilterRow &f = w->filters[n];
    f.low = c.u32();
    f.high = c.u32();
    f.enabled = c.i();
    if (empty) {
      kzBadLine(bad, lineNo, "empty, filter %d disabled", n);
    } else if (c.missing > 0 || cut || !c.atEnd() || (f.enabled != 0 && f.enabled != 1) ||
               f.low > f.high) {
      kzBadLine(bad, lineNo, "not \"low high enabled\", filter %d disabled", n);
      f.enabled = 0;
    }
    kzTrace("Filter %i %ld,%ld,%x\n", n, long(f.low), long(f.high), unsigned(f.enabled));
    ++n;
    return true;
  });
  if (kzBadLinesEnd(bad) > 0) OptSetFileDamaged(w, "filter.txt");
}

// A file that cannot be read (logged with its reason) is taken as a missing
// one: no filter command is ever sent.
void LoadTabFiltri(works *w) {
  clearFilters(w);
  std::string data;
  int rc = kzReadTable("/opt/set/filter.txt", data);
  if (rc != KZ_READ_OK) {
    kzTrace("Filter File not FOUND!!\n");
    if (rc == KZ_READ_FAILED) OptSetFileDamaged(w, "filter.txt");
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

// The row's calibration where it is one; the built-in coefficient without
// a table, at a frequency no row covers, and for a calibration that is not
// usable. Cost: O(rows); called four times per status reply.
float SearchK(works *w, int kind) {
  if (kind < 0 || kind > 3) return 1.0f;
  if (w->confCount <= 0 || w->confTab.empty()) return kBuiltInK[kind];
  int row = ConfRowForFreq(w, w->freqHz.load());
  if (row < 0) return kBuiltInK[kind];
  const ConfRow &r = w->confTab[size_t(row)];
  const float k[4] = {r.kFwd, r.kRefl, r.kIn, r.kCorr};
  return usableK(kind, k[kind]) ? k[kind] : kBuiltInK[kind];
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
