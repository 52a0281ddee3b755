// Simulated amplifier micro-controller (see amp_sim.h for the overview).
//
// Sections:
//   1. Model notes
//   2. State record and helpers (CRC, number parsing, PTY)
//   3. Physics: powers, current, temperatures, protection
//   4. Command handling and replies
//   5. Receive thread and frame assembly
//   6. Public functions
//
// ---- 1. Model notes -------------------------------------------------------
//
// Design rules: one mutex guards everything the receive thread and the test
// thread share; replies are written while it is held, on a non-blocking
// master with a bounded wait, so a stalled reader never wedges the sim.
// The sim knows the bytes on the line and nothing of the program.
//
// Powers. Input = drive, reduced by the 3 dB pad and / or the 2 dB pad.
// Operating (not bypassed, not tripped): forward = Psat x tanh(20 x Pin /
// Psat), 13 dB of gain saturating softly at Psat = 70 W (60 W model) or
// 130 W (120 W model). Bypassed or tripped: the input passes straight
// through (forward = input) and the stages dissipate nothing.
// Reflected = forward x |gamma|^2 with gamma = (Z - 50) / (Z + 50) and Z the
// impedance the transmitter sees (`loadSeenByTransmitter`): the load of the
// selected antenna port (antenna 1..3 -> port 0..2, others port 0) at the
// drive frequency, seen through the tuner network as the last "MT1%08X;"
// word sets its relays (tuner_net.cpp; word 0 at power-on = bypass). A port
// holds either a fixed impedance (simAmpSetLoad) or its antenna model
// (simAmpSetDefaultLoad). Peak = forward.
// Current = 0.3 A idle + forward / 0.55 / 48 V while amplifying.
//
// Raw readings (what the status reply carries): power raw = round(sqrt(P /
// k)) with the detector calibration k (forward 5.156579e-6, reflected
// 3.3262754e-6, input 5.5078103e-6 W per raw unit squared), limited to the
// four-digit field 0..9999; current raw = A x 4096 / 14.05, temperature raw
// = 4095 x R / (10 + R) with R the 10 kOhm NTC's resistance at that
// temperature (interpolated in the thermistor table), both 12-bit 0..4095.
//
// Thermal. Dissipation = DC input - forward + reflected (the reflected
// power ends up in the stages too), zero with no carrier. Heat sink
// (sensor 2): first order toward ambient + dissipation x Rth, Rth falling
// linearly from 1.2 C/W at fan 0 % to 0.35 C/W at 100 %, time constant
// 60 s. Board (sensor 1): toward ambient + 0.5 x (heat sink - ambient),
// time constant 30 s. Time advances by the real elapsed time x
// thermalSpeed, in exact exponential steps (stable at any speed), each time
// the state is looked at or changed. simAmpForceTemps overrides a sensor's
// report while the model runs on underneath.
//
// Protection. With protection mode on ("MP1;"), a raw input above
// threshold 0, raw forward above threshold 1, raw reflected above threshold
// 2 or raw current above threshold 3 trips it: status bit 1 set, fault bit
// 5, 2, 1 or 0 respectively, the amplifier passes the input through. The
// trip holds until "CPFFFF;", which also clears the restart bit 7; a cause
// that persists trips again at once.
//
// Faults. Fault bits set by a test (simAmpSetFaultBits) hold until changed;
// bit 7 is set at power-on and by simAmpMicroRestart until "CPFFFF;".
// Silence and ignored prefixes: the command is neither executed nor
// answered (as if the micro never heard it), but it is still recorded as
// received. "MR1;" puts the micro into its boot loader: nothing is answered
// until simAmpMicroRestart. Refusals do not execute the command. Reply
// replacements (simAmpReplyOnce) do execute it. A received checksum that is
// wrong gets "XX!;", an unknown command "XX?;", bad parameters "XX&;".
#include "sim/amp_sim.h"
#include "sim/pty.h"
#include "sim/tuner_net.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <termios.h>
#include <thread>
#include <unistd.h>

