// Simulated tuner network and antennas: the relay word as the tuner board
// decodes it, the impedance through the L network in both configurations,
// the antenna models, and the network inside the simulated amplifier seen
// over its serial line.
#include "platform/serial.h"
#include "sim/amp_sim.h"
#include "sim/tuner_net.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <poll.h>
#include <random>
#include <unistd.h>

namespace {

constexpr double kPi = 3.14159265358979323846;

double swrOf(int cap, int ind, int mode, double f, SimNetZ z) {
  return simNetSwr(std::abs(simNetGamma(simNetInputImpedance(cap, ind, mode, f, z))));
}

int capCode(double farads) { return int(std::lround((farads - simNetCapacitance(0)) / 10e-12)); }
int indCode(double henries) { return int(std::lround(henries / 0.05e-6)); }

// Lossless L match of a resistive load r to 50 ohm: the shunt arm goes on
// the side of the larger resistance, Q = sqrt(high / low - 1).
struct LMatch {
  int cap, ind, mode;
};
LMatch textbookMatch(double r, double f) {
  double w = 2 * kPi * f, hi = std::max(r, 50.0), lo = std::min(r, 50.0);
  double q = std::sqrt(hi / lo - 1);
  double xs = q * lo, xp = hi / q;
  return {capCode(1 / (w * xp)), indCode(xs / w), r < 50 ? SIMNET_CL : SIMNET_LC};
}

}  // namespace

TEST(SimNetWord, DecodesBothBanksAndTheModeFromTheRelayBits) {
  const int capBits[9] = {15, 2, 4, 6, 14, 12, 10, 8, 20};
  const int indBits[9] = {1, 3, 5, 7, 13, 11, 9, 19, 21};
  uint32_t allC = 0, allL = 0;
  for (int i = 0; i < 9; i++) {
    allC |= 1u << capBits[i];
    allL |= 1u << indBits[i];
    int cap, ind, mode;
    simNetDecodeWord(1u << capBits[i], &cap, &ind, &mode);
    EXPECT_EQ(cap, 1 << i) << "C" << i;
    EXPECT_EQ(ind, 0);
    simNetDecodeWord(1u << indBits[i], &cap, &ind, &mode);
    EXPECT_EQ(ind, 1 << i) << "L" << i;
    EXPECT_EQ(cap, 0);
  }
  int cap, ind, mode;
  simNetDecodeWord(allC | (1u << 23), &cap, &ind, &mode);
  EXPECT_EQ(cap, 511);
  EXPECT_EQ(ind, 0);
  EXPECT_EQ(mode, SIMNET_CL);
  simNetDecodeWord(allL | (1u << 18), &cap, &ind, &mode);
  EXPECT_EQ(cap, 0);
  EXPECT_EQ(ind, 511);
  EXPECT_EQ(mode, SIMNET_LC);
  EXPECT_EQ(simNetEncodeWord(511, 0, SIMNET_CL), allC | (1u << 23));
  EXPECT_EQ(simNetEncodeWord(0, 511, SIMNET_BYPASS), allL | (1u << 16));

  // Exactly one mode bit puts the network in line; none or several bypass.
  // Bits outside the table (0, 17, 22, 24-31) switch nothing.
  const uint32_t spare = 0xFF000000u | 1u | (1u << 17) | (1u << 22);
  struct Case {
    uint32_t bits;
    int mode;
  } cases[] = {{1u << 23, SIMNET_CL},           {1u << 18, SIMNET_LC},
               {1u << 16, SIMNET_BYPASS},       {0, SIMNET_BYPASS},
               {(1u << 23) | (1u << 18), SIMNET_BYPASS}, {(1u << 23) | (1u << 16), SIMNET_BYPASS},
               {(1u << 23) | (1u << 18) | (1u << 16), SIMNET_BYPASS}};
  for (const Case &c : cases) {
    simNetDecodeWord(c.bits | spare, &cap, &ind, &mode);
    EXPECT_EQ(mode, c.mode) << std::hex << c.bits;
    EXPECT_EQ(cap + ind, 0);
  }
  for (int code = 0; code < 512; code += 37) {
    simNetDecodeWord(simNetEncodeWord(code, 511 - code, SIMNET_LC), &cap, &ind, &mode);
    EXPECT_EQ(cap, code);
    EXPECT_EQ(ind, 511 - code);
  }
}

