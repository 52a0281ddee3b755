// Simulated KAV transceiver (see xcvr_sim.h for the overview).
//
// Sections:
//   1. Wire notes
//   2. State record and helpers
//   3. Message building: parameters and spectrum
//   4. Commands received
//   5. Worker thread
//   6. Public functions
//
// ---- 1. Wire notes ----------------------------------------------------------
//
// Every message is: a type byte (0 spectrum, 1 parameters), the type
// character ('0' / '1'), four length characters 0x30 + one hex digit each,
// least significant digit first, then the body. Every body byte is kept
// above 14, so a reader that lost its place can only fall back in step at
// a real message start.
//
// Parameter body, 31 bytes:
//   0      0x40 | activeVfoB << 5 | dataVfoB << 4 (bit 0, the alternate
//          frequency, and bits 2-3 stay 0)
//   1-8    the message's frequency, eight hex digits 0x30 + digit, most
//          significant first
//   9      0x80 | transmit << 6 | mode (bits 0-3) (bits 4-5 stay 0)
//   10     0x40 | audioOut << 4 | 0x01: which volume byte 22 carries
//          (0 main, 1 aux, 2 side, in turn from message to message)
//   11     0x40 | anFlag << 5 | squelch
//   12     0x88 (bit 7, first number 1, number select 0, level 0)
//   13     0x41 (second number 1)
//   14, 15 0x30 | nr, 0x30 | nb
//   16-19  0x60, 0x60, 0x30, 0x60 (all selectors at their first value)
//   20     0x40 | att << 4 | lp << 3 | an << 1 | 1
//   21     211 (level 0)
//   22     0x80 | the volume chosen by byte 10, 0..127
//   23-25  CW pitch, three hex digits 0x30 + digit
//   26-30  tune offset, five hex digits, a signed 20-bit value
//
// Rates: the current VFO's message every `paramPeriodMs` (80 ms), the
// other VFO's every fifth period, and the current VFO's at once after any
// change; a spectrum every `spectrumPeriodMs` (250 ms).
//
// Spectrum: 1024 amplitude bytes, byte = dB + 192, 187.5 Hz per bin, the
// current VFO at bin 597: the amplifier passes bins 85 on to a remote unit
// (its start bin) and that unit's plot begins 85 bins further, so the 854
// bins it draws, 170 to 1023, centre on the VFO. Noise around -104 dB, a
// few carriers at fixed frequencies of the band (spaced 40 kHz apart, some
// absent, levels -90 to -45 dB, a little fading), and the own carrier at
// the VFO's bin while transmitting.
//
// Commands: text ending in ';'. "TX<digits>;" keys the transmitter, "RX;"
// releases it, "TU<digits>;" is accepted (the tune power setting) and
// changes nothing here. Anything else is recorded and ignored.
#include "sim/xcvr_sim.h"
#include "sim/bands.h"
#include "sim/pty.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

// ---- 2. State record and helpers -----------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kParamLen = 31;
constexpr int kSpecLen = 1024;
constexpr double kHzPerBin = 187.5;
constexpr int kCentreBin = 597;
constexpr uint32_t kMinHz = 100000, kMaxHz = 60000000;
constexpr size_t kMaxCommand = 64;

constexpr const char *kModeNames[] = {"LSB", "USB", "AM", "FM", "CW", "DIG", "CW-R"};

}  // namespace

struct XcvrSim {
  XcvrSimOptions opt;
  SimPty pty;
  std::thread worker;
  std::atomic<bool> stop{false};

  std::mutex m;
  std::condition_variable cv;
  XcvrSimState s{};
  uint32_t bandMemory[kSimBandCount];
  bool changed = false;      // a parameter message is due at once
  bool otherChanged = false; // ... and one for the other VFO
  int audioOutTurn = 0;
  uint32_t noiseSeed = 12345;
  std::vector<std::string> received;
  std::string command;  // command being assembled (worker only)

  // Carrier hook, serialised by its own lock (taken before `m`).
  std::mutex hookM;
  std::function<void(double, uint32_t)> hook;
  double hookW = 0;
  uint32_t hookHz = 0;
};

