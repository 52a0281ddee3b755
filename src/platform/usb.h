// USB seam: what the program asks of the board's USB bus, behind a small
// table of functions chosen at start. The board backend uses libusb; the
// simulated backend answers from a device list that tests and the
// simulator set. Today the table holds the device look-up of the remote
// readiness check; the transceiver's sample reader adds its operations
// (open, claim, control and bulk transfers) to the same table.
#pragma once
#include <cstdint>

struct KzUsbBackend {
  // Looks for a device with this vendor and product id in the bus's
  // device list: 1 present, 0 absent, -1 the list could not be read.
  int (*findDevice)(uint16_t vendor, uint16_t product);
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
struct KzUsbId {
  uint16_t vendor, product;
};
void kzUsbSimSetDevices(const KzUsbId *ids, int count);
void kzUsbSimListFails(bool fails);
