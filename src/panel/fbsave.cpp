// Screen pictures: one memory of a 4-byte screen saved as an RGB PNG, for
// tests, the simulator's snapshots and anyone who wants to see the panel.
// The picture is written whole under a temporary name and then renamed over
// the old one, so whoever looks at the file meanwhile (a viewer refreshing
// a snapshot every second) never sees half a picture.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <png.h>
#include <vector>

#include "panel/fb.h"
#include "platform/log.h"

// Encodes the 4-byte screen memory src into the open file f; 0 or -1. The
// set-jump lives here, apart from the caller's locals, so that nothing it
// could clobber is changed after it.
static int encodePng(const FbScreen *fb, const uint8_t *src, FILE *f, bool rgba) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  // One row at a time; the row outlives the set-jump below.
  const size_t channels = rgba ? 4 : 3;
  std::vector<png_byte> row(size_t(fb->xres) * channels);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return -1;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, fb->xres, fb->yres, 8,
               rgba ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < fb->yres; y++) {
    const uint8_t *p = src + size_t(y) * size_t(fb->lineSize);
    png_byte *q = row.data();
    for (int x = 0; x < fb->xres; x++, p += 4, q += channels) {  // blue, green, red, 0
      q[0] = p[2];
      q[1] = p[1];
      q[2] = p[0];
      if (rgba) q[3] = 255;
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return 0;
}

static int writePng(const FbScreen *fb, const std::string &path, int which, bool rgba) {
  if (fb == nullptr || fb->pixelSize != 4) return -1;
  // The shown screen is copied whole first: the program may show a frame
  // meanwhile.
  std::vector<uint8_t> shown;
  if (which != FB_DRAW && which != FB_BACK && fb->screenMem != nullptr) {
    shown.resize(size_t(fb->memSize));
    fbReadScreen(fb, shown.data());
  }
  const uint8_t *src = which == FB_DRAW   ? fb->drawBuf
                       : which == FB_BACK ? fb->backBuf
                       : shown.empty()    ? nullptr
                                          : shown.data();
  if (src == nullptr) return -1;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    kzLog(KZ_LOG_ERR, "can't write screen picture %s error %d", path.c_str(), errno);
    return -1;
  }
  const int rc = encodePng(fb, src, f, rgba);
  if (fclose(f) != 0 || rc != 0) {
    kzLog(KZ_LOG_ERR, "can't write screen picture %s", path.c_str());
    return -1;
  }
  return 0;
}

int fbSavePng(const FbScreen *fb, const std::string &path, int which, bool rgba) {
  const std::string part = path + ".part";
  if (writePng(fb, part, which, rgba) != 0) {
    remove(part.c_str());
    return -1;
  }
  if (rename(part.c_str(), path.c_str()) != 0) {
    kzLog(KZ_LOG_ERR, "can't write screen picture %s error %d", path.c_str(), errno);
    remove(part.c_str());
    return -1;
  }
  return 0;
}
