// kavzil-sim's CAT peers: the simulated FT-817 (--ft817 builtin) and the
// simulated CAT port of the KAV transceiver (--catport builtin), attached
// before the unit starts and detached after it has stopped. Without the
// options nothing is attached: CatSerialPort and the root's
// /dev/VORNCAT* are used as they stand, for outside peers on PTYs.
#pragma once
#include <string>

struct SimOptions;
struct Ft817Sim;
struct CatPortSim;

struct SimCatPeers {
  Ft817Sim *ft817 = nullptr;
  CatPortSim *catPort = nullptr;
  std::string catLink;  // ROOT/dev/VORNCAT0 while the port is linked there
};

// Starts what the options ask for: the FT-817's PTY goes into the setup
// keys to be written (CatSerialPort), the CAT port's PTY is linked as
// ROOT/dev/VORNCAT0 (the root set already). 0, or -1 (said on standard
// error, nothing left running).
int simCatAttach(SimOptions &o, SimCatPeers &p);
void simCatDetach(SimCatPeers &p);
