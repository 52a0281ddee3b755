// Fuzz target for the filter table parser ("/opt/set/filter.txt"): any
// bytes must give at most eight rows and a filter choice of at most one
// bit, never a crash or a read past the text.
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
  parseFilterText(w.get(), reinterpret_cast<const char *>(data), size);
  for (const FilterRow &r : w->filters) {
    for (uint32_t g : {r.low, r.high, r.high + 1}) {
      w->freqHz = g;
      SetFilterFromfreq(w.get());
      uint8_t c = w->filterCode;
      if ((c & (c - 1)) != 0) std::abort();
      w->cmdOut = w->cmdIn.load();  // drain the ring
    }
  }
  return 0;
}
