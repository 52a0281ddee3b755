// Simulated FT-817 (see ft817_sim.h). One worker thread polls the PTY
// master every 20 ms at most, gathers five-byte commands and answers the
// read-frequency ones from the state under one lock.
#include "sim/ft817_sim.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "sim/pty.h"

struct Ft817Sim {
  SimPty pty;
  std::thread worker;
  std::atomic<bool> stop{false};
  std::mutex mut;
  uint32_t vfoHz = 14200000;
  uint8_t mode = 1;
  int delayMs = 0;
  int dropCount = 0, badCount = 0;
  bool silent = false;
  std::atomic<uint64_t> reads{0}, others{0};
};

namespace {

// Waits `ms` in short steps, ending early when the transceiver stops.
void pauseMs(Ft817Sim *f, int ms) {
  for (int left = ms; left > 0 && !f->stop.load(); left -= 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 10 ? left : 10));
}

void answer(Ft817Sim *f) {
  f->reads++;
  uint8_t out[5];
  int delay = 0;
  bool drop = false;
  {
    std::lock_guard<std::mutex> lk(f->mut);
    if (f->silent) return;
    ft817SimEncode(f->vfoHz, f->mode, out);
    if (f->badCount > 0) {
      f->badCount--;
      out[1] = uint8_t((out[1] & 0xF0) | 0x0A);
    }
    if (f->dropCount > 0) {
      f->dropCount--;
      drop = true;
    }
    delay = f->delayMs;
  }
  pauseMs(f, delay);
  if (drop) {
    const uint8_t cut[4] = {out[0], out[1], out[3], out[4]};
    simPtyWrite(&f->pty, reinterpret_cast<const char *>(cut), 4, true);
  } else {
    simPtyWrite(&f->pty, reinterpret_cast<const char *>(out), 5, true);
  }
}

void run(Ft817Sim *f) {
  uint8_t cmd[5];
  int have = 0;
  uint8_t in[64];
  while (!f->stop.load()) {
    pollfd p{f->pty.master, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = read(f->pty.master, in, sizeof in);
    // Cost: one pass over the bytes read.
    for (ssize_t i = 0; i < n; i++) {
      cmd[have++] = in[i];
      if (have < 5) continue;
      have = 0;
      if (cmd[4] == 0x03)
        answer(f);
      else
        f->others++;
    }
  }
}

}  // namespace

void ft817SimEncode(uint32_t hz, uint8_t mode, uint8_t out[5]) {
  uint32_t tens = (hz / 10) % 100000000u;
  for (int i = 3; i >= 0; i--) {
    const uint32_t two = tens % 100;
    tens /= 100;
    out[i] = uint8_t((two / 10) << 4 | (two % 10));
  }
  out[4] = mode;
}

Ft817Sim *ft817SimStart(uint32_t vfoHz, uint8_t mode) {
  auto *f = new Ft817Sim;
  if (!simPtyOpen(&f->pty)) {
    delete f;
    return nullptr;
  }
  f->vfoHz = vfoHz;
  f->mode = mode;
  f->worker = std::thread(run, f);
  return f;
}

void ft817SimStop(Ft817Sim *f) {
  if (f == nullptr) return;
  f->stop = true;
  if (f->worker.joinable()) f->worker.join();
  simPtyClose(&f->pty);
  delete f;
}

const char *ft817SimSlavePath(Ft817Sim *f) { return f->pty.slavePath.c_str(); }

void ft817SimSetVfo(Ft817Sim *f, uint32_t hz) {
  std::lock_guard<std::mutex> lk(f->mut);
  f->vfoHz = hz;
}
uint32_t ft817SimVfo(Ft817Sim *f) {
  std::lock_guard<std::mutex> lk(f->mut);
  return f->vfoHz;
}
void ft817SimSetMode(Ft817Sim *f, uint8_t mode) {
  std::lock_guard<std::mutex> lk(f->mut);
  f->mode = mode;
}
void ft817SimSetDelay(Ft817Sim *f, int ms) {
  std::lock_guard<std::mutex> lk(f->mut);
  f->delayMs = ms < 0 ? 0 : ms;
}
void ft817SimDropByte(Ft817Sim *f, int count) {
  std::lock_guard<std::mutex> lk(f->mut);
  f->dropCount = count;
}
void ft817SimBadDigits(Ft817Sim *f, int count) {
  std::lock_guard<std::mutex> lk(f->mut);
  f->badCount = count;
}
void ft817SimSetSilent(Ft817Sim *f, bool silent) {
  std::lock_guard<std::mutex> lk(f->mut);
  f->silent = silent;
}

uint64_t ft817SimReads(Ft817Sim *f) { return f->reads.load(); }
uint64_t ft817SimOthers(Ft817Sim *f) { return f->others.load(); }
uint64_t ft817SimWaitReads(Ft817Sim *f, uint64_t count, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (f->reads.load() < count && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return f->reads.load();
}
