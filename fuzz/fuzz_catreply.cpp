// Fuzz target: the FT-817's replies as the CAT serial link reads them,
// from a byte buffer standing for the port: the poll loop sends its
// command, gathers five bytes at a time (lost or extra bytes shift the
// grouping) and decodes each group. The port's end switches the link off.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/serial.h"
#include "radio/catserial.h"
#include "mem_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    kzClockUse(&kzClockFake);  // the polls and pauses cost nothing here
    kzTraceQuiet(true);
    kzLogQuiet(true);
    kzSerialUse(&memport::kBackend);
    return true;
  }();
  (void)once;
  auto w = std::make_unique<works>();
  SetupRec rec{};
  w->setup = &rec;
  rec.enaCatSer = '1';
  w->running = 1;
  w->catSerFD = 1000;
  memport::reset(data, size, &rec.enaCatSer);
  catProcessStatus = 3;
  lastCommandSent = 0;
  CatSerialRx rx;
  while (rec.enaCatSer == '1') catSerialPoll(w.get(), rx);
  // A decoded frequency is at most 99 999 999 tens of Hz.
  if (w->catFreq.load() > 999999990u || rx.count < 0 || rx.count > 4) std::abort();
  return 0;
}
