// Simulated tuner network and antennas of the simulated amplifier.
//
// The L network behind the amplifier's output: a switched capacitor bank to
// ground and a switched series inductor bank, the capacitor on the
// transmitter side ("CL") or on the antenna side ("LC") of the inductor, or
// the whole network bypassed. The relay word arrives on the wire as
// "MT1%08X;" and is decoded here with the relay wiring of the tuner board,
// as the hardware would decode it. The antenna ports carry frequency
// dependent default loads (dummy load, a 40 m dipole, a random wire).
//
// Everything here is a pure function: the simulated amplifier calls it for
// the impedance its transmitter sees, and the benchmark and the tests call
// it directly. The element values and formulas are in tuner_net.cpp.
#pragma once
#include <complex>
#include <cstdint>

using SimNetZ = std::complex<double>;

enum SimNetMode { SIMNET_BYPASS = 0, SIMNET_CL = 1, SIMNET_LC = 2 };
enum { SIMNET_CODES = 512, SIMNET_PORTS = 3 };

// Capacitor code 0..511, inductor code 0..511 and mode of a relay word.
// No mode bit, or more than one, leaves the relays of the network out of
// line: SIMNET_BYPASS.
void simNetDecodeWord(uint32_t word, int *cap, int *ind, int *mode);
// The relay word for codes (low 9 bits taken) and a mode; the inverse of
// simNetDecodeWord for the bits it reads.
uint32_t simNetEncodeWord(int cap, int ind, int mode);

// Element values of a code: farads (stray included) and henries.
double simNetCapacitance(int cap);
double simNetInductance(int ind);

// Impedance the transmitter sees through the network at `freqHz` with
// `load` on the antenna side. At 0 Hz or below the network is a plain wire
// (the inductor a short, the capacitor open) and `load` comes back as is.
SimNetZ simNetInputImpedance(int cap, int ind, int mode, double freqHz, SimNetZ load);
SimNetZ simNetInputImpedanceWord(uint32_t word, double freqHz, SimNetZ load);

// Reflection coefficient against 50 ohm; an impedance that is not finite
// (a lossless parallel resonance) reflects everything: gamma 1.
SimNetZ simNetGamma(SimNetZ zin);
// |gamma| of the load seen through the network.
double simNetAbsGamma(uint32_t word, double freqHz, SimNetZ load);
// SWR of a reflection magnitude, (1 + g) / (1 - g), limited to 100 (also
// for g >= 1 and NaN).
double simNetSwr(double absGamma);

// Default load of antenna port 0..2 at `freqHz`: 0 a 50 ohm dummy load, 1 a
// dipole cut for 7 MHz, 2 a 20 m end-fed random wire. Other ports: 50 ohm.
SimNetZ simNetDefaultLoad(int port, double freqHz);

// ---- networks of other element values --------------------------------------
// A network like the unit's but with its own element values: the value
// each of the nine relay bits switches in (farads, henries), the stray
// capacitance that is there whenever the network is in line, and the
// inductors' quality factor. The benchmark tunes against such networks to
// see how a search does on a tuner whose values it has never seen.
struct SimNetParams {
  double capF[9];  // capacitor of code bit 0..8
  double indH[9];  // inductor of code bit 0..8
  double strayF;
  double q;
};
// The unit's own network (the values of section 1 in tuner_net.cpp).
SimNetParams simNetNominal();
double simNetCapacitance(const SimNetParams &p, int cap);
double simNetInductance(const SimNetParams &p, int ind);
SimNetZ simNetInputImpedance(const SimNetParams &p, int cap, int ind, int mode, double freqHz,
                             SimNetZ load);
double simNetAbsGamma(const SimNetParams &p, uint32_t word, double freqHz, SimNetZ load);

// Exhaustive search over every capacitor and inductor code in the modes of
// `modeMask` (bit 0 "CL", bit 1 "LC"): the setting with the lowest |gamma|.
// 262144 impedance evaluations per mode, with the element reactances worked
// out once per call.
struct SimNetBest {
  double absGamma = 1.0;
  int cap = 0, ind = 0, mode = SIMNET_BYPASS;
};
SimNetBest simNetExhaustive(double freqHz, SimNetZ load, int modeMask = 3);
// The same over a network of other element values.
SimNetBest simNetExhaustive(const SimNetParams &p, double freqHz, SimNetZ load, int modeMask = 3);
