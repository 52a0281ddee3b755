// USB seam backends; see usb.h.
//
// Sections: 1 board backend (libusb), 2 simulated backend (device list,
// the open device's requests and bulk stream through a KzUsbSimPeer),
// 3 selection.
#include "platform/usb.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/clock.h"
#include "platform/log.h"

namespace {

// ===========================================================================
// 1 board backend
// ===========================================================================

// One libusb context per look-up: the check runs once per operator
// request, and nothing is left open between requests.
// Cost: one pass over the bus's device list.
int boardFindDevice(uint16_t vendor, uint16_t product) {
  libusb_context *ctx = nullptr;
  int rc = libusb_init(&ctx);
  if (rc < 0) {
    kzLog(KZ_LOG_ERR, "USB: libusb_init failed: %s", libusb_error_name(rc));
    return -1;
  }
  libusb_device **list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0) {
    kzLog(KZ_LOG_ERR, "USB: device list not readable: %s", libusb_error_name(int(n)));
    libusb_exit(ctx);
    return -1;
  }
  int found = 0;
  for (ssize_t i = 0; i < n && !found; ++i) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(list[i], &d) < 0) continue;
    if (d.idVendor == vendor && d.idProduct == product) found = 1;
  }
  libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  return found;
}

// The sample reader's device: one context, its device list and the open
// handle, kept between the calls of one reader run (the reader is the
// only user; it runs on one thread).
libusb_context *gCtx = nullptr;
libusb_device **gList = nullptr;
ssize_t gListCount = 0;
libusb_device_handle *gHandle = nullptr;

int boardInit() {
  int rc = libusb_init(&gCtx);
  if (rc < 0) return rc;
  libusb_set_option(gCtx, LIBUSB_OPTION_LOG_LEVEL, 3);
  return 0;
}

void boardClose() {
  if (gHandle) libusb_close(gHandle);
  gHandle = nullptr;
}

void boardExit() {
  boardClose();
  if (gList) libusb_free_device_list(gList, 1);
  gList = nullptr;
  gListCount = 0;
  if (gCtx) libusb_exit(gCtx);
  gCtx = nullptr;
}

int boardListDevices(KzUsbId *out, int max) {
  if (gList) libusb_free_device_list(gList, 1);
  gList = nullptr;
  gListCount = libusb_get_device_list(gCtx, &gList);
  if (gListCount < 0) {
    int rc = int(gListCount);
    gListCount = 0;
    return rc;
  }
  int n = 0;
  for (ssize_t i = 0; i < gListCount && n < max; ++i, ++n) {
    libusb_device_descriptor d;
    int rc = libusb_get_device_descriptor(gList[i], &d);
    if (rc < 0) return rc;
    out[n] = {d.idVendor, d.idProduct};
  }
  return n;
}

int boardOpen(int index) {
  if (index < 0 || index >= gListCount) return LIBUSB_ERROR_NOT_FOUND;
  return libusb_open(gList[index], &gHandle);
}

int boardKernelDriverActive(int iface) {
  return gHandle ? libusb_kernel_driver_active(gHandle, iface) : LIBUSB_ERROR_NO_DEVICE;
}
int boardDetachKernelDriver(int iface) {
  return gHandle ? libusb_detach_kernel_driver(gHandle, iface) : LIBUSB_ERROR_NO_DEVICE;
}
int boardClaimInterface(int iface) {
  return gHandle ? libusb_claim_interface(gHandle, iface) : LIBUSB_ERROR_NO_DEVICE;
}
int boardReleaseInterface(int iface) {
  return gHandle ? libusb_release_interface(gHandle, iface) : LIBUSB_ERROR_NO_DEVICE;
}
int boardControlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data, uint16_t len) {
  if (!gHandle) return LIBUSB_ERROR_NO_DEVICE;
  return libusb_control_transfer(gHandle, 0xC0, request, value, index, data, len, 0);
}
libusb_transfer *boardAllocTransfer() { return libusb_alloc_transfer(0); }
void boardFreeTransfer(libusb_transfer *t) { libusb_free_transfer(t); }
void boardFillBulk(libusb_transfer *t, uint8_t ep, uint8_t *buf, int len, KzUsbTransferCb cb,
                   void *user, unsigned timeoutMs) {
  libusb_fill_bulk_transfer(t, gHandle, ep, buf, len, cb, user, timeoutMs);
}
int boardSubmit(libusb_transfer *t) { return libusb_submit_transfer(t); }
int boardCancel(libusb_transfer *t) { return libusb_cancel_transfer(t); }
int boardHandleEvents(int timeoutMs) {
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return libusb_handle_events_timeout_completed(gCtx, &tv, nullptr);
}

