// Thermal management; see thermal.h.
//
// Sections:
//   1 thermistor conversion (K_T_R)
//   2 the fan curve file "/opt/set/ventola.txt"
//   3 fan control
//   4 temperature warnings and alarms
//   5 the temperature log "/opt/set/LOGtemp.txt"
//
// Everything except the periodic log line runs in the Linear thread while a
// status reply is decoded; the fan and alarm steps allocate nothing.
#include "amplifier/thermal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

#include "amplifier/cmdring.h"
#include "amplifier/decode.h"
#include "amplifier/errors.h"
#include "core/optset.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/textlines.h"
#include "platform/paths.h"

// ---------------------------------------------------------------------------
// 1 thermistor conversion
// ---------------------------------------------------------------------------

namespace {

struct KtrPair {
  float t;     // degrees C
  float kohm;  // thermistor resistance
};

// 10 kOhm NTC curve, -40 to 125 degrees in steps of 5.
constexpr KtrPair K_T_R[] = {
    {-40, 347.808f}, {-35, 248.591f}, {-30, 179.973f}, {-25, 131.832f}, {-20, 97.679f},
    {-15, 73.119f},  {-10, 55.301f},  {-5, 42.257f},   {0, 32.582f},    {5, 25.324f},
    {10, 19.847f},   {15, 15.679f},   {20, 12.478f},   {25, 10.0f},     {30, 8.068f},
    {35, 6.552f},    {40, 5.353f},    {45, 4.399f},    {50, 3.635f},    {55, 3.020f},
    {60, 2.521f},    {65, 2.115f},    {70, 1.783f},    {75, 1.510f},    {80, 1.284f},
    {85, 1.096f},    {90, 0.939f},    {95, 0.808f},    {100, 0.698f},   {105, 0.605f},
    {110, 0.527f},   {115, 0.460f},   {120, 0.403f},   {125, 0.354f},
};
constexpr int kKtrCount = int(sizeof K_T_R / sizeof K_T_R[0]);
static_assert(kKtrCount == 34, "34 pairs");

constexpr float kTempLow = -10.0f, kTempHigh = 80.0f;

}  // namespace

float CalcolaTemp(unsigned short raw) {
  float t;
  if (raw == 4095) {
    // Open divider: infinite resistance, colder than the table.
    t = -40.0f;
  } else {
    // Thermistor in the lower leg of a divider with 10 kOhm.
    float r = float(raw) * 10.0f / float(4095 - int(raw));
    int j = 0;
    while (j < kKtrCount && !(K_T_R[j].kohm < r)) j++;
    if (j == 0) {
      t = -40.0f;
    } else if (j == kKtrCount) {
      t = 80.0f;
    } else {
      const KtrPair &a = K_T_R[j - 1], &b = K_T_R[j];
      t = a.t + (b.t - a.t) / (b.kohm - a.kohm) * (r - a.kohm);
    }
  }
  return std::clamp(t, kTempLow, kTempHigh);
}

// ---------------------------------------------------------------------------
// 2 the fan curve file
// ---------------------------------------------------------------------------

namespace {

constexpr size_t kVentolaLine = 255;  // longer lines are cut here
constexpr int kMaxFanRows = 1000;     // far above any real curve

// The fan curve without a usable file: the fan always turns, and runs
// faster, and sooner, than the usual factory curve (30/0, 40/30, 50/60,
// 60/100).
constexpr FanRow kBuiltInFan[] = {{0.0f, 30}, {40.0f, 60}, {50.0f, 100}};

bool blankLine(std::string_view line) {
  for (char c : line)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') return false;
  return true;
}

// A row the fan curve counts: neither a ';' comment nor blank.
bool rowLine(std::string_view line) { return !line.empty() && line[0] != ';' && !blankLine(line); }

// Temperature and percentage of one row; false when the line does not hold
// two finite numbers or the percentage is outside 0..100.
bool parseRow(std::string_view line, FanRow &row) {
  char buf[kVentolaLine + 1];
  size_t n = std::min(line.size(), kVentolaLine);
  std::memcpy(buf, line.data(), n);
  buf[n] = '\0';
  float t = 0, p = 0;
  if (std::sscanf(buf, "%f %f", &t, &p) != 2) return false;
  if (!std::isfinite(t) || !std::isfinite(p)) return false;
  if (p < 0.0f || p >= 101.0f) return false;  // integer part 0..100
  row.temperature = t;
  row.percentage = int(p);
  return true;
}

void useBuiltInFan(works *w) {
  w->fanTab.assign(std::begin(kBuiltInFan), std::end(kBuiltInFan));
  w->fanCount = int(w->fanTab.size());
  kzLog(KZ_LOG_ERR, "ventola.txt: no usable fan curve, built-in curve used (0 C 30%%, "
                    "40 C 60%%, 50 C 100%%)");
}

}  // namespace