TEST(SimNetImpedance, BypassAndDirectCurrentLeaveTheLoadAsIs) {
  const SimNetZ loads[] = {{50, 0}, {12.5, -300}, {1500, 900}, {0, 0}};
  const uint32_t words[] = {0, simNetEncodeWord(300, 200, SIMNET_BYPASS),
                            simNetEncodeWord(300, 200, SIMNET_CL) | (1u << 18)};
  for (SimNetZ z : loads) {
    for (uint32_t w : words) EXPECT_EQ(simNetInputImpedanceWord(w, 7.1e6, z), z) << std::hex << w;
    EXPECT_EQ(simNetInputImpedance(300, 200, SIMNET_CL, 0, z), z);
  }
  // In line with every element off, only the 15 pF stray is left: a small
  // shunt reactance across 50 ohm.
  SimNetZ z = simNetInputImpedance(0, 0, SIMNET_CL, 14e6, 50);
  EXPECT_NEAR(std::abs(simNetGamma(z)), 0.033, 0.002);
  EXPECT_NEAR(simNetCapacitance(511), 5125e-12, 1e-15);
  EXPECT_NEAR(simNetInductance(511), 25.55e-6, 1e-12);
  // A lossless parallel resonance of the load with the capacitor is an
  // open circuit: everything reflected.
  double f = 7e6, xc = 1 / (2 * kPi * f * simNetCapacitance(100));
  EXPECT_EQ(simNetSwr(std::abs(simNetGamma(simNetInputImpedance(100, 0, SIMNET_LC, f, SimNetZ(0, xc))))), 100);
}

TEST(SimNetImpedance, TextbookLMatchSitsOnTheNearestCodes) {
  // Low load at 7 MHz: capacitor on the transmitter side; high load at
  // 14 MHz: on the antenna side. The other configuration with the same
  // codes stays far off.
  struct Case {
    double r, f;
  } cases[] = {{12.5, 7e6}, {200, 14e6}, {25, 3.6e6}};
  for (const Case &c : cases) {
    LMatch m = textbookMatch(c.r, c.f);
    ASSERT_GT(m.cap, 0);
    ASSERT_GT(m.ind, 0);
    EXPECT_LT(swrOf(m.cap, m.ind, m.mode, c.f, c.r), 1.3) << c.r;
    int other = m.mode == SIMNET_CL ? SIMNET_LC : SIMNET_CL;
    EXPECT_GT(swrOf(m.cap, m.ind, other, c.f, c.r), 2.0) << c.r;
  }
  // The inductor's loss: into a short, "LC" leaves the inductor alone,
  // R = wL / 100; at code 0 a plain wire.
  SimNetZ zl = simNetInputImpedance(77, 10, SIMNET_LC, 7e6, 0);
  EXPECT_NEAR(zl.imag(), 2 * kPi * 7e6 * 0.5e-6, 1e-9);
  EXPECT_NEAR(zl.real(), zl.imag() / 100, 1e-9);
  EXPECT_EQ(simNetInputImpedance(77, 0, SIMNET_LC, 7e6, 0), SimNetZ(0, 0));
}

TEST(SimNetImpedance, CapacitorSideDecidesWhichLoadsCanMatch) {
  // A shunt arm only lowers the resistance it sits across, so the capacitor
  // must be on the high-resistance side.
  SimNetBest lowCL = simNetExhaustive(7.05e6, 12.5, 1), lowLC = simNetExhaustive(7.05e6, 12.5, 2);
  SimNetBest highCL = simNetExhaustive(14.1e6, 200, 1), highLC = simNetExhaustive(14.1e6, 200, 2);
  EXPECT_LT(simNetSwr(lowCL.absGamma), 1.1);
  EXPECT_GT(simNetSwr(lowLC.absGamma), 3.5);
  EXPECT_LT(simNetSwr(highLC.absGamma), 1.1);
  EXPECT_GT(simNetSwr(highCL.absGamma), 3.5);
  EXPECT_EQ(lowCL.mode, SIMNET_CL);
  EXPECT_EQ(highLC.mode, SIMNET_LC);

  // The fast search agrees with the plain formula and no sampled setting
  // beats it.
  std::mt19937 rng(7);
  SimNetZ load(30, 400);
  double f = 21.2e6;
  SimNetBest b = simNetExhaustive(f, load);
  EXPECT_NEAR(std::abs(simNetGamma(simNetInputImpedance(b.cap, b.ind, b.mode, f, load))), b.absGamma, 1e-9);
  for (int i = 0; i < 20000; i++) {
    int cap = int(rng() % 512), ind = int(rng() % 512), mode = 1 + int(rng() % 2);
    ASSERT_GE(std::abs(simNetGamma(simNetInputImpedance(cap, ind, mode, f, load))), b.absGamma - 1e-12);
  }
}

