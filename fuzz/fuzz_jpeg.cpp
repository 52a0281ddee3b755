// Fuzz target for the JPEG decoder: any bytes must be decoded or refused,
// never read outside the input or write outside the image. A decoded image
// has the size it reports, and every request layout agrees on it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "jpeg/jpgd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  for (int req : {4, 1}) {
    int w = -1, h = -1, c = -1;
    unsigned char *img = jpgd::decompress_jpeg_image_from_memory(data, int(size), &w, &h, &c, req);
    if (img == nullptr) {
      if (w != 0 || h != 0 || c != 0) abort();
      continue;
    }
    if (w < 1 || h < 1 || w > jpgd::kMaxDim || h > jpgd::kMaxDim || (c != 1 && c != 3)) abort();
    // Touch every byte so that a short allocation is seen.
    unsigned sum = 0;
    for (size_t i = 0; i < size_t(w) * h * req; i++) sum += img[i];
    if (req == 4 && size_t(w) * h > 0 && img[3] != 255) abort();
    free(img);
    (void)sum;
  }
  return 0;
}