// ===========================================================================
// 2 simulated backend
// ===========================================================================

enum { kSimMax = 16 };
std::mutex gSimMut;
KzUsbId gSimIds[kSimMax];
int gSimCount = 0;
bool gSimFails = false;

int simFindDevice(uint16_t vendor, uint16_t product) {
  std::lock_guard<std::mutex> lk(gSimMut);
  if (gSimFails) return -1;
  for (int i = 0; i < gSimCount; ++i)
    if (gSimIds[i].vendor == vendor && gSimIds[i].product == product) return 1;
  return 0;
}

// The open simulated device and its transfers in flight, each with the
// time it completes: one every periodUs after the one before (or after
// its submission, when the stream had caught up), as a device streaming
// at a fixed rate fills them in turn.
struct SimFlight {
  libusb_transfer *t;
  int64_t dueUs;
};
KzUsbSimPeer gPeer{};
bool gPeerSet = false;
KzUsbId gOpen{0, 0};
bool gOpened = false;
std::deque<SimFlight> gFlight;
int64_t gLastDueUs = 0;
std::condition_variable gSimCv;

int64_t nowUs() { return kzNowMs() * 1000; }

int simInit() { return 0; }

void simClose() {
  std::lock_guard<std::mutex> lk(gSimMut);
  gOpened = false;
  gFlight.clear();  // nothing completes on a closed device
}

void simExit() { simClose(); }

int simListDevices(KzUsbId *out, int max) {
  std::lock_guard<std::mutex> lk(gSimMut);
  if (gSimFails) return LIBUSB_ERROR_IO;
  int n = std::min(gSimCount, max);
  for (int i = 0; i < n; ++i) out[i] = gSimIds[i];
  return n;
}

int simOpen(int index) {
  std::lock_guard<std::mutex> lk(gSimMut);
  if (index < 0 || index >= gSimCount) return LIBUSB_ERROR_NOT_FOUND;
  gOpen = gSimIds[index];
  gOpened = true;
  gLastDueUs = 0;
  return 0;
}

int simKernelDriverActive(int) { return 0; }
int simDetachKernelDriver(int) { return 0; }
int simInterface(int) {
  std::lock_guard<std::mutex> lk(gSimMut);
  return gOpened ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int simControlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data, uint16_t len) {
  KzUsbSimPeer peer;
  KzUsbId dev;
  {
    std::lock_guard<std::mutex> lk(gSimMut);
    if (!gOpened) return LIBUSB_ERROR_NO_DEVICE;
    if (!gPeerSet) return LIBUSB_ERROR_PIPE;
    peer = gPeer;
    dev = gOpen;
  }
  return peer.control(peer.ctx, dev, request, value, index, data, len);
}

libusb_transfer *simAllocTransfer() {
  return static_cast<libusb_transfer *>(calloc(1, sizeof(libusb_transfer)));
}
void simFreeTransfer(libusb_transfer *t) { free(t); }
void simFillBulk(libusb_transfer *t, uint8_t ep, uint8_t *buf, int len, KzUsbTransferCb cb,
                 void *user, unsigned timeoutMs) {
  libusb_fill_bulk_transfer(t, nullptr, ep, buf, len, cb, user, timeoutMs);
}

int simSubmit(libusb_transfer *t) {
  std::lock_guard<std::mutex> lk(gSimMut);
  if (!gOpened) return LIBUSB_ERROR_NO_DEVICE;
  const int period = gPeerSet && gPeer.periodUs > 0 ? gPeer.periodUs : 1000000;
  int64_t due = std::max(nowUs(), gLastDueUs) + period;
  gLastDueUs = due;
  gFlight.push_back({t, due});
  gSimCv.notify_all();
  return 0;
}

