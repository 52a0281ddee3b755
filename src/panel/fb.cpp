// Framebuffer and drawing: the FbScreen record and the raster primitives
// (horizontal line, general line, rectangle outline) every screen is built
// from.
//
//   start-up     fbInit: hide the console cursor, open the display through
//                the current backend (platform/fbdev.h), derive the pixel
//                size, map the screen, allocate the two off-screen buffers
//   frames       fbSetBack (background -> drawing buffer), primitives and
//                text into the drawing buffer, fbRealize (-> screen)
//   primitives   DrawHorizontalLine, DrawLine, DrawRect
//
// Design rules:
// - Only 4-byte (blue, green, red, 0) and 2-byte (RGB 5-6-5 little-endian)
//   screens are drawn on; 1- and 3-byte screens start but lines write
//   nothing.
// - No primitive ever writes outside its buffer. General lines drop the
//   points off the screen (and never draw the very last pixel of the
//   buffer, nor, when steep, the top-left one); horizontal lines are clipped
//   to the screen's columns and rows.
// - Nothing here allocates after fbInit; a frame costs two memcpy of the
//   screen plus what is drawn.
// - The buffers are not locked: one thread composes the screen at a time
//   (main at start-up and for the closing screen, with its count-down
//   thread while main sleeps, the supervisor in between); the others ask
//   for a background by name (panel/png.h).
#include "panel/fb.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/fbdev.h"
#include "platform/log.h"

