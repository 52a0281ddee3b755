// USB seam: what the program asks of the board's USB bus, behind a small
// table of functions chosen at start. The board backend uses libusb; the
// simulated backend answers from a device list that tests and the
// simulator set, and hands the transceiver's requests and sample stream to
// a simulated device (a KzUsbSimPeer, written in sim/ from the device's
// wire protocol alone).
//
// Two users: the remote readiness check looks devices up (findDevice);
// the transceiver's sample reader opens one device, claims interface 0,
// makes vendor requests and keeps bulk transfers in flight. The reader's
// operations act on one device at a time (the bus's only reader), as the
// reader's module state does.
#pragma once
#include <cstdint>

struct libusb_transfer;
typedef void (*KzUsbTransferCb)(libusb_transfer *t);

struct KzUsbId {
  uint16_t vendor, product;
};

struct KzUsbBackend {
  // Looks for a device with this vendor and product id in the bus's
  // device list: 1 present, 0 absent, -1 the list could not be read.
  int (*findDevice)(uint16_t vendor, uint16_t product);

  // ---- the sample reader (libusb error codes, negative, on failure) ----
  int (*init)();   // a context with debug level 3
  void (*exit)();  // closes what is still open
  // The device list in bus order into `out` (at most `max`): the count,
  // or < 0 when the list cannot be read. The list stays valid for open().
  int (*listDevices)(KzUsbId *out, int max);
  int (*open)(int index);  // device `index` of the last list
  void (*close)();
  int (*kernelDriverActive)(int iface);  // 1 active, 0 not, < 0 error
  int (*detachKernelDriver)(int iface);
  int (*claimInterface)(int iface);
  int (*releaseInterface)(int iface);
  // Vendor request, device to host (type 0xC0), no time limit: the bytes
  // received, or < 0.
  int (*controlIn)(uint8_t request, uint16_t value, uint16_t index, uint8_t *data, uint16_t len);
  libusb_transfer *(*allocTransfer)();
  void (*freeTransfer)(libusb_transfer *t);
  // Fills `t` as a bulk transfer on the open device.
  void (*fillBulk)(libusb_transfer *t, uint8_t endpoint, uint8_t *buf, int len, KzUsbTransferCb cb,
                   void *user, unsigned timeoutMs);
  int (*submitTransfer)(libusb_transfer *t);
  int (*cancelTransfer)(libusb_transfer *t);
  // Runs the completion handlers of what completed, waiting at most
  // `timeoutMs` for something to complete: 0, or < 0 on an error.
  int (*handleEvents)(int timeoutMs);
};

extern const KzUsbBackend kzUsbBoard;      // libusb
extern const KzUsbBackend kzUsbSimulated;  // the list of kzUsbSimSetDevices
// The simulated backend is in use until a program chooses the board's.
void kzUsbUse(const KzUsbBackend *backend);
const KzUsbBackend *kzUsbCurrent();

int kzUsbFindDevice(uint16_t vendor, uint16_t product);

// Simulated bus: the devices present (vendor, product pairs; `count` at
// most 16, the rest ignored), and whether the list reads at all. Starts
// empty and readable.
void kzUsbSimSetDevices(const KzUsbId *ids, int count);
void kzUsbSimListFails(bool fails);

// The simulated device behind an opened simulated device: it answers the
// vendor requests and fills bulk transfers. `bulkIn` returns the transfer
// status to report (a libusb_transfer_status) and the bytes filled in
// *actual; one bulk transfer completes every `periodUs` of real time (the
// stream's rate). Without a peer, requests fail with a pipe error and bulk
// transfers never complete. Set it before the reader starts; nullptr
// removes it (after the reader has ended).
struct KzUsbSimPeer {
  int (*control)(void *ctx, KzUsbId dev, uint8_t request, uint16_t value, uint16_t index,
                 uint8_t *data, uint16_t len);
  int (*bulkIn)(void *ctx, uint8_t endpoint, uint8_t *buf, int len, int *actual);
  int periodUs;
  void *ctx;
};
void kzUsbSimSetPeer(const KzUsbSimPeer *peer);
