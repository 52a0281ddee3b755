// Bank table: one row per band of the current bank (antenna, tuner bypass,
// operate or standby, input attenuator, power figure) and the transceiver
// interface the bank works with. The table lives in works (bandTab,
// bandCount) and is mirrored in one text file per bank under /opt/set.
//
// Sections:
//   1 names, labels and defaults: AttVectStr, BankTabFileName, InitTabAntenna
//   2 reading: parseTabConfigText, LoadTabConfig
//   3 writing: SaveTabConfig, SaveToBank
//   4 editing and switching: ModifytabAntenna, ChangeBanco,
//     ChangeInterfaceBanco
//
// Design rules:
//   - The file is outside input: every value read from it is brought into
//     the range the rest of the program indexes and formats with (antenna
//     0-3, attenuator 0-3, flags 0/1, finite power, edges within int32).
//     A value out of range is corrected and logged; the row is kept, so the
//     rows after it stay on their bands.
//   - Numbers are read with the C library's end-pointer semantics: a
//     malformed number reads as 0 and the next one is read from the same
//     place.
//   - A save rewrites the file whole through a temporary file, fsync and
//     rename between the two remount commands: a power cut leaves the old
//     or the new table.
#include "tuner/banktab.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/optset.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/textlines.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"

// ---------------------------------------------------------------------------
// 1 names, labels and defaults
// ---------------------------------------------------------------------------

const char AttVectStr[5][8] = {"0", "2", "3", "5", "StBy"};

namespace {

struct DefaultBand {
  const char *name;
  int32_t lowHz, highHz;
};

const DefaultBand kDefaultBands[KZ_BAND_ROWS] = {
    {"160m", 1800000, 2000000},   {"80m", 3500000, 4000000},    {"60m", 5330500, 5450000},
    {"40m", 7000000, 7300000},    {"30m", 10100000, 10150000},  {"20m", 14000000, 14350000},
    {"17m", 18068000, 18168000},  {"15m", 21000000, 21450000},  {"12m", 24890000, 24990000},
    {"10m", 28000000, 29700000},  {"6m", 50000000, 54000000},
};

const char *const kHeaders[3] = {"!Gen\n", "!Kav\n", "!817\n"};

// Rows in use, limited to the table (bandCount is only ever 0..11, but a
// reader must not trust that with an index).
int rowsInUse(const works *w) {
  int n = w->bandCount;
  if (n < 0) return 0;
  return n > KZ_BAND_ROWS ? KZ_BAND_ROWS : n;
}

}  // namespace

std::string BankTabFileName(int bank) {
  if (bank >= 1 && bank <= 19) {
    char buf[40];
    snprintf(buf, sizeof buf, "/opt/set/antenna_b%d.txt", bank);
    return buf;
  }
  return "/opt/set/antenna.txt";
}

int BankRowOfFreq(const works *w, int64_t freqHz) {
  const int n = rowsInUse(w);
  for (int i = 0; i < n; ++i)
    if (w->bandTab[i].lowHz <= freqHz && freqHz <= w->bandTab[i].highHz) return i;
  return -1;
}

void InitTabAntenna(works *w, int keepSettings) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  for (int i = 0; i < KZ_BAND_ROWS; ++i) {
    BandRow &r = w->bandTab[i];
    memset(r.name, 0, sizeof r.name);
    strncpy(r.name, kDefaultBands[i].name, sizeof r.name - 1);
    r.lowHz = kDefaultBands[i].lowHz;
    r.highHz = kDefaultBands[i].highHz;
    if (keepSettings == 0) {
      r.ampEnable = 0;
      r.ant = 1;
      r.atuOff = 1;
      r.attIdx = 0;
      r.pwr = 0.0f;
    }
  }
  w->bandCount = KZ_BAND_ROWS;
}

// ---------------------------------------------------------------------------
// 2 reading
// ---------------------------------------------------------------------------

namespace {

// The numbers of one row line, read one after the other from a cursor into
// a NUL-terminated copy of the line.
struct RowCursor {
  const char *p;
  int row;
  const char *name;
  KzBadLines &bad;
  int lineNo;
  bool missing;  // a field held no number (read as 0)

  void note(const char *end) {
    if (end == p) missing = true;
  }

  // A band edge: unsigned with base prefix ("0x" hexadecimal, leading 0
  // octal). The table keeps edges as int32; a larger value (or a negative
  // one, which the unsigned reading turns into a huge one) is limited to
  // the largest int32, an edge no operating frequency reaches.
  int32_t edge(const char *field) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(p, &end, 0);
    note(end);
    p = end;
    if (errno == ERANGE || v > static_cast<unsigned long>(INT32_MAX)) {
      kzBadLine(bad, lineNo, "row %d (%s): %s out of range, set to %ld", row, name, field,
                long(INT32_MAX));
      return INT32_MAX;
    }
    return int32_t(v);
  }

