// Band automation: when the operating frequency changes (or a bank table
// has just been loaded, bandRowIdx -1), the supervisor applies the bank
// table row of freqHz: antenna, operate or standby, input attenuator, and
// either the tuner bypass or the stored tune of the frequency slot. Here
// the changes are only queued as amplifier commands; the link thread sends
// them and performs the three network operations (27 load from memory,
// 39 bypass, 40 reset).
//
// Design rules:
//   - The panel shows the antenna key, the bypass key and the attenuator
//     label from the state set here; nothing is drawn from this thread.
//   - A command the ring refuses (29 waiting) must not be lost: the state
//     it was to carry is put back and bandRowIdx goes to -1, so the next
//     supervisor cycle applies the row again.
//   - Cost: one pass over at most 11 rows per frequency change.
#include "tuner/automation.h"

#include <cstdint>

#include "amplifier/cmdring.h"
#include "core/works.h"
#include "platform/log.h"
#include "tuner/banktab.h"
#include "tuner/tunemem.h"

namespace {

enum {
  CMD_ANTENNA = 7,      // "SA%d;" with antenna + 1
  CMD_ATTENUATOR = 14,  // attenuator order with `attenuator`
  CMD_OPERATE = 19,     // "AB0;"
  CMD_STANDBY = 20,     // "AB1;"
  CMD_NET_MEMORY = 27,  // network word from the tune memory
  CMD_NET_BYPASS = 39,
  CMD_NET_RESET = 40,  // "CL" with every element off
};

// Queues `cmd`; a refusal is remembered in `refused`.
void queue(works *w, int cmd, bool &refused) {
  if (IncPNTIn_CMDLinear(cmd, w) < 0) refused = true;
}

// The network part: stored tune, reset or bypass. Returns false when the
// ring refused the command.
bool loadTuneVal(works *w, int resetFlag) {
  if (w->tuneState.load() != 0) return true;  // an auto-tune owns the network
  uint32_t segStart = 0, segEnd = 0;
  int first = 0, end = 0;
  int idx = AtuIdxSearch(w->freqHz.load(), &segStart, &segEnd, &first, &end);
  int ant = w->antenna.load();
  // Without a valid antenna there is no table to look in: nothing stored.
  bool nothing = ant < 0 || ant >= KZ_ANTENNAS || EsisteTuneValInTabRam(w, idx, first, end, ant);
  int cmd = nothing ? (resetFlag ? CMD_NET_RESET : CMD_NET_BYPASS) : CMD_NET_MEMORY;
  return IncPNTIn_CMDLinear(cmd, w) >= 0;
}

}  // namespace

void GestioneLoadTuneVal(works *w, int resetFlag) { loadTuneVal(w, resetFlag); }

void GestioneAntennaAutomatica(works *w) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  w->bandRowIdx = 100;
  const int row = BankRowOfFreq(w, w->freqHz.load());
  if (row < 0) return;
  w->bandRowIdx = row;
  const BandRow &r = w->bandTab[row];
  bool refused = false;

  // Antenna (0 leaves it alone; the table reader keeps it within 0-3).
  int ant = r.ant;
  int old = w->antenna.load();
  if (ant >= 1 && ant <= KZ_ANTENNAS && ant != old + 1) {
    w->antenna = ant - 1;
    // The main screen's antenna key shows "Auto %d" from `antenna`.
    if (IncPNTIn_CMDLinear(CMD_ANTENNA, w) < 0) {
      w->antenna = old;
      refused = true;
    }
  }

  // Tuner.
  if (r.atuOff == 1) {
    queue(w, CMD_NET_BYPASS, refused);
    kzTrace("TABLE CONFIG : BYPASS %i (%i)\n", int(r.atuOff), row);
  } else if (!loadTuneVal(w, 1)) {
    refused = true;
  }

  // Amplifier and attenuator. The tune screen's bypass key shows "Off" or
  // "On" from `ampBypass`.
  if (r.ampEnable) {
    if (w->ampBypass.load() == 1) queue(w, CMD_OPERATE, refused);
    w->attenuatorShown = r.attIdx;
    uint8_t oldAtt = w->attenuator.load();
    if (oldAtt != r.attIdx) {
      w->attenuator = r.attIdx;
      if (IncPNTIn_CMDLinear(CMD_ATTENUATOR, w) < 0) {
        w->attenuator = oldAtt;
        refused = true;
      }
    }
  } else if (w->ampBypass.load() == 0) {
    queue(w, CMD_STANDBY, refused);
  }
  // The attenuator label is drawn from attenuatorShown on the next frame.

  if (refused) w->bandRowIdx = -1;
}
