// The spectrum of the transceiver's I/Q samples: the four-term
// Blackman-Harris window, a radix-2 decimation-in-frequency FFT with bit
// reversal, magnitudes in dB clamped to -192..50 and stored as bytes
// (dB + 192), zero frequency shifted to the middle, decimated to the plot's
// points (every second bin: 854 points of a 2048-point FFT, 1706 of a
// 4096-point one).
//
// The work areas are made once for the largest size (4096) and the window,
// twiddles and bit-reversal table once per size: a spectrum allocates
// nothing. Cost per spectrum: N log2 N butterflies, N square roots and
// logarithms.
#pragma once
#include <cstdint>

enum { KZ_FFT_MAX = 4096, KZ_FFT_POINTS_MAX = 1706 };

struct KzFft {
  int n = 0;  // the size the window and twiddles are built for, 0 none
  double re[KZ_FFT_MAX], im[KZ_FFT_MAX];
  double window[KZ_FFT_MAX];
  double co[KZ_FFT_MAX / 2], si[KZ_FFT_MAX / 2];
  // The twiddles each stage uses, laid out contiguously stage after stage
  // (co[j * step] for j below the half-span): n - 1 of them.
  double stageCo[KZ_FFT_MAX], stageSi[KZ_FFT_MAX];
  uint16_t rev[KZ_FFT_MAX];
  // dB + 192 by shifted bin (zero frequency at n / 2). Only the bins that
  // become points (every second one from the first point's) are computed.
  uint8_t bins[KZ_FFT_MAX];
};

// Builds window, twiddles and bit-reversal table for `n` (2048 or 4096).
void kzFftBuild(KzFft *f, int n);
// One spectrum of the interleaved I/Q floats `x` (at least 2 n of them):
// fills f->bins and writes the decimated points to `out` (854 for n 2048,
// 1706 for n 4096); returns their count.
int kzFftSpectrum(KzFft *f, const float *x, uint8_t *out);
// The FFT alone, in place on f->re / f->im (bit-reversed order put right).
void kzFftTransform(KzFft *f);
