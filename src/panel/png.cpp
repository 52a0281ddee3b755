// Background pictures: "%s.png" named by works' imgName, relative to the
// working directory, decoded with libpng into the background buffer or the
// drawing buffer of the framebuffer record.
//
//   getPng      opens the file, decodes it, shows it at once when it went
//               into the drawing buffer
//   getPngFile  the decoder over an open file (also the fuzz target)
//   SetBackground, ScreenOwnerTake, ScreenOwnerEnd, ScreenTakeRequest
//               who may load a background: the thread that composes the
//               screen loads it, any other asks for it by name
//
// Design rules:
// - A picture is decoded whole into row buffers first and copied into the
//   screen buffer only when every row was read: a damaged or truncated file
//   leaves the buffers exactly as they were.
// - libpng reports its errors by longjmp back to the set-jump of the step in
//   progress. No C++ object with a destructor lives across it: the decoder's
//   state is a plain record reached through a pointer, its rows are plain
//   malloc'd memory, and every path frees them.
// - The picture is never larger than the screen (checked before anything is
//   allocated), so one decode holds at most one screen of RGBA rows.
#include "panel/png.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <png.h>
#include <thread>

#include "core/works.h"
#include "panel/fb.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

// libpng's own complaints go to the traces; the step's message goes to the
// system log from the set-jump.
void pngError(png_structp png, png_const_charp msg) {
  kzTrace("libpng: %s\n", msg);
  png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp msg) { kzTrace("libpng: %s\n", msg); }

// Everything the decoder must still own after a longjmp.
struct Decode {
  png_structp png;
  png_infop info;
  png_bytep *rows;
  png_uint_32 rowCount;  // rows allocated so far
};

void release(Decode *d) {
  if (d->rows != nullptr) {
    for (png_uint_32 i = 0; i < d->rowCount; i++) free(d->rows[i]);
    free(d->rows);
  }
  d->rows = nullptr;
  d->rowCount = 0;
  if (d->png != nullptr) png_destroy_read_struct(&d->png, d->info ? &d->info : nullptr, nullptr);
  d->png = nullptr;
  d->info = nullptr;
}

// Reads the header and the image of an open PNG (signature already
// checked) into d->rows. Returns 0, or -1 (logged). The caller releases `d`
// on every result. Locals are only set before the set-jumps or not read
// after them.
int decode(Decode *d, const char *name, FILE *f, const FbScreen *fb, png_uint_32 *width,
           png_uint_32 *height) {
  d->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (d->png == nullptr) {
    kzLog(KZ_LOG_ERR, "%s PNG_create_read_struct failed", name);
    return -1;
  }
  d->info = png_create_info_struct(d->png);
  if (d->info == nullptr) {
    kzLog(KZ_LOG_ERR, "%s PNG_create_info_struct failed", name);
    return -1;
  }
  if (setjmp(png_jmpbuf(d->png))) {
    kzLog(KZ_LOG_ERR, "%s error during init_io", name);
    return -1;
  }
  png_init_io(d->png, f);
  png_set_sig_bytes(d->png, 8);
  png_read_info(d->png, d->info);
  *width = png_get_image_width(d->png, d->info);
  *height = png_get_image_height(d->png, d->info);
  const int bitDepth = png_get_bit_depth(d->png, d->info);
  const int colorType = png_get_color_type(d->png, d->info);
  if (*width > fb->xres) {
    kzLog(KZ_LOG_ERR, "%s image has %d cols not %d", name, int(*width), int(fb->xres));
    return -1;
  }
  if (*height > fb->yres) {
    kzLog(KZ_LOG_ERR, "%s image has %d rows not %d", name, int(*height), int(fb->yres));
    return -1;
  }
  if (bitDepth != 8 || fb->pixelSize != 4 || colorType != PNG_COLOR_TYPE_RGB_ALPHA) {
    kzLog(KZ_LOG_ERR, "%s image has %d pixels not %d or color_type is %d not %d", name,
          bitDepth, int(fb->pixelSize), colorType, PNG_COLOR_TYPE_RGB_ALPHA);
    return -1;
  }
  png_set_interlace_handling(d->png);
  png_read_update_info(d->png, d->info);
  const size_t rowBytes = png_get_rowbytes(d->png, d->info);

  if (setjmp(png_jmpbuf(d->png))) {
    kzLog(KZ_LOG_ERR, "%s error during reading image", name);
    return -1;
  }
  d->rows = static_cast<png_bytep *>(calloc(*height ? *height : 1, sizeof(png_bytep)));
  if (d->rows == nullptr) {
    kzLog(KZ_LOG_ERR, "%s unable to alloc row_pointers for image", name);
    return -1;
  }
  for (png_uint_32 y = 0; y < *height; y++) {
    d->rows[y] = static_cast<png_bytep>(malloc(rowBytes));
    if (d->rows[y] == nullptr) {
      kzLog(KZ_LOG_ERR, "%s unable to alloc row_pointers[%d] for image", name, int(y));
      return -1;
    }
    d->rowCount = y + 1;
  }
  png_read_image(d->png, d->rows);
  return 0;
}

}  // namespace

