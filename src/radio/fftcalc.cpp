// Spectrum of the I/Q samples; see fftcalc.h.
#include "radio/fftcalc.h"

#include <atomic>
#include <cmath>
#include <memory>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "remote/messages.h"

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
// at n / 2 with twiddle step 1, then halves while the step doubles. Cost:
// (n / 2) log2 n butterflies; the inner loop runs over contiguous halves.
void kzFftTransform(KzFft *f) {
  const int n = f->n;
  double *re = f->re, *im = f->im;
  for (int half = n / 2, step = 1; half >= 1; half /= 2, step *= 2) {
    for (int start = 0; start < n; start += 2 * half) {
      double *ar = re + start, *ai = im + start, *br = ar + half, *bi = ai + half;
      for (int j = 0; j < half; j++) {
        const double dr = ar[j] - br[j], di = ai[j] - bi[j];
        ar[j] += br[j];
        ai[j] += bi[j];
        const double c = f->co[j * step], s = f->si[j * step];
        br[j] = dr * c - di * s;
        bi[j] = dr * s + di * c;
      }
    }
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
  // dB of |X| / (n / 2), truncated toward zero, clamped, zero frequency in
  // the middle. Cost: n square roots and logarithms.
  const double scale = 2.0 / n;
  for (int k = 0; k < n; k++) {
    const double r = f->re[k] * scale, i = f->im[k] * scale;
    double db = 20.0 * std::log10(std::sqrt(r * r + i * i));
    int v = std::isfinite(db) ? int(db) : (db > 0 ? 50 : -192);
    if (v < -192) v = -192;
    if (v > 50) v = 50;
    f->bins[k < n / 2 ? k + n / 2 : k - n / 2] = uint8_t(v + 192);
  }
  const int points = n == 2048 ? 854 : 1706;
  const int first = n == 2048 ? 170 : 341;
  for (int i = 0; i < points; i++) out[i] = f->bins[first + 2 * i];
  return points;
}

int fftCalc(const float *x, int count, works *w) {
  // The work areas live for the whole process (they survive the reader's
  // restarts); made on the first spectrum.
  static std::unique_ptr<KzFft> fft;
  static char oldEnable1600 = 2;  // neither '0' nor '1'
  if (!fft) {
    fft.reset(new (std::nothrow) KzFft());
    if (!fft) {
      kzLog(KZ_LOG_ERR, "error allocating fftr buffer");
      return -1;
    }
  }
  const char e1600 = std::atomic_ref<char>(w->setup->Enable1600).load();
  const int n = e1600 == '0' ? 2048 : 4096;
  if (count < 2 * n) return 0;  // a short transfer makes no spectrum
  if (e1600 != oldEnable1600 || fft->n != n) {
    oldEnable1600 = e1600;
    kzFftBuild(fft.get(), n);
  }
  uint8_t out[KZ_FFT_POINTS_MAX];
  const int points = kzFftSpectrum(fft.get(), x, out);
  if (w->wsConnected.load() == 1) sendWebSockSerSpectrFrame(w, out, points);
  return 0;
}