// ---- 2. State record and helpers -----------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFwdCal = 5.156579e-6;
constexpr double kReflCal = 3.3262754e-6;
constexpr double kInCal = 5.5078103e-6;
constexpr double kGain = 20.0;         // 13 dB
constexpr double kEfficiency = 0.55;
constexpr double kSupplyV = 48.0;
constexpr double kIdleA = 0.3;
constexpr double kTauSink = 60.0;      // s
constexpr double kTauBoard = 30.0;     // s
constexpr double kBoardShare = 0.5;
constexpr size_t kMaxFrame = 600;
constexpr const char *kFirmware = "2.10.07";

// 10 kOhm NTC: degrees C, kOhm.
constexpr double kNtc[][2] = {
    {-40, 347.808}, {-35, 248.591}, {-30, 179.973}, {-25, 131.832}, {-20, 97.679},
    {-15, 73.119},  {-10, 55.301},  {-5, 42.257},   {0, 32.582},    {5, 25.324},
    {10, 19.847},   {15, 15.679},   {20, 12.478},   {25, 10.0},     {30, 8.068},
    {35, 6.552},    {40, 5.353},    {45, 4.399},    {50, 3.635},    {55, 3.020},
    {60, 2.521},    {65, 2.115},    {70, 1.783},    {75, 1.510},    {80, 1.284},
    {85, 1.096},    {90, 0.939},    {95, 0.808},    {100, 0.698},   {105, 0.605},
    {110, 0.527},   {115, 0.460},   {120, 0.403},   {125, 0.354}};
constexpr int kNtcCount = int(sizeof kNtc / sizeof kNtc[0]);

struct Refusal {
  std::string prefix;
  char ch;
  int left;  // -1 = until cleared
};

struct Replacement {
  std::string prefix;
  std::string text;
};

struct Physics {
  double in = 0, fwd = 0, refl = 0, amps = 0, diss = 0;
};

bool startsWith(const std::string &s, const std::string &p) {
  return s.size() >= p.size() && s.compare(0, p.size(), p) == 0;
}

bool allDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int hexVal(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool allHex(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return hexVal(c) >= 0; });
}

// Decimal digits only (callers check); fits: at most 11 digits.
uint64_t toNum(std::string_view s) {
  uint64_t v = 0;
  for (char c : s) v = v * 10 + uint64_t(c - '0');
  return v;
}

int clampi(double v, int lo, int hi) {
  if (!(v > lo)) return lo;  // also NaN
  if (v > hi) return hi;
  return int(v);
}

int rawPower(double w, double k) { return clampi(std::lround(std::sqrt(std::max(w, 0.0) / k)), 0, 9999); }
int rawCurrent(double a) { return clampi(std::lround(a * 4096.0 / 14.05), 0, 4095); }

double ntcKohm(double t) {
  if (t <= kNtc[0][0]) return kNtc[0][1];
  for (int i = 1; i < kNtcCount; i++)
    if (t <= kNtc[i][0])
      return kNtc[i - 1][1] + (kNtc[i][1] - kNtc[i - 1][1]) * (t - kNtc[i - 1][0]) / (kNtc[i][0] - kNtc[i - 1][0]);
  return kNtc[kNtcCount - 1][1];
}

int rawTemp(double t) {
  double r = ntcKohm(t);
  return clampi(std::lround(4095.0 * r / (10.0 + r)), 0, 4095);
}

}  // namespace

struct SimAmp {
  SimAmpOptions opt;
  SimPty pty;
  std::thread worker;
  std::atomic<bool> stop{false};

  std::mutex m;
  std::condition_variable cv;

  // Micro-controller state (power-on values in powerOn()).
  SimAmpState s{};
  bool restartBit = true;
  uint8_t tripFault = 0;    // fault bits set by a protection trip
  uint8_t injFault = 0;     // fault bits set by the test

