// Command runner backends; see cmdrun.h.
#include "platform/cmdrun.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

struct Rule {
  std::string prefix;
  int status;
  std::string output;
};

std::mutex gMut;
std::vector<std::string> gRecorded;
std::vector<Rule> gRules;
const KzCmdBackend *gBackend = &kzCmdRecorder;

int boardRun(const char *cmdLine) { return system(cmdLine); }

int boardRunRead(const char *cmdLine, std::string &output) {
  output.clear();
  FILE *p = popen(cmdLine, "r");
  if (p == nullptr) return -1;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  pclose(p);
  return 0;
}

// Looks up the newest rule for a command line; caller holds gMut.
const Rule *findRule(const char *cmdLine) {
  std::string line(cmdLine);
  for (auto it = gRules.rbegin(); it != gRules.rend(); ++it)
    if (line.compare(0, it->prefix.size(), it->prefix) == 0) return &*it;
  return nullptr;
}

// The supervisor asks for the temperatures every cycle: the record keeps
// the newest lines only, so a long simulator run does not grow without end.
constexpr size_t kRecordMax = 20000;

void record(const char *cmdLine) {
  if (gRecorded.size() >= kRecordMax)
    gRecorded.erase(gRecorded.begin(), gRecorded.begin() + kRecordMax / 2);
  gRecorded.emplace_back(cmdLine);
}

int recRun(const char *cmdLine) {
  std::lock_guard<std::mutex> lk(gMut);
  record(cmdLine);
  const Rule *r = findRule(cmdLine);
  return r ? r->status : 0;
}

int recRunRead(const char *cmdLine, std::string &output) {
  std::lock_guard<std::mutex> lk(gMut);
  record(cmdLine);
  const Rule *r = findRule(cmdLine);
  output = r ? r->output : std::string();
  return (r && r->status < 0) ? -1 : 0;
}

}  // namespace

const KzCmdBackend kzCmdBoard = {boardRun, boardRunRead};
const KzCmdBackend kzCmdRecorder = {recRun, recRunRead};

void kzCmdUse(const KzCmdBackend *backend) { gBackend = backend; }
bool kzCmdIsRecorder() { return gBackend == &kzCmdRecorder; }

int kzRunCommand(const char *cmdLine) { return gBackend->run(cmdLine); }
int kzRunCommandRead(const char *cmdLine, std::string &output) {
  return gBackend->runRead(cmdLine, output);
}

void kzCmdScript(const std::string &prefix, int status, const std::string &output) {
  std::lock_guard<std::mutex> lk(gMut);
  gRules.push_back({prefix, status, output});
}

void kzCmdClearScript() {
  std::lock_guard<std::mutex> lk(gMut);
  gRules.clear();
}

std::vector<std::string> kzCmdRecorded() {
  std::lock_guard<std::mutex> lk(gMut);
  return gRecorded;
}

void kzCmdClearRecorded() {
  std::lock_guard<std::mutex> lk(gMut);
  gRecorded.clear();
}
