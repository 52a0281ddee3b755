// Whole-file saves that survive a power cut: the data goes to a temporary
// file in the same directory, is flushed and fsync'ed, then renamed over
// the old file, and the directory is fsync'ed. A cut at any moment leaves
// the old file or the new one, never a truncated one.
#pragma once
#include <string>

// Writes `data` as the new content of `path` (already mapped under the
// root). Returns 0, or -1 with errno set; on failure the old file is kept.
int kzSaveFileAtomic(const std::string &path, const std::string &data);

// Reads a whole file; returns 0, or -1 when it cannot be opened.
int kzReadFile(const std::string &path, std::string &data);

bool kzFileExists(const std::string &path);
