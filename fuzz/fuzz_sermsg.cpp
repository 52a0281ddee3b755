// Fuzz target: the transceiver's message stream as the serial link reads
// it (start bytes, type and length characters, bodies of any length),
// from a byte buffer standing for the port. Byte 0 sets the pending
// commands (auto-tune bits 2 and 5, key bits 0, 1, 4, 5); the rest is the
// stream. The port's end switches the link off, so a cut message ends the
// reader as a stopped link does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/serial.h"
#include "radio/serlink.h"
#include "radio/serparams.h"
#include "mem_port.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    kzClockUse(&kzClockFake);  // the 1 ms polls cost nothing here
    kzTraceQuiet(true);
    kzLogQuiet(true);
    kzSerialUse(&memport::kBackend);
    return true;
  }();
  (void)once;
  if (size == 0) return 0;
  auto w = std::make_unique<works>();
  SetupRec rec{};
  w->setup = &rec;
  InitGlobalVar(w.get());
  InitErrTable(w.get());
  rec.enaser = '1';
  rec.EnableFFT2 = '0';
  w->running = 1;
  w->serFD = 1000;
  SerParameters par{};
  w->serParams = &par;
  w->autoTuneMode = uint8_t(data[0] & 0x24);
  w->txKeyFlags = uint8_t(data[0] & 0x33);
  memport::reset(data + 1, size - 1, &rec.enaser);
  SerialRx rx;
  while (memport::gPos < memport::gSize && rec.enaser == '1') serialPoll(w.get(), rx);
  if (memport::gPos > memport::gSize) std::abort();
  return 0;
}
