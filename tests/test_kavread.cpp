// The transceiver's USB sample reader and its spectrum: the FFT against a
// direct transform, tones landing in their bins at both sizes, the dB
// clamp; the reader against the simulated device through the USB seam
// (spectra sent as "SP" into a socket pair standing for the remote link):
// the Divide count-down, the switch to 854 points while streaming, the
// time-out stop, refused products, short vendor requests; the board's
// backend on a machine without the device.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <thread>
#include <vector>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "platform/usb.h"
#include "radio/fftcalc.h"
#include "radio/kavread.h"
#include "radio/serparams.h"
#include "sim/usbdev_sim.h"
#include "support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Interleaved I/Q of one complex tone `bins` bins from zero at amplitude a.
std::vector<float> tone(int n, double bins, double a) {
  std::vector<float> x(size_t(2 * n));
  for (int k = 0; k < n; k++) {
    x[size_t(2 * k)] = float(a * std::cos(2 * kPi * bins * k / n));
    x[size_t(2 * k + 1)] = float(a * std::sin(2 * kPi * bins * k / n));
  }
  return x;
}

// The strongest of the points.
int peak(const uint8_t *out, int points) {
  int best = 0;
  for (int k = 1; k < points; k++)
    if (out[k] > out[best]) best = k;
  return best;
}

// A unit whose remote link is one end of a socket pair: the spectra the
// reader sends are read back from the other end, whole "SP" chunk frames.
struct ReaderFix {
  KzLogCapture log{0};
  SetupRec rec{};
  SerParameters par{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  int sv[2] = {-1, -1};
  KzUsbId ids[2] = {{0x1d6b, 0x0002}, {0x1721, 0x061A}};
  ReaderFix() {
    initSetup(w.get());
    w->errorsMuted = 0;  // the amplifier has answered
    w->serParams = &par;
    w->running = 1;
    rec.EnableFFT = '1';
    rec.EnableFFT2 = '1';
    rec.Enable1600 = '1';
    w->divide = 1;
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    w->wsFD = sv[0];
    w->wsConnected = 1;
    kzUsbSimSetDevices(ids, 2);
  }
  ~ReaderFix() {
    kzUsbSimSetDevices(nullptr, 0);
    close(sv[0]);
    close(sv[1]);
  }
  // Reads the spectra that came, waiting up to `ms` for `want` more; their
  // totals (one per chunk at offset 0) are kept in `totals`; returns the
  // new ones.
  std::vector<int> totals;
  std::vector<uint8_t> body;
  std::vector<int> spectra(size_t want, int ms, std::vector<std::vector<uint8_t>> *bodies = nullptr) {
    const size_t had = totals.size();
    kzWaitFor(
        [&] {
          uint8_t frame[526];
          while (recv(sv[1], frame, sizeof frame, MSG_DONTWAIT | MSG_PEEK) == int(sizeof frame)) {
            if (recv(sv[1], frame, sizeof frame, MSG_WAITALL) != int(sizeof frame)) break;
            const int total = frame[6] << 24 | frame[7] << 16 | frame[8] << 8 | frame[9];
            const int off = frame[10] << 24 | frame[11] << 16 | frame[12] << 8 | frame[13];
            if (off == 0) {
              totals.push_back(total);
              body.assign(size_t(total), 0);
            }
            for (int i = 0; i < 512 && off + i < int(body.size()); i++) body[size_t(off + i)] = frame[14 + i];
            if (bodies && off + 512 >= total) bodies->push_back(body);
          }
          return totals.size() >= had + want;
        },
        ms);
    return std::vector<int>(totals.begin() + long(had), totals.end());
  }
};

}  // namespace

TEST(KavFft, TransformMatchesTheDirectDftAndTonesLandInTheirBins) {
  auto f = std::make_unique<KzFft>();
  for (int n : {2048, 4096}) {
    kzFftBuild(f.get(), n);
    // The transform alone against a direct DFT of the same input.
    std::vector<std::complex<double>> in(static_cast<size_t>(n));
    for (int k = 0; k < n; k++) {
      in[size_t(k)] = {std::sin(0.37 * k) + 0.2 * std::cos(1.9 * k), std::cos(0.11 * k * k)};
      f->re[k] = in[size_t(k)].real();
      f->im[k] = in[size_t(k)].imag();
    }
    kzFftTransform(f.get());
    double worst = 0;
    for (int m : {0, 1, 7, n / 4, n / 2, n - 1}) {
      std::complex<double> s = 0;
      for (int k = 0; k < n; k++) s += in[size_t(k)] * std::polar(1.0, -2 * kPi * double(m) * k / n);
      worst = std::max(worst, std::abs(s - std::complex<double>(f->re[m], f->im[m])));
    }
    EXPECT_LT(worst, 1e-9 * n) << n;

    // A tone at zero frequency is FFT bin 0; one d bins up lands at its
    // level (-40 dB: the window's coherent gain 0.35875 and the scale
    // 2 / N) in the point of shifted bin n / 2 + d: every second shifted
    // bin from `first` is a point.
    uint8_t out[KZ_FFT_POINTS_MAX];
    const double a = 0.01 / (2 * 0.35875);
    kzFftSpectrum(f.get(), tone(n, 0, a).data(), out);
    EXPECT_NEAR(std::hypot(f->re[0], f->im[0]) * 2 / n, 0.01, 1e-5);  // (w[0] is 0)
    EXPECT_LT(std::hypot(f->re[5], f->im[5]) * 2 / n, 1e-6);
    const int first = n == 2048 ? 170 : 341, d = n == 2048 ? 100 : 101;
    const int points = kzFftSpectrum(f.get(), tone(n, d, a).data(), out);
    EXPECT_EQ(points, n == 2048 ? 854 : 1706);
    EXPECT_EQ(peak(out, points), (n / 2 + d - first) / 2);
    EXPECT_NEAR(int(out[(n / 2 + d - first) / 2]) - 192, -40, 1);
  }
  // The clamp: nothing reads -192 dB (byte 0), a huge tone 50 dB (242).
  uint8_t out[KZ_FFT_POINTS_MAX];
  std::vector<float> silence(8192, 0.0f);
  const int points = kzFftSpectrum(f.get(), silence.data(), out);
  EXPECT_EQ(*std::max_element(out, out + points), 0);
  kzFftSpectrum(f.get(), tone(f->n, 101, 2000).data(), out);
  EXPECT_EQ(out[(2048 + 101 - 341) / 2], 242);
}