  // A small decimal setting in [0, max]; anything else becomes `fallback`.
  uint8_t setting(const char *field, long max, uint8_t fallback) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    note(end);
    p = end;
    if (errno == ERANGE || v < 0 || v > max) {
      kzBadLine(bad, lineNo, "row %d (%s): %s %ld out of range, set to %d", row, name, field, v,
                int(fallback));
      return fallback;
    }
    return uint8_t(v);
  }

  float power() {
    char *end = nullptr;
    float v = strtof(p, &end);
    note(end);
    p = end;
    if (!std::isfinite(v)) {
      kzBadLine(bad, lineNo, "row %d (%s): Pwr not a number, set to 0.0", row, name);
      return 0.0f;
    }
    return v;
  }
};

// One row line into `r`. The name runs to the first blank, at most 7
// characters; the numbers start right after it (for a longer name, at its
// 8th character).
// A line that does not hold the eight fields (or holds more) is logged;
// its values are kept as read (a missing number reads as 0).
void parseRow(std::string_view line, int row, BandRow &r, KzBadLines &bad, int lineNo) {
  std::string buf(line);
  const char *s = buf.c_str();
  size_t n = 0;
  while (n < sizeof r.name - 1 && s[n] != '\0' && s[n] != ' ' && s[n] != '\t') ++n;
  memset(r.name, 0, sizeof r.name);
  memcpy(r.name, s, n);

  RowCursor c{s + n, row, r.name, bad, lineNo, false};
  r.lowHz = c.edge("lowHz");
  r.highHz = c.edge("highHz");
  // Out-of-range settings fall back to the safe state of a band without a
  // table: standby, antenna left alone, tuner bypassed, and the strongest
  // attenuator.
  r.ampEnable = c.setting("AmpEnable", 1, 0);
  r.ant = c.setting("Ant", 3, 0);
  r.atuOff = c.setting("Atu", 1, 1);
  r.attIdx = c.setting("Att", 3, 3);
  r.pwr = c.power();
  while (*c.p == ' ' || (*c.p >= '\t' && *c.p <= '\r')) ++c.p;
  if (n == 0 || c.missing || *c.p != '\0')
    kzBadLine(bad, lineNo,
              "row %d (%s): not a bank row (name low high amp ant atu att pwr), "
              "taken as read",
              row, r.name);
}

}  // namespace

// Lines the table cannot take are logged with their number (the first few,
// then a count); a damaged file is named once on the panel.
// Cost: O(length of the text); called on bank loads only.
int parseTabConfigText(works *w, const char *text, size_t len, const char *fileName) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  std::string_view body(text ? text : "", text ? len : 0);
  for (BandRow &r : w->bandTab) r.ampEnable = 0;

  const char *name = fileName != nullptr ? fileName : "antenna.txt";
  KzBadLines bad(name);
  int type = 0;
  int rows = 0;
  int lineNo = 0;
  int rowLine[KZ_BAND_ROWS] = {};
  kzForEachLine(body, 511, [&](std::string_view line, bool) {
    ++lineNo;
    if (!line.empty() && line[0] == ';') return true;
    if (!line.empty() && line[0] == '!') {
      std::string_view tag = line.substr(0, 4);
      if (tag == "!Gen")
        type = 0;
      else if (tag == "!Kav")
        type = 1;
      else if (tag == "!817")
        type = 2;
      else
        kzBadLine(bad, lineNo, "unknown interface line, ignored");
      return true;
    }
    if (rows >= KZ_BAND_ROWS) {  // the rest of the file is ignored
      kzBadLine(bad, lineNo, "more than %d rows, the rest of the file ignored",
                int(KZ_BAND_ROWS));
      return false;
    }
    parseRow(line, rows, w->bandTab[rows], bad, lineNo);
    rowLine[rows++] = lineNo;
    return true;
  });
  w->bandCount = rows;

  for (int i = 0; i < rows; ++i) {
    if (w->bandTab[i].lowHz == 0 || w->bandTab[i].highHz == 0) {
      InitTabAntenna(w, 1);
      kzTrace("Error Reinit antenna\n");
      kzBadLine(bad, rowLine[i],
                "row %d has a band edge of 0: default bands and edges for the whole table, "
                "the rows' settings kept",
                i);
      break;
    }
  }
  if (kzBadLinesEnd(bad) > 0) OptSetFileDamaged(w, name);
  w->bandRowIdx = -1;
  return type;
}

