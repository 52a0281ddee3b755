// Simulated amplifier micro-controller.
//
// Opens the master side of a PTY and behaves like the amplifier's own
// micro-controller on its serial line: it receives framed commands (two
// hex CRC-8/MAXIM characters, text ending in ';'), checks their checksum,
// answers with framed replies (upper-case checksum) and keeps its state:
// bypass, attenuator, antenna, protection mode, thresholds, fan, tuner
// word, frequency-sensor settings, information blocks (serial number,
// region, model). Status replies report powers computed from a drive level
// and the load the transmitter sees, two temperatures that rise with
// dissipation and fall with fan speed, the frequency counter and
// protection trips. The tuner network between the amplifier and the
// antenna ports, and the antennas themselves, are in sim/tuner_net.h.
//
// It knows only the wire bytes, never the program's internals. Tests and
// the simulator steer it through the functions below (drive, load, fault
// injection) and read back what crossed the wire.
#pragma once
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

struct SimAmp;

struct SimAmpOptions {
  char model = '0';    // '0' 60 W, '1' 120 W
  char region = '0';   // '0' EU, '1' USA
  // Simulated seconds per real second for the thermal model (1 = real time).
  double thermalSpeed = 1.0;
  // Text of information block 0 ("ER0000;"), NUL-padded to 32 bytes;
  // empty = "KZ60-000123" ("KZ120-000123" for the 120 W model).
  std::string serial;
  // Text of information block 1 ("ER0001;"); empty = a board revision text.
  std::string serial2;
  // true: ports 1 and 2 start on their antenna models (a 7 MHz dipole, a
  // random wire; port 0 is a 50 ohm dummy load either way). false: all
  // three ports start as fixed 50 ohm loads.
  bool antennaModels = false;
};

// Starts the simulated micro-controller on a new PTY; nullptr on failure.
SimAmp *simAmpStart(const SimAmpOptions &opt = SimAmpOptions());
void simAmpStop(SimAmp *a);
// Path of the PTY slave, the program's LinPort.
const char *simAmpSlavePath(SimAmp *a);

// ---- what crossed the wire -------------------------------------------
// Command texts received (checksum removed, ';' kept), in order.
std::vector<std::string> simAmpReceived(SimAmp *a);
void simAmpClearReceived(SimAmp *a);
// Raw frames as received (checksum characters included).
std::vector<std::string> simAmpReceivedRaw(SimAmp *a);
// Waits until `count` commands have been received (or timeout); returns
// the number received.
size_t simAmpWaitReceived(SimAmp *a, size_t count, int timeoutMs);

// ---- drive and load ----------------------------------------------------
// Carrier at the amplifier's input: drive power in W (0 = no carrier) and
// its frequency in Hz (the frequency counter reports it).
void simAmpSetDrive(SimAmp *a, double watts, uint32_t freqHz);
// Fixed load impedance of an antenna port (0..2), ohms, at every
// frequency; replaces the port's antenna model until simAmpSetDefaultLoad.
void simAmpSetLoad(SimAmp *a, int port, std::complex<double> z);
// Puts antenna port 0..2 back on its frequency-dependent model
// (simNetDefaultLoad in sim/tuner_net.h).
void simAmpSetDefaultLoad(SimAmp *a, int port);
// Impedance the transmitter sees now: the selected port's load at the drive
// frequency through the tuner network as the last "MT1" word set it.
std::complex<double> simAmpLoadSeen(SimAmp *a);
// Ambient temperature, degrees C (default 25).
void simAmpSetAmbient(SimAmp *a, double celsius);
// Forces the two temperatures (degrees C); NaN releases a sensor.
void simAmpForceTemps(SimAmp *a, double t1, double t2);

// ---- faults ------------------------------------------------------------
// Stops answering anything (true) or answers again (false). Commands
// received meanwhile are recorded but not executed.
void simAmpSetSilent(SimAmp *a, bool silent);
// The next `n` replies carry a wrong checksum (upper-case, but wrong).
void simAmpBadChecksum(SimAmp *a, int n);
// The next `n` replies carry the right checksum in lower case.
// (A checksum without the letters a-f reads the same in both cases.)
void simAmpLowerCaseChecksum(SimAmp *a, int n);
// Refuses commands starting with `prefix` (e.g. "ST", "SA") with the
// refusal character '?', '!' or '&' at the third position; `n` times
// (-1 = until cleared with n = 0).
void simAmpRefuse(SimAmp *a, const std::string &prefix, char refusal, int n);
// Never answers commands starting with `prefix` (empty prefix clears).
// Several prefixes may be ignored at once. Like silence, an ignored command
// is recorded as received but not executed.
void simAmpIgnore(SimAmp *a, const std::string &prefix);
// Fault byte bits (0 I OUT, 1 REFL, 2 FWD, 3 SENS PW, 4 FILTER TX,
// 5 input power, 6 band); bit 7 (restart) is managed by the sim.
void simAmpSetFaultBits(SimAmp *a, uint8_t bits);
// Restarts the micro-controller: state back to power-on, fault bit 7 set
// until the next "CPFFFF;".
void simAmpMicroRestart(SimAmp *a);
// Trips the protection now (as a high reflected power would).
void simAmpTripProtection(SimAmp *a);
// Writes raw bytes on the line as they stand (no framing added).
void simAmpSendRaw(SimAmp *a, const std::string &bytes);
// Replaces the next reply to commands starting with `prefix` by `text`
// (framed with its correct upper-case checksum), once.
void simAmpReplyOnce(SimAmp *a, const std::string &prefix, const std::string &text);

// ---- state as the micro-controller sees it ------------------------------
struct SimAmpState {
  bool bypass;          // "AB1;" (standby) / "AB0;" (operate)
  int attenuator;       // 0..3, bits: 3 dB pad (2), 2 dB pad (1)
  int antenna;          // 1..9 ("SA%d;")
  bool protection;      // "MP1;"
  bool tripped;         // protection tripped (status bit)
  int anOutput;         // "AN%d;"
  int thresholds[4];    // "TS" raw values: input, forward, reflected, current
  int fanPercent;       // "FN1%03d;"
  uint32_t tuneWord;    // "MT1%08X;"
  uint32_t freqSet;     // "FA%011lu;"
  int filterCode;       // "SF30000%02x;"
  int psPar[4];
  int gmPar[2];
  std::string generic;  // "GS%s;" settings (10 characters)
  int sensorMode, sensorPeriod;  // "FS%01d%04d;"
  bool inUpdate;        // "MR1;" received
  uint8_t faultBits;
  double temp1, temp2;  // degrees C
  double fwdW, reflW, inW;
  uint32_t freqCounter;
  bool tuneOn;          // "TU1;" / "TU0;"
  double currentA;      // supply current now, A
};
SimAmpState simAmpState(SimAmp *a);

// CRC-8/MAXIM as the micro-controller computes it.
uint8_t simAmpCrc8(const char *data, size_t len);
