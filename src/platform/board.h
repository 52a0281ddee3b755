// Board detection: the board program touches physical memory and runs the
// board's shell commands only on a BCM2835-family board, named so by its
// device tree. Started by mistake on another machine it logs that and uses
// the recording command runner instead.
#pragma once

// 1 when the device tree names a BCM2835-family board (brcm,bcm2835 ...
// bcm2837, bcm2711), else 0. `compatiblePath` defaults to the kernel's.
int kzIsBcmBoard(const char *compatiblePath = nullptr);
