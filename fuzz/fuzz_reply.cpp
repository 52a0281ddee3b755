// Fuzz target: bytes from the amplifier's serial line, fed one by one
// through the link's receive buffer and decoded as the Linear thread does.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    kzClockUse(&kzClockFake);  // the decoder's pauses cost nothing here
    kzTraceQuiet(true);
    kzLogQuiet(true);
    return true;
  }();
  (void)once;
  auto w = std::make_unique<works>();
  SetupRec rec{};
  w->setup = &rec;
  InitGlobalVar(w.get());
  InitErrTable(w.get());
  w->errorsMuted = 0;
  w->linFD = -1;
  LinearRxReset();
  for (size_t i = 0; i < size; i++) {
    LinearRxByte(w.get(), char(data[i]));
    if (linearProcessStatus.load() == LIN_DECODE) LinearRxDecode(w.get());
  }
  return 0;
}
