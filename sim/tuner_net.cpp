// Simulated tuner network and antennas (see tuner_net.h for the overview).
//
// Sections:
//   1. Model
//   2. Relay word
//   3. Network impedance
//   4. Antenna models
//   5. Exhaustive search
//   6. Networks of other element values (the benchmark's unknown tuners)
//
// ---- 1. Model ---------------------------------------------------------------
//
// Capacitor bank: nine capacitors of 10, 20, 40 ... 2560 pF switched to
// ground, C = code x 10 pF plus 15 pF of stray capacitance that is there
// whenever the network is in line (also at code 0).
// Inductor bank: nine series inductors of 0.05, 0.1 ... 12.8 uH, each
// shorted by its relay when off, L = code x 0.05 uH, quality factor 100:
// series loss R = wL / 100; code 0 is a plain wire (no inductance, no loss).
// With w = 2 pi f, ZL = R + jwL and the capacitor's admittance jwC:
//   "CL" (word bit 23): capacitor on the transmitter side of the inductor,
//        Zin = (1 / jwC) || (ZL + Zload)
//   "LC" (word bit 18): capacitor on the antenna side,
//        Zin = ZL + (Zload || 1 / jwC)
//   bypass (bit 16, or no mode bit, or more than one): the antenna is wired
//        straight to the transmitter, Zin = Zload.
// A parallel with a capacitor is Z / (1 + jwC Z), so a load of 0 ohm stays
// finite; only a lossless parallel resonance gives an infinite impedance,
// which reflects everything. gamma = (Zin - 50) / (Zin + 50); the amplifier
// sim reflects forward x |gamma|^2.
//
// Antenna ports (defaults; a fixed impedance set by a test overrides one):
//   0: 50 ohm dummy load at every frequency.
//   1: dipole cut for 7 MHz, fed in the centre, used from 80 to 10 m. With
//      u = f / 7 MHz: R = 2 + 71 u^2 / (1 + 0.08 (u^2 - 1)) ohm (73 ohm at
//      resonance, radiation resistance growing with frequency, about 20 ohm
//      on 80 m, 550 ohm at 30 MHz), X = 1000 tanh(0.65 (u - 1/u)) ohm (a
//      series resonance, capacitive below, inductive above, within
//      +-1000 ohm).
//   2: 20 m end-fed random wire over ground, as an open-ended lossy line of
//      600 ohm: Z = 5 + 600 coth(a + jb) ohm with b = 2 pi f 20 m / (0.95 c)
//      and radiation loss a = 0.055 (f / 3.56 MHz)^2. Low impedance (38 ohm)
//      at the quarter wave 3.56 MHz and rising odd multiples, high (about
//      2.8 kohm) at the half wave 7.1 MHz, tending to 600 ohm high up; R
//      stays within 5..3000 ohm over 1.8..54 MHz.
#include "sim/tuner_net.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kCapStep = 10e-12;   // F per code unit
constexpr double kCapStray = 15e-12;  // F
constexpr double kIndStep = 0.05e-6;  // H per code unit
constexpr double kIndQ = 100.0;
constexpr double kZ0 = 50.0;

// ---- 2. Relay word ---------------------------------------------------------

// Word bit of code bit 0..8.
constexpr int kCapBit[9] = {15, 2, 4, 6, 14, 12, 10, 8, 20};
constexpr int kIndBit[9] = {1, 3, 5, 7, 13, 11, 9, 19, 21};
constexpr uint32_t kModeCL = 1u << 23;
constexpr uint32_t kModeLC = 1u << 18;
constexpr uint32_t kModeBypass = 1u << 16;

int gather(uint32_t word, const int (&bits)[9]) {
  int code = 0;
  for (int i = 0; i < 9; i++)
    if (word & (1u << bits[i])) code |= 1 << i;
  return code;
}

uint32_t scatter(int code, const int (&bits)[9]) {
  uint32_t word = 0;
  for (int i = 0; i < 9; i++)
    if (code & (1 << i)) word |= 1u << bits[i];
  return word;
}

// Capacitor in parallel with z: z / (1 + j B z), B = wC.
SimNetZ withShunt(SimNetZ z, double b) { return z / (1.0 + SimNetZ(0, b) * z); }

}  // namespace

void simNetDecodeWord(uint32_t word, int *cap, int *ind, int *mode) {
  if (cap) *cap = gather(word, kCapBit);
  if (ind) *ind = gather(word, kIndBit);
  if (mode) {
    uint32_t m = word & (kModeCL | kModeLC | kModeBypass);
    *mode = m == kModeCL ? SIMNET_CL : m == kModeLC ? SIMNET_LC : SIMNET_BYPASS;
  }
}

