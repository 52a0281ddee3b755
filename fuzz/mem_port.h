// A serial port standing on a byte buffer, for the fuzz targets of the
// serial links: reads take the buffer's bytes in order, writes go nowhere,
// and once the buffer is used up the port reports nothing waiting and
// drops the link's run byte (`memPortRunByte`), so the link ends as a
// stopped link does.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/serial.h"

namespace memport {

inline const uint8_t *gData;
inline size_t gSize, gPos;
inline char *gRunByte;  // the link's run byte, set '0' at the end

inline void reset(const uint8_t *data, size_t size, char *runByte) {
  gData = data;
  gSize = size;
  gPos = 0;
  gRunByte = runByte;
}

inline int avail(int) {
  if (gPos >= gSize) {
    *gRunByte = '0';
    return 0;
  }
  return int(gSize - gPos);
}
inline ssize_t read(int, void *buf, size_t len) {
  const size_t n = len < gSize - gPos ? len : gSize - gPos;
  memcpy(buf, gData + gPos, n);
  gPos += n;
  return ssize_t(n);
}
inline ssize_t write(int, const void *, size_t len) { return ssize_t(len); }

inline const KzSerialBackend kBackend = {nullptr, nullptr, avail,   read,
                                         write,   nullptr, nullptr, nullptr};

}  // namespace memport
