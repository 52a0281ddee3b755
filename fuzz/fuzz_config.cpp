// Fuzz target for the band table parser ("/opt/set/config.txt"): any bytes
// must give a table whose count matches its rows, and thresholds for every
// band that fit the amplifier's 12-bit fields, whatever the calibration
// (zero, negative, infinite or NaN).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/bandconf.h"
#include "core/works.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (kzTraceQuiet(true), kzLogQuiet(true), true);
  (void)quiet;
  auto w = std::make_unique<works>();
  InitGlobalVar(w.get());
  parseConfigText(w.get(), reinterpret_cast<const char *>(data), size);
  if (w->confCount != int(w->confTab.size())) std::abort();
  for (size_t i = 0; i < w->confTab.size() && i < 64; ++i) {
    uint32_t f = w->confTab[i].low;
    for (uint32_t g : {f, f + 1, f - 1}) {
      w->freqHz = g;
      SearchCambioSoglie_TS(w.get());
      for (int t : w->tsThreshold)
        if (t < 0 || t > 4095) std::abort();
      for (int kind = 0; kind < 5; ++kind) (void)SearchK(w.get(), kind);
      int row = ConfRowForFreq(w.get(), g);
      if (row < -1 || row >= w->confCount) std::abort();
      w->cmdOut = w->cmdIn.load();  // drain the ring
    }
  }
  return 0;
}
