// Board detection: the board program touches physical memory and runs the
// board's shell commands only on a BCM2835-family board, named so by its
// device tree. Started by mistake on another machine it logs that and uses
// the recording command runner instead.
#pragma once
#include <cstddef>

// 1 when the device tree names a BCM2835-family board (brcm,bcm2835 ...
// bcm2837, bcm2711), else 0. `compatiblePath` defaults to the kernel's.
int kzIsBcmBoard(const char *compatiblePath = nullptr);

// The check itself over the property's bytes (also the fuzz target): 1 when
// one of its NUL-separated names is one of those above.
int kzCompatibleIsBcm(const char *data, size_t len);
