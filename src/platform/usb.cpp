// USB seam backends; see usb.h.
#include "platform/usb.h"

#include <libusb.h>

#include <atomic>
#include <mutex>

#include "platform/log.h"

namespace {

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

std::atomic<const KzUsbBackend *> gBackend{&kzUsbSimulated};

}  // namespace

const KzUsbBackend kzUsbBoard = {boardFindDevice};
const KzUsbBackend kzUsbSimulated = {simFindDevice};

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