  // Outside world.
  double driveW = 0;
  uint32_t driveHz = 0;
  std::complex<double> load[3] = {{50, 0}, {50, 0}, {50, 0}};
  bool fixedLoad[3] = {true, true, true};  // false: the port's antenna model
  double ambient = 25;
  double tBoard = 25, tSink = 25;  // thermal model
  double forced1 = NAN, forced2 = NAN;
  Clock::time_point lastThermal;

  // Fault injection.
  bool silent = false;
  int badCrc = 0, lowerCrc = 0;
  std::vector<Refusal> refusals;
  std::vector<std::string> ignores;
  std::vector<Replacement> replacements;

  // Wire record.
  std::vector<std::string> received, receivedRaw;

  // Frame assembly (receive thread only).
  std::string frame;
};

uint8_t simAmpCrc8(const char *data, size_t len) {
  uint8_t crc = 0;
  for (size_t i = 0; i < len; i++) {
    uint8_t b = uint8_t(data[i]);
    for (int bit = 0; bit < 8; bit++) {
      bool mix = (crc ^ b) & 1;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      b >>= 1;
    }
  }
  return crc;
}

namespace {

uint8_t crcOf(std::string_view s) { return simAmpCrc8(s.data(), s.size()); }

void powerOn(SimAmp *a) {
  SimAmpState &s = a->s;
  s.bypass = false;
  s.attenuator = 0;
  s.antenna = 1;
  s.protection = false;
  s.tripped = false;
  s.anOutput = 0;
  for (int &t : s.thresholds) t = 4095;
  s.fanPercent = 0;
  s.tuneWord = 0;
  s.freqSet = 0;
  s.filterCode = 0;
  for (int &p : s.psPar) p = 0;
  for (int &p : s.gmPar) p = 0;
  s.generic = "0000000000";
  s.sensorMode = 0;
  s.sensorPeriod = 0;
  s.inUpdate = false;
  s.tuneOn = false;
  a->tripFault = 0;
  a->restartBit = true;
}

// Waits at most about a second for room on the line (sim/pty.h).
void writeAll(SimAmp *a, const std::string &data) { simPtyWrite(&a->pty, data.data(), data.size(), false); }

// Frames `text` and writes it, applying the reply checksum faults.
void sendReply(SimAmp *a, const std::string &text) {
  uint8_t crc = crcOf(text);
  char hex[3];
  if (a->badCrc > 0) {
    a->badCrc--;
    snprintf(hex, sizeof hex, "%02X", unsigned(uint8_t(crc ^ 0x5A)));
  } else if (a->lowerCrc > 0) {
    a->lowerCrc--;
    snprintf(hex, sizeof hex, "%02x", unsigned(crc));
  } else {
    snprintf(hex, sizeof hex, "%02X", unsigned(crc));
  }
  writeAll(a, std::string(hex) + text);
}

// ---- 3. Physics -------------------------------------------------------------

// The impedance the transmitter sees at the amplifier's output: the load of
// the selected antenna port. The tuner network goes here when it is modelled.
std::complex<double> loadSeenByTransmitter(const SimAmp *a) {
  int ant = a->s.antenna;
  int port = (ant >= 1 && ant <= 3) ? ant - 1 : 0;
  double f = a->driveHz;
  std::complex<double> z = a->fixedLoad[port] ? a->load[port] : simNetDefaultLoad(port, f);
  return simNetInputImpedanceWord(a->s.tuneWord, f, z);
}

double gamma2(std::complex<double> z) {
  std::complex<double> den = z + 50.0;
  if (std::abs(den) < 1e-9) return 1.0;
  double g = std::norm((z - 50.0) / den);
  return std::isfinite(g) ? std::min(g, 1.0) : 1.0;
}

Physics physics(const SimAmp *a, bool tripped) {
  Physics p;
  double pin = std::max(a->driveW, 0.0);
  if (a->s.attenuator & 2) pin *= std::pow(10.0, -0.3);
  if (a->s.attenuator & 1) pin *= std::pow(10.0, -0.2);
  p.in = pin;
  p.amps = kIdleA;
  if (a->s.bypass || tripped) {
    p.fwd = pin;
  } else {
    double psat = a->opt.model == '1' ? 130.0 : 70.0;
    p.fwd = psat * std::tanh(kGain * pin / psat);
    double dcW = p.fwd / kEfficiency;
    p.amps += dcW / kSupplyV;
  }
  p.refl = p.fwd * gamma2(loadSeenByTransmitter(a));
  if (!a->s.bypass && !tripped) p.diss = p.fwd / kEfficiency - p.fwd + p.refl;
  return p;
}

double sinkRth(int fan) {
  double f = std::clamp(fan, 0, 100) / 100.0;
  return 1.2 - (1.2 - 0.35) * f;
}

// Advances the thermal model to now with the dissipation of the state as it
// stands, then checks the protection. Called (under the lock) before and
// after anything changes and whenever the state is read.
void settle(SimAmp *a) {
  Clock::time_point now = Clock::now();
  double dt = std::chrono::duration<double>(now - a->lastThermal).count() * a->opt.thermalSpeed;
  a->lastThermal = now;
  if (dt > 0) {
    Physics p = physics(a, a->s.tripped);
    double sinkTarget = a->ambient + p.diss * sinkRth(a->s.fanPercent);
    a->tSink += (sinkTarget - a->tSink) * (1.0 - std::exp(-dt / kTauSink));
    double boardTarget = a->ambient + kBoardShare * (a->tSink - a->ambient);
    a->tBoard += (boardTarget - a->tBoard) * (1.0 - std::exp(-dt / kTauBoard));
  }
  if (a->s.protection && !a->s.tripped) {
    Physics p = physics(a, false);
    uint8_t bits = 0;
    if (rawPower(p.in, kInCal) > a->s.thresholds[0]) bits |= 0x20;
    if (rawPower(p.fwd, kFwdCal) > a->s.thresholds[1]) bits |= 0x04;
    if (rawPower(p.refl, kReflCal) > a->s.thresholds[2]) bits |= 0x02;
    if (rawCurrent(p.amps) > a->s.thresholds[3]) bits |= 0x01;
    if (bits) {
      a->s.tripped = true;
      a->tripFault |= bits;
    }
  }
}

double reportedTemp1(const SimAmp *a) { return std::isnan(a->forced1) ? a->tBoard : a->forced1; }
double reportedTemp2(const SimAmp *a) { return std::isnan(a->forced2) ? a->tSink : a->forced2; }

uint8_t faultByte(const SimAmp *a) {
  return uint8_t((a->injFault & 0x7F) | a->tripFault | (a->restartBit ? 0x80 : 0));
}

std::string statusReply(SimAmp *a) {
  Physics p = physics(a, a->s.tripped);
  uint8_t fault = faultByte(a);
  int st0 = ((a->s.attenuator & 3) << 2) | (a->s.anOutput ? 1 : 0);
  int st1 = (a->s.bypass ? 8 : 0) | ((a->s.tripped || (fault & 0x7F)) ? 4 : 0) | (a->s.tripped ? 2 : 0) |
            (a->driveW > 0 ? 1 : 0);
  char buf[64];
  snprintf(buf, sizeof buf, "ST%X%X%04d%04d%04d%04d%04d%04d%X%X00%04d;", unsigned(st0), unsigned(st1),
           rawPower(p.in, kInCal), rawPower(p.fwd, kFwdCal), rawPower(p.refl, kReflCal), rawCurrent(p.amps),
           rawTemp(reportedTemp1(a)), rawTemp(reportedTemp2(a)), unsigned(fault & 0x0F), unsigned(fault >> 4),
           rawPower(p.fwd, kFwdCal));
  return buf;
}

std::string hexBlock(const std::string &textBytes) {
  std::string out;
  char h[3];
  for (size_t i = 0; i < 32; i++) {
    snprintf(h, sizeof h, "%02X", unsigned(uint8_t(i < textBytes.size() ? textBytes[i] : 0)));
    out += h;
  }
  return out;
}

// ---- 4. Command handling and replies -------------------------------------

// Executes one command (text with its ';', at least 3 characters) and
// returns the reply text; empty for no reply.
std::string execute(SimAmp *a, const std::string &t) {
  SimAmpState &s = a->s;
  std::string code = t.substr(0, 2);
  std::string_view b(t.data() + 2, t.size() - 3);  // parameters between code and ';'
  const std::string bad = code + "&;";
  char buf[64];

  if (code == "VS") {
    if (b != "M") return bad;
    return std::string("VSM") + kFirmware + ";";
  }
  if (code == "ST") return b.empty() ? statusReply(a) : bad;
  if (code == "FM") {
    if (!b.empty()) return bad;
    snprintf(buf, sizeof buf, "FM0%011u;", unsigned(a->driveW > 0 ? a->driveHz : 0));
    return buf;
  }
  if (code == "TU") {
    if (b.empty()) return s.tuneOn ? "TU1;" : "TU0;";
    if (b != "0" && b != "1") return bad;
    s.tuneOn = b == "1";
    return t;
  }
  if (code == "SA") {
    if (b.size() != 1 || !allDigits(b)) return bad;
    s.antenna = b[0] - '0';
    return t;
  }
  if (code == "FA") {
    if (b.size() != 11 || !allDigits(b) || toNum(b) > 0xFFFFFFFFull) return bad;
    s.freqSet = uint32_t(toNum(b));
    return t;
  }
  if (code == "MT") {
    if (b.empty()) {
      snprintf(buf, sizeof buf, "MT1%08X;", unsigned(s.tuneWord));
      return buf;
    }
    if (b.size() != 9 || b[0] != '1' || !allHex(b.substr(1))) return bad;
    s.tuneWord = uint32_t(strtoul(std::string(b.substr(1)).c_str(), nullptr, 16));
    return t;
  }
  if (code == "FS") {
    if (b.size() != 5 || !allDigits(b)) return bad;
    s.sensorMode = b[0] - '0';
    s.sensorPeriod = int(toNum(b.substr(1)));
    return t;
  }
  if (code == "CP") {
    if (b != "FFFF") return bad;
    s.tripped = false;
    a->tripFault = 0;
    a->restartBit = false;
    return t;
  }
  if (code == "AT") {
    if (b.size() != 2 || (b[0] != '0' && b[0] != '1') || (b[1] != '0' && b[1] != '1')) return bad;
    s.attenuator = (b[0] == '1' ? 2 : 0) | (b[1] == '1' ? 1 : 0);
    return t;
  }
  if (code == "MP" || code == "AB") {
    if (b != "0" && b != "1") return bad;
    (code == "MP" ? s.protection : s.bypass) = b == "1";
    return t;
  }
  if (code == "AN") {
    if (b.size() != 1 || !allDigits(b)) return bad;
    s.anOutput = b[0] - '0';
    return t;
  }
  if (code == "TS" || code == "PS") {
    if (b.size() != 16 || !allDigits(b)) return bad;
    int *dst = code == "TS" ? s.thresholds : s.psPar;
    for (int i = 0; i < 4; i++) dst[i] = int(toNum(b.substr(size_t(i) * 4, 4)));
    return t;
  }
  if (code == "FN") {
    if (b.size() != 4 || b[0] != '1' || !allDigits(b) || toNum(b.substr(1)) > 100) return bad;
    s.fanPercent = int(toNum(b.substr(1)));
    return t;
  }
  if (code == "SF") {
    if (b.empty()) {
      snprintf(buf, sizeof buf, "SF30000%02x;", unsigned(s.filterCode & 0xFF));
      return buf;
    }
    if (b.size() != 7 || b.substr(0, 5) != "30000" || !allHex(b.substr(5))) return bad;
    s.filterCode = hexVal(b[5]) * 16 + hexVal(b[6]);
    return t;
  }
  if (code == "GM") {
    if (b.size() != 8 || !allDigits(b)) return bad;
    s.gmPar[0] = int(toNum(b.substr(0, 4)));
    s.gmPar[1] = int(toNum(b.substr(4, 4)));
    return t;
  }
  if (code == "GS") {
    if (b.empty()) return "GS" + s.generic + ";";
    if (b.size() != 10) return bad;
    s.generic = std::string(b);
    return t;
  }
  if (code == "ER") {
    if (b == "0000") return "ER0000" + hexBlock(a->opt.serial) + ";";
    if (b == "0001") return "ER0001" + hexBlock(a->opt.serial2) + ";";
    if (b == "0002") {
      snprintf(buf, sizeof buf, "ER0002%02X%02X;", unsigned(uint8_t(a->opt.region)), unsigned(uint8_t(a->opt.model)));
      return buf;
    }
    return bad;
  }
  if (code == "MR") {
    if (b == "1") {
      s.inUpdate = true;  // boot loader: silent from now on
      return "";
    }
    if (b == "0") return "MR0;";
    return bad;
  }
  return code + "?;";
}

bool matchesAny(const std::vector<std::string> &prefixes, const std::string &t) {
  return std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string &p) { return startsWith(t, p); });
}

