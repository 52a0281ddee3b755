// Status buffer: the amplifier's state as one short text for a connected
// remote unit, built by the supervisor each cycle while the remote link is
// open and sent as the payload of an "ST" message (its first 44 bytes).
//
// Positions: 0-3 band name of the bank table ("----" outside every band),
// 4 interface, 5 attenuator, 6 antenna, 7 amplifier bypass, 8 tuner
// ('N' not installed, 'B' bypassed, 'T' in line), 9 auto-tune running,
// 10-15 SWR, 16-21 forward power, 22-27 input power, 28-31 the higher
// temperature, 32-35 supply voltage, 36-39 current, 40-41 bank, 42 the last
// registered error code + 1 as a raw byte (or '0'), 43-50 '0', 51 ';'.
#pragma once

struct works;

enum {
  KZ_STATUS_TEXT = 52,  // characters built
  KZ_STATUS_BUF = 53,   // with the terminator: the least an `out` may hold
  KZ_STATUS_SENT = 44,  // bytes a remote unit receives
};

// Fills `out` (at least KZ_STATUS_BUF bytes). Takes tabMut for the band
// name and errMut for the error list, each for a few reads only.
void CreaBufferDiStato(works *w, char *out);
