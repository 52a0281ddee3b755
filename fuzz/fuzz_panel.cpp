// Fuzz target for the panel supervisor chip's replies: the GPIO thread's own
// passes (GpioStart, GpioPass) run over a GPIO block whose level register
// is the input, one byte per read: bit 0 is the chip's data line, bits 1 to
// 6 the six buttons. The first bytes pick the orders sent. Whatever the
// chip answers, each reply lands in its slot as one byte and reads as a
// finite voltage; the buttons' debounce and key calls stay in bounds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "amplifier/decode.h"
#include "core/works.h"
#include "panel/buttons.h"
#include "platform/clock.h"
#include "platform/gpio.h"
#include "platform/log.h"

namespace {

const uint8_t *gData;
size_t gSize, gPos;
uint32_t gRegs[64];

int fuzzOpen() { return 0; }
uint32_t fuzzRead(int reg) {
  if (reg != GPIO_LEV0) return (reg >= 0 && reg < 64) ? gRegs[reg] : 0;
  uint8_t b = gPos < gSize ? gData[gPos++] : 0xFF;  // past the input: idle
  return (uint32_t(b & 1) << 4) | (uint32_t((b >> 1) & 0x3F) << 22);
}
void fuzzWrite(int reg, uint32_t v) {
  if (reg >= 0 && reg < 64) gRegs[reg] = v;
}
const KzGpioBackend kFuzzGpio = {fuzzOpen, fuzzRead, fuzzWrite};

int keyCalls;
int countKey(works *, int key, int) {
  if (key < 1 || key > 6) std::abort();
  ++keyCalls;
  return keyCalls & 1;  // repeat every other call
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    kzClockUse(&kzClockFake);  // the exchange's bit waits cost nothing here
    kzGpioUse(&kFuzzGpio);
    GpioSetDispatcher(countKey);
    kzTraceQuiet(true);
    kzLogQuiet(true);
    return true;
  }();
  (void)once;
  if (size < 1) return 0;
  auto w = std::make_unique<works>();
  w->running = 1;
  w->panelCmd = 255;
  gData = data;
  gSize = size;
  gPos = 0;
  keyCalls = 0;
  if (GpioStart(w.get()) != 0) std::abort();
  // The first byte: how many orders (0 to 3) from the bytes after it; the
  // rest of the input is the level register, pass after pass.
  int orders = data[gPos++] % 4;
  for (int pass = 0; gPos < gSize && pass < 4096; ++pass) {
    if (orders > 0 && w->panelCmd.load() == 255 && gPos < gSize) {
      w->panelCmd = gData[gPos++];
      --orders;
    }
    GpioPass(w.get());
    kzFakeClockAdvance(2);
  }
  for (int i = 0; i < 4; i++) {
    float v = CalvTensVadcAmp(w.get(), w->panelReply[i].load());
    if (!std::isfinite(v) || v < 0.0f) std::abort();
  }
  return 0;
}
