// Simulated transceiver on the USB bus: its vendor requests and its I/Q
// sample stream, behind the simulated USB backend (platform/usb.h,
// kzUsbSimSetPeer).
//
// It knows only the device's protocol: vendor requests 0xFF (driver
// version, 2 bytes), 0xA2 at index 0x0151 (hardware version 0x404C, 2
// bytes; serial number 0x4000, 32 bytes; the global, LP and ATT offsets
// 0x4028 / 0x402C / 0x4030, 4-byte floats), 0xE1 (FIFO stop 0/0xE900,
// FIFO init 0/0xE800, stream enable 1/0xE900 answered 0xE9); and 32 KiB
// bulk transfers on endpoint 0x86 of signed 32-bit I and Q values,
// interleaved, at a real-time rate (4096 complex samples per transfer at
// the sample rate). The samples hold a few steady tones at fixed offsets
// from the receiver's centre and Gaussian noise.
//
// Levels are in the unit's spectrum dB (a 4096-point spectrum with the
// four-term Blackman-Harris window, magnitude over N / 2): a tone at
// -60 dB shows as a -60 dB peak, the noise floor as given. The global
// offset is 21.4 dB, so the unit's scale factor is 1 with LP off.
#pragma once
#include <cstdint>
#include <vector>

struct UsbDevSim;

struct UsbDevSimTone {
  double offsetHz;
  double levelDb;
};

struct UsbDevSimOptions {
  double sampleRate = 192000.0;  // complex samples per second
  std::vector<UsbDevSimTone> tones = {
      {-52000, -60}, {-20000, -85}, {7000, -45}, {31000, -75}, {66000, -95}};
  double noiseDb = -104;  // floor of a 4096-point spectrum
  float globalOffset = 21.4f, lpOffset = 3.0f, attOffset = 20.0f;
  const char *serial = "KAV-SIM-000123";
};

// Starts the device and makes it the simulated backend's peer; nullptr on
// failure. Stop it after the reader has ended.
UsbDevSim *usbDevSimStart(const UsbDevSimOptions &opt = UsbDevSimOptions());
void usbDevSimStop(UsbDevSim *d);

// Faults for tests: the next `n` bulk transfers time out; a vendor
// request (by request and value) answers `bytes` bytes (short) or, when
// negative, fails with that libusb error.
void usbDevSimTimeouts(UsbDevSim *d, int n);
void usbDevSimShortAnswer(UsbDevSim *d, uint8_t request, uint16_t value, int bytes);

struct UsbDevSimState {
  uint64_t transfers;  // bulk transfers completed with samples
  uint64_t timeouts;   // bulk transfers that timed out
  bool streaming;      // the stream was enabled
  int requests;        // vendor requests answered
};
UsbDevSimState usbDevSimState(UsbDevSim *d);
