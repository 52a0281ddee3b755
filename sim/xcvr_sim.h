// Simulated KAV transceiver on its serial line.
//
// Opens the master side of a PTY and behaves like the transceiver's serial
// port as the amplifier sees it: it streams binary parameter messages (its
// VFO A / VFO B frequencies, mode, transmit flag and level fields) and
// 1024-byte spectrum messages of the band around the current VFO, and it
// obeys the two commands the amplifier sends: "TU120;TX2;" (transmit a
// carrier) and "RX;" (back to receive).
//
// It knows only the wire bytes, never the program's internals. A carrier
// hook lets the simulator put the transmitted carrier at the simulated
// amplifier's input (sim/amp_sim.h, simAmpSetDrive). Tests and the simulator
// steer it through the thread-safe functions below.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct XcvrSim;

// Level fields carried by every parameter message (what the transceiver's
// front panel would show). 0 = off for the on/off levels.
struct XcvrSimLevels {
  int squelch = 0;      // 0..15
  int nr = 0;           // 0..15
  int nb = 0;           // 0..15
  int att = 0;          // 0..1
  int lp = 0;           // 0..1
  int an = 0;           // 0..3
  int anFlag = 0;       // 0..1, the AN follow flag of byte 11
  int volume = 50;      // 0..127, main audio output
  int volumeAux = 50;   // 0..127
  int volumeSide = 5;   // 0..127
  int pitchHz = 600;    // 0..4095, CW pitch
  int tuneOffsetHz = 0; // -524288..524287
};

struct XcvrSimOptions {
  uint32_t vfoAHz = 14200000;
  uint32_t vfoBHz = 7100000;
  int mode = 1;                // mode code 0..15 (see xcvrSimModeName)
  int paramPeriodMs = 80;      // parameter message period
  int spectrumPeriodMs = 250;  // spectrum message period
  double driveW = 2.5;         // carrier power handed to the hook while transmitting
};

// Starts the transceiver on a new PTY; nullptr on failure.
XcvrSim *xcvrSimStart(const XcvrSimOptions &opt = XcvrSimOptions());
void xcvrSimStop(XcvrSim *x);
// Path of the PTY slave, the program's SerPort.
const char *xcvrSimSlavePath(XcvrSim *x);

// Carrier hook: called with (watts, frequency in Hz) whenever the
// transmitted carrier starts, stops (watts 0) or moves (frequency or power
// changed while transmitting). Calls are serialised and the last one always
// reflects the present state. Called from the transceiver's thread or from
// the thread of the setter that caused it, never with its lock held.
void xcvrSimSetCarrierHook(XcvrSim *x, std::function<void(double watts, uint32_t hz)> hook);

// ---- operator controls (each sends a parameter message at once) ---------
void xcvrSimSetVfo(XcvrSim *x, int vfo /*0 A, 1 B*/, uint32_t hz);
void xcvrSimSelectVfo(XcvrSim *x, int vfo /*0 A, 1 B*/);
// Moves the current VFO by `deltaHz` (kept within 100 kHz .. 60 MHz).
void xcvrSimTune(XcvrSim *x, int32_t deltaHz);
// Steps the current VFO to the next (+1) or previous (-1) amateur band,
// 160 m to 6 m with wrap-around; each band remembers its last frequency.
void xcvrSimBandStep(XcvrSim *x, int dir);
void xcvrSimSetMode(XcvrSim *x, int mode);
void xcvrSimSetLevels(XcvrSim *x, const XcvrSimLevels &lv);
// The operator keys (true) or releases (false) the transmitter.
void xcvrSimSetTransmit(XcvrSim *x, bool on);
// Carrier power while transmitting, W.
void xcvrSimSetDrive(XcvrSim *x, double watts);
// Stops streaming (true) or streams again (false). Commands received while
// silent are recorded but not obeyed.
void xcvrSimSetSilent(XcvrSim *x, bool silent);

// ---- what crossed the wire ------------------------------------------------
// Commands received, one per ';' (";" kept), in order: "TU120;", "TX2;", "RX;".
std::vector<std::string> xcvrSimReceived(XcvrSim *x);
void xcvrSimClearReceived(XcvrSim *x);
// Waits until `count` commands have been received (or timeout); returns
// the number received.
size_t xcvrSimWaitReceived(XcvrSim *x, size_t count, int timeoutMs);

struct XcvrSimState {
  uint32_t vfoHz[2];  // VFO A, VFO B
  int activeVfo;      // 0 A, 1 B
  int mode;
  bool transmit;
  bool silent;
  int band;           // index of the current VFO's band, -1 outside them
  double driveW;
  XcvrSimLevels levels;
  uint64_t paramsSent, spectraSent;
};
XcvrSimState xcvrSimState(XcvrSim *x);

// Short names of the mode codes ("LSB", "USB", "CW", ...; "?" for unused codes).
const char *xcvrSimModeName(int mode);
// Name of amateur band `band` ("160m" ... "6m"), "" outside.
const char *xcvrSimBandName(int band);
