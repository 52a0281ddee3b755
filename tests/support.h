// Shared pieces of the test suites: a scratch root standing for "/", the
// log and trace capture, a fresh works record, and views of the command
// ring and the error list.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/paths.h"

// Polls `pred` every 5 ms until it holds or `timeoutMs` passed.
inline bool kzWaitFor(const std::function<bool()> &pred, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

// The command that runs the build's own programs: empty on the build
// machine; in a cross build whose tests run emulated, the emulator (an
// emulated process cannot start another foreign program by itself).
inline std::vector<std::string> kzProgramRunner() {
  std::vector<std::string> words;
#ifdef KZ_CHILD_EMULATOR
  std::istringstream in(KZ_CHILD_EMULATOR);
  for (std::string w; in >> w;) words.push_back(w);
#endif
  return words;
}

// Replaces this (forked) process with the build's program `binary` and
// `args`, through the emulator when there is one; _exit(127) on failure.
[[noreturn]] inline void kzExecProgram(const char *binary, const std::vector<std::string> &args) {
  std::vector<std::string> words = kzProgramRunner();
  words.push_back(binary);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// The shell command line that starts `binary` (emulator first when there
// is one); arguments are appended by the caller.
inline std::string kzProgramCommand(const char *binary) {
  std::string cmd;
  for (const std::string &w : kzProgramRunner()) cmd += w + " ";
  return cmd + binary;
}

// A fresh directory with opt/set that stands for "/" while alive; the
// command recorder starts with no script and no record.
struct KzTempRoot {
  std::string dir;
  explicit KzTempRoot(const char *tag = "kz") {
    std::string tmpl = std::string("/tmp/") + tag + "_XXXXXX";
    dir = mkdtemp(tmpl.data());
    std::filesystem::create_directories(dir + "/opt/set");
    kzSetRoot(dir);
    kzCmdClearScript();
    kzCmdClearRecorded();
  }
  ~KzTempRoot() {
    kzSetRoot("");
    kzCmdClearScript();
    kzCmdClearRecorded();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string file(const char *name) const { return dir + "/opt/set/" + name; }
};

// Collects syslog lines ('L') and standard-error traces ('T') while alive;
// the traces are kept off the terminal.
struct KzLogCapture {
  std::mutex mut;
  std::vector<std::string> lines;
  char kind;
  explicit KzLogCapture(char onlyKind = 'T') : kind(onlyKind) {
    kzTraceQuiet(true);
    kzLogHook([this](char k, const std::string &t) {
      if (kind != 0 && k != kind) return;
      std::lock_guard<std::mutex> lk(mut);
      lines.push_back(t);
    });
  }
  ~KzLogCapture() {
    kzLogHook(nullptr);
    kzTraceQuiet(false);
  }
  int count(const std::string &t) {
    std::lock_guard<std::mutex> lk(mut);
    return int(std::count(lines.begin(), lines.end(), t));
  }
  // Lines holding `needle` anywhere.
  int countContaining(const std::string &needle) {
    std::lock_guard<std::mutex> lk(mut);
    return int(std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
      return l.find(needle) != std::string::npos;
    }));
  }
};

// A zeroed works with its setup record, the error texts, errors unmuted.
inline std::unique_ptr<works> kzTestWorks(SetupRec &rec) {
  auto w = std::make_unique<works>();
  w->setup = &rec;
  InitErrTable(w.get());
  w->errorsMuted = 0;
  return w;
}

// The commands waiting in the ring, oldest first.
inline std::vector<int> kzQueued(const works *w) {
  std::vector<int> v;
  for (int i = w->cmdOut.load(); i != w->cmdIn.load(); i = (i + 1) % KZ_CMD_RING)
    v.push_back(w->cmdQueue[i]);
  return v;
}

// The commands waiting in the ring, taken out of it.
inline std::vector<int> kzTakeQueued(works *w) {
  std::vector<int> v = kzQueued(w);
  w->cmdOut = w->cmdIn.load();
  return v;
}

// The registered error codes in their order.
inline std::vector<int> kzListed(const works *w) {
  return std::vector<int>(w->errList, w->errList + w->errCount.load());
}
