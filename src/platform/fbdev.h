// Display device seam. The board backend opens "/dev/fb0", reads and
// writes the variable screen information (panning offsets to 0) and maps
// the visible screen shared; the simulated backend hands out an
// 800 x 480 x 32-bit memory screen. Both report the resolution and the
// bits per pixel; fbInit builds the FbScreen record from them.
#pragma once
#include <cstdint>

struct KzDisplay {
  uint8_t *mem;  // screen memory, xres * yres * bpp / 8 bytes
  int xres, yres, bitsPerPixel;
};

struct KzDisplayBackend {
  // Fills `d`; returns 0, or -1 when the display cannot be used (logged
  // with the board's messages). `mapBytes` is computed by the caller from
  // the resolution: the backend reports the mode first (`probe`), then maps.
  int (*probe)(KzDisplay *d);
  int (*map)(KzDisplay *d, uint32_t bytes);
};

extern const KzDisplayBackend kzDisplayBoard;   // /dev/fb0
extern const KzDisplayBackend kzDisplayMemory;  // simulated screen
void kzDisplayUse(const KzDisplayBackend *backend);
const KzDisplayBackend *kzDisplayCurrent();
// Mode of the simulated screen (tests use other depths); 800 x 480 x 32 by
// default.
void kzDisplayMemoryMode(int xres, int yres, int bitsPerPixel);
// Gives back a screen that `map` of either backend handed out: the memory
// screen is freed, the board's mapping unmapped and the device closed.
// Only fbFree calls it (tests, the simulator at exit).
void kzDisplayUnmap(uint8_t *mem, uint32_t bytes);
