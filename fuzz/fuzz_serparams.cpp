// Fuzz target: parameter messages into the parameter record, as the serial
// link and a remote unit's "PA" messages give them, and the spectrum
// conversion. The input is a run of messages, each a length byte and that
// many bytes (cut at the end of the input); the record carries over from
// one message to the next, as the level fields' memory does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "radio/serparams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    kzTraceQuiet(true);
    kzLogQuiet(true);
    return true;
  }();
  (void)once;
  auto w = std::make_unique<works>();
  SetupRec rec{};
  w->setup = &rec;
  SerParameters par{};
  w->serParams = &par;
  std::vector<float> trace(1024, 1.0f), aux(1024);
  SpectrumRec sp{trace.data(), aux.data(), {0}};
  w->spectrum = &sp;
  size_t pos = 0;
  while (pos < size) {
    size_t n = data[pos++];
    if (n > size - pos) n = size - pos;
    // Copied so that a read past the message shows as an overflow.
    std::vector<uint8_t> m(data + pos, data + pos + n);
    storeParameters(w.get(), int(n), m.data());
    pos += n;
    // The level fields of the volumes start at 50, 50 and 5 and only ever
    // take the message's level or the negated last one.
    if (par.volume < -127 || par.volume > 127 || par.sel1 < 0 || par.sel1 > 32) std::abort();
  }
  std::vector<uint8_t> all(data, data + size);
  storeFFT(w.get(), int(size), all.data());
  if (trace[854] != 1.0f) std::abort();
  return 0;
}
