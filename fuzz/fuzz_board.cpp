// Fuzz target for the device-tree check: any bytes as the "compatible"
// property. A yes needs one whole NUL-separated name of the BCM2835
// family; the check never reads past the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  int yes = kzCompatibleIsBcm(text, size);
  if (yes != 0 && yes != 1) std::abort();
  if (yes && std::string_view(text, size).find("brcm,bcm2") == std::string_view::npos)
    std::abort();
  return 0;
}
