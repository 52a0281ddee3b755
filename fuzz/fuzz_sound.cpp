// Fuzz target: the "SO" receive path, from the payload after the type
// letters (length field, sound bytes) to one packet in a playback buffer
// of exactly 4 x frameLen bytes, raw or through the Opus decoder. Byte 0:
// bit 0 Opus when set, bit 1 Multiplier 2 (480 frames) when set. The rest
// is the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "remote/audio.h"
#include "ws_fuzz_unit.h"

static works *gUnit;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  works *w = wsFuzzUnit();
  static bool codec = [w] {
    w->audioBitrate = 64000;
    w->sampleRate = 48000;
    AudioCodecCreate(w);
    gUnit = w;
    std::atexit([] { AudioCodecDestroy(gUnit); });
    return w->opusDec != nullptr;
  }();
  if (!codec) std::abort();
  w->audioBitrate = (data[0] & 1) ? 64000 : 0;
  w->frameLen = (data[0] & 2) ? 480 : 240;
  // Exactly one packet: a byte past it is an ASan report.
  const size_t cap = 4 * size_t(w->frameLen);
  std::unique_ptr<uint8_t[]> buf(new uint8_t[cap]);
  const int frames = audioDecodeSO(w, data + 1, int(size - 1), buf.get());
  if (frames < 0 || frames > w->frameLen) std::abort();
  return 0;
}
