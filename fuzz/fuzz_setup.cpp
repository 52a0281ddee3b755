// Fuzz target for the setup file parser ("/opt/set/setup.txt"): any bytes
// must leave the record within its fields (the two start bytes that have no
// key untouched) and the mirrors that index tables in range, never a crash
// or a read past the text or a field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (kzTraceQuiet(true), kzLogQuiet(true), true);
  (void)quiet;
  auto w = std::make_unique<works>();
  auto rec = std::make_unique<SetupRec>();
  w->setup = rec.get();
  initSetup(w.get());
  parseSetupText(w.get(), reinterpret_cast<const char *>(data), size);
  if (rec->enaser != '1' || rec->enaCatSer != '1') std::abort();
  if (w->tcpPort < 1) std::abort();
  if (w->antenna.load() < 0 || w->antenna.load() > 2) std::abort();
  if (w->frameLen < 240) std::abort();
  return 0;
}
