// Received screen frames; see screen.h.
//
// Cost: a JPEG frame is one decode (its own allocation), one allocation of
// a screen-sized picture and one pass over the screen's pixels; a raw
// frame is a single copy to the display. Frames arrive rarely (they are
// sent by a person or a test), never per supervisor cycle.
#include "remote/screen.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/works.h"
#include "jpeg/jpgd.h"
#include "panel/fb.h"
#include "platform/log.h"

int screenFramePlace(const uint8_t *rgba, int pw, int ph, uint8_t *screen, int xres, int yres,
                     int pixelSize, int lineSize) {
  if (pixelSize != 4 && pixelSize != 2) return -1;
  // Top-left corner of the picture on the screen; negative when it is larger.
  const int ox = (xres - pw) / 2, oy = (yres - ph) / 2;
  const int x0 = ox > 0 ? ox : 0, x1 = ox + pw < xres ? ox + pw : xres;
  const int y0 = oy > 0 ? oy : 0, y1 = oy + ph < yres ? oy + ph : yres;
  // Cost: per screen row one clear and one pass over the picture's columns.
  for (int y = 0; y < yres; y++) {
    uint8_t *row = screen + size_t(y) * lineSize;
    memset(row, 0, size_t(xres) * pixelSize);
    if (y < y0 || y >= y1) continue;
    const uint8_t *src = rgba + (size_t(y - oy) * pw + size_t(x0 - ox)) * 4;
    if (pixelSize == 4) {
      for (int x = x0; x < x1; x++, src += 4) {
        uint8_t *d = row + size_t(x) * 4;
        d[0] = src[2];
        d[1] = src[1];
        d[2] = src[0];
        d[3] = 0;
      }
    } else {
      for (int x = x0; x < x1; x++, src += 4) {
        const unsigned v = unsigned(src[0] >> 3) << 11 | unsigned(src[1] >> 2) << 5 | src[2] >> 3;
        row[size_t(x) * 2] = uint8_t(v);
        row[size_t(x) * 2 + 1] = uint8_t(v >> 8);
      }
    }
  }
  return 0;
}

int Uncompress(works *w, const uint8_t *data, int count) {
  FbScreen *fb = w->fb;
  if (fb == nullptr || fb->screenMem == nullptr) return -1;
  int pw, ph, comps;
  std::unique_ptr<unsigned char, decltype(&free)> img(
      jpgd::decompress_jpeg_image_from_memory(data, count, &pw, &ph, &comps, 4), &free);
  if (!img) {
    kzLog(KZ_LOG_INFO, "screen frame of %d bytes: not a JPEG that can be decoded, not shown",
          count);
    return -1;
  }
  std::unique_ptr<uint8_t[]> screen(new (std::nothrow) uint8_t[size_t(fb->memSize)]);
  if (!screen) return -1;
  if (fb->lineSize * fb->yres > fb->memSize ||
      screenFramePlace(img.get(), pw, ph, screen.get(), fb->xres, fb->yres, fb->pixelSize,
                       fb->lineSize) != 0) {
    kzLog(KZ_LOG_INFO, "screen frame: the display's pixel size %d is not drawn on",
          fb->pixelSize);
    return -1;
  }
  fbShowFrame(fb, screen.get());
  return 0;
}

int screenFrameShow(works *w, const uint8_t *data, uint32_t total) {
  FbScreen *fb = w->fb;
  if (fb == nullptr || fb->screenMem == nullptr) return -1;
  if (total == uint32_t(fb->memSize)) {
    fbShowFrame(fb, data);
    return 0;
  }
  if (total > 0x7fffffffu) return -1;
  return Uncompress(w, data, int(total));
}
