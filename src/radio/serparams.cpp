// Transceiver parameter record; see serparams.h.
#include "radio/serparams.h"

#include <cstring>
#include <mutex>

#include "core/works.h"

void getParameters(SerParameters *dst, works *w) {
  std::lock_guard<std::mutex> lk(w->serMut);
  if (w->serParams)
    memcpy(dst, w->serParams, sizeof *dst);
  else
    memset(dst, 0, sizeof *dst);
}
