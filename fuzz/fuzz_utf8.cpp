// Fuzz target for the UTF-8 decoder that every drawn and measured string
// goes through: over any bytes each step advances by 1 to 4 bytes and never
// past the end, the end comes exactly at the length, and a valid step gives
// a code point that UTF-8 may encode (no surrogate, at most U+10FFFF) and
// that re-encodes to the very bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "panel/text.h"

namespace {

size_t encode(unsigned cp, unsigned char *out) {
  if (cp < 0x80) {
    out[0] = uint8_t(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = uint8_t(0xC0 | (cp >> 6));
    out[1] = uint8_t(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = uint8_t(0xE0 | (cp >> 12));
    out[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    out[2] = uint8_t(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = uint8_t(0xF0 | (cp >> 18));
  out[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
  out[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
  out[3] = uint8_t(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t pos = 0;
  for (;;) {
    const size_t before = pos;
    int valid = -1;
    unsigned cp = 0xFFFFFFFF;
    const int r = utf8_get_next_char(data, size, &pos, &valid, &cp);
    if (r == -1) {
      if (before != size || pos != size) std::abort();
      break;
    }
    if (r != 1 || pos <= before || pos > size || pos - before > 4) std::abort();
    if (valid == 1) {
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) std::abort();
      unsigned char enc[4];
      const size_t n = encode(cp, enc);
      if (n != pos - before || memcmp(enc, data + before, n) != 0) std::abort();
    } else if (valid != 0 || cp != 0) {
      std::abort();
    }
  }
  return 0;
}