// One complete command (checksum checked) from the line. Under the lock.
void handleCommand(SimAmp *a, const std::string &text, bool crcOk) {
  if (a->s.inUpdate || a->silent) return;
  std::string code = text.substr(0, 2);
  if (!crcOk) {
    sendReply(a, code + "!;");
    return;
  }
  if (matchesAny(a->ignores, text)) return;
  for (size_t i = 0; i < a->refusals.size(); i++) {
    Refusal &r = a->refusals[i];
    if (!startsWith(text, r.prefix)) continue;
    char ch = r.ch;
    if (r.left > 0 && --r.left == 0) a->refusals.erase(a->refusals.begin() + long(i));
    sendReply(a, code + ch + ";");
    return;
  }
  settle(a);
  std::string reply = execute(a, text);
  settle(a);
  for (size_t i = 0; i < a->replacements.size(); i++) {
    if (!startsWith(text, a->replacements[i].prefix)) continue;
    reply = a->replacements[i].text;
    a->replacements.erase(a->replacements.begin() + long(i));
    break;
  }
  if (!reply.empty()) sendReply(a, reply);
}

// ---- 5. Receive thread and frame assembly --------------------------------

bool crcMatches(const std::string &raw, size_t at) {
  int hi = hexVal(raw[at]), lo = hexVal(raw[at + 1]);
  if (hi < 0 || lo < 0) return false;
  return crcOf(std::string_view(raw).substr(at + 2)) == uint8_t(hi * 16 + lo);
}

