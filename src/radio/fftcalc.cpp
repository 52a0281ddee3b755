// Spectrum of the I/Q samples; see fftcalc.h.
#include "radio/fftcalc.h"

#include <cmath>
#include <utility>

namespace {
constexpr double kPi = 3.14159265358979323846;
}

void kzFftBuild(KzFft *f, int n) {
  if (n != 2048 && n != 4096) n = 4096;
  f->n = n;
  // Four-term Blackman-Harris; w[0] is 0.
  f->window[0] = 0;
  for (int k = 1; k < n; k++) {
    const double a = 2 * kPi * k / (n - 1);
    f->window[k] = 0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) -
                   0.01168 * std::cos(3 * a);
  }
  // Twiddles by recurrence: co[k] + i si[k] = e^(-2 pi i k / n).
  const double c1 = std::cos(kPi / (n / 2)), s1 = std::sin(kPi / (n / 2));
  f->co[0] = 1;
  f->si[0] = 0;
  for (int k = 1; k < n / 2; k++) {
    f->co[k] = f->co[k - 1] * c1 + f->si[k - 1] * s1;
    f->si[k] = -f->co[k - 1] * s1 + f->si[k - 1] * c1;
  }
  for (int half = n / 2, step = 1, at = 0; half >= 1; at += half, half /= 2, step *= 2)
    for (int j = 0; j < half; j++) {
      f->stageCo[at + j] = f->co[j * step];
      f->stageSi[at + j] = f->si[j * step];
    }
  int bits = 0;
  while ((1 << bits) < n) bits++;
  for (int k = 0; k < n; k++) {
    int r = 0;
    for (int b = 0; b < bits; b++)
      if (k & (1 << b)) r |= 1 << (bits - 1 - b);
    f->rev[k] = uint16_t(r);
  }
}

// Decimation in frequency, in place: log2 n stages; the half-span starts
// at n / 2, and the twiddle of element j of a half is e^(-2 pi i j step / n)
// with the step doubling as the half-span halves. Cost: (n / 2) log2 n
// butterflies over contiguous halves and contiguous twiddles (the loop
// vectorises); the last two stages need no multiplication (twiddles 1 and
// -i).
void kzFftTransform(KzFft *f) {
  const int n = f->n;
  double *re = f->re, *im = f->im;
  int at = 0;
  for (int half = n / 2; half >= 4; at += half, half /= 2) {
    const double *tc = f->stageCo + at, *ts = f->stageSi + at;
    for (int start = 0; start < n; start += 2 * half) {
      double *__restrict ar = re + start, *__restrict ai = im + start;
      double *__restrict br = ar + half, *__restrict bi = ai + half;
      for (int j = 0; j < half; j++) {
        const double dr = ar[j] - br[j], di = ai[j] - bi[j];
        ar[j] += br[j];
        ai[j] += bi[j];
        br[j] = dr * tc[j] - di * ts[j];
        bi[j] = dr * ts[j] + di * tc[j];
      }
    }
  }
  // Half-span 2: twiddles 1 and e^(-i pi / 2) = -i; half-span 1: 1.
  for (int s = 0; s < n; s += 4) {
    double r0 = re[s], r1 = re[s + 1], r2 = re[s + 2], r3 = re[s + 3];
    double i0 = im[s], i1 = im[s + 1], i2 = im[s + 2], i3 = im[s + 3];
    const double a0r = r0 + r2, a0i = i0 + i2, d0r = r0 - r2, d0i = i0 - i2;
    const double a1r = r1 + r3, a1i = i1 + i3, d1r = i1 - i3, d1i = -(r1 - r3);
    re[s] = a0r + a1r;
    im[s] = a0i + a1i;
    re[s + 1] = a0r - a1r;
    im[s + 1] = a0i - a1i;
    re[s + 2] = d0r + d1r;
    im[s + 2] = d0i + d1i;
    re[s + 3] = d0r - d1r;
    im[s + 3] = d0i - d1i;
  }
  for (int k = 0; k < n; k++) {
    const int r = f->rev[k];
    if (k < r) {
      std::swap(re[k], re[r]);
      std::swap(im[k], im[r]);
    }
  }
}

int kzFftSpectrum(KzFft *f, const float *x, uint8_t *out) {
  const int n = f->n;
  for (int k = 0; k < n; k++) {
    f->re[k] = double(x[2 * k]) * f->window[k];
    f->im[k] = double(x[2 * k + 1]) * f->window[k];
  }
  kzFftTransform(f);
  // dB of |X| / (n / 2), truncated toward zero and clamped, for the bins
  // that become points: point i is shifted bin first + 2 i, that is FFT
  // bin (first + 2 i + n / 2) mod n. Cost: one logarithm per point.
  const int points = n == 2048 ? 854 : 1706;
  const int first = n == 2048 ? 170 : 341;
  const double scale2 = 4.0 / (double(n) * n);
  for (int i = 0; i < points; i++) {
    const int b = first + 2 * i;
    const int k = b < n / 2 ? b + n / 2 : b - n / 2;
    const double p = (f->re[k] * f->re[k] + f->im[k] * f->im[k]) * scale2;
    const double db = 10.0 * std::log10(p);  // 20 log10 of the magnitude
    int v = db >= 51.0 ? 50 : db > -193.0 ? int(db) : -192;  // (NaN, -inf: -192)
    if (v < -192) v = -192;
    if (v > 50) v = 50;
    f->bins[b] = uint8_t(v + 192);
    out[i] = uint8_t(v + 192);
  }
  return points;
}
