// Transceiver parameter record; see serparams.h.
//
// Message layout (byte: content; a group is decoded only when the message
// reaches its last byte and its check bits hold):
//   0      VFO flags (bit 6, active VFO B 5, data VFO B 4, bits 2-3, alt 0)
//   1-8    frequency, eight hex digits, most significant first
//   9      bit 7 set: flags 6-4, mode 0-3
//   10     01xxxxxx: audio output 4-5, signs 3-0
//   11     01xxxxxx: flags 5-4, squelch 0-3
//   12-13  1xxxxxxx, 01xxxxxx: number selector and levels
//   14, 15 0x3n: NR, NB
//   16-19  011xxxxx, 011xxxxx, 0x3n, 011xxxxx: selectors
//   20     01xxxxxx: ATT 4, LP 3, AN 1-2, flag 0
//   21     level byte (minus 211)
//   22     volume of the output named by byte 10
//   23-25  pitch offset, three hex digits
//   26-30  tune offset, five hex digits, signed (first digit 8..F negative)
#include "radio/serparams.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>

#include "core/works.h"
#include "platform/log.h"

void getParameters(SerParameters *dst, works *w) {
  std::lock_guard<std::mutex> lk(w->serMut);
  if (w->serParams)
    memcpy(dst, w->serParams, sizeof *dst);
  else
    memset(dst, 0, sizeof *dst);
}

namespace {

// The record is zeroed once per process, at its first store.
std::atomic<bool> gZeroed{false};

// A digit of the message: the low four bits of (byte | 0x30) - 0x30.
uint32_t digit(uint8_t b) { return uint32_t((b | 0x30) - 0x30) & 0x0F; }

uint32_t digits(const uint8_t *m, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; i++) v = v << 4 | digit(m[i]);
  return v;
}

int bit(uint8_t b, int n) { return (b >> n) & 1; }
int sign(uint8_t b, int n) { return bit(b, n) ? -1 : 1; }
bool top01(uint8_t b) { return (b & 0xC0) == 0x40; }

// Level rule: a non-zero value is the level; zero is "off" and keeps the
// last level as a negative number, or `initial` when there was none.
void level(int32_t &field, int value, int32_t initial) {
  if (value != 0) {
    field = value;
    return;
  }
  field = -std::abs(field);
  if (field == 0) field = initial;
}

