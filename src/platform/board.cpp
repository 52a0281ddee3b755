// Board detection; see board.h.
#include "platform/board.h"

#include <cstdio>
#include <string>

int kzIsBcmBoard(const char *compatiblePath) {
  const char *path = compatiblePath ? compatiblePath : "/proc/device-tree/compatible";
  FILE *f = fopen(path, "rb");
  if (f == nullptr) return 0;
  std::string text;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < 4096) text.append(buf, n);
  fclose(f);
  // The compatible property is a list of NUL-separated strings.
  for (const char *name : {"brcm,bcm2835", "brcm,bcm2836", "brcm,bcm2837", "brcm,bcm2711"})
    if (text.find(name) != std::string::npos) return 1;
  return 0;
}
