// The setup file "/opt/set/setup.txt" and its 291-byte text record.
//
// Sections:
//   1 the key table: one row per key drives reading, writing and logging
//   2 bounded field access
//   3 initSetup
//   4 reading: parseSetupText, readSetup
//   5 writing: writeSetup
//   6 one key from outside: setupSetKey
//
// Design rules:
//   - Every key is described once, in kSetupKeys, in the order the file is
//     written. Reading, writing and logging all walk that table.
//   - Text fields are fixed-width and need not hold a terminator (Divide and
//     MaxTemperature2 are all '1' after initSetup), so they are only ever
//     reached through fieldView/fieldSet, which never step past the width.
//   - A value longer than its field is cut to width-1 characters and a
//     terminator; it never spills into the next field. A number mirror is
//     parsed from the stored (cut) text, so text and mirror agree.
//   - A save goes through a temporary file, fsync and rename between the two
//     remount commands, so a power cut leaves the old or the new file.
#include "core/setup.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "core/optset.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/textlines.h"

namespace {

// ---------------------------------------------------------------------------
// 1 the key table
// ---------------------------------------------------------------------------

enum SkKind : uint8_t {
  SK_FLAG,    // one character
  SK_TEXT,    // the rest of the line
  SK_NUMBER,  // the rest of the line as text, parsed as a decimal into a mirror
};

enum SkWrite : uint8_t {
  SW_TEXT,     // the line carries the text field as it stands
  SW_REFRESH,  // the text field is first rebuilt from the mirror
  SW_NUMBER,   // the line carries the mirror's number; the text is left alone
};

struct SetupKey {
  const char *name;
  uint16_t off;   // offset of the text field in SetupRec
  uint8_t width;  // bytes, terminator included; 0 = no text field (TcpPort)
  SkKind kind;
  SkWrite write;
  bool late;          // tested after all the others when reading
  const char *start;  // start text of initSetup; nullptr leaves the '1' fill
  // Reading: stores a parsed value (a flag's digit, a number) into the
  // mirror; false when the value is refused (the mirror keeps its value).
  bool (*load)(works *w, long v);
  // Writing and logging: the mirror as the number the file carries.
  long (*save)(const works *w);
  // Reading: side effects on other fields after the value was stored.
  void (*post)(works *w, SetupRec *s);
};

// Integer part of v x scale for the file. The float representation error
// is removed first (60.1f x 10 is 600.99998, which stands for 601), so a
// value read from the file is written back unchanged. NaN reads as 0 and
// out-of-range values are limited, so the conversion is always defined.
long scaledInt(double v, double scale) {
  double d = v * scale;
  if (std::isnan(d)) return 0;
  if (d >= 2147483647.0) return 2147483647L;
  if (d <= -2147483648.0) return -2147483648L;
  double r = std::nearbyint(d);
  if (std::fabs(d - r) <= std::fabs(d) * 1e-6 + 1e-9) return long(r);
  return long(std::trunc(d));
}

uint8_t digitByte(long v) { return uint8_t(v); }

#define KZ_OFF(f) uint16_t(offsetof(SetupRec, f)), uint8_t(sizeof(SetupRec::f))
#define KZ_LOAD(expr) [](works *w, long v) -> bool { expr; return true; }
// A value outside [lo, hi] would index a table out of range or make an
// amplifier command longer than its frame: refused, the mirror keeps its value.
#define KZ_LOAD_IN(lo, hi, expr) \
  [](works *w, long v) -> bool {  \
    if (v < (lo) || v > (hi)) return false; \
    expr;                          \
    return true;                   \
  }
#define KZ_SAVE(expr) [](const works *w) -> long { return long(expr); }

// In the order of the file. `late` marks the two keys tested last when
// reading.
const SetupKey kSetupKeys[] = {
    {"EnableKeyb", KZ_OFF(EnableKeyb), SK_FLAG, SW_TEXT, false, "1", nullptr, nullptr, nullptr},
    {"EnableSpi", KZ_OFF(EnableSpi), SK_FLAG, SW_TEXT, false, "0", nullptr, nullptr, nullptr},
    {"EnableTouch", KZ_OFF(EnableTouch), SK_FLAG, SW_TEXT, false, "0", nullptr, nullptr, nullptr},
    {"DelayedTouch", KZ_OFF(DelayedTouch), SK_FLAG, SW_TEXT, false, "0", nullptr, nullptr,
     nullptr},
    {"EnableGPIO", KZ_OFF(EnableGPIO), SK_FLAG, SW_TEXT, false, "1", nullptr, nullptr, nullptr},
    {"EnableRead", KZ_OFF(EnableRead), SK_FLAG, SW_TEXT, false, "0", nullptr, nullptr, nullptr},
    {"EnableWrite", KZ_OFF(EnableWrite), SK_FLAG, SW_TEXT, false, "0", nullptr, nullptr, nullptr},
    {"EnableCAT", KZ_OFF(EnableCAT), SK_FLAG, SW_TEXT, false, "0", nullptr, nullptr, nullptr},
    {"EnableLinear", KZ_OFF(EnableLinear), SK_FLAG, SW_TEXT, false, "1", nullptr, nullptr,
     nullptr},
    {"EnableTime", KZ_OFF(EnableTime), SK_FLAG, SW_TEXT, false, "1", nullptr, nullptr, nullptr},
    {"WebSocket", KZ_OFF(WebSocket), SK_FLAG, SW_TEXT, false, "1", nullptr, nullptr, nullptr},
    {"Pitch", KZ_OFF(Pitch), SK_TEXT, SW_TEXT, false, "2500", nullptr, nullptr, nullptr},
    {"Quality", KZ_OFF(Quality), SK_TEXT, SW_TEXT, false, "100", nullptr, nullptr, nullptr},
    {"AudioIn", KZ_OFF(AudioIn), SK_TEXT, SW_TEXT, false, "hw:1", nullptr, nullptr, nullptr},
    {"InChannels", KZ_OFF(InChannels), SK_TEXT, SW_TEXT, false, "1", nullptr, nullptr, nullptr},
    {"AudioCompress", KZ_OFF(AudioCompress), SK_NUMBER, SW_NUMBER, false, "64000",
     KZ_LOAD(w->audioBitrate = int(v)), KZ_SAVE(w->audioBitrate), nullptr},
    // A frame of zero or fewer samples cannot be sent: such a value is refused.
    {"Multiplier", KZ_OFF(Multiplier), SK_NUMBER, SW_TEXT, false, "2",
     [](works *w, long v) -> bool {
       if (v < 1) return false;
       w->frameLen = int(v * 240);
       return true;
     },
     nullptr, nullptr},
    {"AudioOut", KZ_OFF(AudioOut), SK_TEXT, SW_TEXT, false, "hw:1", nullptr, nullptr, nullptr},
    {"Server", KZ_OFF(Server), SK_TEXT, SW_TEXT, false, "127.0.0.1", nullptr, nullptr,
     [](works *w, SetupRec *s) {
       size_t n = 0;
       while (n < sizeof s->Server && s->Server[n] != '\0') ++n;
       if (n >= sizeof w->serverHost) n = sizeof w->serverHost - 1;
       memcpy(w->serverHost, s->Server, n);
       w->serverHost[n] = '\0';
     }},
    // No text field: the port goes straight into the signed 16-bit tcpPort.
    // A value that is no usable port there (0, negative, above 32767) is
    // refused and the port keeps its value.
    {"TcpPort", 0, 0, SK_NUMBER, SW_NUMBER, false, nullptr,
     [](works *w, long v) -> bool {
       if (v < 1 || v > 32767) return false;
       w->tcpPort = int16_t(v);
       return true;
     },
     KZ_SAVE(w->tcpPort), nullptr},
    {"CatPort", KZ_OFF(CatPort), SK_TEXT, SW_TEXT, false, "/dev/ttyUSB0", nullptr, nullptr,
     nullptr},
    {"SerPort", KZ_OFF(SerPort), SK_TEXT, SW_TEXT, false, "/dev/ttyUSB1", nullptr, nullptr,
     nullptr},
    {"LinPort", KZ_OFF(LinPort), SK_TEXT, SW_TEXT, false, "/dev/ttyAMA0", nullptr, nullptr,
     nullptr},
    // Antennas 1 to 3; the mirror is the 0-based index.
    {"NumAntenna", KZ_OFF(NumAntenna), SK_FLAG, SW_REFRESH, false, "1",
     [](works *w, long v) -> bool {
       if (v < 1 || v > 3) return false;
       w->antenna = int(v - 1);
       return true;
     },
     KZ_SAVE(w->antenna.load() + 1), nullptr},
    {"EnablePwrPeak", KZ_OFF(EnablePwrPeak), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD(w->enablePwrPeak = digitByte(v)), KZ_SAVE(w->enablePwrPeak), nullptr},
    {"TempMode", KZ_OFF(TempMode), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD(w->tempMode = digitByte(v)), KZ_SAVE(w->tempMode), nullptr},
    {"FreqSensIn", KZ_OFF(FreqSensIn), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD(w->freqSensIn = digitByte(v)), KZ_SAVE(w->freqSensIn), nullptr},
    {"FreqPeriodTime", KZ_OFF(FreqPeriodTime), SK_NUMBER, SW_REFRESH, false, "10",
     KZ_LOAD_IN(0, 99999, w->freqPeriodTime = int(v)), KZ_SAVE(w->freqPeriodTime), nullptr},
    {"Attenuator", KZ_OFF(Attenuator), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD_IN(0, 3, w->attenuator = digitByte(v)), KZ_SAVE(w->attenuator.load()), nullptr},
    {"AttenuatorTune", KZ_OFF(AttenuatorTune), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD_IN(0, 3, w->attenuatorTune = digitByte(v)), KZ_SAVE(w->attenuatorTune.load()), nullptr},
    {"SWRescAutoTune", KZ_OFF(SWRescAutoTune), SK_NUMBER, SW_REFRESH, false, "0",
     KZ_LOAD(w->swrEscAutoTune = float(double(v) / 100.0)),
     KZ_SAVE(scaledInt(w->swrEscAutoTune, 100.0)), nullptr},
    {"ViewTimeStr", KZ_OFF(ViewTimeStr), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD(w->viewTimeStr = digitByte(v)), KZ_SAVE(w->viewTimeStr), nullptr},
    {"ViewTemp", KZ_OFF(ViewTemp), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD(w->viewTemp = digitByte(v)), KZ_SAVE(w->viewTemp), nullptr},
    {"MaxTemperature", KZ_OFF(MaxTemperature), SK_NUMBER, SW_REFRESH, false, "600",
     KZ_LOAD(w->maxTemperature = float(double(v) / 10.0)),
     KZ_SAVE(scaledInt(w->maxTemperature, 10.0)), nullptr},
    {"MaxTemperature2", KZ_OFF(MaxTemperature2), SK_NUMBER, SW_REFRESH, true, nullptr,
     KZ_LOAD(w->maxTemperature2 = float(double(v) / 10.0)),
     KZ_SAVE(scaledInt(w->maxTemperature2, 10.0)), nullptr},
    {"AutoTuneMaxCicli", KZ_OFF(AutoTuneMaxCicli), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD_IN(0, 4, w->autoTuneMaxCicli = digitByte(v)), KZ_SAVE(w->autoTuneMaxCicli), nullptr},
    {"PowerUnits", KZ_OFF(PowerUnits), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD(w->powerUnits = digitByte(v)), KZ_SAVE(w->powerUnits), nullptr},
    {"SaveScreenIdx", KZ_OFF(SaveScreenIdx), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD_IN(0, 4, w->saveScreenIdx = digitByte(v)), KZ_SAVE(w->saveScreenIdx), nullptr},
    // Only bit 0 is the setting; the other bits are the tune handshake.
    {"AutoTuneMode", KZ_OFF(AutoTuneMode), SK_FLAG, SW_REFRESH, false, "0",
     KZ_LOAD(w->autoTuneMode = digitByte(v)), KZ_SAVE(w->autoTuneMode.load() & 1), nullptr},
    {"EnableFFT", KZ_OFF(EnableFFT), SK_FLAG, SW_TEXT, false, "0", nullptr, nullptr,
     [](works *, SetupRec *s) { s->EnableFFT2 = s->EnableFFT; }},
    {"Divide", KZ_OFF(Divide), SK_NUMBER, SW_NUMBER, false, nullptr,
     KZ_LOAD(w->divide = int(v)), KZ_SAVE(w->divide), nullptr},
    {"MaxTempAllowed", KZ_OFF(MaxTempAllowed), SK_NUMBER, SW_REFRESH, false, "700",
     KZ_LOAD(w->maxTempAllowed = int(v)), KZ_SAVE(w->maxTempAllowed), nullptr},
    {"PSpar1", KZ_OFF(PSpar1), SK_NUMBER, SW_REFRESH, false, "3",
     KZ_LOAD_IN(0, 9999, w->psPar[0] = int(v)), KZ_SAVE(w->psPar[0]), nullptr},
    {"PSpar2", KZ_OFF(PSpar2), SK_NUMBER, SW_REFRESH, false, "150",
     KZ_LOAD_IN(0, 9999, w->psPar[1] = int(v)), KZ_SAVE(w->psPar[1]), nullptr},
    {"Isteresi1", KZ_OFF(Isteresi1), SK_FLAG, SW_REFRESH, false, "3",
     KZ_LOAD(w->isteresi1 = int(v)), KZ_SAVE(w->isteresi1), nullptr},
    {"Isteresi2", KZ_OFF(Isteresi2), SK_FLAG, SW_REFRESH, false, "3",
     KZ_LOAD(w->isteresi2 = int(v)), KZ_SAVE(w->isteresi2), nullptr},
    {"PSpar3", KZ_OFF(PSpar3), SK_NUMBER, SW_REFRESH, false, "900",
     KZ_LOAD_IN(0, 9999, w->psPar[2] = int(v)), KZ_SAVE(w->psPar[2]), nullptr},
    {"PSpar4", KZ_OFF(PSpar4), SK_NUMBER, SW_REFRESH, false, "100",
     KZ_LOAD_IN(0, 9999, w->psPar[3] = int(v)), KZ_SAVE(w->psPar[3]), nullptr},
    // Tenths, kept in whole units: 15 reads as 1.0 and is written back as 10.
    {"OffsetPlot", KZ_OFF(OffsetPlot), SK_NUMBER, SW_REFRESH, false, "0",
     KZ_LOAD(w->offsetPlot = double(v / 10)), KZ_SAVE(scaledInt(w->offsetPlot, 10.0)), nullptr},
    {"CatSerialPort", KZ_OFF(CatSerialPort), SK_TEXT, SW_TEXT, false, "/dev/ttyUSB1", nullptr,
     nullptr, nullptr},
    {"TUNEenabled", KZ_OFF(TUNEenabled), SK_NUMBER, SW_REFRESH, false, "0",
     KZ_LOAD(w->tuneEnabled = int8_t(v)),
     // saved as the byte 0..255: "-128" would not fit the field
     KZ_SAVE(uint8_t(w->tuneEnabled)), nullptr},
    {"NumBanco", KZ_OFF(NumBanco), SK_NUMBER, SW_REFRESH, false, "1",
     KZ_LOAD(w->numBanco = int(v)), KZ_SAVE(w->numBanco.load()), nullptr},
    {"GMpar1", KZ_OFF(GMpar1), SK_NUMBER, SW_REFRESH, false, "2",
     KZ_LOAD_IN(0, 9999, w->gmPar[0] = int(v)), KZ_SAVE(w->gmPar[0]), nullptr},
    {"GMpar2", KZ_OFF(GMpar2), SK_NUMBER, SW_REFRESH, false, "100",
     KZ_LOAD_IN(0, 9999, w->gmPar[1] = int(v)), KZ_SAVE(w->gmPar[1]), nullptr},
    {"Peak_media", KZ_OFF(Peak_media), SK_NUMBER, SW_REFRESH, false, "2",
     KZ_LOAD((void)w; fattoremedia = int(v)), KZ_SAVE(((void)w, fattoremedia)), nullptr},
    {"Peak_ValDec", KZ_OFF(Peak_ValDec), SK_NUMBER, SW_REFRESH, false, "10",
     KZ_LOAD((void)w; PeakDecrement = double(v) / 10.0),
     KZ_SAVE(((void)w, scaledInt(PeakDecrement, 10.0))), nullptr},
    {"Peak_TimeDec", KZ_OFF(Peak_TimeDec), SK_NUMBER, SW_REFRESH, false, "1",
     KZ_LOAD((void)w; PeakDecrementTime = int(v)), KZ_SAVE(((void)w, PeakDecrementTime)),
     nullptr},
    {"Peak_Time", KZ_OFF(Peak_Time), SK_NUMBER, SW_REFRESH, false, "3000",
     KZ_LOAD((void)w; TimerPeakSec = int(v)), KZ_SAVE(((void)w, TimerPeakSec)), nullptr},
    {"MAXbank", KZ_OFF(MAXbank), SK_NUMBER, SW_REFRESH, false, "20",
     KZ_LOAD(w->maxBank = int(v)), KZ_SAVE(w->maxBank.load()), nullptr},
    {"BTN_longpress_Time", KZ_OFF(BTN_longpress_Time), SK_NUMBER, SW_REFRESH, false, "5",
     KZ_LOAD((void)w; TIME_LONG_PRESS = double(v) / 10.0),
     KZ_SAVE(((void)w, scaledInt(TIME_LONG_PRESS, 10.0))), nullptr},
    {"EnableDebug", KZ_OFF(EnableDebug), SK_FLAG, SW_REFRESH, false, "1",
     KZ_LOAD(w->enableDebug = digitByte(v)), KZ_SAVE(w->enableDebug), nullptr},
    {"Enable1600", KZ_OFF(Enable1600), SK_FLAG, SW_TEXT, false, "1", nullptr, nullptr,
     [](works *, SetupRec *s) { s->EnableFFT2 = '1'; }},
    {"EnableLOGTemp", KZ_OFF(EnableLOGTemp), SK_FLAG, SW_REFRESH, false, "1",
     KZ_LOAD(w->enableLogTemp = digitByte(v)), KZ_SAVE(w->enableLogTemp), nullptr},
    {"AudioBuffers", KZ_OFF(AudioBuffers), SK_NUMBER, SW_REFRESH, true, "10",
     KZ_LOAD(w->audioBuffers = int(v)), KZ_SAVE(w->audioBuffers), nullptr},
    // Keys added after the first 64: written after them, so a file of an
    // earlier version reads as before and the key keeps its start value.
    // No text field (the record keeps its 291 bytes): the value goes
    // straight into its mirror. The auto-tune search: 0 the walk, 1 "Fast".
    {"AutoTuneSearch", 0, 0, SK_NUMBER, SW_NUMBER, false, nullptr,
     KZ_LOAD_IN(0, 1, w->autoTuneSearch = uint8_t(v)), KZ_SAVE(w->autoTuneSearch.load()), nullptr},
};

#undef KZ_OFF
#undef KZ_LOAD
#undef KZ_SAVE

static_assert(sizeof kSetupKeys / sizeof kSetupKeys[0] == 65, "the setup file has 64 keys and one added");

// Lines longer than this are cut; the rest of such a line is dropped.
constexpr size_t kMaxLine = 99;

// Saves from several threads (menu, keyboard, remote start and stop) take
// turns: they share the record's text fields and the temporary file.
std::mutex gSaveMut;

// ---------------------------------------------------------------------------
// 2 bounded field access
// ---------------------------------------------------------------------------

char *fieldPtr(SetupRec *s, const SetupKey &k) { return reinterpret_cast<char *>(s) + k.off; }
const char *fieldPtr(const SetupRec *s, const SetupKey &k) {
  return reinterpret_cast<const char *>(s) + k.off;
}

// The text of a field: at most `width` bytes, up to the first NUL.
std::string_view fieldView(const SetupRec *s, const SetupKey &k) {
  const char *p = fieldPtr(s, k);
  size_t n = 0;
  while (n < k.width && p[n] != '\0') ++n;
  return std::string_view(p, n);
}

// Stores text into a field, cut to width-1 characters plus a terminator
// (and at an embedded NUL). Returns true when the value was cut.
bool fieldSet(SetupRec *s, const SetupKey &k, std::string_view v) {
  size_t nul = v.find('\0');
  if (nul != std::string_view::npos) v = v.substr(0, nul);
  char *p = fieldPtr(s, k);
  size_t n = v.size();
  bool cut = false;
  if (n > size_t(k.width) - 1) {
    n = size_t(k.width) - 1;
    cut = true;
  }
  memcpy(p, v.data(), n);
  p[n] = '\0';
  return cut;
}

// sscanf("%d") on text: optional white space and sign, then at least one
// digit. The value is limited to the int range. False when no digit.
bool parseDecimal(std::string_view t, long &out) {
  size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || (t[i] >= '\t' && t[i] <= '\r'))) ++i;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  if (i >= t.size() || t[i] < '0' || t[i] > '9') return false;
  // 64 bits while reading: `long` is 32 bits on the board, where the
  // growth check itself would overflow.
  int64_t v = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    if (v <= INT64_C(2147483648)) v = v * 10 + (t[i] - '0');  // stops growing once out of range
  }
  if (neg) v = -v;
  if (v > INT64_C(2147483647)) v = INT64_C(2147483647);
  if (v < INT64_C(-2147483648)) v = INT64_C(-2147483648);
  out = long(v);
  return true;
}

