// Board detection; see board.h.
#include "platform/board.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/files.h"

// The property is a list of NUL-separated names; each is compared whole,
// so "brcm,bcm2835-foo" or "xbrcm,bcm2835" is not taken for the board.
// Cost: O(len).
int kzCompatibleIsBcm(const char *data, size_t len) {
  if (data == nullptr) return 0;
  std::string_view rest(data, len);
  while (!rest.empty()) {
    size_t end = rest.find('\0');
    std::string_view name = rest.substr(0, end);
    for (std::string_view bcm : {"brcm,bcm2835", "brcm,bcm2836", "brcm,bcm2837", "brcm,bcm2711"})
      if (name == bcm) return 1;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return 0;
}

int kzIsBcmBoard(const char *compatiblePath) {
  const char *path = compatiblePath ? compatiblePath : "/proc/device-tree/compatible";
  std::string text;
  // The property is a few dozen bytes; anything larger is no device tree.
  if (kzReadFile(path, text, 4096) != 0) return 0;
  return kzCompatibleIsBcm(text.data(), text.size());
}
