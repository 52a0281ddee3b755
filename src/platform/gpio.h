// GPIO block seam: the word registers of the BCM2835 GPIO block that the
// button thread uses (function select 0-2, output set 0, output clear 0,
// pin level 0, pull-up/down enable, pull-up/down clock 0). The board
// backend maps /dev/mem at 0x3F200000 (only on a BCM2835-family board);
// the simulated backend is a register model with pull-ups, button levels
// and the panel's supervisor chip (sim/).
#pragma once
#include <cstdint>

enum {
  GPIO_FSEL0 = 0,
  GPIO_FSEL1 = 1,
  GPIO_FSEL2 = 2,
  GPIO_SET0 = 7,
  GPIO_CLR0 = 10,
  GPIO_LEV0 = 13,
  GPIO_PUD = 37,
  GPIO_PUDCLK0 = 38,
};

struct KzGpioBackend {
  // Opens the block; 0, or the process exit code the board uses when it
  // cannot (8: /dev/mem not openable, -1: not mappable), or 1 when the
  // machine is not a BCM2835-family board (the buttons stay off).
  int (*open)();
  uint32_t (*read)(int wordOffset);
  void (*write)(int wordOffset, uint32_t value);
};

extern const KzGpioBackend kzGpioBoard;
void kzGpioUse(const KzGpioBackend *backend);
const KzGpioBackend *kzGpioCurrent();

// The device-tree file the board backend reads to recognise the board
// before it maps anything (nullptr: the kernel's). Tests point it at a
// file of their own.
void kzGpioBoardCompatiblePath(const char *path);