void decode(SerParameters &p, int length, const uint8_t *m) {
  const uint8_t b0 = m[0];
  p.flagB0b6 = bit(b0, 6);
  p.activeVfoB = bit(b0, 5);
  p.dataVfoB = bit(b0, 4);
  p.altMode = bit(b0, 0);
  p.flagsB0b23 = (b0 >> 2) & 3;

  p.rxFreq = int32_t(digits(m + 1, 8));
  if (p.altMode) {
    p.altFreq = p.rxFreq;
    p.curFreq = p.altFreq;
  } else {
    (p.dataVfoB ? p.vfoBFreq : p.vfoAFreq) = p.rxFreq;
    p.curFreq = p.activeVfoB ? p.vfoBFreq : p.vfoAFreq;
  }
  p.prevFreq = p.lastFreq;
  p.lastFreq = p.curFreq;

  if (length > 9 && bit(m[9], 7)) {
    p.flagB9b6 = bit(m[9], 6);
    p.flagB9b5 = bit(m[9], 5);
    p.flagB9b4 = bit(m[9], 4);
    p.rxMode = m[9] & 0x0F;
    (p.dataVfoB ? p.vfoBMode : p.vfoAMode) = p.rxMode;
    p.curMode = p.activeVfoB ? p.vfoBMode : p.vfoAMode;
  }
  if (length > 10 && top01(m[10])) {
    p.audioOut = (m[10] >> 4) & 3;
    p.signB10b3 = sign(m[10], 3);
    p.signB10b2 = sign(m[10], 2);
    p.signB10b1 = sign(m[10], 1);
    p.signB10b0 = -sign(m[10], 0);
  }
  if (length > 11 && top01(m[11])) {
    p.flagB11b5 = bit(m[11], 5);
    p.flagB11b4 = bit(m[11], 4);
    level(p.squelch, m[11] & 0x0F, -1);
  }
  if (length > 13 && bit(m[12], 7) && top01(m[13])) {
    const int numA = (m[12] >> 3) & 0x0F, numB = m[13] & 0x0F;
    p.numSel = bit(m[12], 2);
    level(p.levelB12, m[12] & 3, 0);
    level(p.numA, numA, 0);
    p.flagB13b5 = bit(m[13], 5);
    p.flagB13b4 = bit(m[13], 4);
    level(p.numB, numB, 0);
    p.numIndex = p.numSel ? numB + 5 : numA + 1;
  }
  if (length > 14 && (m[14] >> 4) == 3) level(p.nr, m[14] & 0x0F, -1);
  if (length > 15 && (m[15] >> 4) == 3) level(p.nb, m[15] & 0x0F, -1);
  if (length > 19 && (m[16] >> 5) == 3 && (m[17] >> 5) == 3 && (m[18] >> 4) == 3 &&
      (m[19] >> 5) == 3) {
    p.sel1 = (m[16] & 0x1F) + 1;
    p.sel2 = (m[17] & 0x1F) + 1;
    p.sel3 = (m[18] & 0x0F) + 1;
    p.sel4 = ((m[19] >> 2) & 7) + 1;
    p.sel5 = (m[19] & 3) + 1;
  }
  if (length > 20 && top01(m[20])) {
    level(p.att, bit(m[20], 4), -1);
    level(p.lp, bit(m[20], 3), -1);
    level(p.an, (m[20] >> 1) & 3, -1);
    p.flagB20b0 = bit(m[20], 0) ? 1 : -1;
  }
  if (length > 21) p.levelB21 = int32_t(m[21]) - 211;
  if (length > 22) {
    const int v = m[22] & 0x7F;
    if (p.audioOut == 0)
      level(p.volume, v, 50);
    else if (p.audioOut == 1)
      level(p.volumeAux, v, 50);
    else
      level(p.volumeSide, v, 5);
  }
  if (length > 25) p.pitchOffset = int32_t(digits(m + 23, 3));
  if (length > 30) {
    // Signed 20-bit: a first digit of 8 or more counts as digit - 16.
    int32_t v = int32_t(digits(m + 26, 5));
    if (v & 0x80000) v -= 0x100000;
    p.tuneOffset = v;
  }
}

}  // namespace

void storeParameters(works *w, int length, const uint8_t *m) {
  if (w->serParams == nullptr || m == nullptr || length < KZ_SER_PARAMS_MIN) return;
  std::unique_lock<std::mutex> lk(w->serMut, std::defer_lock);
  try {
    lk.lock();
  } catch (const std::system_error &) {
    kzLog(KZ_LOG_ERR, "serMut mutex cannot be locked");
    return;
  }
  if (!gZeroed.exchange(true)) memset(w->serParams, 0, sizeof *w->serParams);
  decode(*w->serParams, length, m);
}

void storeFFT(works *w, int total, const uint8_t *bytes) {
  SpectrumRec *rec = w->spectrum;
  if (rec == nullptr || rec->trace == nullptr || bytes == nullptr) return;
  float values[KZ_FFT_POINTS];
  int end = total < KZ_FFT_FIRST + KZ_FFT_POINTS ? total : KZ_FFT_FIRST + KZ_FFT_POINTS;
  int n = 0;
  for (int i = KZ_FFT_FIRST; i < end; i++) values[n++] = float(bytes[i]) - 192.0f;
  for (; n < KZ_FFT_POINTS; n++) values[n] = KZ_FFT_FLOOR;
  std::lock_guard<std::mutex> lk(w->serMut);
  memcpy(rec->trace, values, sizeof values);
  rec->updates.fetch_add(1);
}
