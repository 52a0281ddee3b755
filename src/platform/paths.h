// Path root: every fixed path of the program ("/opt/set/setup.txt",
// "/etc/network/interfaces", "/opt/fonts/...") reaches the file system
// through kzPath, which puts it under the root directory: "/" on the board,
// a scratch directory in tests and in the simulator. Device paths read from
// the setup file (LinPort, SerPort, ...) are used as written, not mapped.
#pragma once
#include <string>

// Sets the root ("/" or "" means the real file system). Not thread-safe:
// called once before any thread starts.
void kzSetRoot(const std::string &root);
const std::string &kzRoot();

// Maps an absolute fixed path under the root. Relative paths (the background
// images, relative to the working directory) are returned unchanged.
std::string kzPath(const char *fixedPath);

// Creates the directories of a mapped path (mkdir -p of its parent).
// Used by the simulator and tests to prepare a root; the board has them.
int kzMakeParentDirs(const std::string &mappedPath);