TEST(SimNetAntennas, DefaultPortsFollowTheirModels) {
  for (double f = 1.8e6; f <= 54e6; f += 0.05e6) EXPECT_EQ(simNetDefaultLoad(0, f), SimNetZ(50, 0));
  // Dipole: resonant near 7 MHz, capacitive below, inductive above.
  SimNetZ at7 = simNetDefaultLoad(1, 7.0e6);
  EXPECT_NEAR(at7.real(), 73, 5);
  EXPECT_NEAR(at7.imag(), 0, 20);
  EXPECT_LT(simNetDefaultLoad(1, 3.6e6).imag(), -300);
  EXPECT_GT(simNetDefaultLoad(1, 14.2e6).imag(), 300);
  // Random wire: low at the quarter wave, high at the half wave.
  EXPECT_LT(simNetDefaultLoad(2, 3.56e6).real(), 60);
  EXPECT_GT(simNetDefaultLoad(2, 7.1e6).real(), 1500);
  SimNetZ prev1 = simNetDefaultLoad(1, 3.5e6), prev2 = simNetDefaultLoad(2, 1.8e6);
  for (double f = 1.8e6; f <= 54e6; f += 0.01e6) {
    SimNetZ w = simNetDefaultLoad(2, f);
    ASSERT_GE(w.real(), 5) << f;
    ASSERT_LE(w.real(), 3000) << f;
    ASSERT_LT(std::abs(w - prev2), 100) << f;  // smooth at 10 kHz steps
    prev2 = w;
    if (f < 3.5e6 || f > 30e6) continue;
    SimNetZ d = simNetDefaultLoad(1, f);
    ASSERT_GE(d.real(), 2) << f;
    ASSERT_LE(d.real(), 600) << f;
    ASSERT_LE(std::abs(d.imag()), 1000) << f;
    ASSERT_LT(std::abs(d - prev1), 30) << f;
    prev1 = d;
  }
}

namespace {

// The program's end of the line, in a few lines: framed command out, the
// reply's text back.
struct NetLine {
  SimAmp *amp;
  int fd = -1;
  explicit NetLine(const SimAmpOptions &o) : amp(simAmpStart(o)) {
    if (amp) fd = kzSerialOpen(simAmpSlavePath(amp));
    if (fd >= 0) kzSerialConfigure(fd, B115200, 1, 5);
  }
  ~NetLine() {
    kzSerialClose(fd);
    simAmpStop(amp);
  }
  std::string ask(const std::string &text) const {
    char h[3];
    snprintf(h, sizeof h, "%02x", unsigned(simAmpCrc8(text.data(), text.size())));
    std::string frame = h + text, reply;
    if (write(fd, frame.data(), frame.size()) != ssize_t(frame.size())) return "";
    char c;
    while (reply.empty() || reply.back() != ';') {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 500) <= 0 || read(fd, &c, 1) != 1) return "";
      reply += c;
    }
    return reply.size() > 2 ? reply.substr(2) : "";
  }
  std::string tune(uint32_t word) const {
    char cmd[16];
    snprintf(cmd, sizeof cmd, "MT1%08X;", unsigned(word));
    EXPECT_EQ(ask(cmd), cmd);
    return cmd;
  }
  // Reflected over forward power from a status reply (detector calibration).
  double reflShare() const {
    std::string r = ask("ST;");
    EXPECT_EQ(r.size(), 37u) << r;
    if (r.size() != 37) return -1;
    double fwd = 5.156579e-6 * std::pow(std::stoi(r.substr(8, 4)), 2);
    double refl = 3.3262754e-6 * std::pow(std::stoi(r.substr(12, 4)), 2);
    return fwd > 0 ? refl / fwd : -1;
  }
};

}  // namespace

TEST(SimNetAmp, NetworkWordOverTheLineMatchesTheLoad) {
  SimAmpOptions o;
  o.antennaModels = true;
  NetLine l(o);
  ASSERT_GE(l.fd, 0);
  const double f = 7.05e6;
  simAmpSetLoad(l.amp, 0, 12.5);
  simAmpSetDrive(l.amp, 1.0, uint32_t(f));
  EXPECT_NEAR(l.reflShare(), 0.36, 0.01);  // power-on word 0: bypass

  LMatch m = textbookMatch(12.5, f);
  l.tune(simNetEncodeWord(m.cap, m.ind, SIMNET_CL));
  double matched = l.reflShare();
  EXPECT_GE(matched, 0);
  EXPECT_LT(matched, 0.02);
  l.tune(simNetEncodeWord(m.cap, m.ind, SIMNET_LC));
  EXPECT_GT(l.reflShare(), 0.3);
  l.tune(simNetEncodeWord(m.cap, m.ind, SIMNET_BYPASS));
  EXPECT_NEAR(l.reflShare(), 0.36, 0.01);

  // Antenna 2 is the dipole model until a fixed load replaces it, and
  // again after going back to the default.
  l.tune(0);
  EXPECT_EQ(l.ask("SA2;"), "SA2;");
  EXPECT_EQ(simAmpLoadSeen(l.amp), simNetDefaultLoad(1, f));
  simAmpSetLoad(l.amp, 1, {50, 0});
  EXPECT_LT(l.reflShare(), 0.001);
  simAmpSetDefaultLoad(l.amp, 1);
  EXPECT_EQ(simAmpLoadSeen(l.amp), simNetDefaultLoad(1, f));
  SimNetZ g = simNetGamma(simNetDefaultLoad(1, f));
  EXPECT_NEAR(l.reflShare(), std::norm(g), 0.01);

  // A restarted micro-controller comes back with its relays in bypass.
  l.tune(simNetEncodeWord(m.cap, m.ind, SIMNET_CL));
  simAmpMicroRestart(l.amp);
  simAmpSetLoad(l.amp, 0, 12.5);
  EXPECT_EQ(simAmpLoadSeen(l.amp), SimNetZ(12.5, 0));
}