// Rows are taken in file order; a line that is not a temperature and a
// percentage, or whose temperature is not above the row before (the curve
// could not be searched), is logged and ignored. A file without a single
// usable row gives the built-in curve: the fan is never left unused.
void parseVentolaText(works *w, const char *text, size_t len) {
  std::string_view body(text ? text : "", text ? len : 0);

  // First pass: count the rows.
  int count = 0;
  kzForEachLine(body, kVentolaLine, [&](std::string_view line, bool) {
    if (rowLine(line)) count++;
    return true;
  });
  kzTrace("N row Ventola File %d \n", count);
  kzTrace("Setup3 \n");

  // Second pass: read them.
  w->fanTab.clear();
  w->fanTab.reserve(size_t(std::min(count, kMaxFanRows)));
  KzBadLines bad("ventola.txt");
  int lineNo = 0;
  kzForEachLine(body, kVentolaLine, [&](std::string_view line, bool) {
    lineNo++;
    if (!rowLine(line)) return true;
    if (int(w->fanTab.size()) >= kMaxFanRows) {
      kzBadLine(bad, lineNo, "more than %d rows, the rest of the file ignored", kMaxFanRows);
      return false;
    }
    FanRow row{};
    if (!parseRow(line, row)) {
      kzBadLine(bad, lineNo, "not a temperature and a percentage, ignored");
      return true;
    }
    if (!w->fanTab.empty() && !(row.temperature > w->fanTab.back().temperature)) {
      kzBadLine(bad, lineNo, "temperature not above the row before, ignored");
      return true;
    }
    w->fanTab.push_back(row);
    if (int(w->fanTab.size()) <= KZ_TRACED_ROWS)
      kzTrace("->t:%.02f: %d \n", double(row.temperature), row.percentage);
    return true;
  });
  kzTraceRowsEnd("ventola.txt", int(w->fanTab.size()));
  w->fanCount = int(w->fanTab.size());
  kzBadLinesEnd(bad);
  if (w->fanCount == 0) {
    useBuiltInFan(w);
    OptSetFileDamaged(w, "ventola.txt");
  } else if (bad.count > 0) {
    OptSetFileDamaged(w, "ventola.txt");
  }
}

void ReadVentolaFile(works *w) {
  std::string data;
  int rc = kzReadTable("/opt/set/ventola.txt", data);
  if (rc != KZ_READ_OK) {
    kzTrace("Ventola File not FOUND!!");
    kzLog(KZ_LOG_ERR, "can't open /opt/set/ventola.txt");
    if (rc == KZ_READ_FAILED) OptSetFileDamaged(w, "ventola.txt");
    useBuiltInFan(w);
    return;
  }
  parseVentolaText(w, data.data(), data.size());
}

// ---------------------------------------------------------------------------
// 3 fan control
// ---------------------------------------------------------------------------

float SearchTemperatureFromVentola(works *w, int percentage) {
  int n = std::min(w->fanCount, int(w->fanTab.size()));
  for (int i = 0; i < n; i++)
    if (w->fanTab[size_t(i)].percentage == percentage) return w->fanTab[size_t(i)].temperature;
  return 0.0f;
}

// Called after every status reply; O(rows), no allocation.
void searchPercentVentola(works *w) {
  int n = std::min(w->fanCount, int(w->fanTab.size()));
  if (n <= 0) return;  // no curve: the fan is never commanded
  const FanRow *rows = w->fanTab.data();
  float t = std::max(w->temp1.load(), w->temp2.load());

  int pct = rows[0].percentage;  // below the first row: the first row's speed
  bool found = false;
  for (int i = 0; i < n - 1; i++) {
    if (rows[i].temperature <= t && t < rows[i + 1].temperature) {
      pct = rows[i].percentage;
      found = true;
      break;
    }
  }
  // At or above the last row the fan runs at the last row's speed, never
  // back at the first row's.
  if (!found && t >= rows[n - 1].temperature) pct = rows[n - 1].percentage;
  w->fanPercent = pct;

  int sent = w->fanSent.load();
  if (pct == sent) return;
  // Faster at once; slower only once cooled below the temperature of the
  // row now running minus the fan hysteresis.
  float c = SearchTemperatureFromVentola(w, sent);
  if (sent < pct || t < c - float(w->isteresi2)) {
    if (IncPNTIn_CMDLinear(23, w) < 0) return;  // ring full: try next reply
    w->fanSent = pct;
    kzTrace("---> VENTOLA: %d (%02.02f°C)\n", pct, double(t));
  }
}

