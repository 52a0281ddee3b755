// Tune memory; see tunemem.h.
//
// Sections:
//   1 frequency slots   tabAtuStep, AtuIdxSearch, AtuFreqfromIdx
//   2 slots in RAM      read, write, nearest filled slot
//   3 load and store    LoadTuneFromMEM, InsertTuneToMem
//   4 tune files        names, reading, writing, deleting, whole bank
//
// The tables have no lock of their own: every access copies a whole slot,
// and every change rewrites the whole file of that antenna (atomically,
// through OptSetSaveFile, so a power cut leaves the old file or the new).
#include "tuner/tunemem.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/optset.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/textlines.h"
#include "tuner/banktab.h"
#include "tuner/tuneword.h"

// ---------------------------------------------------------------------------
// 1 frequency slots
// ---------------------------------------------------------------------------

const int32_t tabAtuStep[23][2] = {
    {0, 2000},         {1800000, 2000},   {2000000, 4000},   {3500000, 4000},   {4000000, 5000},
    {5330000, 5000},   {5400000, 5000},   {7000000, 5000},   {7300000, 5000},   {10100000, 10000},
    {10150000, 10000}, {14000000, 10000}, {14350000, 10000}, {18000000, 10000}, {18170000, 10000},
    {21000000, 20000}, {21500000, 25000}, {24850000, 25000}, {25000000, 25000}, {28000000, 25000},
    {29700000, 50000}, {50000000, 50000}, {54000000, -1},
};

namespace {

constexpr int kLastSeg = 21;  // row 22 only ends the table

int segCount(int i) { return (tabAtuStep[i + 1][0] - tabAtuStep[i][0]) / tabAtuStep[i][1]; }

bool slotOk(int idx) { return idx >= 0 && idx < KZ_TUNE_SLOTS; }
bool antennaOk(int antenna) { return antenna >= 0 && antenna < KZ_ANTENNAS; }

}  // namespace

// Walks the segments once. Cost: O(rows).
int AtuIdxSearch(uint32_t freq, uint32_t *segStart, uint32_t *segEnd, int *first, int *end) {
  int i = 0;
  int firstIdx = 0;
  for (; i < kLastSeg; ++i) {
    if (int64_t(freq) >= tabAtuStep[i][0] && int64_t(freq) < tabAtuStep[i + 1][0]) break;
    firstIdx += segCount(i);
  }
  int64_t start = tabAtuStep[i][0];
  int64_t next = tabAtuStep[i + 1][0];
  int64_t width = tabAtuStep[i][1];
  int64_t idx = firstIdx + (int64_t(freq) - start + width / 2) / width;
  if (int64_t(freq) > next) ++idx;  // above the last segment
  if (segStart) *segStart = uint32_t(start);
  if (segEnd) *segEnd = uint32_t(next);
  if (first) *first = firstIdx;
  if (end) *end = firstIdx + segCount(i);
  return int(idx);
}

// Cost: O(rows). Slots past the last segment (above 54 MHz) are counted on
// with the last segment's width; negative slots give 0.
uint32_t AtuFreqfromIdx(int idx) {
  if (idx < 0) return 0;
  int firstIdx = 0;
  int i = 0;
  for (; i < kLastSeg; ++i) {
    if (firstIdx + segCount(i) >= idx) break;
    firstIdx += segCount(i);
  }
  int64_t f = int64_t(tabAtuStep[i][0]) + int64_t(idx - firstIdx) * tabAtuStep[i][1];
  return f > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(f);
}

// ---------------------------------------------------------------------------
// 2 slots in RAM
// ---------------------------------------------------------------------------

void SaveTuneValsuTabRam(TuneVal tv, int idx, int antenna, works *w) {
  if (!slotOk(idx) || !antennaOk(antenna)) return;
  w->tuneTab[antenna][idx] = tv;
}

TuneVal LoadTuneValFromTabRam(int idx, int antenna, works *w) {
  if (!slotOk(idx) || !antennaOk(antenna)) return TuneVal{};
  TuneVal tv = w->tuneTab[antenna][idx];
  if (tv.mode == 3) tv.mode = 1;
  return tv;
}

// Scans [first, end) upwards; the strict comparison keeps the lower of two
// slots at the same distance. Cost: O(end - first), at most 5000 slots.
int SearchBestTune(works *w, int idx, int first, int end, int antenna) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  if (!antennaOk(antenna)) return -1;
  if (first < 0) first = 0;
  if (end > KZ_TUNE_SLOTS) end = KZ_TUNE_SLOTS;
  int best = -1;
  int64_t bestDistance = INT64_MAX;
  for (int j = first; j < end; ++j) {
    if (w->tuneTab[antenna][j].valid == 0) continue;
    int64_t d = int64_t(j) - idx;
    if (d < 0) d = -d;
    if (d < bestDistance) {
      best = j;
      bestDistance = d;
    }
  }
  return best;
}

int EsisteTuneValInTabRam(works *w, int idx, int first, int end, int antenna) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  if (LoadTuneValFromTabRam(idx, antenna, w).valid != 0) return 0;
  return SearchBestTune(w, idx, first, end, antenna) < 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// 3 load and store
