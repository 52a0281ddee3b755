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
