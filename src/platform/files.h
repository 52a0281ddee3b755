// Whole-file saves that survive a power cut, and whole-file reads that tell
// a missing file from one that cannot be read.
//
// Saves: the data goes to a temporary file ("<path>.tmp") in the same
// directory, is flushed and fsync'ed, then renamed over the old file, and
// the directory is fsync'ed. A cut at any moment leaves the old file or the
// new one, never a truncated one (and at worst a stale "<path>.tmp", which
// the start-up removes).
//
// Reads: a file that does not exist (ENOENT) is the only one a reader may
// rebuild or replace; any other failure (no permission, an I/O error, a
// file larger than the reader takes) leaves the file alone, and the reader
// says why in the log. Readers of tables report their bad lines through
// KzBadLines, which bounds what a damaged file can put into the log.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Writes `data` as the new content of `path` (already mapped under the
// root). Returns 0, or -1 with errno set; on failure the old file is kept.
int kzSaveFileAtomic(const std::string &path, const std::string &data);

// Reads a whole file of at most maxBytes. Returns 0, or -1 with errno set:
// ENOENT when it does not exist, EFBIG when it holds more than maxBytes
// (data is then empty), or the error of the open or of a read (a read
// error is never taken for the end of the file).
int kzReadFile(const std::string &path, std::string &data, size_t maxBytes = SIZE_MAX);

bool kzFileExists(const std::string &path);

// The most a settings or table file may hold: far above any real table
// (the largest, a full tune file, is about 150 KB).
constexpr size_t KZ_TABLE_MAX_BYTES = size_t(1) << 20;

enum { KZ_READ_OK = 0, KZ_READ_MISSING = 1, KZ_READ_FAILED = -1 };

// Reads the settings file `fixedPath` (mapped under the root), at most
// KZ_TABLE_MAX_BYTES. KZ_READ_OK; KZ_READ_MISSING when it does not exist
// (nothing logged: each reader says that in its own words); KZ_READ_FAILED
// for any other failure, logged at error level with its reason
// ("can't read /opt/set/x.txt: Permission denied, file left as it is").
int kzReadTable(const char *fixedPath, std::string &data);

// Bad lines of one file in one read: each of the first KZ_BAD_LINES_LOGGED
// gets its own error line "<file> line <n>: <what was done>"; the rest are
// counted and summed up by kzBadLinesEnd in one line.
enum { KZ_BAD_LINES_LOGGED = 10 };
struct KzBadLines {
  const char *file;  // the name the log uses, e.g. "filter.txt"
  int count = 0;
  explicit KzBadLines(const char *name) : file(name) {}
};
void kzBadLine(KzBadLines &b, int lineNo, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Logs "<file>: <n> bad lines in all, the first <k> logged" when lines went
// unlogged; returns the count.
int kzBadLinesEnd(KzBadLines &b);

// Per-row traces of a reader (the rows it took, printed on standard error
// for the technician) stop after this many rows: a huge file cannot flood
// standard error. kzTraceRowsEnd prints how many rows went untraced.
enum { KZ_TRACED_ROWS = 64 };
void kzTraceRowsEnd(const char *file, int rows);
