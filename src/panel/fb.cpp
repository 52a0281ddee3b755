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
//   frame log    fbFrameBegin / fbFrameEnd: the supervisor's frames
//                recorded, compared with the last, composed from the
//                picture of what stays, copied by the pieces of rows
//                that the moving calls drew
//
// Design rules:
// - Only 4-byte (blue, green, red, 0) and 2-byte (RGB 5-6-5 little-endian)
//   screens are drawn on; 1- and 3-byte screens start but lines write
//   nothing.
// - No primitive ever writes outside its buffer. General lines drop the
//   points off the screen (and never draw the very last pixel of the
//   buffer, nor, when steep, the top-left one); horizontal lines are clipped
//   to the screen's columns and rows.
// - Nothing here allocates after fbInit. A plain frame costs two memcpy of
//   the screen plus what is drawn; a supervisor frame that repeats the last
//   costs the recording and one comparison of the two call logs; one that
//   changes costs the calls after the first that differs and, per row, the
//   columns those calls drew in this frame and the last, restored from the
//   composed picture and copied to the display.
// - The buffers are not locked: one thread composes the screen at a time
//   (main at start-up and for the closing screen, with its count-down
//   thread while main sleeps, the supervisor in between); the others ask
//   for a background by name (panel/png.h).
#include "panel/fb.h"

#include <cstdint>
#include <cstdlib>
#include <atomic>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/fbdev.h"
#include "platform/log.h"
#include "panel/text.h"

// ---- the frame log (state) ---------------------------------------------------

namespace {

enum : int32_t { OP_HLINE = 1, OP_LINE = 2, OP_TEXT = 3 };

// One drawing call as it was made: every field set, so that two calls
// compare with memcmp. Horizontal lines of the same columns and colour on
// consecutive rows, one call after the other (a filled box), are one entry
// with rows b..d.
struct FbOp {
  int32_t kind, a, b, c, d, red, green, blue, text, len;
};

constexpr int kMaxOps = 4096;        // a busy frame (menu band, six error buttons) makes ~900
constexpr int kMaxText = 32 * 1024;  // text bytes of one frame (~2 KB on the main screen)
constexpr int kSettle = 16;          // frames a call must stay to join the composed picture

// The pieces of one row drawn on: bit t for the columns of tile t (tiles
// of 1 << tileShift columns, at most 32 to a row).
using RowTiles = uint32_t;

struct FbLog {
  FbOp ops[kMaxOps];
  char text[kMaxText];
  int n = 0, textUsed = 0;
  bool valid = false;  // a whole frame was recorded in it
  uint32_t backGen = 0, fontGen = 0;
};

}  // namespace

struct FbFrame {
  FbLog logs[2];
  int cur = 0;  // logs[cur]: this frame; logs[cur ^ 1]: the last one
  // The display shows the drawing buffer as the last copy left it (not
  // after a received frame was put on it): then only what changed since
  // needs copying. The display memory itself is never read (on the board
  // it is slow, uncached memory).
  bool shownValid = false;
  // The background with the first composedK calls of the last frame drawn.
  uint8_t *composed = nullptr;
  int composedK = 0;
  // How far the composed picture may grow at once (calls that stayed
  // before), frames since it was last rebuilt for a change, and the
  // window over which calls past settledK must stay to be taken in.
  int settledK = 0, sinceRebuild = 1 << 30, stableFrames = 0, stableMin = 0;
  bool composedValid = false;
  uint32_t composedBackGen = 0, composedFontGen = 0;
  bool recording = false;
  bool passive = false;    // replaying: draw, record and mirror nothing
  // The drawing buffer holds the last frame as composed: the composed
  // picture with the calls after it drawn over, on the rows marked in
  // lastTail (cleared by any other write to the buffer).
  std::atomic<bool> drawValid{false};
  // Per row, the tiles the calls after the composed picture drew
  // (lastTail: the last frame, nextTail: this one), the tiles where a
  // frame may differ from the last (`changed`, the two together), and the
  // tiles being marked while those calls are drawn (`marking`).
  RowTiles *tiles = nullptr;  // the block of the three
  RowTiles *lastTail = nullptr, *nextTail = nullptr, *changed = nullptr;
  RowTiles *marking = nullptr;
  int tileShift = 5;
  std::atomic<uint32_t> backGen{1};
  FbScreen *twin = nullptr;
  FbFrameStats stats{};
};

