// The transceiver's USB sample reader; see kavread.h.
//
// Sections: 1 module state, 2 device search and set-up, 3 the completion
// handler, 4 the thread.
//
// Design rules:
// - Every libusb operation goes through the USB seam (platform/usb.h): the
//   board's backend is libusb, the simulator's a simulated device.
// - The completion handler allocates nothing: each of the four transfers
//   has its own 32 KiB buffer and 8192 floats, made once per reader run.
// - Event handling waits at most 100 ms for a completion, so a reader
//   whose EnableFFT dropped (or whose program stops) notices within 100 ms
//   even when the device has gone quiet.
// - The end cancels the transfers still in flight and waits for them
//   (at most about two seconds) before the device is closed: a transfer
//   must not complete into freed buffers.
#include "radio/kavread.h"

#include <libusb.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "platform/usb.h"
#include "radio/fftcalc.h"
#include "radio/serparams.h"
#include "remote/messages.h"

// ===========================================================================
// 1 module state
// ===========================================================================

namespace {

constexpr uint16_t kVendor = 0x1721;
constexpr uint8_t kEndpoint = 0x86;
constexpr int kTransfers = 4;
constexpr int kTransferBytes = 32768;
constexpr int kSamples = kTransferBytes / 4;  // 8192 signed 32-bit values
constexpr int kMaxErrors = 11;
constexpr int kEventsMs = 100;

struct XferCtx {
  libusb_transfer *t = nullptr;
  uint8_t buf[kTransferBytes];
  float samples[kSamples];
  works *w = nullptr;
  int number = 0;
  bool inFlight = false;
};

int status_usb_open = 0;
float globalOffset = 0, lpOffset = 0, attOffset = 0;
float recalc = 1;
std::atomic<int> err_counter{0};
int divideCount = 1;
XferCtx gCtx[kTransfers];
std::atomic<bool> gRunning{false};

const KzUsbBackend *usb() { return kzUsbCurrent(); }

char enableFFT(works *w) { return std::atomic_ref<char>(w->setup->EnableFFT).load(); }

// Logs a text that stops the reader, at error priority.
int stop(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int stop(const char *fmt, ...) {
  char text[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  kzLog(KZ_LOG_ERR, "%s", text);
  return -1;
}

float floatOf(const uint8_t *b) {
  float f;
  memcpy(&f, b, 4);  // the device's byte order, as the board's
  return f;
}

// ===========================================================================
// 2 device search and set-up
// ===========================================================================

// Finds, opens and claims the first device of the vendor; reads versions
// and serial and refuses the family's other receivers. 0 or -1.
int findDevice() {
  KzUsbId ids[64];
  const int n = usb()->listDevices(ids, 64);
  if (n < 0) return stop("Get Device Error\n");
  int found = -1;
  for (int i = 0; i < n; i++) {
    kzTrace("%d vid %04x pid %04x %d\n", i, ids[i].vendor, ids[i].product, 0);
    if (ids[i].vendor == kVendor) {
      found = i;
      break;
    }
  }
  if (found < 0) return stop("Cannot find PLM Device\n");
  if (usb()->open(found) < 0) return stop("Cannot open PLM Device\n");
  kzTrace("PLM Device Opened\n");
  status_usb_open = 1;
  if (usb()->kernelDriverActive(0) == 1) {
    kzTrace("Kernel Driver Active\n");
    if (usb()->detachKernelDriver(0) == 0) kzTrace("Kernel Driver Detached\n");
  }
  if (usb()->claimInterface(0) < 0) return stop("Cannot claim Interface\n");
  kzTrace("Interface claimed\n");

  uint8_t b[32] = {};
  int r = usb()->controlIn(0xFF, 0, 0, b, 2);
  if (r != 0)  // (the driver's own success test: any answer but none)
    kzTrace("USB Driver Version: %d.%d\n", b[1], b[0]);
  else
    kzTrace("USB Driver Version read failed\n");
  r = usb()->controlIn(0xA2, 0x404C, 0x0151, b, 2);
  if (r == 2)
    kzTrace("HW Version: %d.%d\n", b[1], b[0]);
  else
    kzTrace("HW Version read failed\n");
  char serial[33] = {};
  r = usb()->controlIn(0xA2, 0x4000, 0x0151, reinterpret_cast<uint8_t *>(serial), 32);
  if (r != 32) return stop("Serial read failed (%d)\n", r);
  serial[32] = 0;
  const uint16_t product = ids[found].product;
  if (product == 0x061A) {
    kzTrace("PLM KAV ");
  } else if (product == 0x061C || product == 0x0610) {
    // The family's other receivers stream another format.
    return stop("%s\n", product == 0x061C ? "PLM 061C receiver not supported"
                                          : "PLM 0610 receiver not supported");
  }
  kzTrace("Serial: %-s\n", serial);
  kzTrace("Device caught\n");
  kzTrace("libusb devices list freed\n");
  return 0;
}

// Offsets, then the stream: stop FIFO, init FIFO, enable. 0 or -1.
int configure() {
  uint8_t b[4];
  int r = usb()->controlIn(0xA2, 0x4028, 0x0151, b, 4);
  if (r != 4) return stop("Global Offset failed (%d)\n", r);
  globalOffset = floatOf(b);
  kzTrace("Global Offset: %f\n", double(globalOffset));
  r = usb()->controlIn(0xA2, 0x402C, 0x0151, b, 4);
  if (r != 4) return stop("LP Offset failed (%d)\n", r);
  lpOffset = floatOf(b);
  kzTrace("LP Offset: %f\n", double(lpOffset));
  r = usb()->controlIn(0xA2, 0x4030, 0x0151, b, 4);
  if (r != 4) return stop("ATT Offset failed (%d)\n", r);
  attOffset = floatOf(b);
  kzTrace("ATT Offset: %f\n", double(attOffset));
  // Missing acknowledgements of the stream commands are only logged.
  r = usb()->controlIn(0xE1, 0, 0xE900, b, 1);
  if (r == 1)
    kzTrace("Stop FIFO\n");
  else
    kzTrace("Stop FIFO failed (%d)\n", r);
  r = usb()->controlIn(0xE1, 0, 0xE800, b, 1);
  if (r == 1)
    kzTrace("Init FIFO\n");
  else
    kzTrace("Init FIFO failed (%d)\n", r);
  b[0] = 0;
  r = usb()->controlIn(0xE1, 1, 0xE900, b, 1);
  if (r != 1 || b[0] != 0xE9) kzTrace("Enable SYN failed (%d %02X)\n", r, b[0]);
  kzTrace("SYN Enabled\n");
  return 0;
}

int startTransfers(works *w) {
  for (int i = 0; i < kTransfers; i++) {
    XferCtx &c = gCtx[i];
    c.w = w;
    c.number = i;
    c.inFlight = false;
    if (c.t == nullptr) c.t = usb()->allocTransfer();
    if (c.t == nullptr) return stop("libusb_alloc_transfer failed\n");
  }
  kzTrace("libusb_alloc_transfer succedeed\n");
  for (int i = 0; i < kTransfers; i++) {
    XferCtx &c = gCtx[i];
    usb()->fillBulk(c.t, kEndpoint, c.buf, kTransferBytes, cb_in, &c, 2000);
    const int r = usb()->submitTransfer(c.t);
    if (r < 0) {
      if (i == kTransfers - 1)
        return stop("libusb_submit_transfer failed (%d), %s:%d\n", r, "KAVRead", __LINE__);
      return stop("libusb_submit_transfer failed (%d)\n", r);
    }
    c.inFlight = true;
  }
  kzTrace("libusb_submit_transfer succedeed\n");
  kzTrace("SYN transfer starting\n");
  return 0;
}

// Cancels what is in flight and waits for it, then lets the transfers go.
void endTransfers() {
  for (XferCtx &c : gCtx)
    if (c.inFlight && c.t) usb()->cancelTransfer(c.t);
  for (int tries = 0; tries < 20; tries++) {
    bool any = false;
    for (XferCtx &c : gCtx) any = any || c.inFlight;
    if (!any) break;
    usb()->handleEvents(kEventsMs);
  }
  for (XferCtx &c : gCtx) {
    if (c.t && !c.inFlight) {
      usb()->freeTransfer(c.t);
      c.t = nullptr;
    }
  }
}

}  // namespace

// ===========================================================================
// 3 the completion handler
// ===========================================================================

// Cost per completed transfer: 8192 conversions, and one spectrum every
// Divide-th transfer while a peer is connected.
void cb_in(libusb_transfer *t) {
  XferCtx *c = static_cast<XferCtx *>(t->user_data);
  c->inFlight = false;
  works *w = c->w;
  switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED: {
      err_counter = 0;
      if (std::atomic_ref<char>(w->setup->EnableFFT2).load() == '0') break;
      SerParameters p;
      getParameters(&p, w);
      const float l = p.lp >= 1 ? lpOffset : 0.0f;
      recalc = float(std::pow(10.0, (21.4 - double(globalOffset) + double(l)) / 20.0));
      const int values = t->actual_length / 4;
      const float k = recalc / 2.0f / 1024.0f / 1024.0f / 1024.0f;
      for (int i = 0; i < values && i < kSamples; i++) {
        int32_t v;
        memcpy(&v, c->buf + 4 * i, 4);
        c->samples[i] = float(v) * k;
      }
      if (--divideCount <= 0) {
        const int d = std::atomic_ref<int>(w->divide).load();
        divideCount = d > 0 ? d : 1;
        if (w->wsConnected.load() == 1 && fftCalc(c->samples, kSamples, w) != 0)
          err_counter = kMaxErrors;  // no work areas: the reader gives up
      }
      break;
    }
    case LIBUSB_TRANSFER_ERROR: kzTrace("CB result: Error %d\n", c->number); err_counter++; break;
    case LIBUSB_TRANSFER_TIMED_OUT: kzTrace("CB result: Timedout %d\n", c->number); err_counter++; break;
    case LIBUSB_TRANSFER_CANCELLED: kzTrace("CB result: Cancelled %d\n", c->number); err_counter++; break;
    case LIBUSB_TRANSFER_STALL: kzTrace("CB result: Stalled %d\n", c->number); err_counter++; break;
    case LIBUSB_TRANSFER_NO_DEVICE: kzTrace("CB result: Nodevice %d\n", c->number); err_counter++; break;
    case LIBUSB_TRANSFER_OVERFLOW: kzTrace("CB result: Overflowed %d\n", c->number); err_counter++; break;
    default: err_counter++; break;
  }
  // A cancelled transfer is the reader's own end: not submitted again.
  if (t->status == LIBUSB_TRANSFER_CANCELLED || enableFFT(w) != '1') return;
  if (err_counter.load() < kMaxErrors) {
    const int r = usb()->submitTransfer(t);
    if (r < 0) {
      kzLog(KZ_LOG_ERR, "libusb_submit_transfer failed (%d)  %s:%d\n", r, "KAVRead", __LINE__);
      err_counter = kMaxErrors;  // the reader ends and gives up
    } else {
      c->inFlight = true;
    }
  } else {
    kzTrace("libusb_err_counter (%d), %s:%d\n", err_counter.load(), "KAVRead", __LINE__);
  }
}

// The spectrum of a transfer, sent to the connected peer.
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

// ===========================================================================
// 4 the thread
// ===========================================================================

void ExitKavread(works *w) {
  AddErrore(w, 5);
  std::atomic_ref<char>(w->setup->EnableFFT).store('0');
  w->remoteRestart = 1;
  if (status_usb_open) usb()->close();
  status_usb_open = 0;
}

bool KavReadClaim() {
  bool expected = false;
  return gRunning.compare_exchange_strong(expected, true);
}

void KAVRead(works *w) {
  // Started while the program stops (or before it runs): nothing to read,
  // and nothing has failed.
  if (w->running.load() == 0) {
    gRunning = false;
    return;
  }
  kzLog(KZ_LOG_INFO, "Operations init vorn-comms version 1.0\n");
  kzTrace("Operations init vorn-comms version 1.0\n");
  err_counter = 0;
  divideCount = 1;
  int rc = usb()->init();
  if (rc < 0) {
    stop("Init Error %d\n", rc);
  } else if (findDevice() == 0 && configure() == 0 && startTransfers(w) == 0) {
    int events = 0;
    while (enableFFT(w) == '1' && err_counter.load() <= kMaxErrors - 1 && w->running.load() != 0) {
      events = usb()->handleEvents(kEventsMs);
      if (events != 0) {
        printf("%d\n", events);
        fflush(stdout);
      }
    }
    kzTrace("libusb_handle events completed (%d)\n", events);
    kzTrace("%s Operations end\n", "KAVRead");
  }
  endTransfers();
  if (status_usb_open) usb()->releaseInterface(0);
  ExitKavread(w);
  usb()->exit();
  gRunning = false;
}