bool looksLikeCommand(const std::string &raw, size_t at) {
  // checksum (2) + two capital letters + ';' at least
  return raw.size() >= at + 5 && raw[at + 2] >= 'A' && raw[at + 2] <= 'Z' && raw[at + 3] >= 'A' && raw[at + 3] <= 'Z';
}

// A frame ended by ';'. When its checksum fails, a valid frame may still
// end it (garbage, or a command cut short and glued to the next one): the
// longest such tail is taken. O(n^2) over at most 600 characters.
void frameDone(SimAmp *a, const std::string &raw) {
  size_t at = 0;
  bool ok = crcMatches(raw, 0);
  if (!ok) {
    for (size_t i = 1; i + 5 <= raw.size(); i++) {
      if (looksLikeCommand(raw, i) && crcMatches(raw, i)) {
        at = i;
        ok = true;
        break;
      }
    }
  }
  std::string text = raw.substr(at + 2);
  {
    std::lock_guard<std::mutex> lk(a->m);
    a->received.push_back(text);
    a->receivedRaw.push_back(raw);
    if (text.size() >= 3) handleCommand(a, text, ok);
  }
  a->cv.notify_all();
}

// Cost: O(1) per byte except at ';'.
void feedByte(SimAmp *a, char c) {
  std::string &f = a->frame;
  if (f.size() < 2) {
    if (hexVal(c) >= 0)
      f += c;
    else
      f.clear();  // not a checksum character: resynchronise
    return;
  }
  if (uint8_t(c) < 0x20 || uint8_t(c) > 0x7E) {  // line noise
    f.clear();
    return;
  }
  f += c;
  if (c == ';') {
    std::string raw;
    raw.swap(f);
    frameDone(a, raw);
  } else if (f.size() > kMaxFrame) {
    f.clear();
  }
}

