// Fuzz target for the reading of the board's temperature script: whatever
// "my_temp" prints (here through the command recorder's scripted answer),
// the readings stay finite or keep their old values and nothing is read
// or written out of bounds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "panel/mainscreen.h"
#include "platform/cmdrun.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (kzTraceQuiet(true), kzLogQuiet(true), true);
  (void)quiet;
  static auto w = std::make_unique<works>();
  static SetupRec rec{};
  w->setup = &rec;
  w->cpuTemp = 1.5f;
  w->gpuTemp = 2.5f;
  kzCmdClearScript();
  kzCmdClearRecorded();
  kzCmdScript("my_temp", 0, std::string(reinterpret_cast<const char *>(data), size));
  ReadCPUTemp(w.get());
  if (std::isnan(w->cpuTemp.load()) || std::isnan(w->gpuTemp.load())) std::abort();
  return 0;
}
