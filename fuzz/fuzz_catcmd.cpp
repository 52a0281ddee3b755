// Fuzz target: the network CAT link's command gatherer over any bytes from
// the transceiver's CAT port. Every completed command must end in its ';',
// hold no other ';' and fit the 200-byte buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "radio/cat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  CatGather g;
  for (size_t i = 0; i < size; i++) {
    const int n = catGatherByte(g, data[i]);
    if (n == 0) continue;
    if (n < 1 || n > KZ_CAT_CMD_MAX || g.buf[n - 1] != ';' || g.buf[n] != 0 ||
        memchr(g.buf, ';', size_t(n - 1)) != nullptr)
      std::abort();
  }
  if (g.len < 0 || g.len >= KZ_CAT_CMD_MAX) std::abort();
  return 0;
}