namespace {

std::atomic<bool> gOptimise{true};
std::atomic<uint32_t> gFontGen{1};


// Marks columns [lo, hi) of row y as drawn (y and the columns inside the
// screen, lo < hi).
inline void markSpan(const FbFrame *f, RowTiles *m, int64_t y, int64_t lo, int64_t hi) {
  const unsigned t0 = unsigned(lo >> f->tileShift), t1 = unsigned((hi - 1) >> f->tileShift);
  m[y] |= RowTiles((uint64_t(2) << t1) - (uint64_t(1) << t0));
}

// Calls fn(offset, bytes) for each run of marked tiles of row y.
template <class Fn>
inline void forEachRun(const FbScreen *fb, int y, RowTiles m, Fn fn) {
  const int sh = fb->frame->tileShift;
  const size_t row = size_t(y) * size_t(fb->lineSize), ps = size_t(fb->pixelSize);
  while (m != 0) {
    const int t0 = __builtin_ctz(m);
    const uint64_t rest = uint64_t(m) >> t0;
    const int run = __builtin_ctzll(~rest);
    const int x0 = t0 << sh;
    int x1 = (t0 + run) << sh;
    if (x1 > fb->xres) x1 = fb->xres;
    fn(row + size_t(x0) * ps, size_t(x1 - x0) * ps);
    m = RowTiles(run + t0 >= 32 ? 0 : (uint64_t(m) >> (t0 + run)) << (t0 + run));
  }
}

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
  fbFrameAttach(fb);  // without it the frames are plain
  return fb;
}

void fbFree(FbScreen *fb) {
  if (fb == nullptr) return;
  fbFrameDetach(fb);
  kzDisplayUnmap(fb->screenMem, uint32_t(fb->memSize));
  free(fb->drawBuf);
  free(fb->backBuf);
  free(fb);
}

// ---- frames ----------------------------------------------------------------

// Frames are shown and the shown screen read (the simulator's pictures)
// one at a time; on the board nobody reads, and the lock is never waited for.
static std::mutex gShowMut;

static void showChanged(FbScreen *fb, FbFrame *f, const RowTiles *tiles);

// The locked part of fbRealize. `unchanged`: the drawing buffer holds what
// the last copy took, so only a display that shows something else needs it.
// `tiles`: per row the tiles where the drawing buffer may differ from the
// last copy (null: anywhere).
static void realizeOwn(FbScreen *fb, bool unchanged, const RowTiles *tiles = nullptr) {
  FbFrame *f = fb->frame;
  std::lock_guard<std::mutex> lk(gShowMut);
  if (fb->frameUntilMs != 0) {
    if (kzNowMs() < fb->frameUntilMs) return;  // a received frame is on show
    fb->frameUntilMs = 0;
  }
  if (f && gOptimise.load(std::memory_order_relaxed)) {
    if (unchanged && f->shownValid) return;
    showChanged(fb, f, tiles);
    return;
  }
  memcpy(fb->screenMem, fb->drawBuf, size_t(fb->memSize));
  if (f) f->shownValid = true;
}

// Copies the given tiles of the drawing buffer to the display, or all of
// it when the display does not show the last copy or no tiles are given.
// Caller holds gShowMut. Cost: the bytes of the tiles.
static void showChanged(FbScreen *fb, FbFrame *f, const RowTiles *tiles) {
  if (!f->shownValid || tiles == nullptr) {
    memcpy(fb->screenMem, fb->drawBuf, size_t(fb->memSize));
    f->shownValid = true;
    f->stats.rowsCopied += unsigned(fb->yres);
    f->stats.bytesCopied += unsigned(fb->memSize);
    return;
  }
  for (int y = 0; y < fb->yres; y++) {  // per row: one copy per run of tiles
    if (tiles[y] == 0) continue;
    forEachRun(fb, y, tiles[y], [&](size_t at, size_t n) {
      memcpy(fb->screenMem + at, fb->drawBuf + at, n);
      f->stats.bytesCopied += n;
    });
    f->stats.rowsCopied++;
  }
}

