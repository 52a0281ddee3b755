// The status text of the "ST" message, read by position; see remote_status.h.
#include "tools/remote_status.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The field [at, at + width) as a decimal number; NaN when it is not one
// (blanks around it are allowed, nothing else).
double number(const uint8_t *p, size_t at, size_t width) {
  char buf[16];
  memcpy(buf, p + at, width);
  buf[width] = '\0';
  char *end = nullptr;
  double v = strtod(buf, &end);
  if (end == buf) return NAN;
  while (*end == ' ') end++;
  return *end == '\0' ? v : NAN;
}

int digit(uint8_t c) { return c >= '0' && c <= '9' ? c - '0' : -1; }

// "%.*f", or "?" for a field that did not read.
std::string fixed(double v, int decimals) {
  if (std::isnan(v)) return "?";
  char buf[32];
  snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace

bool kzrDecodeStatus(const uint8_t *p, size_t len, KzrStatus &out) {
  if (p == nullptr || len < KZR_STATUS_LEN || memcmp(p, "VORN", 4) == 0) return false;
  out = KzrStatus();
  memcpy(out.band, p, 4);
  out.band[4] = '\0';
  for (int i = 3; i >= 0 && out.band[i] == ' '; i--) out.band[i] = '\0';
  for (int i = 0; i < 4; i++)  // a name is printed as text: no control bytes
    if (out.band[i] != '\0' && (out.band[i] < ' ' || out.band[i] > '~')) out.band[i] = '?';
  out.mode = digit(p[4]);
  out.attenuator = digit(p[5]);
  out.antenna = digit(p[6]);
  out.ampBypass = p[7] == '1';
  out.tuner = char(p[8]);
  out.autoTune = p[9] == '1';
  out.swr = number(p, 10, 6);
  out.fwdW = number(p, 16, 6);
  out.inW = number(p, 22, 6);
  out.tempC = number(p, 28, 4);
  out.volts = number(p, 32, 4);
  out.amps = number(p, 36, 4);
  double bank = number(p, 40, 2);
  out.bank = std::isnan(bank) ? -1 : int(bank);
  out.errorByte = p[42];
  out.error = p[42] == '0' ? -1 : int(p[42]) - 1;
  return true;
}

std::string kzrFormatStatus(const KzrStatus &s) {
  static const char *const kModes[] = {"other", "KAV", "FT-817"};
  const char *mode = s.mode >= 0 && s.mode <= 2 ? kModes[s.mode] : "?";
  const char *tuner = s.tuner == 'T' ? "in line" : s.tuner == 'B' ? "bypass" : s.tuner == 'N' ? "off" : "?";
  char ant[16], err[32], bank[16];
  if (s.antenna >= 0)
    snprintf(ant, sizeof ant, "ANT%d", s.antenna + 1);
  else
    snprintf(ant, sizeof ant, "ANT?");
  if (s.error < 0)
    snprintf(err, sizeof err, "none");
  else if (s.errorByte >= 1 && s.errorByte <= 25)
    snprintf(err, sizeof err, "%d", s.error);
  else  // not a code the unit registers: shown as it came
    snprintf(err, sizeof err, "%d (byte 0x%02x)", s.error, s.errorByte);
  if (s.bank >= 0)
    snprintf(bank, sizeof bank, "%d", s.bank);
  else
    snprintf(bank, sizeof bank, "?");
  std::string line = "band ";
  line += s.band[0] ? s.band : "?";
  line += "  mode " + (s.mode >= 0 ? std::to_string(s.mode) : std::string("?")) + " (" + mode + ")";
  line += "  att " + (s.attenuator >= 0 ? std::to_string(s.attenuator) : std::string("?"));
  line += std::string("  ") + ant;
  line += std::string("  amp ") + (s.ampBypass ? "bypass" : "operate");
  line += std::string("  tuner ") + tuner;
  line += std::string("  autotune ") + (s.autoTune ? "on" : "off");
  line += "  SWR " + fixed(s.swr, 2);
  line += "  fwd " + fixed(s.fwdW, 2) + " W";
  line += "  in " + fixed(s.inW, 2) + " W";
  line += "  temp " + fixed(s.tempC, 1) + " C";
  line += "  supply " + fixed(s.volts, 1) + " V";
  line += "  current " + fixed(s.amps, 1) + " A";
  line += std::string("  bank ") + bank;
  line += std::string("  error ") + err;
  return line;
}