// ---------------------------------------------------------------------------
// 4 temperature warnings and alarms
// ---------------------------------------------------------------------------

void GestTemperatureFunction(works *w, int alarmCode, int afterCode, int warnCode, float temp,
                             float limit) {
  if (temp > limit) {
    if (ExistError(w, alarmCode)) return;
    DeleteErrore(w, warnCode);
    DeleteErrore(w, afterCode);
    AddErrore(w, alarmCode);
    AttivaDisattivaProtezione(w, 1);
    if (w->enableLogTemp == 1) {
      LogTempFunction(w, 1);
      w->logRemoved = 0;
    }
    if (!(w->errorsMuted.load() & 1)) IncPNTIn_CMDLinear(19, w);
    kzTrace("!!!!  TEMP ALLARM: %02.02f (%i)\n", double(temp), alarmCode);
    return;
  }
  float low = limit - float(w->isteresi1);
  if (temp < low) {
    if (ExistError(w, alarmCode)) {
      DeleteErrore(w, alarmCode);
      IncPNTIn_CMDLinear(20, w);
      AddErrore(w, afterCode);  // stays until the operator's reset
      kzTrace("!!!! END TEMPERATURE ERROR (%i)\n", alarmCode);
    }
    if (ExistError(w, warnCode)) {
      DeleteErrore(w, warnCode);
      kzTrace("!!!! WARNING: Warning Temperatura Rientrato!! (%i)\n", alarmCode);
    }
    return;
  }
  if (!ExistError(w, alarmCode) && !ExistError(w, warnCode)) {
    AddErrore(w, warnCode);
    kzTrace("!!!! WARNING: Quasi in Temperatura!! (%i)\n", alarmCode);
  }
}

// ---------------------------------------------------------------------------
// 5 the temperature log
// ---------------------------------------------------------------------------

namespace {

constexpr const char *kLogTempPath = "/opt/set/LOGtemp.txt";

// Appends one line to the log (creating it with its header when missing);
// returns 0 or -1. The partition is already writable.
int appendLogLine(works *w, int mode) {
  std::string path = kzPath(kLogTempPath);
  if (!kzFileExists(path)) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
      kzLog(KZ_LOG_ERR, "can't create %s error %d", kLogTempPath, errno);
      return -1;
    }
    std::fputs(";TX,Temp1,Temp2,FDD,SWR\n", f);
    std::fclose(f);
  }
  FILE *f = std::fopen(path.c_str(), "a");
  if (f == nullptr) {
    kzLog(KZ_LOG_ERR, "can't open %s error %d", kLogTempPath, errno);
    return -1;
  }
  int dateLen = int(strnlen(w->dateTimeStr, sizeof w->dateTimeStr));
  std::fprintf(f, "%.*s", dateLen, w->dateTimeStr);
  std::fputs((w->ampStatus1.load() & 1) ? " , 1," : " , 0,", f);
  std::fprintf(f, "%04.01f,%04.01f,%02.01fW,%03.02f,%04.01fV,%04.01fA", double(w->temp1.load()),
               double(w->temp2.load()), double(w->pwrFwd.load()), double(w->swr.load()),
               double(CalvTensVadcAmp(w, w->panelReply[3])),
               double(w->currentRaw.load() / 4096.0f * 14.05f));
  std::fputs(mode == 1 ? " -> protezione attiva\n" : "\n", f);
  int rc = 0;
  if (std::fflush(f) != 0 || fsync(fileno(f)) != 0) rc = -1;
  if (std::fclose(f) != 0) rc = -1;
  if (rc != 0) kzLog(KZ_LOG_ERR, "can't write %s error %d", kLogTempPath, errno);
  return rc;
}

}  // namespace

void LogTempFunction(works *w, int mode) {
  if (OptSetRemountRw(true) != 0) return;  // logged and printed; nothing written
  if (mode == -1) {
    std::string cmd = "rm " + kzPath(kLogTempPath);
    kzRunCommand(cmd.c_str());
  } else {
    appendLogLine(w, mode);
  }
  // Read-only again in every case, also when the line could not be written.
  OptSetRemountRo();
}