// ---------------------------------------------------------------------------
// 4 reading (helpers)
// ---------------------------------------------------------------------------

// Stores the value of one matched line; a value the key cannot take is
// reported as a bad line. Cost: O(line length).
void applyKey(works *w, SetupRec *s, const SetupKey &k, std::string_view value, KzBadLines &bad,
              int lineNo) {
  if (k.kind == SK_FLAG) {
    char c = value.empty() ? '\0' : value[0];
    *fieldPtr(s, k) = c;
    if (k.load != nullptr && (c < '0' || c > '9' || !k.load(w, c - '0')))
      kzBadLine(bad, lineNo, "%s: -%c- refused, kept %ld", k.name, c, k.save ? k.save(w) : 0L);
  } else {
    std::string_view text = value;
    if (k.width > 0) {
      if (fieldSet(s, k, value))
        kzBadLine(bad, lineNo, "%s: value too long, cut to %d characters", k.name,
                  k.width - 1);
      text = fieldView(s, k);
    }
    long v = 0;
    if (k.kind == SK_NUMBER && k.load != nullptr) {
      if (!parseDecimal(text, v))
        kzBadLine(bad, lineNo, "%s: -%.*s- is not a number, kept", k.name, int(text.size()),
                  text.data());
      else if (!k.load(w, v))
        kzBadLine(bad, lineNo, "%s: -%.*s- refused, kept", k.name, int(text.size()),
                  text.data());
    }
  }
  if (k.post != nullptr) k.post(w, s);
}