uint32_t simNetEncodeWord(int cap, int ind, int mode) {
  uint32_t m = mode == SIMNET_CL ? kModeCL : mode == SIMNET_LC ? kModeLC : kModeBypass;
  return scatter(cap & 511, kCapBit) | scatter(ind & 511, kIndBit) | m;
}

double simNetCapacitance(int cap) { return (cap & 511) * kCapStep + kCapStray; }
double simNetInductance(int ind) { return (ind & 511) * kIndStep; }

// ---- 3. Network impedance ----------------------------------------------------

SimNetZ simNetInputImpedance(int cap, int ind, int mode, double freqHz, SimNetZ load) {
  if (mode != SIMNET_CL && mode != SIMNET_LC) return load;
  if (!(freqHz > 0)) return load;
  double w = 2 * kPi * freqHz;
  double xl = w * simNetInductance(ind);
  SimNetZ zl(xl / kIndQ, xl);
  double b = w * simNetCapacitance(cap);
  if (mode == SIMNET_LC) return zl + withShunt(load, b);
  return withShunt(zl + load, b);
}

SimNetZ simNetInputImpedanceWord(uint32_t word, double freqHz, SimNetZ load) {
  int cap, ind, mode;
  simNetDecodeWord(word, &cap, &ind, &mode);
  return simNetInputImpedance(cap, ind, mode, freqHz, load);
}

SimNetZ simNetGamma(SimNetZ zin) {
  if (!std::isfinite(zin.real()) || !std::isfinite(zin.imag())) return 1.0;
  SimNetZ den = zin + kZ0;
  if (std::abs(den) < 1e-12) return 1.0;  // -50 ohm: nothing sensible
  return (zin - kZ0) / den;
}

double simNetAbsGamma(uint32_t word, double freqHz, SimNetZ load) {
  return std::abs(simNetGamma(simNetInputImpedanceWord(word, freqHz, load)));
}

double simNetSwr(double g) {
  if (!(g < 1.0)) return 100.0;  // also NaN
  if (g < 0) g = 0;
  return std::fmin((1 + g) / (1 - g), 100.0);
}

// ---- 4. Antenna models -------------------------------------------------------

namespace {

SimNetZ dipole(double f) {
  double u = f / 7.0e6;
  double r = 2 + 71 * u * u / (1 + 0.08 * (u * u - 1));
  double x = 1000 * std::tanh(0.65 * (u - 1 / u));
  return {r, x};
}

SimNetZ randomWire(double f) {
  constexpr double c = 299792458.0;
  double b = 2 * kPi * f * 20.0 / (0.95 * c);
  double a = 0.055 * (f / 3.56e6) * (f / 3.56e6);
  if (a > 20) return {5 + 600, 0};  // coth is 1 to double precision
  return 5.0 + 600.0 / std::tanh(SimNetZ(a, b));
}

}  // namespace

SimNetZ simNetDefaultLoad(int port, double freqHz) {
  // Both antennas are modelled only at radio frequencies; at and near DC
  // their formulas have no meaning, so a plain resistance stands in.
  if (!(freqHz >= 1000.0)) return port == 1 ? SimNetZ(2, 0) : port == 2 ? SimNetZ(5, 0) : SimNetZ(kZ0, 0);
  if (port == 1) return dipole(freqHz);
  if (port == 2) return randomWire(freqHz);
  return {kZ0, 0};
}

// ---- 5. Exhaustive search ------------------------------------------------------

