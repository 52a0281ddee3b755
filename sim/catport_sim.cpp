// Simulated CAT port (see catport_sim.h). One worker thread polls the PTY
// master every 20 ms at most and answers each command as it completes;
// the state and the record of commands sit under one lock.
#include "sim/catport_sim.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "sim/pty.h"

struct CatPortSim {
  SimPty pty;
  CatPortSimOptions opt;
  std::thread worker;
  std::atomic<bool> stop{false};
  std::mutex mut;  // opt's VFOs and mode, received
  std::vector<std::string> received;
};

namespace {

constexpr size_t kMaxCommand = 64;

bool allDigits(const std::string &s, size_t from) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// The answer to one command (its ';' cut off), "" for none.
std::string answerFor(CatPortSim *c, const std::string &cmd) {
  std::lock_guard<std::mutex> lk(c->mut);
  char out[64];
  if (cmd == "DT") return c->opt.dtAnswer;
  if (cmd == "FA" || cmd == "FB") {
    snprintf(out, sizeof out, "%s%011u;", cmd.c_str(),
             unsigned(cmd == "FA" ? c->opt.vfoAHz : c->opt.vfoBHz));
    return out;
  }
  if (cmd == "IF") {
    // Frequency, step, RIT, RIT/XIT flags, memory, transmit, mode, VFO,
    // scan, split, tone: the fields a Kenwood-style reader looks at.
    snprintf(out, sizeof out, "IF%011u0000+00000000000%d000000;", unsigned(c->opt.vfoAHz),
             c->opt.mode);
    return out;
  }
  if (cmd == "MD") {
    snprintf(out, sizeof out, "MD%d;", c->opt.mode);
    return out;
  }
  if ((cmd.rfind("FA", 0) == 0 || cmd.rfind("FB", 0) == 0) && allDigits(cmd, 2)) {
    const uint32_t hz = uint32_t(strtoul(cmd.c_str() + 2, nullptr, 10));
    (cmd[1] == 'A' ? c->opt.vfoAHz : c->opt.vfoBHz) = hz;
    return "";
  }
  if (cmd.rfind("MD", 0) == 0 && cmd.size() == 3 && allDigits(cmd, 2)) {
    c->opt.mode = cmd[2] - '0';
    return "";
  }
  // Another query (two letters) is not known here: "?;", as a
  // Kenwood-style port says. Anything longer is an answer or a setting of
  // something not simulated, and gets none (two ports joined through the
  // remote link would otherwise answer each other for ever).
  if (cmd.size() == 2) return "?;";
  return "";
}

void run(CatPortSim *c) {
  std::string cmd;
  char in[64];
  while (!c->stop.load()) {
    pollfd p{c->pty.master, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = read(c->pty.master, in, sizeof in);
    // Cost: one pass over the bytes read.
    for (ssize_t i = 0; i < n; i++) {
      if (in[i] != ';') {
        if (cmd.size() < kMaxCommand) cmd += in[i];
        continue;
      }
      {
        std::lock_guard<std::mutex> lk(c->mut);
        c->received.push_back(cmd + ";");
      }
      const std::string a = answerFor(c, cmd);
      if (!a.empty()) simPtyWrite(&c->pty, a.data(), a.size(), false);
      cmd.clear();
    }
  }
}

}  // namespace

CatPortSim *catPortSimStart(const CatPortSimOptions &opt) {
  auto *c = new CatPortSim;
  if (!simPtyOpen(&c->pty)) {
    delete c;
    return nullptr;
  }
  c->opt = opt;
  c->worker = std::thread(run, c);
  return c;
}

void catPortSimStop(CatPortSim *c) {
  if (c == nullptr) return;
  c->stop = true;
  if (c->worker.joinable()) c->worker.join();
  simPtyClose(&c->pty);
  delete c;
}

const char *catPortSimSlavePath(CatPortSim *c) { return c->pty.slavePath.c_str(); }

void catPortSimSend(CatPortSim *c, const std::string &text, int gapMs) {
  if (gapMs <= 0) {
    simPtyWrite(&c->pty, text.data(), text.size(), false);
    return;
  }
  for (char ch : text) {
    simPtyWrite(&c->pty, &ch, 1, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  }
}

void catPortSimSetVfo(CatPortSim *c, int vfo, uint32_t hz) {
  std::lock_guard<std::mutex> lk(c->mut);
  (vfo == 0 ? c->opt.vfoAHz : c->opt.vfoBHz) = hz;
}
uint32_t catPortSimVfo(CatPortSim *c, int vfo) {
  std::lock_guard<std::mutex> lk(c->mut);
  return vfo == 0 ? c->opt.vfoAHz : c->opt.vfoBHz;
}

std::vector<std::string> catPortSimReceived(CatPortSim *c) {
  std::lock_guard<std::mutex> lk(c->mut);
  return c->received;
}

size_t catPortSimWaitReceived(CatPortSim *c, size_t count, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t n = catPortSimReceived(c).size();
    if (n >= count || std::chrono::steady_clock::now() >= end) return n;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
