// Simulated CAT port of the KAV transceiver: the Kenwood-style text port
// the amplifier finds among "/dev/VORNCAT*" and carries to a remote unit.
//
// Sits on the master side of a PTY (the simulator links its slave as the
// root's /dev/VORNCAT0) and knows only the text protocol: commands end in
// ';'. It answers "DT;" with "DT001;" (or what it is told to, or nothing),
// "FA;" / "FB;" with "FA%011u;" / "FB%011u;" of its VFOs, "IF;" with its
// information line, "MD;" with "MD%d;"; "FA<digits>;", "FB<digits>;" and
// "MD<digit>;" set the VFO or the mode without an answer; another
// two-letter query gets "?;", anything longer no answer (an answer from a
// peer port, a setting not simulated). It can also send text of its own,
// as the transceiver does when its operator turns the dial.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CatPortSim;

struct CatPortSimOptions {
  uint32_t vfoAHz = 14200000;
  uint32_t vfoBHz = 7100000;
  int mode = 2;  // Kenwood mode digit: 1 LSB, 2 USB, 3 CW, 4 FM, 5 AM
  // The answer to "DT;" ("DT001;" is the KAV transceiver); empty: no answer.
  std::string dtAnswer = "DT001;";
};

// Starts the port on a new PTY; nullptr on failure.
CatPortSim *catPortSimStart(const CatPortSimOptions &opt = CatPortSimOptions());
void catPortSimStop(CatPortSim *c);
// Path of the PTY slave, to be linked as a "/dev/VORNCAT*" device.
const char *catPortSimSlavePath(CatPortSim *c);

// Sends `text` as the transceiver would (each byte on its own, `gapMs`
// apart, when `gapMs` > 0; else in one write).
void catPortSimSend(CatPortSim *c, const std::string &text, int gapMs = 0);
void catPortSimSetVfo(CatPortSim *c, int vfo /*0 A, 1 B*/, uint32_t hz);
uint32_t catPortSimVfo(CatPortSim *c, int vfo);

// Commands received, one per ';' (";" kept), in order.
std::vector<std::string> catPortSimReceived(CatPortSim *c);
// Waits until `count` commands have been received (or `timeoutMs`
// passed); returns the number received.
size_t catPortSimWaitReceived(CatPortSim *c, size_t count, int timeoutMs);