// O(memSize): one whole-screen copy, the only transfer to the device (the
// supervisor's fbFrameEnd copies less).
void fbRealize(FbScreen *fb) {
  if (fb == nullptr || fb->screenMem == nullptr || fb->drawBuf == nullptr) return;
  FbFrame *f = fb->frame;
  if (f && f->recording) fbFrameDirect(fb);  // a frame shown half-way: drawn as it stands
  if (f && f->twin && !f->passive) fbRealize(f->twin);
  realizeOwn(fb, false);
}

int kzFbFrameHoldMs = 3000;

void fbShowFrame(FbScreen *fb, const uint8_t *pixels) {
  if (fb == nullptr || fb->screenMem == nullptr || pixels == nullptr) return;
  std::lock_guard<std::mutex> lk(gShowMut);
  memcpy(fb->screenMem, pixels, size_t(fb->memSize));
  if (fb->frame) fb->frame->shownValid = false;  // the display shows something else now
  fb->frameUntilMs = kzNowMs() + (kzFbFrameHoldMs > 0 ? kzFbFrameHoldMs : 1);
}

void fbReadScreen(const FbScreen *fb, uint8_t *dst) {
  if (fb == nullptr || fb->screenMem == nullptr || dst == nullptr) return;
  std::lock_guard<std::mutex> lk(gShowMut);
  memcpy(dst, fb->screenMem, size_t(fb->memSize));
}

void fbSetBack(FbScreen *fb) {
  if (fb == nullptr || fb->drawBuf == nullptr || fb->backBuf == nullptr) return;
  if (FbFrame *f = fb->frame) {
    fbFrameDirect(fb);
    f->drawValid = false;
    if (f->twin) fbSetBack(f->twin);
  }
  memcpy(fb->drawBuf, fb->backBuf, size_t(fb->memSize));
}

// ---- primitives ------------------------------------------------------------

static bool frameLine(FbScreen *fb, int32_t kind, int a, int b, int c, int d, int red, int green,
                      int blue, int toBack);

