// The status text a unit sends its remote peer as an "ST" message, read
// back into fields and written as one line for a technician. It is read
// from the wire format alone (positions below), not from the program's
// code, so kz-remote checks a unit independently of it.
//
//   0-3   band name, "----" when no band holds the frequency
//   4     working mode: '1' KAV transceiver, '2' FT-817, '0' other
//   5     '0' + attenuator step        6  '0' + antenna index (0 = ANT1)
//   7     '1' amplifier bypassed       8  tuner 'T' in line, 'B' bypass, 'N' off
//   9     '1' while an auto-tune runs
//   10-15 SWR   16-21 forward W   22-27 input W   28-31 temperature C
//   32-35 supply V   36-39 current A   40-41 bank   42 last error
//
// Position 42 is the character '0' when no error is registered, else one
// raw byte: the error code plus 1. A temperature of -10 or below runs into
// the supply field and is cut there: the four characters still read as
// the whole degrees.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The length of a status text on the wire.
constexpr size_t KZR_STATUS_LEN = 44;

struct KzrStatus {
  char band[5] = "";  // as sent, trailing blanks removed
  int mode = 0;       // 0 other, 1 KAV transceiver, 2 FT-817 (-1: not a digit)
  int attenuator = 0, antenna = 0;  // the digits as sent (-1: not a digit)
  bool ampBypass = false;
  char tuner = '?';  // 'T', 'B', 'N'
  bool autoTune = false;
  // Numbers that do not read as numbers are NaN.
  double swr = 0, fwdW = 0, inW = 0, tempC = 0, volts = 0, amps = 0;
  int bank = -1;
  int error = -1;  // -1: none registered; else the code
  int errorByte = 0;  // position 42 as sent
};

// Reads a status text of `len` bytes; false when it is no status text
// (shorter than 44 bytes, or a command such as "VORNBANK").
bool kzrDecodeStatus(const uint8_t *p, size_t len, KzrStatus &out);

// One readable line, e.g.
// "band 20m  mode 0 (other)  att 0  ANT1  amp operate  tuner in line  autotune off
//  SWR 1.07  fwd 42.95 W  in 2.50 W  temp 30.7 C  supply 13.8 V  current 1.2 A
//  bank 1  error none" (one line).
std::string kzrFormatStatus(const KzrStatus &s);