namespace {

// A colour packed once per primitive in the screen's byte layout.
struct Packed {
  uint8_t b[4];
};

Packed pack(int red, int green, int blue, int pixelSize) {
  const unsigned r = unsigned(red) & 0xFF, g = unsigned(green) & 0xFF, bl = unsigned(blue) & 0xFF;
  Packed p{};
  if (pixelSize == 4) {
    p.b[0] = uint8_t(bl);
    p.b[1] = uint8_t(g);
    p.b[2] = uint8_t(r);
    p.b[3] = 0;
  } else {  // 2 bytes, RGB 5-6-5
    p.b[0] = uint8_t(((g >> 2) << 5) | (bl >> 3));
    p.b[1] = uint8_t((r & 0xF8) | (g >> 5));
  }
  return p;
}

inline void put(uint8_t *dst, const Packed &c, int pixelSize) {
  dst[0] = c.b[0];
  dst[1] = c.b[1];
  if (pixelSize == 4) {
    dst[2] = c.b[2];
    dst[3] = c.b[3];
  }
}

// The buffer a primitive draws in, or null when nothing can be drawn there.
uint8_t *target(FbScreen *fb, int toBack) {
  if (fb == nullptr || (fb->pixelSize != 2 && fb->pixelSize != 4)) return nullptr;
  return toBack ? fb->backBuf : fb->drawBuf;
}

int pixelSizeOf(int bitsPerPixel) {
  switch (bitsPerPixel) {
    case 4:
    case 8:
      return 1;
    case 5:
    case 15:
    case 16:
      return 2;
    case 24:
      return 3;
    case 32:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

// ---- start-up ------------------------------------------------------------

FbScreen *fbInit() {
  kzRunCommand("/bin/echo -e -n '\\033[?25l' >/dev/tty0");  // hide the console cursor
  auto *fb = static_cast<FbScreen *>(calloc(1, sizeof(FbScreen)));
  if (fb == nullptr) {
    kzLog(KZ_LOG_ERR, "Unable to allocate framebuffer structure");
    return nullptr;
  }
  const KzDisplayBackend *dev = kzDisplayCurrent();
  KzDisplay d{};
  if (dev->probe(&d) != 0) {  // logged by the backend
    free(fb);
    return nullptr;
  }
  const int pixelSize = pixelSizeOf(d.bitsPerPixel);
  if (pixelSize == 0) {
    kzLog(KZ_LOG_ERR, "Unknown pixel format");
    free(fb);
    return nullptr;
  }
  kzLog(KZ_LOG_INFO, "Pixel size =%d", pixelSize);
  // The visible screen only, not the virtual one. A mode that cannot be
  // held in the record maps nothing, as the device would refuse it too.
  const int64_t memSize = int64_t(d.xres) * d.yres * d.bitsPerPixel / 8;
  if (d.xres <= 0 || d.yres <= 0 || d.xres > UINT16_MAX || d.yres > UINT16_MAX ||
      memSize > INT32_MAX) {
    kzLog(KZ_LOG_ERR, "Unable to map shared memory\n");
    kzLog(KZ_LOG_ERR,
          "Make sure, that you have compiled shared memory support into your kernel.\n");
    free(fb);
    return nullptr;
  }
  if (dev->map(&d, uint32_t(memSize)) != 0) {  // logged by the backend
    free(fb);
    return nullptr;
  }
  fb->xres = uint16_t(d.xres);
  fb->yres = uint16_t(d.yres);
  fb->memSize = int32_t(memSize);
  fb->lineSize = d.xres * pixelSize;
  fb->pixelSize = pixelSize;
  fb->screenMem = d.mem;
  // Black until the first background is drawn.
  fb->drawBuf = static_cast<uint8_t *>(calloc(size_t(memSize), 1));
  fb->backBuf = static_cast<uint8_t *>(calloc(size_t(memSize), 1));
  if (fb->drawBuf == nullptr || fb->backBuf == nullptr) {
    kzLog(KZ_LOG_ERR, "Unable to allocate framebuffer structure");
    fbFree(fb);
    return nullptr;
  }
  kzLog(KZ_LOG_INFO, "Screen Size x: %d, y: %d, Pixel Size %d Line size: %d, Mem size: %d\n",
        fb->xres, fb->yres, fb->pixelSize, fb->lineSize, fb->memSize);
  return fb;
}

void fbFree(FbScreen *fb) {
  if (fb == nullptr) return;
  kzDisplayUnmap(fb->screenMem, uint32_t(fb->memSize));
  free(fb->drawBuf);
  free(fb->backBuf);
  free(fb);
}

// ---- frames ----------------------------------------------------------------

// Frames are shown and the shown screen read (the simulator's pictures)
// one at a time; on the board nobody reads, and the lock is never waited for.
static std::mutex gShowMut;

// O(memSize): one whole-screen copy, the only transfer to the device.
void fbRealize(FbScreen *fb) {
  if (fb == nullptr || fb->screenMem == nullptr || fb->drawBuf == nullptr) return;
  std::lock_guard<std::mutex> lk(gShowMut);
  if (fb->frameUntilMs != 0) {
    if (kzNowMs() < fb->frameUntilMs) return;  // a received frame is on show
    fb->frameUntilMs = 0;
  }
  memcpy(fb->screenMem, fb->drawBuf, size_t(fb->memSize));
}

int kzFbFrameHoldMs = 3000;

void fbShowFrame(FbScreen *fb, const uint8_t *pixels) {
  if (fb == nullptr || fb->screenMem == nullptr || pixels == nullptr) return;
  std::lock_guard<std::mutex> lk(gShowMut);
  memcpy(fb->screenMem, pixels, size_t(fb->memSize));
  fb->frameUntilMs = kzNowMs() + (kzFbFrameHoldMs > 0 ? kzFbFrameHoldMs : 1);
}

void fbReadScreen(const FbScreen *fb, uint8_t *dst) {
  if (fb == nullptr || fb->screenMem == nullptr || dst == nullptr) return;
  std::lock_guard<std::mutex> lk(gShowMut);
  memcpy(dst, fb->screenMem, size_t(fb->memSize));
}

void fbSetBack(FbScreen *fb) {
  if (fb == nullptr || fb->drawBuf == nullptr || fb->backBuf == nullptr) return;
  memcpy(fb->drawBuf, fb->backBuf, size_t(fb->memSize));
}

// ---- primitives ------------------------------------------------------------

// Pixels x0 <= x < x1 of row y. Clipped to the screen's columns and rows
// and to the buffer (a 15-bit screen has rows of 2-byte pixels in a buffer
// of 15 bits per pixel).
void DrawHorizontalLine(int x0, int y, int x1, int red, int green, int blue, FbScreen *fb,
                        int toBack) {
  uint8_t *buf = target(fb, toBack);
  if (buf == nullptr || y < 0 || y >= fb->yres) return;
  if (x0 < 0) x0 = 0;
  if (x1 > fb->xres) x1 = fb->xres;
  const int64_t row = int64_t(y) * fb->lineSize;
  const int64_t room = (int64_t(fb->memSize) - row) / fb->pixelSize;  // whole pixels left
  if (x1 > room) x1 = int(room);
  if (x1 <= x0) return;
  const Packed c = pack(red, green, blue, fb->pixelSize);
  uint8_t *p = buf + row + int64_t(x0) * fb->pixelSize;
  if (fb->pixelSize == 4) {
    // One pixel word at a time (the loop becomes wide stores).
    uint32_t word;
    memcpy(&word, c.b, 4);
    for (int x = x0; x < x1; x++, p += 4) memcpy(p, &word, 4);
    return;
  }
  for (int x = x0; x < x1; x++, p += fb->pixelSize) put(p, c, fb->pixelSize);
}

// Bresenham from (x0, y0) to (x1, y1), both ends included; nothing when
// they are the same point. A point is written only when it lies on one of
// the screen's columns and its offset is neither negative nor at or past
// memSize - pixelSize (the last pixel of the buffer is never drawn by a
// line); when the line is steep, offset 0 is skipped too. Points off the
// screen are dropped, so lines clip themselves.
void DrawLine(int x0, int y0, int x1, int y1, int red, int green, int blue, FbScreen *fb,
              int toBack) {
  uint8_t *buf = target(fb, toBack);
  if (buf == nullptr || (x0 == x1 && y0 == y1)) return;
  const int ps = fb->pixelSize;
  const Packed c = pack(red, green, blue, ps);
  const int64_t limit = int64_t(fb->memSize) - ps;
  const int64_t dx = int64_t(x1) - x0, dy = int64_t(y1) - y0;
  const int sx = dx >= 1 ? 1 : -1, sy = dy >= 1 ? 1 : -1;
  const int64_t adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
  int64_t x = x0, y = y0;
  const bool steep = adx < ady;
  auto plot = [&]() {
    if (x < 0 || x >= fb->xres) return;
    const int64_t off = y * fb->lineSize + x * ps;
    if (off < 0 || off >= limit || (steep && off == 0)) return;
    put(buf + off, c, ps);
  };
  if (steep) {
    int64_t e = 2 * adx - ady;
    for (int64_t i = 0; i <= ady; i++) {
      plot();
      while (e >= 0) {
        x += sx;
        e -= 2 * ady;
      }
      y += sy;
      e += 2 * adx;
    }
  } else {
    int64_t e = 2 * ady - adx;
    for (int64_t i = 0; i <= adx; i++) {
      plot();
      while (e >= 0) {
        y += sy;
        e -= 2 * adx;
      }
      x += sx;
      e += 2 * ady;
    }
  }
}

// Outline in the drawing buffer: the vertical sides x0 and x1 from y0 to y1,
// then the rows y0 and y1 from x0 to x1 - 1.
void DrawRect(works *w, int x0, int y0, int x1, int y1, int red, int green, int blue) {
  if (w == nullptr || w->fb == nullptr) return;
  DrawLine(x0, y0, x0, y1, red, green, blue, w->fb, 0);
  DrawLine(x1, y0, x1, y1, red, green, blue, w->fb, 0);
  DrawHorizontalLine(x0, y0, x1, red, green, blue, w->fb, 0);
  DrawHorizontalLine(x0, y1, x1, red, green, blue, w->fb, 0);
}