// Pixels x0 <= x < x1 of row y. Clipped to the screen's columns and rows
// and to the buffer (a 15-bit screen has rows of 2-byte pixels in a buffer
// of 15 bits per pixel).
void DrawHorizontalLine(int x0, int y, int x1, int red, int green, int blue, FbScreen *fb,
                        int toBack) {
  if (fb && fb->frame && frameLine(fb, OP_HLINE, x0, y, x1, y, red, green, blue, toBack)) return;
  uint8_t *buf = target(fb, toBack);
  if (buf == nullptr || y < 0 || y >= fb->yres) return;
  if (x0 < 0) x0 = 0;
  if (x1 > fb->xres) x1 = fb->xres;
  const int64_t row = int64_t(y) * fb->lineSize;
  const int64_t room = (int64_t(fb->memSize) - row) / fb->pixelSize;  // whole pixels left
  if (x1 > room) x1 = int(room);
  if (x1 <= x0) return;
  if (fb->frame && fb->frame->marking) markSpan(fb->frame, fb->frame->marking, y, x0, x1);
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
  if (fb && fb->frame && frameLine(fb, OP_LINE, x0, y0, x1, y1, red, green, blue, toBack))
    return;
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
  RowTiles *mark = fb->frame ? fb->frame->marking : nullptr;
  auto plot = [&]() {
    if (x < 0 || x >= fb->xres) return;
    const int64_t off = y * fb->lineSize + x * ps;
    if (off < 0 || off >= limit || (steep && off == 0)) return;
    put(buf + off, c, ps);
    if (mark && y < fb->yres) markSpan(fb->frame, mark, y, x, x + 1);
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

void fbFillRows(int x0, int y0, int x1, int y1, int red, int green, int blue, FbScreen *fb,
                int toBack) {
  if (fb == nullptr || y1 < y0) return;
  if (fb->frame && frameLine(fb, OP_HLINE, x0, y0, x1, y1, red, green, blue, toBack)) return;
  FbFrame *f = fb->frame;
  // Drawn row by row as itself: the rows are not recorded again.
  const bool own = f && !f->passive;
  if (own) f->passive = true;
  for (int y = y0; y <= y1; y++) DrawHorizontalLine(x0, y, x1, red, green, blue, fb, toBack);
  if (own) f->passive = false;
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

// ---- the frame log ----------------------------------------------------------

namespace {

// Appends one call to this frame's log; false when the log is full (the
// caller then draws the frame so far and the rest as it comes).
bool record(FbFrame *f, const FbOp &op, const char *text, size_t len) {
  FbLog &log = f->logs[f->cur];
  if (op.kind == OP_HLINE && log.n > 0) {  // the next row of a filled box
    FbOp &last = log.ops[log.n - 1];
    if (last.kind == OP_HLINE && last.a == op.a && last.c == op.c && last.d + 1 == op.b &&
        last.red == op.red && last.green == op.green && last.blue == op.blue) {
      last.d = op.b;
      return true;
    }
  }
  if (log.n >= kMaxOps) return false;
  FbOp o = op;
  if (text) {
    if (len >= size_t(kMaxText - log.textUsed)) return false;
    o.text = log.textUsed;
    o.len = int32_t(len);
    memcpy(log.text + log.textUsed, text, len + 1);  // with its end
    log.textUsed += int(len) + 1;
  }
  log.ops[log.n++] = o;
  return true;
}

// How many calls from the first the two logs share (0 over another
// background or other fonts). Cost: one memcmp per call and text.
int commonPrefix(const FbLog &cur, const FbLog &prev) {
  if (!prev.valid || prev.backGen != cur.backGen || prev.fontGen != cur.fontGen) return 0;
  if (cur.n == prev.n && cur.textUsed == prev.textUsed &&
      memcmp(cur.ops, prev.ops, sizeof(FbOp) * size_t(cur.n)) == 0 &&
      memcmp(cur.text, prev.text, size_t(cur.textUsed)) == 0)
    return cur.n;  // the same frame: two comparisons
  const int n = cur.n < prev.n ? cur.n : prev.n;
  for (int i = 0; i < n; i++) {
    const FbOp &a = cur.ops[i], &b = prev.ops[i];
    if (memcmp(&a, &b, sizeof a) != 0) return i;
    if (a.kind == OP_TEXT && memcmp(cur.text + a.text, prev.text + b.text, size_t(a.len)) != 0)
      return i;
  }
  return n;
}

// Draws calls [from, to) of a log into `target` (the drawing buffer or the
// composed picture) with the plain primitives. Cost: what the calls cost.
void replay(FbScreen *fb, uint8_t *target, const FbLog &log, int from, int to) {
  FbFrame *f = fb->frame;
  uint8_t *own = fb->drawBuf;
  fb->drawBuf = target;
  f->passive = true;
  for (int i = from; i < to; i++) {  // per call of the frame
    const FbOp &o = log.ops[i];
    if (o.kind == OP_HLINE)
      for (int y = o.b; y <= o.d; y++) DrawHorizontalLine(o.a, y, o.c, o.red, o.green, o.blue, fb, 0);
    else if (o.kind == OP_LINE)
      DrawLine(o.a, o.b, o.c, o.d, o.red, o.green, o.blue, fb, 0);
    else
      putString(o.a, o.b, o.c, log.text + o.text, o.red, o.green, o.blue, fb);
  }
  f->passive = false;
  fb->drawBuf = own;
}

// The frame recorded so far into the drawing buffer: the composed picture
// (rebuilt from the background when this frame leaves it before its end,
// extended when this frame shares more calls with the last), then the
// calls after it. `shared`: calls this frame shares with the last. Returns
// per row the columns where the frame may differ from the last one drawn
// (null: anywhere). When the drawing buffer holds the last frame and the
// composed picture was only extended (by calls the last frame drew after
// it), only the columns the last frame drew after it are restored from the
// composed picture: per frame, O(pixels the moving calls touch), not
// O(screen).
const RowTiles *compose(FbScreen *fb, int shared) {
  FbFrame *f = fb->frame;
  const FbLog &cur = f->logs[f->cur];
  const size_t bytes = size_t(fb->memSize), line = size_t(fb->lineSize);
  const int rows = fb->yres;
  bool rebuilt = false;
  if (f->sinceRebuild < (1 << 30)) f->sinceRebuild++;
  const bool sameBase = f->composedValid && f->composedBackGen == cur.backGen &&
                        f->composedFontGen == cur.fontGen;
  if (!sameBase || shared < f->composedK) {
    if (sameBase) {
      // A call inside the picture changed. Twice within the window: it
      // changes often (a reading), and the picture stops before it.
      if (f->sinceRebuild < kSettle && shared < f->settledK) f->settledK = shared;
      f->sinceRebuild = 0;
    }
    memcpy(f->composed, fb->backBuf, bytes);
    f->composedK = 0;
    f->composedBackGen = cur.backGen;
    f->composedFontGen = cur.fontGen;
    f->composedValid = true;
    rebuilt = true;
  }
  // The picture grows at once over calls that had stayed before (after a
  // clock that turned, the rest of the screen), and over the others once
  // they stayed kSettle frames running: a reading that changes every few
  // frames stays out of it instead of having it rebuilt each time.
  int target = f->composedK;
  if (shared > f->composedK) {
    if (f->settledK > target) target = std::min(shared, f->settledK);
    if (shared > f->settledK) {
      f->stableMin = f->stableFrames == 0 ? shared : std::min(f->stableMin, shared);
      if (++f->stableFrames >= kSettle) {
        f->settledK = f->stableMin;
        target = std::max(target, std::min(shared, f->settledK));
        f->stableFrames = 0;
      }
    } else {
      f->stableFrames = 0;
    }
  } else {
    f->stableFrames = 0;
  }
  if (target > f->composedK) {
    replay(fb, f->composed, cur, f->composedK, target);
    f->composedK = target;
  }
  const bool partial = !rebuilt && f->drawValid && size_t(rows) * line <= bytes;
  if (partial) {
    for (int y = 0; y < rows; y++)  // per row: the last frame's moving tiles restored
      if (f->lastTail[y] != 0)
        forEachRun(fb, y, f->lastTail[y], [&](size_t at, size_t n) {
          memcpy(fb->drawBuf + at, f->composed + at, n);
        });
  } else {
    memcpy(fb->drawBuf, f->composed, bytes);
  }
  memset(f->nextTail, 0, sizeof(RowTiles) * size_t(rows));
  f->marking = f->nextTail;
  replay(fb, fb->drawBuf, cur, f->composedK, cur.n);
  f->marking = nullptr;
  for (int y = 0; y < rows; y++) f->changed[y] = f->lastTail[y] | f->nextTail[y];
  std::swap(f->lastTail, f->nextTail);
  f->drawValid = true;
  f->stats.composed++;
  return partial ? f->changed : nullptr;
}

}  // namespace

static bool frameLine(FbScreen *fb, int32_t kind, int a, int b, int c, int d, int red, int green,
                      int blue, int toBack) {
  FbFrame *f = fb->frame;
  if (f->passive) return false;
  if (toBack) {  // the background (shared with a mirror): drawn once, over a finished frame
    fbFrameDirect(fb);
    fbBackChanged(fb);
    return false;
  }
  if (f->twin) {
    if (kind == OP_HLINE)  // rows b..d
      fbFillRows(a, b, c, d, red, green, blue, f->twin, 0);
    else
      DrawLine(a, b, c, d, red, green, blue, f->twin, 0);
  }
  if (f->recording) {
    if (record(f, FbOp{kind, a, b, c, d, red, green, blue, 0, 0}, nullptr, 0)) return true;
    fbFrameDirect(fb);  // the log is full
  }
  f->drawValid = false;
  return false;
}

bool fbFrameText(FbScreen *fb, int font, int x, int y, const char *text, int red, int green,
                 int blue) {
  FbFrame *f = fb ? fb->frame : nullptr;
  if (f == nullptr || f->passive) return false;
  if (f->twin) putString(font, x, y, text, red, green, blue, f->twin);
  if (f->recording) {
    if (record(f, FbOp{OP_TEXT, font, x, y, 0, red, green, blue, 0, 0}, text, strlen(text)))
      return true;
    fbFrameDirect(fb);
  }
  f->drawValid = false;
  return false;
}

void fbFrameDirect(FbScreen *fb) {
  FbFrame *f = fb ? fb->frame : nullptr;
  if (f == nullptr || f->passive) return;
  if (f->recording) {
    f->recording = false;
    FbLog &cur = f->logs[f->cur];
    compose(fb, commonPrefix(cur, f->logs[f->cur ^ 1]));
    cur.valid = false;  // half a frame: the next one is not compared with it
  }
  f->drawValid = false;
}

void fbFrameBegin(FbScreen *fb) {
  if (fb == nullptr) return;
  FbFrame *f = fb->frame;
  if (f == nullptr || !gOptimise.load(std::memory_order_relaxed) || fb->drawBuf == nullptr ||
      fb->backBuf == nullptr) {
    fbSetBack(fb);
    return;
  }
  if (f->twin) fbSetBack(f->twin);
  FbLog &cur = f->logs[f->cur];
  cur.n = 0;
  cur.textUsed = 0;
  cur.valid = false;
  cur.backGen = f->backGen.load();
  cur.fontGen = gFontGen.load();
  f->recording = true;
}

void fbFrameEnd(FbScreen *fb) {
  if (fb == nullptr) return;
  FbFrame *f = fb->frame;
  if (f) f->stats.frames++;
  if (f == nullptr || !f->recording) {
    fbRealize(fb);
    return;
  }
  f->recording = false;
  if (f->twin) fbRealize(f->twin);
  FbLog &cur = f->logs[f->cur];
  const FbLog &prev = f->logs[f->cur ^ 1];
  const int shared = commonPrefix(cur, prev);
  const bool same = prev.valid && shared == cur.n && prev.n == cur.n &&
                    prev.backGen == cur.backGen && prev.fontGen == cur.fontGen;
  cur.valid = true;
  if (same && f->drawValid) {
    f->stats.unchanged++;
    f->cur ^= 1;
    if (fb->screenMem) realizeOwn(fb, true);  // only when the display shows something else
    return;
  }
  const RowTiles *tiles = compose(fb, shared);
  f->cur ^= 1;  // this frame is the last one now
  if (fb->screenMem) realizeOwn(fb, false, tiles);
}

bool fbFrameAttach(FbScreen *fb) {
  if (fb == nullptr || fb->frame != nullptr) return fb != nullptr;
  if (fb->memSize <= 0) return false;
  auto *f = new (std::nothrow) FbFrame;
  if (f == nullptr) return false;
  f->composed = static_cast<uint8_t *>(malloc(size_t(fb->memSize)));
  f->tiles = static_cast<RowTiles *>(calloc(3 * size_t(fb->yres) + 1, sizeof(RowTiles)));
  if (f->composed == nullptr || f->tiles == nullptr) {
    free(f->composed);
    free(f->tiles);
    delete f;
    return false;
  }
  while (((fb->xres - 1) >> f->tileShift) >= 32) f->tileShift++;
  f->lastTail = f->tiles;
  f->nextTail = f->lastTail + fb->yres;
  f->changed = f->nextTail + fb->yres;
  fb->frame = f;
  return true;
}

void fbFrameDetach(FbScreen *fb) {
  if (fb == nullptr || fb->frame == nullptr) return;
  free(fb->frame->composed);
  free(fb->frame->tiles);
  delete fb->frame;
  fb->frame = nullptr;
}

void fbFrameOptimise(bool on) { gOptimise = on; }

void fbBackChanged(FbScreen *fb) {
  if (fb && fb->frame) fb->frame->backGen.fetch_add(1);
}

void fbFontsChanged() { gFontGen.fetch_add(1); }

void fbMirror(FbScreen *fb, FbScreen *twin) {
  if (fb && fb->frame) fb->frame->twin = twin;
}

FbFrameStats fbFrameStatsOf(const FbScreen *fb) {
  return fb && fb->frame ? fb->frame->stats : FbFrameStats{};
}

void fbFrameMarkRows(FbScreen *fb, long y0, long y1, long x0, long x1) {
  RowTiles *mark = fb && fb->frame ? fb->frame->marking : nullptr;
  if (mark == nullptr) return;
  if (y0 < 0) y0 = 0;
  if (y1 >= fb->yres) y1 = fb->yres - 1;
  if (x0 < 0) x0 = 0;
  if (x1 > fb->xres) x1 = fb->xres;
  if (x1 <= x0) return;
  for (long y = y0; y <= y1; y++) markSpan(fb->frame, mark, y, x0, x1);
}