// The reader against the simulated device: one spectrum per Divide
// completed transfers, the tones in their points, 854 points once
// Enable1600 turns '0' while streaming, and a clean end when EnableFFT drops.
TEST(KavRead, StreamsSpectraEveryDivideTransfersAndFollowsEnable1600) {
  ReaderFix fx;
  UsbDevSim *dev = usbDevSimStart();
  ASSERT_NE(dev, nullptr);
  works *w = fx.w.get();
  w->divide = 3;
  ASSERT_TRUE(KavReadClaim());
  std::thread th(KAVRead, w);
  std::vector<std::vector<uint8_t>> bodies;
  std::vector<int> first = fx.spectra(3, 20000, &bodies);
  ASSERT_GE(first.size(), 3u);
  EXPECT_EQ(first[0], 1706);
  // The +7 kHz tone at -45 dB: 4096 points at 192 kHz, 46.875 Hz a bin.
  const int bin7k = 2048 + int(std::lround(7000 / 46.875));
  ASSERT_FALSE(bodies.empty());
  EXPECT_NEAR(int(bodies[0][size_t((bin7k - 341) / 2)]) - 192, -45, 3);
  std::atomic_ref<char>(fx.rec.Enable1600).store('0');
  EXPECT_TRUE(kzWaitFor(
      [&] {
        std::vector<int> more = fx.spectra(1, 2000);
        return !more.empty() && more.back() == 854;
      },
      20000));
  std::atomic_ref<char>(fx.rec.EnableFFT).store('0');
  th.join();
  // Every completed transfer went through the count-down: spectra at the
  // 1st, 4th, 7th ... transfer.
  const uint64_t transfers = usbDevSimState(dev).transfers;
  fx.spectra(0, 0);
  EXPECT_GE(transfers, 9u);
  EXPECT_EQ(fx.totals.size(), size_t((transfers + 2) / 3));
  EXPECT_EQ(fx.log.countContaining("CB result: Timedout"), 0);
  EXPECT_EQ(fx.log.countContaining("SYN Enabled"), 1);
  usbDevSimStop(dev);
}

TEST(KavRead, GivesUpWithErrorFiveWhereTheDeviceFails) {
  // Eleven time-outs in a row end the stream.
  {
    ReaderFix fx;
    UsbDevSim *dev = usbDevSimStart();
    usbDevSimTimeouts(dev, 11);
    ASSERT_TRUE(KavReadClaim());
    KAVRead(fx.w.get());
    EXPECT_EQ(usbDevSimState(dev).timeouts, 11u);
    EXPECT_GE(fx.log.countContaining("CB result: Timedout"), 11);
    EXPECT_TRUE(ExistError(fx.w.get(), 5));
    EXPECT_EQ(fx.rec.EnableFFT, '0');
    EXPECT_EQ(fx.w->remoteRestart.load(), 1);
    usbDevSimStop(dev);
  }
  // A receiver of the family that streams another format; a short serial
  // number; the driver's hardware version may fail without harm.
  struct Case {
    uint16_t product;
    uint8_t request;
    uint16_t value;
    int bytes;
    const char *log;
    bool streams;
  } cases[] = {{0x061C, 0, 0, 0, "PLM 061C receiver not supported", false},
               {0x061A, 0xA2, 0x4000, 16, "Serial read failed (16)", false},
               {0x061A, 0xA2, 0x4028, -9, "Global Offset failed (-9)", false},
               {0x061A, 0xA2, 0x404C, -9, "HW Version read failed", true}};
  for (const Case &c : cases) {
    ReaderFix fx;
    fx.ids[1].product = c.product;
    kzUsbSimSetDevices(fx.ids, 2);
    UsbDevSim *dev = usbDevSimStart();
    if (c.request) usbDevSimShortAnswer(dev, c.request, c.value, c.bytes);
    ASSERT_TRUE(KavReadClaim());
    std::thread th(KAVRead, fx.w.get());
    if (c.streams) {
      EXPECT_FALSE(fx.spectra(1, 20000).empty()) << c.log;
      std::atomic_ref<char>(fx.rec.EnableFFT).store('0');
    }
    th.join();
    EXPECT_EQ(fx.log.countContaining(c.log), 1) << c.log;
    EXPECT_EQ(usbDevSimState(dev).streaming, c.streams) << c.log;
    EXPECT_TRUE(ExistError(fx.w.get(), 5)) << c.log;
    usbDevSimStop(dev);
  }
}

TEST(KavRead, TheBoardBackendWithoutTheDeviceReportsIt) {
  ReaderFix fx;
  kzUsbUse(&kzUsbBoard);
  ASSERT_TRUE(KavReadClaim());
  KAVRead(fx.w.get());
  kzUsbUse(&kzUsbSimulated);
  // No transceiver on this machine's bus (or no bus at all).
  EXPECT_EQ(fx.log.countContaining("Cannot find PLM Device") + fx.log.countContaining("Init Error") +
                fx.log.countContaining("Get Device Error"),
            1);
  EXPECT_TRUE(ExistError(fx.w.get(), 5));
}
