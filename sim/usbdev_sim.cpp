// Simulated transceiver on the USB bus; see usbdev_sim.h.
#include "sim/usbdev_sim.h"

#include <libusb.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/usb.h"

struct UsbDevSim {
  UsbDevSimOptions opt;
  std::mutex m;
  std::mt19937 rng{20261208u};
  std::normal_distribution<double> gauss{0.0, 1.0};
  std::vector<double> phase, step, amp;  // per tone
  double sigma = 0;                      // per I and Q value, full scale 1
  int timeoutsLeft = 0;
  uint8_t shortRequest = 0;
  uint16_t shortValue = 0;
  int shortBytes = 0;
  bool shortSet = false;
  UsbDevSimState st{};
  KzUsbSimPeer peer{};
};

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kComplexPerTransfer = 4096;
// A tone of amplitude A reads A sum(w) / (N / 2) = 2 x 0.35875 A (the
// window's coherent gain, the unit's scale 2 / N); noise of sigma per I and
// Q value reads 8 sigma^2 sum(w^2) / N^2 in power, sum(w^2) = 0.2580 N.
constexpr double kWinGain = 2 * 0.35875, kWinPower = 0.2580;
constexpr double kFullScale = 2147483647.0;

int putBytes(uint8_t *data, uint16_t len, const void *src, int n) {
  const int k = n < len ? n : len;
  memcpy(data, src, size_t(k));
  return k;
}

int control(void *ctx, KzUsbId, uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
            uint16_t len) {
  UsbDevSim *d = static_cast<UsbDevSim *>(ctx);
  std::lock_guard<std::mutex> lk(d->m);
  d->st.requests++;
  if (d->shortSet && request == d->shortRequest && value == d->shortValue) {
    if (d->shortBytes < 0) return d->shortBytes;
    uint8_t zero[64] = {};
    return putBytes(data, len, zero, d->shortBytes);
  }
  if (request == 0xFF) {
    const uint8_t v[2] = {3, 1};  // driver 1.3
    return putBytes(data, len, v, 2);
  }
  if (request == 0xA2 && index == 0x0151) {
    switch (value) {
      case 0x404C: {
        const uint8_t v[2] = {2, 1};  // hardware 1.2
        return putBytes(data, len, v, 2);
      }
      case 0x4000: {
        char s[32] = {};
        strncpy(s, d->opt.serial, sizeof s - 1);
        return putBytes(data, len, s, 32);
      }
      case 0x4028: return putBytes(data, len, &d->opt.globalOffset, 4);
      case 0x402C: return putBytes(data, len, &d->opt.lpOffset, 4);
      case 0x4030: return putBytes(data, len, &d->opt.attOffset, 4);
      default: return LIBUSB_ERROR_PIPE;
    }
  }
  if (request == 0xE1) {
    uint8_t ack = 0xE9;
    if (index == 0xE900 && value == 1) d->st.streaming = true;
    if (index == 0xE900 && value == 0) d->st.streaming = false;
    if (index == 0xE800) ack = 0xE8;
    return putBytes(data, len, &ack, 1);
  }
  return LIBUSB_ERROR_PIPE;
}

// Cost: 4096 complex samples, one sine and cosine per tone per sample.
int bulkIn(void *ctx, uint8_t endpoint, uint8_t *buf, int len, int *actual) {
  UsbDevSim *d = static_cast<UsbDevSim *>(ctx);
  std::lock_guard<std::mutex> lk(d->m);
  *actual = 0;
  if (endpoint != 0x86) return LIBUSB_TRANSFER_STALL;
  if (d->timeoutsLeft > 0) {
    d->timeoutsLeft--;
    d->st.timeouts++;
    return LIBUSB_TRANSFER_TIMED_OUT;
  }
  if (!d->st.streaming) return LIBUSB_TRANSFER_TIMED_OUT;  // nothing flows
  const int complexCount = len / 8 < kComplexPerTransfer ? len / 8 : kComplexPerTransfer;
  for (int k = 0; k < complexCount; k++) {
    double i = d->sigma * d->gauss(d->rng), q = d->sigma * d->gauss(d->rng);
    for (size_t t = 0; t < d->phase.size(); t++) {
      i += d->amp[t] * std::cos(d->phase[t]);
      q += d->amp[t] * std::sin(d->phase[t]);
      d->phase[t] = std::fmod(d->phase[t] + d->step[t], 2 * kPi);
    }
    const int32_t iv = int32_t(std::lround(std::fmax(-1.0, std::fmin(1.0, i)) * kFullScale));
    const int32_t qv = int32_t(std::lround(std::fmax(-1.0, std::fmin(1.0, q)) * kFullScale));
    memcpy(buf + 8 * k, &iv, 4);
    memcpy(buf + 8 * k + 4, &qv, 4);
  }
  *actual = complexCount * 8;
  d->st.transfers++;
  return LIBUSB_TRANSFER_COMPLETED;
}

}  // namespace

UsbDevSim *usbDevSimStart(const UsbDevSimOptions &opt) {
  UsbDevSim *d = new UsbDevSim();
  d->opt = opt;
  // The unit's values are 2^31 x recalc / 2 / 2^30 = recalc per full-scale
  // unit; with the global offset at 21.4 dB recalc is 1, so full scale
  // here is 1.0 in the unit's spectrum.
  for (const UsbDevSimTone &t : opt.tones) {
    d->phase.push_back(0);
    d->step.push_back(2 * kPi * t.offsetHz / opt.sampleRate);
    d->amp.push_back(std::pow(10.0, t.levelDb / 20.0) / kWinGain);
  }
  // Floor of a 4096-point spectrum: 2 sigma^2 N kWinPower / (N / 2)^2.
  const double n = 4096;
  d->sigma = std::sqrt(std::pow(10.0, opt.noiseDb / 10.0) * n / (8.0 * kWinPower));
  d->peer.control = control;
  d->peer.bulkIn = bulkIn;
  d->peer.periodUs = int(std::lround(kComplexPerTransfer / opt.sampleRate * 1e6));
  d->peer.ctx = d;
  kzUsbSimSetPeer(&d->peer);
  return d;
}

void usbDevSimStop(UsbDevSim *d) {
  if (!d) return;
  kzUsbSimSetPeer(nullptr);
  delete d;
}

void usbDevSimTimeouts(UsbDevSim *d, int n) {
  std::lock_guard<std::mutex> lk(d->m);
  d->timeoutsLeft = n;
}

void usbDevSimShortAnswer(UsbDevSim *d, uint8_t request, uint16_t value, int bytes) {
  std::lock_guard<std::mutex> lk(d->m);
  d->shortSet = true;
  d->shortRequest = request;
  d->shortValue = value;
  d->shortBytes = bytes;
}

UsbDevSimState usbDevSimState(UsbDevSim *d) {
  std::lock_guard<std::mutex> lk(d->m);
  return d->st;
}