// Returns true when `line` begins with the key followed by ": ".
bool lineHasKey(std::string_view line, const SetupKey &k) {
  size_t n = strlen(k.name);
  return line.size() >= n + 2 && line.compare(0, n, k.name) == 0 && line[n] == ':' &&
         line[n + 1] == ' ';
}

// One line: the first key that matches decides; false when none does (the
// line is then ignored). Cost: O(65 keys) per line.
bool parseLine(works *w, SetupRec *s, std::string_view line, KzBadLines &bad, int lineNo) {
  for (int pass = 0; pass < 2; ++pass) {
    for (const SetupKey &k : kSetupKeys) {
      if (k.late != (pass == 1)) continue;
      if (!lineHasKey(line, k)) continue;
      applyKey(w, s, k, line.substr(strlen(k.name) + 2), bad, lineNo);
      return true;
    }
  }
  return false;
}

bool blankLine(std::string_view line) {
  for (char c : line)
    if (c != ' ' && (c < '\t' || c > '\r')) return false;
  return true;
}

void logSettings(const works *w, const SetupRec *s) {
  for (const SetupKey &k : kSetupKeys) {
    if (k.kind == SK_FLAG) {
      kzLog(KZ_LOG_INFO, "%s: -%c-", k.name, *fieldPtr(s, k));
      continue;
    }
    std::string_view t = k.width > 0 ? fieldView(s, k) : std::string_view();
    if (k.kind == SK_TEXT || k.save == nullptr)
      kzLog(KZ_LOG_INFO, "%s: -%.*s-", k.name, int(t.size()), t.data());
    else if (strcmp(k.name, "Divide") == 0)  // text and number: the text may run on
      kzLog(KZ_LOG_INFO, "%s: -%.*s- -%ld-", k.name, int(t.size()), t.data(), k.save(w));
    else
      kzLog(KZ_LOG_INFO, "%s: -%ld-", k.name, k.save(w));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// 3 initSetup
// ---------------------------------------------------------------------------

void initSetup(works *w) {
  InitGlobalVar(w);
  w->autoTuneSearch = 0;  // without the key in the file: the walk
  static_assert(sizeof "velocirapido" == sizeof w->wsPassword, "12 characters and a NUL");
  memcpy(w->wsPassword, "velocirapido", sizeof w->wsPassword);
  SetupRec *s = w->setup;
  if (s == nullptr) return;
  memset(s, 0, sizeof *s);
  memset(s, '1', sizeof *s - 1);
  for (const SetupKey &k : kSetupKeys) {
    if (k.start == nullptr || k.width == 0) continue;
    if (k.kind == SK_FLAG)
      *fieldPtr(s, k) = k.start[0];
    else
      fieldSet(s, k, k.start);
  }
}

// ---------------------------------------------------------------------------
// 4 reading
// ---------------------------------------------------------------------------

// Every line that is not a setting the record can take is logged with its
// number (the first few, then a count) and ignored; a file with any such
// line, or with no setting at all (empty, binary), is named once on the
// panel. Blank lines are no damage.
void parseSetupText(works *w, const char *text, size_t len) {
  SetupRec *s = w->setup;
  if (s == nullptr || (text == nullptr && len > 0)) return;
  w->setupUnread = 0;  // the record now follows the file
  KzBadLines bad("setup.txt");
  int lineNo = 0, settings = 0;
  kzForEachLine(std::string_view(text ? text : "", text ? len : 0), kMaxLine,
                [&](std::string_view line, bool cut) {
                  ++lineNo;
                  if (cut)
                    kzBadLine(bad, lineNo, "longer than %d characters, rest dropped",
                              int(kMaxLine));
                  if (parseLine(w, s, line, bad, lineNo))
                    ++settings;
                  else if (!blankLine(line))
                    kzBadLine(bad, lineNo, "not a setting, ignored");
                  return true;
                });
  kzBadLinesEnd(bad);
  if (settings == 0)
    kzLog(KZ_LOG_ERR, "setup.txt: no setting in the file, start values used");
  if (bad.count > 0 || settings == 0) OptSetFileDamaged(w, "setup.txt");
  logSettings(w, s);
}

// A missing file is rebuilt with the start values. A file that exists but
// cannot be read is left alone: the unit runs on the start values and no
// save replaces the file (writeSetup refuses) until it is read again.
void readSetup(works *w) {
  initSetup(w);
  w->setupUnread = 0;
  std::string data;
  int rc = kzReadTable("/opt/set/setup.txt", data);
  if (rc == KZ_READ_MISSING) {
    kzTrace("Init Setup! ");
    writeSetup(w);
    kzLog(KZ_LOG_ERR, "can't open /opt/set/setup.txt");
    return;
  }
  if (rc != KZ_READ_OK) {
    kzTrace("Setup File not READ!! ");
    w->setupUnread = 1;
    OptSetFileDamaged(w, "setup.txt");
    return;
  }
  parseSetupText(w, data.data(), data.size());
}

// ---------------------------------------------------------------------------
// 5 writing
// ---------------------------------------------------------------------------

// Returns 0; -1 when the partition could not be remounted writable and -2
// when the file could not be saved or was not read at start (in every case
// the old file is kept).
int writeSetup(works *w) {
  SetupRec *s = w->setup;
  if (s == nullptr) {
    kzLog(KZ_LOG_ERR, "can't write /opt/set/setup.txt: no setup record");
    return -1;
  }
  if (w->setupUnread.load()) {
    kzLog(KZ_LOG_ERR, "can't write /opt/set/setup.txt: the file could not be read, "
                      "it is kept as it is");
    return -2;
  }
  std::lock_guard<std::mutex> lk(gSaveMut);

  // The mirrors are the truth: rebuild the text fields from them.
  for (const SetupKey &k : kSetupKeys) {
    if (k.write != SW_REFRESH || k.save == nullptr) continue;
    long v = k.save(w);
    if (k.kind == SK_FLAG) {
      *fieldPtr(s, k) = char('0' + v);
    } else {
      char buf[24];
      snprintf(buf, sizeof buf, "%ld", v);
      fieldSet(s, k, buf);
    }
  }

  std::string data;
  data.reserve(1024);
  for (const SetupKey &k : kSetupKeys) {
    data += k.name;
    data += ": ";
    if (k.kind == SK_FLAG)
      data += *fieldPtr(s, k);
    else if (k.write == SW_NUMBER)
      data += std::to_string(k.save(w));
    else
      data += fieldView(s, k);
    data += '\n';
  }
  return OptSetSaveFile("/opt/set/setup.txt", data);
}

// ---------------------------------------------------------------------------
// 6 one key from outside
// ---------------------------------------------------------------------------

int setupSetKey(works *w, const char *key, const char *value, std::string &why) {
  SetupRec *s = w->setup;
  const SetupKey *k = nullptr;
  for (const SetupKey &c : kSetupKeys)
    if (key != nullptr && strcmp(c.name, key) == 0) k = &c;
  if (s == nullptr || k == nullptr || value == nullptr) {
    why = "no such key in setup.txt";
    return -1;
  }
  std::string_view v(value);
  long n = 0;
  if (k->kind == SK_FLAG) {
    char c = v.size() == 1 ? v[0] : '\0';
    // Flags without a mirror are switches; the role of the remote link
    // has a third value.
    bool ok = k->load != nullptr ? (c >= '0' && c <= '9')
                                 : (c == '0' || c == '1' ||
                                    (c == '2' && k->off == offsetof(SetupRec, WebSocket)));
    if (!ok) {
      why = k->load != nullptr ? "not one digit"
            : k->off == offsetof(SetupRec, WebSocket) ? "not 0 (off), 1 (server) or 2 (client)"
                                                      : "not 0 or 1";
      return -1;
    }
    n = c - '0';
  } else {
    if (k->width > 0 && v.size() > size_t(k->width) - 1) {
      why = "longer than the " + std::to_string(k->width - 1) + " characters the field holds";
      return -1;
    }
    if (k->kind == SK_NUMBER) {
      size_t i = (!v.empty() && (v[0] == '-' || v[0] == '+')) ? 1 : 0;
      bool digits = i < v.size() && v.size() - i <= 10;
      for (size_t j = i; digits && j < v.size(); ++j) digits = v[j] >= '0' && v[j] <= '9';
      if (!digits || !parseDecimal(v, n)) {
        why = "not a whole number";
        return -1;
      }
    }
  }
  if (k->load != nullptr && !k->load(w, n)) {
    why = "out of range";
    return -1;
  }
  if (k->kind == SK_FLAG)
    *fieldPtr(s, *k) = v[0];
  else if (k->width > 0)
    fieldSet(s, *k, v);
  if (k->post != nullptr) k->post(w, s);
  return 0;
}