// ---------------------------------------------------------------------------

void LoadTuneFromMEM(works *w, int antenna) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  uint32_t freq = w->freqHz.load();
  int first = 0, end = 0;
  int idx = AtuIdxSearch(freq, nullptr, nullptr, &first, &end);
  int used = idx;
  TuneVal tv = LoadTuneValFromTabRam(idx, antenna, w);
  if (tv.valid == 0) {
    int best = SearchBestTune(w, idx, first, end, antenna);
    if (best >= 0) {
      used = best;
      tv = LoadTuneValFromTabRam(best, antenna, w);
    }
  }
  uint32_t word = w->tuneWord.load();
  w->valC = DecodeCapacitaFromTuneval(word);
  w->valI = DecodeInduttanzaFromTuneval(word);
  w->tuneMode = DecodeModoFromTuneval(word);
  if (tv.valid == 0) return;
  if (tv.cap != w->valC || tv.ind != w->valI || tv.mode != w->tuneMode) {
    SetC(w, tv.cap);
    SetI(w, tv.ind);
    SetMode(w, tv.mode);
    ReadTnePar(w);
    kzTrace(">>>>>>>>>>>>>>> MEMTUNE: load a Tune for %ld idx:%d -> C %d I %d!!\n", long(freq),
            used, w->valC, w->valI);
  }
}

void InsertTuneToMem(works *w, int bank, int antenna) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  uint32_t freq = w->freqHz.load();
  int idx = AtuIdxSearch(freq, nullptr, nullptr, nullptr, nullptr);
  kzTrace("--------------> Save Tune To File idx %d (idx:%d)\n", int(freq), idx);
  uint32_t word = w->tuneWord.load();
  TuneVal tv{};
  tv.valid = 1;
  tv.cap = int16_t(DecodeCapacitaFromTuneval(word));
  tv.ind = int16_t(DecodeInduttanzaFromTuneval(word));
  tv.mode = uint8_t(DecodeModoFromTuneval(word));
  kzTrace("-------------- Save TuneVal C:%i, L:%i, M:%c\n", tv.cap, tv.ind, '0' + tv.mode);
  // A frequency past the last slot has no place in the memory: nothing
  // changed, so the file is not rewritten.
  if (!slotOk(idx) || !antennaOk(antenna)) return;
  SaveTuneValsuTabRam(tv, idx, antenna, w);
  SaveTabAtu(w, bank, antenna);
}

// ---------------------------------------------------------------------------
// 4 tune files
// ---------------------------------------------------------------------------

std::string AtuFileName(int bank, int antenna) {
  char name[64];
  if (bank >= 1 && bank <= 19)
    std::snprintf(name, sizeof name, "/opt/set/atu_ant%d_b%d.txt", antenna + 1, bank);
  else
    std::snprintf(name, sizeof name, "/opt/set/atu_ant%d.txt", antenna + 1);
  return name;
}

namespace {

// One decimal integer as sscanf("%ld") reads it: white space, an optional
// sign, at least one digit. Saturates instead of overflowing. False when
// there is no digit (the cursor is then left where it was).
bool nextNumber(std::string_view line, size_t &pos, long &out) {
  size_t i = pos;
  while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
  bool neg = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) neg = line[i++] == '-';
  if (i >= line.size() || line[i] < '0' || line[i] > '9') return false;
  // 64 bits while reading (`long` is 32 bits on the board), then held
  // within long's range.
  int64_t v = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
    if (v < INT64_C(100000000000)) v = v * 10 + (line[i] - '0');  // far past any field
  if (neg) v = -v;
  if (v > int64_t(LONG_MAX)) v = LONG_MAX;
  if (v < int64_t(LONG_MIN)) v = LONG_MIN;
  out = long(v);
  pos = i;
  return true;
}

bool blank(std::string_view line) {
  for (char c : line)
    if (!(c == ' ' || (c >= '\t' && c <= '\r'))) return false;
  return true;
}

// The technician's traces of a bad slot index, for the first few only.
void badIndex(KzBadLines &bad, int lineNo) {
  if (bad.count < KZ_BAD_LINES_LOGGED) {
    kzTrace("LoadTabAtu Errore idx\n");
    std::printf("LoadTabAtu Errore idx");
    std::fflush(stdout);
  }
  kzBadLine(bad, lineNo, "no slot index 0-4999, skipped");
}

