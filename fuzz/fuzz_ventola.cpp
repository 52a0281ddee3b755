// Fuzz target for the fan curve parser ("/opt/set/ventola.txt"): any bytes
// must give a curve of finite temperatures and percentages 0..100, never a
// crash or a read past the text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "amplifier/thermal.h"
#include "core/works.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (kzTraceQuiet(true), kzLogQuiet(true), true);
  (void)quiet;
  auto w = std::make_unique<works>();
  parseVentolaText(w.get(), reinterpret_cast<const char *>(data), size);
  if (w->fanCount != int(w->fanTab.size())) std::abort();
  for (const FanRow &r : w->fanTab)
    if (!std::isfinite(r.temperature) || r.percentage < 0 || r.percentage > 100) std::abort();
  return 0;
}
