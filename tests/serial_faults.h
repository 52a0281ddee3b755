// Fault layer over the real serial calls, for the link tests: it forwards
// to the real backend and, when armed, makes the Nth read fail or the port
// fall silent (no bytes reported waiting) after N bytes were read.
#pragma once
#include <atomic>

#include "platform/serial.h"

struct KzSerialFaults {
  std::atomic<int> failReadOn{0};      // the Nth read from now returns -1 (0 = off)
  std::atomic<long> silentAfter{-1};   // bytes read before the port falls silent
  std::atomic<long> bytesRead{0};
  std::atomic<int> reads{0};
};

inline KzSerialFaults &kzSerialFaults() {
  static KzSerialFaults f;
  return f;
}

inline const KzSerialBackend *kzSerialFaultLayer() {
  static const KzSerialBackend layer = {
      kzSerialReal.open, kzSerialReal.configure,
      [](int fd) -> int {
        KzSerialFaults &f = kzSerialFaults();
        long limit = f.silentAfter.load();
        if (limit >= 0 && f.bytesRead.load() >= limit) return 0;
        return kzSerialReal.avail(fd);
      },
      [](int fd, void *buf, size_t len) -> ssize_t {
        KzSerialFaults &f = kzSerialFaults();
        int n = ++f.reads;
        int failOn = f.failReadOn.load();
        if (failOn > 0 && n == failOn) return -1;
        ssize_t r = kzSerialReal.read(fd, buf, len);
        if (r > 0) f.bytesRead += r;
        return r;
      },
      kzSerialReal.write, kzSerialReal.close, kzSerialReal.flushInput,
      nullptr};  // no blocking wait: the silence is made here, so the link polls
  return &layer;
}