int simCancel(libusb_transfer *t) {
  std::lock_guard<std::mutex> lk(gSimMut);
  for (SimFlight &f : gFlight)
    if (f.t == t) {
      f.dueUs = 0;  // reported cancelled at the next event handling
      t->status = LIBUSB_TRANSFER_CANCELLED;
      return 0;
    }
  return LIBUSB_ERROR_NOT_FOUND;
}

// Completes the first transfer in flight once its time has come (at most
// `timeoutMs` of waiting), outside the lock: the handler resubmits.
int simHandleEvents(int timeoutMs) {
  libusb_transfer *t = nullptr;
  KzUsbSimPeer peer{};
  bool cancelled = false;
  {
    std::unique_lock<std::mutex> lk(gSimMut);
    const int64_t until = nowUs() + int64_t(timeoutMs) * 1000;
    for (;;) {
      if (!gFlight.empty() && gFlight.front().dueUs <= nowUs()) break;
      int64_t wake = until;
      if (!gFlight.empty()) wake = std::min(wake, gFlight.front().dueUs);
      const int64_t left = wake - nowUs();
      if (left <= 0 && nowUs() >= until) return 0;
      if (left > 0) {
        // Short sleeps on the clock seam, then look again (a cancel or a
        // new submission may have come meanwhile).
        lk.unlock();
        kzSleepUs(std::min<int64_t>(left, 2000));
        lk.lock();
      }
    }
    t = gFlight.front().t;
    cancelled = gFlight.front().dueUs == 0;
    gFlight.pop_front();
    peer = gPeer;
  }
  if (cancelled) {
    t->status = LIBUSB_TRANSFER_CANCELLED;
    t->actual_length = 0;
  } else if (peer.bulkIn) {
    int actual = 0;
    t->status = libusb_transfer_status(peer.bulkIn(peer.ctx, t->endpoint, t->buffer, t->length, &actual));
    t->actual_length = actual;
  } else {
    t->status = LIBUSB_TRANSFER_TIMED_OUT;
    t->actual_length = 0;
  }
  if (t->callback) t->callback(t);
  return 0;
}

std::atomic<const KzUsbBackend *> gBackend{&kzUsbSimulated};

}  // namespace

// ===========================================================================
// 3 selection
// ===========================================================================

const KzUsbBackend kzUsbBoard = {
    boardFindDevice,       boardInit,           boardExit,
    boardListDevices,      boardOpen,           boardClose,
    boardKernelDriverActive, boardDetachKernelDriver, boardClaimInterface,
    boardReleaseInterface, boardControlIn,      boardAllocTransfer,
    boardFreeTransfer,     boardFillBulk,       boardSubmit,
    boardCancel,           boardHandleEvents};
const KzUsbBackend kzUsbSimulated = {
    simFindDevice,     simInit,         simExit,        simListDevices,  simOpen,
    simClose,          simKernelDriverActive, simDetachKernelDriver, simInterface,
    simInterface,      simControlIn,    simAllocTransfer, simFreeTransfer, simFillBulk,
    simSubmit,         simCancel,       simHandleEvents};

void kzUsbSimSetPeer(const KzUsbSimPeer *peer) {
  std::lock_guard<std::mutex> lk(gSimMut);
  gPeerSet = peer != nullptr;
  gPeer = peer ? *peer : KzUsbSimPeer{};
}

void kzUsbUse(const KzUsbBackend *backend) { gBackend = backend ? backend : &kzUsbSimulated; }
const KzUsbBackend *kzUsbCurrent() { return gBackend.load(); }

int kzUsbFindDevice(uint16_t vendor, uint16_t product) {
  return gBackend.load()->findDevice(vendor, product);
}

void kzUsbSimSetDevices(const KzUsbId *ids, int count) {
  std::lock_guard<std::mutex> lk(gSimMut);
  if (ids == nullptr || count < 0) count = 0;
  if (count > kSimMax) count = kSimMax;
  for (int i = 0; i < count; ++i) gSimIds[i] = ids[i];
  gSimCount = count;
}

void kzUsbSimListFails(bool fails) {
  std::lock_guard<std::mutex> lk(gSimMut);
  gSimFails = fails;
}