// A missing file gives the defaults. A file that exists but cannot be read
// gives the defaults too, marked unread: SaveTabConfig then refuses to
// replace the file until a later load reads it.
int LoadTabConfig(works *w, int bank) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  for (BandRow &r : w->bandTab) r.ampEnable = 0;
  const std::string fixed = BankTabFileName(bank);
  const char *name = fixed.c_str() + fixed.find_last_of('/') + 1;
  std::string data;
  int rc = kzReadTable(fixed.c_str(), data);
  w->bandTabUnread = rc == KZ_READ_FAILED ? 1 : 0;
  if (rc != KZ_READ_OK) {
    if (rc == KZ_READ_FAILED) OptSetFileDamaged(w, name);
    InitTabAntenna(w, 0);
    // The defaults are a new table too: the band handling applies them on
    // the next supervisor cycle.
    w->bandRowIdx = -1;
    return 0;
  }
  return parseTabConfigText(w, data.data(), data.size(), name);
}

// ---------------------------------------------------------------------------
// 3 writing
// ---------------------------------------------------------------------------

void SaveTabConfig(works *w, int bank) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  if (w->bandTabUnread.load()) {
    // The table in memory is not what the file holds: the file stays.
    kzLog(KZ_LOG_ERR, "can't save %s: the bank table in use could not be read, file kept",
          BankTabFileName(bank).c_str());
    return;
  }
  int mode = w->ModeWorkIdx.load();
  std::string data = kHeaders[(mode >= 0 && mode <= 2) ? mode : 0];
  int n = rowsInUse(w);
  for (int i = 0; i < n; ++i) {
    const BandRow &r = w->bandTab[i];
    char name[sizeof r.name];
    memcpy(name, r.name, sizeof name);
    name[sizeof name - 1] = '\0';
    char line[160];
    snprintf(line, sizeof line, "%s %ld %ld %i %i %i %i %2.1f\n", name, long(r.lowHz),
             long(r.highHz), int(r.ampEnable), int(r.ant), int(r.atuOff), int(r.attIdx),
             double(r.pwr));
    data += line;
  }
  // Remount rw (a failure also on standard error), atomic save, remount
  // ro; a failed save keeps the old file and the partition read-only.
  OptSetSaveFile(BankTabFileName(bank).c_str(), data, true);
}

void SaveToBank(works *w, int bank, int antenna) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  int64_t f = w->freqHz.load();
  int n = rowsInUse(w);
  for (int i = 0; i < n; ++i) {
    BandRow &r = w->bandTab[i];
    if (r.lowHz <= f && f <= r.highHz) {
      if (antenna >= 0 && antenna < KZ_ANTENNAS) r.ant = uint8_t(antenna + 1);
      r.atuOff = w->atuBypass.load() ? 1 : 0;
      uint8_t att = w->attenuator.load();
      r.attIdx = att > 3 ? 3 : att;
      r.ampEnable = w->attenuatorShown.load() <= 3 ? 1 : 0;
      break;
    }
  }
  SaveTabConfig(w, bank);
}

// ---------------------------------------------------------------------------
// 4 editing and switching
// ---------------------------------------------------------------------------

void ModifytabAntenna(works *w, int down) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  int row = w->antTabRow;
  if (row < 0 || row >= rowsInUse(w)) return;
  BandRow &r = w->bandTab[row];
  int step = down ? -1 : 1;
  switch (w->antTabCol) {
    case 0:
      // Kept on the one-decimal grid it is shown and saved with.
      r.pwr = std::round((r.pwr + 0.1f * float(step)) * 10.0f) / 10.0f;
      break;
    case 1: {
      // Above 3, and the step down from 0, wraps to 0.
      int v = int(r.attIdx) + step;
      r.attIdx = uint8_t((v < 0 || v > 3) ? 0 : v);
      break;
    }
    case 2: r.ampEnable = r.ampEnable ? 0 : 1; break;
    case 3: {
      // 0 becomes 3, above 3 (also the step down from 0) becomes 1.
      uint8_t v = uint8_t(r.ant + step);
      r.ant = v == 0 ? 3 : (v > 3 ? 1 : v);
      break;
    }
    case 4: r.atuOff = r.atuOff ? 0 : 1; break;
    default: break;
  }
}

void ChangeBanco(works *w) {
  int next = w->numBanco.load() + 1;
  if (next >= w->maxBank.load() || next < 0) next = 0;
  w->numBanco = next;
  writeSetup(w);
  LoadAllBankTable(w, next);
  w->bandRowIdx = -1;
}

void ChangeInterfaceBanco(works *w) {
  int next = w->ModeWorkIdx.load() + 1;
  if (next > 2 || next < 0) next = 0;
  w->ModeWorkIdx = next;
  SetModeWorkIDX(w);
  SaveToBank(w, w->numBanco.load(), w->antenna.load());
}