void workerLoop(SimAmp *a) {
  char buf[256];
  while (!a->stop.load()) {
    pollfd p{a->pty.master, POLLIN, 0};
    int r = poll(&p, 1, 20);
    if (r <= 0) continue;
    if (p.revents & POLLIN) {
      ssize_t n = read(a->pty.master, buf, sizeof buf);
      for (ssize_t i = 0; i < n; i++) feedByte(a, buf[i]);
      if (n > 0) continue;
    }
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

// ---- 6. Public functions ----------------------------------------------------

SimAmp *simAmpStart(const SimAmpOptions &opt) {
  SimAmp *a = new SimAmp;
  a->opt = opt;
  if (a->opt.model != '1') a->opt.model = '0';
  if (a->opt.region != '1') a->opt.region = '0';
  if (!(a->opt.thermalSpeed >= 0)) a->opt.thermalSpeed = 1.0;
  if (a->opt.serial.empty()) a->opt.serial = a->opt.model == '1' ? "KZ120-000123" : "KZ60-000123";
  if (a->opt.serial2.empty()) a->opt.serial2 = "PA-REV-C 2023-04-18";
  powerOn(a);
  for (bool &fixed : a->fixedLoad) fixed = !a->opt.antennaModels;
  a->lastThermal = Clock::now();

  if (!simPtyOpen(&a->pty)) {
    delete a;
    return nullptr;
  }
  a->worker = std::thread(workerLoop, a);
  pthread_setname_np(a->worker.native_handle(), "sim-amp");
  return a;
}

void simAmpStop(SimAmp *a) {
  if (!a) return;
  a->stop.store(true);
  if (a->worker.joinable()) a->worker.join();
  simPtyClose(&a->pty);
  delete a;
}

const char *simAmpSlavePath(SimAmp *a) { return a->pty.slavePath.c_str(); }

std::vector<std::string> simAmpReceived(SimAmp *a) {
  std::lock_guard<std::mutex> lk(a->m);
  return a->received;
}

void simAmpClearReceived(SimAmp *a) {
  std::lock_guard<std::mutex> lk(a->m);
  a->received.clear();
  a->receivedRaw.clear();
}

std::vector<std::string> simAmpReceivedRaw(SimAmp *a) {
  std::lock_guard<std::mutex> lk(a->m);
  return a->receivedRaw;
}

size_t simAmpWaitReceived(SimAmp *a, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lk(a->m);
  a->cv.wait_for(lk, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&] { return a->received.size() >= count; });
  return a->received.size();
}

void simAmpSetDrive(SimAmp *a, double watts, uint32_t freqHz) {
  std::lock_guard<std::mutex> lk(a->m);
  settle(a);
  a->driveW = std::isfinite(watts) ? std::max(watts, 0.0) : 0.0;
  a->driveHz = freqHz;
  settle(a);
}

void simAmpSetLoad(SimAmp *a, int port, std::complex<double> z) {
  if (port < 0 || port > 2) return;
  std::lock_guard<std::mutex> lk(a->m);
  settle(a);
  a->load[port] = z;
  a->fixedLoad[port] = true;
  settle(a);
}

void simAmpSetDefaultLoad(SimAmp *a, int port) {
  if (port < 0 || port > 2) return;
  std::lock_guard<std::mutex> lk(a->m);
  settle(a);
  a->fixedLoad[port] = false;
  settle(a);
}

std::complex<double> simAmpLoadSeen(SimAmp *a) {
  std::lock_guard<std::mutex> lk(a->m);
  return loadSeenByTransmitter(a);
}

void simAmpSetAmbient(SimAmp *a, double celsius) {
  std::lock_guard<std::mutex> lk(a->m);
  settle(a);
  a->ambient = celsius;
}

void simAmpForceTemps(SimAmp *a, double t1, double t2) {
  std::lock_guard<std::mutex> lk(a->m);
  a->forced1 = t1;
  a->forced2 = t2;
}

void simAmpSetSilent(SimAmp *a, bool silent) {
  std::lock_guard<std::mutex> lk(a->m);
  a->silent = silent;
}

void simAmpBadChecksum(SimAmp *a, int n) {
  std::lock_guard<std::mutex> lk(a->m);
  a->badCrc = std::max(n, 0);
}

void simAmpLowerCaseChecksum(SimAmp *a, int n) {
  std::lock_guard<std::mutex> lk(a->m);
  a->lowerCrc = std::max(n, 0);
}

void simAmpRefuse(SimAmp *a, const std::string &prefix, char refusal, int n) {
  std::lock_guard<std::mutex> lk(a->m);
  auto &v = a->refusals;
  v.erase(std::remove_if(v.begin(), v.end(), [&](const Refusal &r) { return r.prefix == prefix; }), v.end());
  if (n != 0) v.push_back(Refusal{prefix, refusal, n < 0 ? -1 : n});
}

void simAmpIgnore(SimAmp *a, const std::string &prefix) {
  std::lock_guard<std::mutex> lk(a->m);
  if (prefix.empty())
    a->ignores.clear();
  else
    a->ignores.push_back(prefix);
}

void simAmpSetFaultBits(SimAmp *a, uint8_t bits) {
  std::lock_guard<std::mutex> lk(a->m);
  a->injFault = bits & 0x7F;
}

void simAmpMicroRestart(SimAmp *a) {
  std::lock_guard<std::mutex> lk(a->m);
  settle(a);
  powerOn(a);
}

void simAmpTripProtection(SimAmp *a) {
  std::lock_guard<std::mutex> lk(a->m);
  settle(a);
  a->s.tripped = true;
  a->tripFault |= 0x02;
}

void simAmpSendRaw(SimAmp *a, const std::string &bytes) {
  std::lock_guard<std::mutex> lk(a->m);
  writeAll(a, bytes);
}

void simAmpReplyOnce(SimAmp *a, const std::string &prefix, const std::string &text) {
  std::lock_guard<std::mutex> lk(a->m);
  a->replacements.push_back(Replacement{prefix, text});
}

SimAmpState simAmpState(SimAmp *a) {
  std::lock_guard<std::mutex> lk(a->m);
  settle(a);
  SimAmpState s = a->s;
  Physics p = physics(a, s.tripped);
  s.faultBits = faultByte(a);
  s.temp1 = reportedTemp1(a);
  s.temp2 = reportedTemp2(a);
  s.fwdW = p.fwd;
  s.reflW = p.refl;
  s.inW = p.in;
  s.currentA = p.amps;
  s.freqCounter = a->driveW > 0 ? a->driveHz : 0;
  return s;
}
