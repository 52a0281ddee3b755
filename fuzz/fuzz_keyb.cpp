// Fuzz target for the service keyboard's input events: the bytes read from
// the device, in pieces of any size (each piece's length is taken from the
// input), are put together and decoded by the thread's own KeybFeed, and
// every key-down is acted on by KeybAct as the thread does (commands go to
// the recorder; without a setup record the save is refused, nothing is
// written). A record is never read past its bytes, and only a key-down
// record gives a key.
#include <linux/input.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/works.h"
#include "panel/keyb.h"
#include "platform/cmdrun.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    kzCmdUse(&kzCmdRecorder);
    kzTraceQuiet(true);
    kzLogQuiet(true);
    return true;
  }();
  (void)once;
  auto w = std::make_unique<works>();
  w->running = 1;
  KeybReader r{};
  size_t pos = 0, records = 0, taken = 0;
  while (pos < size) {
    // The first byte of each piece gives its length (1 to 64 bytes).
    size_t piece = size_t(data[pos++] % 64) + 1;
    if (piece > size - pos) piece = size - pos;
    size_t off = 0;
    while (off < piece) {
      size_t before = r.fill;
      int code = -1;
      size_t n = KeybFeed(&r, data + pos + off, piece - off, &code);
      if (n == 0 || n > piece - off) std::abort();
      taken += n;
      off += n;
      if (r.fill == 0) {
        ++records;
        input_event ev;
        std::memcpy(&ev, r.rec, sizeof ev);
        bool down = ev.type == EV_KEY && ev.value == 1;
        if (down != (code >= 0) || (down && code != ev.code)) std::abort();
      } else if (code != -1 || r.fill != before + n) {
        std::abort();
      }
      if (code >= 0 && KeybAct(w.get(), code)) {
        if (code != KEY_F12 || w->running.load() != 0) std::abort();
        w->running = 1;
      }
    }
    pos += piece;
  }
  if (records != taken / sizeof(input_event)) std::abort();
  kzCmdClearRecorded();
  return 0;
}
