// Fuzz target for the tune-memory file reader ("/opt/set/atu_ant*.txt"):
// any bytes must leave a table whose filled slots hold a network mode 0-3
// and codes 0-511, and every filled slot must come back the same from the
// RAM accessors.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/works.h"
#include "platform/log.h"
#include "tuner/tunemem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The reader also reports bad slot indexes on standard output.
  static bool quiet =
      (kzTraceQuiet(true), kzLogQuiet(true), std::freopen("/dev/null", "w", stdout), true);
  (void)quiet;
  auto w = std::make_unique<works>();
  parseTabAtuText(w.get(), int(size % 3), reinterpret_cast<const char *>(data), size);
  for (int a = 0; a < KZ_ANTENNAS; ++a) {
    for (int i = 0; i < KZ_TUNE_SLOTS; ++i) {
      const TuneVal &t = w->tuneTab[a][i];
      if (t.valid == 0) {
        if (t.mode != 0 || t.ind != 0 || t.cap != 0) std::abort();
        continue;
      }
      if (a != int(size % 3)) std::abort();
      if (t.valid != 1 || t.mode > 3 || t.ind < 0 || t.ind > 511 || t.cap < 0 || t.cap > 511)
        std::abort();
      TuneVal r = LoadTuneValFromTabRam(i, a, w.get());
      if (r.ind != t.ind || r.cap != t.cap || r.mode != (t.mode == 3 ? 1 : t.mode)) std::abort();
    }
  }
  return 0;
}
