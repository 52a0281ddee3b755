// The transceiver parameter record: the latest parameters reported by the
// maker's transceiver over its serial link (or by a remote unit), 52
// signed 32-bit fields in their fixed order (208 bytes, the layout a
// remote peer receives). One record lives behind works' serParams; it is
// written only under serMut and read by copying it out with getParameters.
#pragma once
#include <cstdint>

struct works;

struct SerParameters {
  int32_t flagB0b6, activeVfoB, dataVfoB, curFreq, rxFreq, vfoAFreq, vfoBFreq, altFreq;
  int32_t prevFreq, lastFreq, flagB9b6, flagB9b5, flagB9b4, curMode, rxMode, vfoAMode;
  int32_t vfoBMode, audioOut, signB10b3, signB10b2, signB10b1, unused21, signB10b0, squelch;
  int32_t numSel, numB, levelB12, numA, numIndex, nr, nb, flagB13b5;
  int32_t flagB13b4, sel1, sel2, sel3, sel4, sel5, att, lp;
  int32_t an, flagB20b0, volume, volumeAux, volumeSide, pitchOffset, levelB21, tuneOffset;
  int32_t flagB11b5, flagB11b4, altMode, flagsB0b23;
};
static_assert(sizeof(SerParameters) == 208, "the parameter record is 52 x 32 bits");

// Copies the record into dst under serMut (a zeroed record when works has
// none).
void getParameters(SerParameters *dst, works *w);

// Shortest parameter message: byte 0 (VFO flags) and the eight frequency
// digits. Anything shorter carries no frequency and is not stored.
constexpr int KZ_SER_PARAMS_MIN = 9;

// Decodes one parameter message body (`length` bytes of `m`) into the
// record under serMut: byte 0 and the frequency always, every further
// group only when the message reaches it and its check bits hold. Level
// fields follow the level rule: 0 is "off" and keeps the last level as a
// negative number. The first call of the process zeroes the record.
// Called by the serial link for each message and by the remote client for
// each "PA" message.
void storeParameters(works *w, int length, const uint8_t *m);

// Plot values of one spectrum: bytes 85 up to 939 (or `total`) of a
// received spectrum, each minus 192 (dBm).
constexpr int KZ_FFT_POINTS = 854;
constexpr int KZ_FFT_FIRST = 85;
// Value of a plot point that the spectrum does not reach: the bottom of the
// scale (what a zero byte gives), so a short spectrum draws no false signal.
constexpr float KZ_FFT_FLOOR = -192.0f;

// Converts a complete remote spectrum of `total` bytes into the 854 plot
// values and copies them under serMut to the start of the plot's trace
// (points the spectrum does not reach are set to KZ_FFT_FLOOR), counting
// one more trace stored.
void storeFFT(works *w, int total, const uint8_t *bytes);
