// Fuzz target for the bank-table reader ("/opt/set/antenna*.txt"): any
// bytes must give a row count within the table, terminated names, values
// within the ranges the band handling and the panel index with, and an
// interface type 0-2; the band handling must then run over every row edge.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/works.h"
#include "platform/log.h"
#include "tuner/automation.h"
#include "tuner/banktab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (kzTraceQuiet(true), kzLogQuiet(true), true);
  (void)quiet;
  auto w = std::make_unique<works>();
  int type = parseTabConfigText(w.get(), reinterpret_cast<const char *>(data), size);
  if (type < 0 || type > 2) std::abort();
  if (w->bandCount < 0 || w->bandCount > KZ_BAND_ROWS) std::abort();
  if (w->bandRowIdx != -1) std::abort();
  for (int i = 0; i < w->bandCount; ++i) {
    const BandRow &r = w->bandTab[i];
    if (memchr(r.name, '\0', sizeof r.name) == nullptr) std::abort();
    if (r.lowHz <= 0 || r.highHz <= 0) std::abort();  // zero edges fall back
    if (r.ampEnable > 1 || r.ant > 3 || r.atuOff > 1 || r.attIdx > 3) std::abort();
    if (!std::isfinite(r.pwr)) std::abort();
  }
  // The band handling over each row's edges, up to frequencies far above
  // the tune memory's segments.
  for (int i = 0; i < w->bandCount; ++i) {
    for (int32_t f : {w->bandTab[i].lowHz, w->bandTab[i].highHz}) {
      w->freqHz = uint32_t(f);
      GestioneAntennaAutomatica(w.get());
      if (w->antenna < 0 || w->antenna > 2) std::abort();
      int idx = w->bandRowIdx;
      if (idx != 100 && (idx < 0 || idx >= w->bandCount)) std::abort();
      w->cmdOut = w->cmdIn.load();  // drain the ring
    }
  }
  return 0;
}