int getPngFile(const char *name, FILE *f, FbScreen *fb, uint8_t *dest) {
  if (f == nullptr) {
    kzLog(KZ_LOG_ERR, "%s image could not be opened", name);
    return -1;
  }
  if (fb == nullptr || dest == nullptr) return -1;
  png_byte sig[8];
  if (fread(sig, 1, sizeof sig, f) != sizeof sig || png_sig_cmp(sig, 0, sizeof sig) != 0) {
    kzLog(KZ_LOG_ERR, "%s image is not a PNG file", name);
    return -1;
  }
  Decode d{};
  png_uint_32 width = 0, height = 0;
  const int rc = decode(&d, name, f, fb, &width, &height);
  if (rc == 0) {
    // O(picture): the whole picture, top-left aligned; alpha is dropped and
    // the pixels of the buffer outside the picture keep their contents.
    for (png_uint_32 y = 0; y < height; y++) {
      const png_byte *src = d.rows[y];
      uint8_t *dst = dest + size_t(y) * size_t(fb->lineSize);
      for (png_uint_32 x = 0; x < width; x++, src += 4, dst += 4) {
        dst[0] = src[2];  // blue
        dst[1] = src[1];  // green
        dst[2] = src[0];  // red
        dst[3] = 0;
      }
    }
  }
  release(&d);
  return rc;
}

void SetImgName(works *w, const char *name) {
  snprintf(w->imgName, sizeof w->imgName, "%s", name);
}

// ---- the screen owner --------------------------------------------------

static void loadBackground(works *w, const char *name) {
  SetImgName(w, name);
  if (w->fb == nullptr) return;
  getPng(w, 1);
  fbSetBack(w->fb);
}

void SetBackground(works *w, const char *name) {
  {
    std::lock_guard<std::mutex> lk(w->bgMut);
    const bool owned = w->bgClosing || w->bgOwner != std::thread::id();
    if (owned && w->bgOwner != std::this_thread::get_id()) {
      // Not this thread's screen: the buffers and imgName stay untouched.
      if (!w->bgClosing) {
        snprintf(w->bgAsked, sizeof w->bgAsked, "%s", name);
        w->bgPending = true;
      }
      return;
    }
  }
  loadBackground(w, name);
}

int ScreenOwnerTake(works *w, bool closing) {
  std::lock_guard<std::mutex> lk(w->bgMut);
  if (w->bgClosing && !closing) return -1;
  w->bgOwner = std::this_thread::get_id();
  if (closing) {
    w->bgClosing = true;
    w->bgPending = false;  // the closing screen replaces whatever was asked
  }
  return 0;
}

void ScreenOwnerEnd(works *w) {
  std::lock_guard<std::mutex> lk(w->bgMut);
  if (w->bgOwner != std::this_thread::get_id()) return;
  w->bgOwner = std::thread::id();
  w->bgClosing = true;
  w->bgPending = false;
}

int ScreenTakeRequest(works *w) {
  if (!w->bgPending.load()) return 0;  // the usual frame: no lock
  char name[sizeof w->bgAsked];
  {
    std::lock_guard<std::mutex> lk(w->bgMut);
    if (!w->bgPending.load() || w->bgOwner != std::this_thread::get_id()) return 0;
    memcpy(name, w->bgAsked, sizeof name);
    w->bgPending = false;
  }
  loadBackground(w, name);
  return 1;
}

void getPng(works *w, int toBack) {
  if (w == nullptr) return;
  char name[32];
  snprintf(name, sizeof name, "%.*s.png", int(strnlen(w->imgName, sizeof w->imgName)),
           w->imgName);
  FbScreen *fb = w->fb;
  if (fb == nullptr) {
    kzLog(KZ_LOG_ERR, "%s image not drawn: no display", name);
    return;
  }
  FILE *f = fopen(kzPath(name).c_str(), "rb");
  if (f == nullptr) {
    kzLog(KZ_LOG_ERR, "%s image could not be opened", name);
    return;
  }
  // A frame being recorded is drawn over the background it began with
  // before either buffer changes.
  fbFrameDirect(fb);
  const int rc = getPngFile(name, f, fb, toBack ? fb->backBuf : fb->drawBuf);
  if (toBack) fbBackChanged(fb);
  if (rc == 0 && toBack == 0) fbRealize(fb);
  fclose(f);
}