namespace {

uint32_t rnd(XcvrSim *x) {  // xorshift32
  uint32_t v = x->noiseSeed;
  v ^= v << 13;
  v ^= v >> 17;
  v ^= v << 5;
  return x->noiseSeed = v;
}

// Calls the hook when the carrier's power or frequency differs from what
// it was last told. Lock order: hookM, then m.
void updateCarrier(XcvrSim *x) {
  std::lock_guard<std::mutex> hk(x->hookM);
  double w;
  uint32_t hz;
  {
    std::lock_guard<std::mutex> lk(x->m);
    w = x->s.transmit ? x->s.driveW : 0.0;
    hz = x->s.vfoHz[x->s.activeVfo];
  }
  if (w == x->hookW && (w == 0 || hz == x->hookHz)) return;
  x->hookW = w;
  x->hookHz = hz;
  if (x->hook) x->hook(w, hz);
}

// Marks a change of the current VFO's data (under m).
void markChanged(XcvrSim *x) {
  x->changed = true;
  x->s.band = simBandOf(x->s.vfoHz[x->s.activeVfo]);
}

// ---- 3. Message building ----------------------------------------------------

void putHeader(std::string &out, char type, int len) {
  out += char(type);
  out += char('0' + type);
  for (int i = 0; i < 4; i++) out += char(0x30 + ((len >> (4 * i)) & 0xF));
}

void putDigits(std::string &out, uint32_t v, int digits) {
  for (int i = digits - 1; i >= 0; i--) out += char(0x30 + ((v >> (4 * i)) & 0xF));
}

// One parameter message for VFO `vfo` (under m).
std::string paramMessage(XcvrSim *x, int vfo) {
  const XcvrSimState &s = x->s;
  const XcvrSimLevels &lv = s.levels;
  int audioOut = x->audioOutTurn;
  x->audioOutTurn = (x->audioOutTurn + 1) % 3;
  int vol = audioOut == 0 ? lv.volume : audioOut == 1 ? lv.volumeAux : lv.volumeSide;
  std::string out;
  out.reserve(6 + kParamLen);
  putHeader(out, 1, kParamLen);
  out += char(0x40 | (s.activeVfo << 5) | (vfo << 4));
  putDigits(out, s.vfoHz[vfo], 8);
  out += char(0x80 | (s.transmit ? 0x40 : 0) | (s.mode & 0xF));
  out += char(0x40 | (audioOut << 4) | 0x01);
  out += char(0x40 | ((lv.anFlag & 1) << 5) | (lv.squelch & 0xF));
  out += char(0x88);
  out += char(0x41);
  out += char(0x30 | (lv.nr & 0xF));
  out += char(0x30 | (lv.nb & 0xF));
  out += "\x60\x60\x30\x60";
  out += char(0x40 | ((lv.att & 1) << 4) | ((lv.lp & 1) << 3) | ((lv.an & 3) << 1) | 1);
  out += char(211);
  out += char(0x80 | std::clamp(vol, 0, 127));
  putDigits(out, uint32_t(lv.pitchHz) & 0xFFF, 3);
  putDigits(out, uint32_t(lv.tuneOffsetHz) & 0xFFFFF, 5);
  return out;
}

// One spectrum message around the current VFO (under m). Cost: O(1024).
std::string spectrumMessage(XcvrSim *x) {
  std::string out;
  out.reserve(6 + kSpecLen);
  putHeader(out, 0, kSpecLen);
  uint8_t bins[kSpecLen];
  for (uint8_t &b : bins) b = uint8_t(84 + rnd(x) % 9);  // -108..-100 dB
  double centre = x->s.vfoHz[x->s.activeVfo];
  double lo = centre - kCentreBin * kHzPerBin, hi = lo + kSpecLen * kHzPerBin;
  // Carriers every 40 kHz at 13 kHz past the grid, kept or not by a hash of
  // their slot, so they stay put on the band while the VFO moves.
  for (int64_t k = int64_t(std::max(lo, 0.0) / 40000); k * 40000 < hi; k++) {
    uint32_t h = uint32_t(k) * 2654435761u;
    if ((h >> 28) < 6) continue;  // about 60 % of the slots hold a carrier
    double f = double(k) * 40000 + 13000;
    int bin = int((f - lo) / kHzPerBin);
    int peak = 102 + int((h >> 8) % 46) - int(rnd(x) % 4);
    for (int d = -2; d <= 2; d++) {
      int i = bin + d;
      if (i < 0 || i >= kSpecLen) continue;
      int v = peak - 14 * std::abs(d);
      if (v > bins[i]) bins[i] = uint8_t(v);
    }
  }
  if (x->s.transmit) {
    for (int d = -3; d <= 3; d++) bins[kCentreBin + d] = uint8_t(std::max<int>(bins[kCentreBin + d], 180 - 20 * std::abs(d)));
  }
  out.append(reinterpret_cast<const char *>(bins), kSpecLen);
  return out;
}

// ---- 4. Commands received ----------------------------------------------------

bool digitsOnly(const std::string &s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// A command ending in ';' (under m). Returns true when the transmit state changed.
bool obey(XcvrSim *x, const std::string &cmd) {
  x->received.push_back(cmd);
  if (x->s.silent) return false;
  bool tx = x->s.transmit;
  if (cmd == "RX;")
    tx = false;
  else if (cmd.compare(0, 2, "TX") == 0 && digitsOnly(cmd, 2, cmd.size() - 1))
    tx = true;
  if (tx == x->s.transmit) return false;
  x->s.transmit = tx;
  markChanged(x);
  return true;
}

// Cost: O(1) per byte.
void feed(XcvrSim *x, const char *buf, size_t n) {
  bool txChanged = false;
  {
    std::lock_guard<std::mutex> lk(x->m);
    for (size_t i = 0; i < n; i++) {
      char c = buf[i];
      if (uint8_t(c) < 0x20 || uint8_t(c) > 0x7E) {  // line noise
        x->command.clear();
        continue;
      }
      x->command += c;
      if (c == ';') {
        txChanged = obey(x, x->command) || txChanged;
        x->command.clear();
      } else if (x->command.size() > kMaxCommand) {
        x->command.clear();
      }
    }
  }
  x->cv.notify_all();
  if (txChanged) updateCarrier(x);
}

// ---- 5. Worker thread ---------------------------------------------------------

void workerLoop(XcvrSim *x) {
  Clock::time_point nextParam = Clock::now(), nextSpec = Clock::now();
  int period = 0;
  char buf[256];
  while (!x->stop.load()) {
    pollfd p{x->pty.master, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      if (p.revents & POLLIN) {
        ssize_t n = read(x->pty.master, buf, sizeof buf);
        if (n > 0) feed(x, buf, size_t(n));
      } else if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    Clock::time_point now = Clock::now();
    std::string out;
    {
      std::lock_guard<std::mutex> lk(x->m);
      if (x->s.silent) {
        x->changed = x->otherChanged = false;
        continue;
      }
      int cur = x->s.activeVfo;
      bool periodic = now >= nextParam;
      if (periodic) {
        nextParam = now + std::chrono::milliseconds(x->opt.paramPeriodMs);
        period++;
      }
      if (periodic || x->changed) {
        out += paramMessage(x, cur);
        x->s.paramsSent++;
      }
      if ((periodic && period % 5 == 0) || x->otherChanged) {
        out += paramMessage(x, 1 - cur);
        x->s.paramsSent++;
      }
      x->changed = x->otherChanged = false;
      if (now >= nextSpec) {
        nextSpec = now + std::chrono::milliseconds(x->opt.spectrumPeriodMs);
        out += spectrumMessage(x);
        x->s.spectraSent++;
      }
    }
    // A message is written whole or not at all (nobody reads the line).
    if (!out.empty()) simPtyWrite(&x->pty, out.data(), out.size(), true);
  }
}

// Applies `change` to the state under m, marks a parameter message due and
// tells the carrier hook when the carrier moved.
template <class F>
void change(XcvrSim *x, F &&f) {
  {
    std::lock_guard<std::mutex> lk(x->m);
    f(x->s);
    markChanged(x);
  }
  updateCarrier(x);
}

}  // namespace

// ---- 6. Public functions ----------------------------------------------------

XcvrSim *xcvrSimStart(const XcvrSimOptions &opt) {
  XcvrSim *x = new XcvrSim;
  x->opt = opt;
  x->opt.paramPeriodMs = std::clamp(x->opt.paramPeriodMs, 10, 10000);
  x->opt.spectrumPeriodMs = std::clamp(x->opt.spectrumPeriodMs, 10, 10000);
  x->s.vfoHz[0] = std::clamp(opt.vfoAHz, kMinHz, kMaxHz);
  x->s.vfoHz[1] = std::clamp(opt.vfoBHz, kMinHz, kMaxHz);
  x->s.mode = opt.mode & 0xF;
  x->s.driveW = opt.driveW > 0 ? opt.driveW : 0;
  x->s.band = simBandOf(x->s.vfoHz[0]);
  for (int i = 0; i < kSimBandCount; i++) x->bandMemory[i] = kSimBands[i].home;

  if (!simPtyOpen(&x->pty)) {
    delete x;
    return nullptr;
  }
  x->worker = std::thread(workerLoop, x);
  pthread_setname_np(x->worker.native_handle(), "sim-xcvr");
  return x;
}

void xcvrSimStop(XcvrSim *x) {
  if (!x) return;
  x->stop.store(true);
  if (x->worker.joinable()) x->worker.join();
  simPtyClose(&x->pty);
  delete x;
}

const char *xcvrSimSlavePath(XcvrSim *x) { return x->pty.slavePath.c_str(); }

void xcvrSimSetCarrierHook(XcvrSim *x, std::function<void(double, uint32_t)> hook) {
  {
    std::lock_guard<std::mutex> hk(x->hookM);
    x->hook = std::move(hook);
    x->hookW = 0;
  }
  updateCarrier(x);
}

void xcvrSimSetVfo(XcvrSim *x, int vfo, uint32_t hz) {
  change(x, [&](XcvrSimState &s) {
    s.vfoHz[vfo ? 1 : 0] = std::clamp(hz, kMinHz, kMaxHz);
    x->otherChanged = true;  // harmless when it was the current VFO
  });
}

void xcvrSimSelectVfo(XcvrSim *x, int vfo) {
  change(x, [&](XcvrSimState &s) { s.activeVfo = vfo ? 1 : 0; });
}

void xcvrSimTune(XcvrSim *x, int32_t deltaHz) {
  change(x, [&](XcvrSimState &s) {
    int64_t hz = int64_t(s.vfoHz[s.activeVfo]) + deltaHz;
    s.vfoHz[s.activeVfo] = uint32_t(std::clamp<int64_t>(hz, kMinHz, kMaxHz));
  });
}

void xcvrSimBandStep(XcvrSim *x, int dir) {
  change(x, [&](XcvrSimState &s) {
    uint32_t &hz = s.vfoHz[s.activeVfo];
    int b = simBandOf(hz);
    int next;
    if (b >= 0) {
      x->bandMemory[b] = hz;
      next = (b + (dir < 0 ? kSimBandCount - 1 : 1)) % kSimBandCount;
    } else {  // outside the bands: the nearest band in that direction
      next = dir < 0 ? kSimBandCount - 1 : 0;
      for (int i = 0; i < kSimBandCount; i++) {
        if (dir >= 0 && kSimBands[i].low > hz) {
          next = i;
          break;
        }
        if (dir < 0 && kSimBands[i].high < hz) next = i;
      }
    }
    hz = x->bandMemory[next];
  });
}

void xcvrSimSetMode(XcvrSim *x, int mode) {
  change(x, [&](XcvrSimState &s) { s.mode = mode & 0xF; });
}

void xcvrSimSetLevels(XcvrSim *x, const XcvrSimLevels &lv) {
  change(x, [&](XcvrSimState &s) { s.levels = lv; });
}

void xcvrSimSetTransmit(XcvrSim *x, bool on) {
  change(x, [&](XcvrSimState &s) { s.transmit = on; });
}

void xcvrSimSetDrive(XcvrSim *x, double watts) {
  change(x, [&](XcvrSimState &s) { s.driveW = watts > 0 ? watts : 0; });
}

void xcvrSimSetSilent(XcvrSim *x, bool silent) {
  change(x, [&](XcvrSimState &s) { s.silent = silent; });
}

std::vector<std::string> xcvrSimReceived(XcvrSim *x) {
  std::lock_guard<std::mutex> lk(x->m);
  return x->received;
}

void xcvrSimClearReceived(XcvrSim *x) {
  std::lock_guard<std::mutex> lk(x->m);
  x->received.clear();
}

size_t xcvrSimWaitReceived(XcvrSim *x, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lk(x->m);
  x->cv.wait_for(lk, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&] { return x->received.size() >= count; });
  return x->received.size();
}

XcvrSimState xcvrSimState(XcvrSim *x) {
  std::lock_guard<std::mutex> lk(x->m);
  return x->s;
}

const char *xcvrSimModeName(int mode) {
  return mode >= 0 && mode < int(sizeof kModeNames / sizeof kModeNames[0]) ? kModeNames[mode] : "?";
}

const char *xcvrSimBandName(int band) { return band >= 0 && band < kSimBandCount ? kSimBands[band].name : ""; }