// "atu_ant1_b2.txt" from "/opt/set/atu_ant1_b2.txt".
const char *baseName(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace

// Line by line: "idx freq valid mode ind cap", ';' starts a comment.
// A line is taken whole or not at all: one without a usable slot index
// gets the index error; one whose fields are missing or out of range
// (mode above 3, codes outside 0..511) is logged and skipped, so a damaged
// line never puts a wrong tune into the network. Every such line is logged
// with the file's name and its number (the first few, then a count), and a
// damaged file is named once on the panel. Cost: O(length).
void parseTabAtuText(works *w, int antenna, const char *text, size_t len, const char *fileName) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  if (!antennaOk(antenna)) return;
  TuneVal *tab = w->tuneTab[antenna];
  std::memset(static_cast<void *>(tab), 0, sizeof(TuneVal) * KZ_TUNE_SLOTS);
  if (text == nullptr || len == 0) return;
  std::string name = fileName != nullptr ? std::string(fileName) : baseName(AtuFileName(0, antenna));
  KzBadLines bad(name.c_str());
  int lineNo = 0;
  kzForEachLine(std::string_view(text, len), 511, [&](std::string_view line, bool cut) {
    ++lineNo;
    if (!line.empty() && line[0] == ';') return true;
    if (blank(line)) return true;
    size_t pos = 0;
    long idx = 0;
    if (!nextNumber(line, pos, idx) || idx < 0 || idx >= KZ_TUNE_SLOTS) {
      badIndex(bad, lineNo);
      return true;
    }
    long f[5];  // frequency (dropped), valid, mode, ind, cap
    for (long &v : f) {
      if (!nextNumber(line, pos, v)) {
        kzBadLine(bad, lineNo, "slot %ld: incomplete line, skipped", idx);
        return true;
      }
    }
    long valid = f[1], mode = f[2], ind = f[3], cap = f[4];
    if (mode < 0 || mode > 3 || ind < 0 || ind > 511 || cap < 0 || cap > 511) {
      kzBadLine(bad, lineNo, "slot %ld: value out of range, skipped", idx);
      return true;
    }
    if (cut || !blank(line.substr(pos)))
      kzBadLine(bad, lineNo, "slot %ld: text after the tune, tune taken", idx);
    TuneVal tv{};
    if (valid != 0) {
      tv.valid = 1;
      tv.mode = uint8_t(mode);
      tv.ind = int16_t(ind);
      tv.cap = int16_t(cap);
    }
    tab[idx] = tv;
    return true;
  });
  if (kzBadLinesEnd(bad) > 0) OptSetFileDamaged(w, name.c_str());
}

// A missing file is an empty table. A file that exists but cannot be read
// is an empty table too, marked unread: SaveTabAtu then refuses to replace
// the file until a later load reads it.
void LoadTabAtu(works *w, int bank, int antenna) {
  if (!antennaOk(antenna)) return;
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  const std::string fixed = AtuFileName(bank, antenna);
  std::string data;
  int rc = kzReadTable(fixed.c_str(), data);
  if (rc == KZ_READ_FAILED) OptSetFileDamaged(w, baseName(fixed));
  if (rc != KZ_READ_OK) data.clear();
  w->tuneTabUnread[antenna] = rc == KZ_READ_FAILED ? 1 : 0;
  parseTabAtuText(w, antenna, data.data(), data.size(), baseName(fixed));
}

// Cost: O(5000) slots, one line per filled slot.
void SaveTabAtu(works *w, int bank, int antenna) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  if (!antennaOk(antenna)) return;
  kzTrace("SaveTabAtu Bank%i , antenna %i\n", bank, antenna);
  if (w->tuneTabUnread[antenna].load()) {
    // The table in memory is not what the file holds: the file stays.
    kzLog(KZ_LOG_ERR, "can't save %s: the tune file in use could not be read, file kept",
          AtuFileName(bank, antenna).c_str());
    return;
  }
  std::string data;
  char line[96];
  for (int i = 0; i < KZ_TUNE_SLOTS; ++i) {
    TuneVal tv = w->tuneTab[antenna][i];
    if (tv.valid == 0) continue;
    int n = std::snprintf(line, sizeof line, "%i %ld %i %i %i %i\n", i, long(AtuFreqfromIdx(i)),
                          tv.valid, tv.mode, tv.ind, tv.cap);
    data.append(line, size_t(n));
  }
  OptSetSaveFile(AtuFileName(bank, antenna).c_str(), data, true);
}

void DeleteFileConf(works *w, int bank, int fileNumber) {
  (void)w;
  std::string fixed;
  if (fileNumber >= 0 && fileNumber < KZ_ANTENNAS)
    fixed = AtuFileName(bank, fileNumber);
  else if (fileNumber == 3)
    fixed = BankTabFileName(bank);
  else
    return;
  std::string path = kzPath(fixed.c_str());
  // The path goes to the shell as it stands: only plain path characters.
  for (char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '/' || c == '.' || c == '_' || c == '-';
    if (!plain) {
      kzLog(KZ_LOG_ERR, "can't delete file bank %d", bank);
      return;
    }
  }
  if (OptSetRemountRw(true) != 0) return;
  std::string cmd = "rm -f " + path;
  if (kzRunCommand(cmd.c_str()) != 0) kzLog(KZ_LOG_ERR, "can't delete file bank %d", bank);
  OptSetRemountRo();
}

void LoadAllBankTable(works *w, int bank) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  w->ModeWorkIdx = LoadTabConfig(w, bank);
  for (int a = 0; a < KZ_ANTENNAS; ++a) LoadTabAtu(w, bank, a);
  SetModeWorkIDX(w);
}
