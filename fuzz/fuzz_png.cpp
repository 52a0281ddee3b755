// Fuzz target for the background picture decoder: any bytes as a ".png"
// file must be decoded or refused, never crash, never write outside the
// buffer, and a refused file must leave the buffer exactly as it was.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "panel/fb.h"
#include "panel/png.h"
#include "platform/fbdev.h"
#include "platform/log.h"

namespace {

// A small memory screen keeps every accepted picture small and each run fast.
FbScreen *screen() {
  static FbScreen *fb = [] {
    kzTraceQuiet(true);
    kzLogQuiet(true);
    kzDisplayMemoryMode(96, 64, 32);
    FbScreen *s = fbInit();
    if (s == nullptr) std::abort();
    return s;
  }();
  return fb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FbScreen *fb = screen();
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  if (f == nullptr) return 0;
  memset(fb->backBuf, 0x5A, size_t(fb->memSize));
  const int rc = getPngFile("fuzz.png", f, fb, fb->backBuf);
  fclose(f);
  if (rc != 0) {
    for (int i = 0; i < fb->memSize; i++)
      if (fb->backBuf[i] != 0x5A) std::abort();
  }
  return 0;
}