// Normalised to 50 ohm: z = Zin / 50 gives |gamma|^2 = ((r-1)^2 + x^2) /
// ((r+1)^2 + x^2); y = 50 / Zin gives the same with g, -b. Per load: 512
// series impedances and 512 shunt susceptances once, then 262144 cheap
// evaluations per mode (no call, no complex division in the inner loop of
// "CL"). NaN from a degenerate load never compares less, so it is skipped.
namespace {

// The search over element values given per code: farads and henries of
// every code, the inductors' Q.
SimNetBest exhaustiveOver(const double (&capF)[SIMNET_CODES], const double (&indH)[SIMNET_CODES],
                          double q, double freqHz, SimNetZ load, int modeMask) {
  SimNetBest best;
  double bestG2 = INFINITY;
  if (!(freqHz > 0)) return best;
  double w = 2 * kPi * freqHz;
  SimNetZ zs[SIMNET_CODES];
  double bc[SIMNET_CODES];
  for (int i = 0; i < SIMNET_CODES; i++) {
    double xl = w * indH[i];
    zs[i] = SimNetZ(xl / q, xl) / kZ0;
    bc[i] = w * capF[i] * kZ0;  // normalised susceptance
  }
  SimNetZ zload = load / kZ0;
  auto consider = [&](double g2, int cap, int ind, int mode) {
    if (g2 < bestG2) {
      bestG2 = g2;
      best.cap = cap;
      best.ind = ind;
      best.mode = mode;
    }
  };
  if (modeMask & 1) {  // "CL": y = 1 / (zs + zload) + j bc
    for (int i = 0; i < SIMNET_CODES; i++) {
      SimNetZ y = 1.0 / (zs[i] + zload);
      double g = y.real(), b0 = y.imag();
      double am = (g - 1) * (g - 1), ap = (g + 1) * (g + 1);
      for (int c = 0; c < SIMNET_CODES; c++) {
        double b = b0 + bc[c];
        consider((am + b * b) / (ap + b * b), c, i, SIMNET_CL);
      }
    }
  }
  if (modeMask & 2) {  // "LC": z = zs + zload / (1 + j bc zload)
    for (int c = 0; c < SIMNET_CODES; c++) {
      SimNetZ zp = withShunt(zload, bc[c]);
      for (int i = 0; i < SIMNET_CODES; i++) {
        double r = zs[i].real() + zp.real(), x = zs[i].imag() + zp.imag();
        consider(((r - 1) * (r - 1) + x * x) / ((r + 1) * (r + 1) + x * x), c, i, SIMNET_LC);
      }
    }
  }
  if (std::isfinite(bestG2)) best.absGamma = std::sqrt(bestG2);
  return best;
}

}  // namespace

SimNetBest simNetExhaustive(double freqHz, SimNetZ load, int modeMask) {
  static double capF[SIMNET_CODES], indH[SIMNET_CODES];
  static const bool filled = [] {
    for (int i = 0; i < SIMNET_CODES; i++) capF[i] = simNetCapacitance(i), indH[i] = simNetInductance(i);
    return true;
  }();
  (void)filled;
  return exhaustiveOver(capF, indH, kIndQ, freqHz, load, modeMask);
}

SimNetBest simNetExhaustive(const SimNetParams &p, double freqHz, SimNetZ load, int modeMask) {
  double capF[SIMNET_CODES], indH[SIMNET_CODES];
  for (int i = 0; i < SIMNET_CODES; i++) capF[i] = simNetCapacitance(p, i), indH[i] = simNetInductance(p, i);
  return exhaustiveOver(capF, indH, p.q, freqHz, load, modeMask);
}

// ---- 6. Networks of other element values ---------------------------------------

SimNetParams simNetNominal() {
  SimNetParams p;
  for (int i = 0; i < 9; i++) {
    p.capF[i] = kCapStep * (1 << i);
    p.indH[i] = kIndStep * (1 << i);
  }
  p.strayF = kCapStray;
  p.q = kIndQ;
  return p;
}

// Cost: nine bits per call.
double simNetCapacitance(const SimNetParams &p, int cap) {
  double c = p.strayF;
  for (int i = 0; i < 9; i++)
    if (cap & (1 << i)) c += p.capF[i];
  return c;
}

double simNetInductance(const SimNetParams &p, int ind) {
  double l = 0;
  for (int i = 0; i < 9; i++)
    if (ind & (1 << i)) l += p.indH[i];
  return l;
}

SimNetZ simNetInputImpedance(const SimNetParams &p, int cap, int ind, int mode, double freqHz,
                             SimNetZ load) {
  if (mode != SIMNET_CL && mode != SIMNET_LC) return load;
  if (!(freqHz > 0)) return load;
  double w = 2 * kPi * freqHz;
  double xl = w * simNetInductance(p, ind);
  SimNetZ zl(xl / p.q, xl);
  double b = w * simNetCapacitance(p, cap);
  if (mode == SIMNET_LC) return zl + withShunt(load, b);
  return withShunt(zl + load, b);
}

double simNetAbsGamma(const SimNetParams &p, uint32_t word, double freqHz, SimNetZ load) {
  int cap, ind, mode;
  simNetDecodeWord(word, &cap, &ind, &mode);
  return std::abs(simNetGamma(simNetInputImpedance(p, cap, ind, mode, freqHz, load)));
}
