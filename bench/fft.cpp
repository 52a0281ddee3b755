// bench_fft: the reader's spectrum of one transfer (kzFftSpectrum: window,
// radix-2 FFT, dB, shift, decimation) against FFTW on the same input, with
// the same window, dB conversion and decimation around FFTW's transform.
//
//   bench_fft [--spectra N]
//
// Input: 4096 complex samples of a few tones and noise (as the simulated
// transceiver streams them). Both sides make N spectra (default 3000) of
// the same input; the figure is the time ratio, measured in this run, and
// the largest difference between the output bytes of the two (expected 0
// or 1: a dB value at an integer boundary may truncate either way).
// FFTW's plan is made with FFTW_MEASURE before the timing.
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "radio/fftcalc.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kN = 4096;

std::vector<float> input() {
  std::vector<float> x(2 * kN);
  std::mt19937 rng(7);
  std::normal_distribution<double> g(0.0, 1e-4);
  const double tones[][2] = {{-1110.0, 1e-3}, {149.3, 5e-3}, {661.0, 2e-4}, {0.0, 1e-2}};
  for (int k = 0; k < kN; k++) {
    double i = g(rng), q = g(rng);
    for (const auto &t : tones) {
      i += t[1] * std::cos(2 * kPi * t[0] * k / kN);
      q += t[1] * std::sin(2 * kPi * t[0] * k / kN);
    }
    x[size_t(2 * k)] = float(i);
    x[size_t(2 * k + 1)] = float(q);
  }
  return x;
}

// FFTW with the reader's window, scale, dB clamp, shift and decimation.
struct Ref {
  fftw_complex *in, *out;
  fftw_plan plan;
  std::vector<double> window;
  Ref() {
    in = fftw_alloc_complex(kN);
    out = fftw_alloc_complex(kN);
    plan = fftw_plan_dft_1d(kN, in, out, FFTW_FORWARD, FFTW_MEASURE);
    window.resize(kN);
    window[0] = 0;
    for (int k = 1; k < kN; k++) {
      const double a = 2 * kPi * k / (kN - 1);
      window[size_t(k)] = 0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) -
                          0.01168 * std::cos(3 * a);
    }
  }
  ~Ref() {
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
  }
  int spectrum(const float *x, uint8_t *dst) {
    for (int k = 0; k < kN; k++) {
      in[k][0] = double(x[2 * k]) * window[size_t(k)];
      in[k][1] = double(x[2 * k + 1]) * window[size_t(k)];
    }
    fftw_execute(plan);
    // The same post-processing: dB of the bins that become points only.
    const double scale2 = 4.0 / (double(kN) * kN);
    for (int i = 0; i < 1706; i++) {
      const int bin = 341 + 2 * i;
      const int k = bin < kN / 2 ? bin + kN / 2 : bin - kN / 2;
      const double db = 10.0 * std::log10((out[k][0] * out[k][0] + out[k][1] * out[k][1]) * scale2);
      const int v = db >= 51.0 ? 50 : db > -193.0 ? std::clamp(int(db), -192, 50) : -192;
      dst[i] = uint8_t(v + 192);
    }
    return 1706;
  }
};

double seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

}  // namespace

int main(int argc, char **argv) {
  int spectra = 3000;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--spectra") == 0 && i + 1 < argc) {
      spectra = atoi(argv[++i]);
      if (spectra < 1) spectra = 1;
    } else {
      fprintf(stderr, "usage: bench_fft [--spectra N]\n");
      return 2;
    }
  }
  const std::vector<float> x = input();
  auto own = std::make_unique<KzFft>();
  kzFftBuild(own.get(), kN);
  Ref ref;
  uint8_t a[KZ_FFT_POINTS_MAX], b[KZ_FFT_POINTS_MAX];
  // Warm both up, then time them alternately in blocks (the machine is
  // shared: both sides see the same load).
  kzFftSpectrum(own.get(), x.data(), a);
  ref.spectrum(x.data(), b);
  double tOwn = 0, tRef = 0;
  unsigned sink = 0;
  for (int done = 0; done < spectra; done += 100) {
    const int block = std::min(100, spectra - done);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < block; i++) sink += kzFftSpectrum(own.get(), x.data(), a) + a[i];
    tOwn += seconds(t0);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < block; i++) sink += ref.spectrum(x.data(), b) + b[i];
    tRef += seconds(t0);
  }
  int maxDiff = 0, differing = 0;
  for (int i = 0; i < 1706; i++) {
    const int d = std::abs(int(a[i]) - int(b[i]));
    maxDiff = std::max(maxDiff, d);
    differing += d != 0;
  }
  printf("spectrum of 4096 complex samples (window, FFT, dB, shift, decimation to 1706 points)\n");
  printf("  own radix-2: %8.1f us per spectrum\n", 1e6 * tOwn / spectra);
  printf("  FFTW (MEASURE plan, same window/dB/decimation): %8.1f us per spectrum\n",
         1e6 * tRef / spectra);
  printf("  ratio own / FFTW: %.2f  (%d spectra each, %u)\n", tOwn / tRef, spectra, sink & 1);
  printf("  output bytes: largest difference %d, %d of 1706 differ\n", maxDiff, differing);
  return 0;
}
