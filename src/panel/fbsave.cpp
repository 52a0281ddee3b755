// Screen pictures: one memory of a 4-byte screen saved as an RGB PNG, for
// tests, the simulator's snapshots and anyone who wants to see the panel.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <png.h>
#include <vector>

#include "panel/fb.h"
#include "platform/log.h"

int fbSavePng(const FbScreen *fb, const std::string &path, int which) {
  if (fb == nullptr || fb->pixelSize != 4) return -1;
  const uint8_t *src = which == FB_DRAW ? fb->drawBuf : which == FB_BACK ? fb->backBuf
                                                                          : fb->screenMem;
  if (src == nullptr) return -1;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    kzLog(KZ_LOG_ERR, "can't write screen picture %s error %d", path.c_str(), errno);
    return -1;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  // One row of RGB at a time; the rows outlive the set-jump below.
  std::vector<png_byte> row(size_t(fb->xres) * 3);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    fclose(f);
    kzLog(KZ_LOG_ERR, "can't write screen picture %s", path.c_str());
    return -1;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, fb->xres, fb->yres, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < fb->yres; y++) {
    const uint8_t *p = src + size_t(y) * size_t(fb->lineSize);
    for (int x = 0; x < fb->xres; x++, p += 4) {  // blue, green, red, 0
      row[size_t(x) * 3 + 0] = p[2];
      row[size_t(x) * 3 + 1] = p[1];
      row[size_t(x) * 3 + 2] = p[0];
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fclose(f) == 0 ? 0 : -1;
}
