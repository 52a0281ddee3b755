// Text: the font table, the string renderer and its width measure, the
// UTF-8 decoder, and the decoder of the short remote display commands.
//
//   1 font table    face, slot and fontSize of 20 slots, one FreeType
//                   library; TTFLoad, LoadFonts
//   2 UTF-8         utf8_get_next_char
//   3 drawing       putString, getStringSpace, the clipped-pixel count
//   3b boxed text   putStringBox: font choice, wrapping, cutting at the start
//   4 remote text   dispStatText
//
// Design rules:
// - One FreeType library serves the whole process; it is made by the first
//   TTFLoad. Reloading a slot releases the face it held.
// - FreeType faces must not be used by two threads at once, and the
//   supervisor, the button thread and the start-up thread all draw text:
//   fontMut serialises every use of the table (load, draw, measure).
// - A font file is mapped once however many slots use it (DejaVu Sans
//   serves six sizes): each slot's face reads the one mapping, which stays
//   for the life of the process. Six mappings of the same file would each
//   count their touched pages in the resident set.
// - A slot that holds no face (never loaded, out of range, failed load)
//   draws nothing and measures 0.
// - Text is drawn in the 4-byte pixel layout (blue, green, red, 0) only;
//   no pixel is written outside the drawing buffer, and a glyph running
//   past the right edge is cut there instead of wrapping onto the next row.
// - Glyph cache: a character is loaded and rendered once per font slot,
//   code point and sub-pixel phase of the pen (the fraction of a pixel the
//   pen stands at); its bitmap, placement and advance are kept and every
//   later use draws and measures from them. What is drawn is the same to
//   the pixel as loading it each time: with the identity matrix the pen's
//   whole pixels only move the bitmap, and the blit places it from the pen
//   as before. The cache fills during the first frames; a steady frame
//   loads no glyph and allocates nothing. Reloading a font empties it; so
//   does a full cache (4096 glyphs or 1 MiB of bitmaps, far above the
//   panel's few hundred).
#include "panel/text.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "core/setup.h"
#include "core/works.h"
#include "panel/fb.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "tuner/banktab.h"

// ===========================================================================
// 1 font table
// ===========================================================================

static FT_Library library = nullptr;
static FT_Face face[KZ_FONT_SLOTS];
static FT_GlyphSlot slot[KZ_FONT_SLOTS];
static int fontSize[KZ_FONT_SLOTS];
static std::mutex fontMut;
namespace {
void cacheClear();  // the glyph cache (section 3)
}

namespace {

// The mapped font files (section 1's design rule). The panel uses four
// files; a ninth different file is opened by FreeType on its own.
struct FontFile {
  std::string path;
  const FT_Byte *data = nullptr;
  size_t size = 0;
};
FontFile fontFiles[8];

// A face for `path` read from its shared mapping, or from FreeType's own
// file stream when the file cannot be mapped (FreeType then reports why).
// Caller holds fontMut.
FT_Error newFace(const std::string &path, FT_Face *f) {
  for (FontFile &ff : fontFiles) {
    if (ff.data != nullptr && ff.path == path)
      return FT_New_Memory_Face(library, ff.data, FT_Long(ff.size), 0, f);
    if (ff.data != nullptr) continue;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    struct stat st {};
    void *m = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size > 0)
      m = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (m == MAP_FAILED) break;
    ff.path = path;
    ff.data = static_cast<const FT_Byte *>(m);
    ff.size = size_t(st.st_size);
    return FT_New_Memory_Face(library, ff.data, FT_Long(ff.size), 0, f);
  }
  return FT_New_Face(library, path.c_str(), 0, f);
}

}  // namespace

void TTFLoad(const char *fileName, int pixelSize, int slotIndex) {
  std::lock_guard<std::mutex> lk(fontMut);
  kzLog(KZ_LOG_INFO, "Iinitializing FreeType");
  if (library == nullptr && FT_Init_FreeType(&library) != 0) {
    library = nullptr;
    kzLog(KZ_LOG_ERR, "Error initializing FreeType");
  }
  kzLog(KZ_LOG_INFO, "Loading face: filename=%s", fileName ? fileName : "");
  if (slotIndex < 0 || slotIndex >= KZ_FONT_SLOTS) {
    kzLog(KZ_LOG_ERR, "FreeType: file error");
    return;
  }
  cacheClear();  // its glyphs may be this slot's
  fbFontsChanged();  // and pictures composed with them are old
  if (face[slotIndex] != nullptr) FT_Done_Face(face[slotIndex]);
  face[slotIndex] = nullptr;
  slot[slotIndex] = nullptr;
  fontSize[slotIndex] = 0;

  FT_Face f = nullptr;
  FT_Error err = FT_Err_Invalid_Library_Handle;
  if (library != nullptr && fileName != nullptr) {
    const std::string path = kzPath(fileName);
    err = newFace(path, &f);
  }
  if (err == FT_Err_Unknown_File_Format) {
    kzLog(KZ_LOG_ERR, "FreeType: file format not supported");
  } else if (err != 0) {
    kzLog(KZ_LOG_ERR, "FreeType: file error");
  } else {
    kzLog(KZ_LOG_INFO, "Face loaded");
  }
  if (err != 0) f = nullptr;
  // Without a face the size cannot be set either; the slot stays empty.
  if (f == nullptr || FT_Set_Pixel_Sizes(f, 0, FT_UInt(pixelSize < 0 ? 0 : pixelSize)) != 0)
    kzLog(KZ_LOG_ERR, "Error Setting Pixel Size");
  kzLog(KZ_LOG_INFO, "Pixel size sat");
  if (f == nullptr) return;
  face[slotIndex] = f;
  slot[slotIndex] = f->glyph;
  fontSize[slotIndex] = pixelSize;
}

void LoadFonts() {
  static const char *const dejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  static const char *const dejaVuBold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
  static const char *const dejaVuOblique =
      "/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf";
  TTFLoad(dejaVuBold, 24, 0);
  TTFLoad(dejaVu, 22, 1);
  TTFLoad("/opt/fonts/PTS55F_W.ttf", 22, 2);
  TTFLoad(dejaVuBold, 24, 0);
  TTFLoad("/opt/fonts/PTS75F_W.ttf", 24, 4);
  TTFLoad(dejaVu, 8, 5);
  TTFLoad(dejaVu, 14, 6);
  TTFLoad(dejaVuOblique, 24, 7);
  TTFLoad(dejaVu, 20, 8);
  TTFLoad(dejaVu, 30, 9);
  TTFLoad(dejaVu, 18, 10);
  TTFLoad(dejaVuBold, 21, 11);
}

// The face of a slot, or null when the slot holds none. Caller holds fontMut.
static FT_Face faceOf(int font) {
  if (font < 0 || font >= KZ_FONT_SLOTS) return nullptr;
  return face[font];
}

// ===========================================================================
// 2 UTF-8
// ===========================================================================

static inline bool isCont(unsigned b) { return b >= 0x80 && b <= 0xBF; }

int utf8_get_next_char(const unsigned char *text, size_t length, size_t *position, int *valid,
                       unsigned int *codepoint) {
  if (position == nullptr || text == nullptr || *position >= length) return -1;
  const size_t p = *position;
  const size_t left = length - p;
  const unsigned b0 = text[p];
  size_t step = 1;
  unsigned cp = 0;
  bool ok = false;
  if (b0 < 0x80) {
    cp = b0;
    ok = true;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left >= 2 && isCont(text[p + 1])) {
      cp = ((b0 << 6) & 0x7FF) | (text[p + 1] & 0x3Fu);
      ok = true;
      step = 2;
    }
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = b0 == 0xED ? 0x9F : 0xBF;
    if (left >= 2 && text[p + 1] >= lo && text[p + 1] <= hi) {
      step = 2;
      if (left >= 3 && isCont(text[p + 2])) {
        cp = ((b0 << 12) & 0x1FFFF) | ((unsigned(text[p + 1]) << 6) & 0xFFF) |
             (text[p + 2] & 0x3Fu);
        ok = true;
        step = 3;
      }
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (left >= 2 && text[p + 1] >= lo && text[p + 1] <= hi) {
      step = 2;
      if (left >= 3 && isCont(text[p + 2])) {
        step = 3;
        if (left >= 4 && isCont(text[p + 3])) {
          cp = ((b0 << 18) & 0x1FFFFF) | ((unsigned(text[p + 1]) << 12) & 0x3FFFF) |
               ((unsigned(text[p + 2]) << 6) & 0xFFF) | (text[p + 3] & 0x3Fu);
          ok = true;
          step = 4;
        }
      }
    }
  }
  // 0x80 to 0xC1 and 0xF5 to 0xFF fall through: invalid, one byte.
  *position = p + step;
  if (valid != nullptr) *valid = ok ? 1 : 0;
  if (codepoint != nullptr) *codepoint = ok ? cp : 0;
  return 1;
}

// ===========================================================================
// 3 drawing
// ===========================================================================

// Loads one decoded character with the identity matrix and the pen as
// translation; an invalid sequence loads character code 0 (the missing-glyph
// shape). Returns FreeType's error.
static FT_Error loadAt(FT_Face f, FT_Vector pen, int valid, unsigned cp, FT_Int32 flags) {
  FT_Matrix matrix;
  matrix.xx = 0x10000;
  matrix.xy = 0;
  matrix.yx = 0;
  matrix.yy = 0x10000;
  FT_Set_Transform(f, &matrix, &pen);
  return FT_Load_Char(f, valid ? FT_ULong(cp) : 0, flags);
}

// Inked glyph pixels that fell outside the buffer (a text running past the
// screen's edge); tests read it to prove that every text fits.
static std::atomic<unsigned long> clippedPixels{0};

unsigned long TextClippedPixels() { return clippedPixels.load(); }

static inline uint8_t blend(uint8_t old, int c, int a) {
  return uint8_t(old * (255 - a) / 255 + c * a / 255);
}

static inline int clampColour(int c) { return c < 0 ? 0 : (c > 255 ? 255 : c); }

// ---- glyph cache ------------------------------------------------------------
// Open addressing over a fixed table; the bitmaps live in one byte pool.
// Caller holds fontMut. Cost: one hash probe per character.

namespace {

struct CachedGlyph {
  int font = -1;  // -1: empty entry
  unsigned cp = 0;
  int valid = 0;
  int phaseX = 0, phaseY = 0;  // the pen's fraction of a pixel, 26.6
  int ok = 0;                  // the load succeeded (else the character is skipped)
  FT_Pos advX = 0, advY = 0;
  long d = 0;  // height - horiBearingY, 26.6: bottom row below the baseline
  int rows = 0, pitch = 0;
  int hasBitmap = 0;  // a grey bitmap to blend
  size_t at = 0;      // its bytes in the pool
};

constexpr int kCacheSize = 8192;  // entries (kept at most half full)
constexpr int kCacheMaxGlyphs = 4096;
constexpr size_t kPoolMax = 1u << 20;
CachedGlyph gCache[kCacheSize];
int gCached = 0;
std::vector<uint8_t> gPool;
bool gCacheOn = true;

void cacheClear() {
  for (CachedGlyph &g : gCache) g.font = -1;
  gCached = 0;
  gPool.clear();
}

unsigned cacheHash(int font, unsigned cp, int valid, int px, int py) {
  uint32_t h = 2166136261u;
  for (uint32_t v : {uint32_t(font), cp, uint32_t(valid), uint32_t(px), uint32_t(py)}) {
    h ^= v;
    h *= 16777619u;
  }
  return h;
}

}  // namespace

// The cached glyph of a character at this pen, loaded and kept on a miss.
// Null only when the cache is off (tests) or cannot hold it.
static const CachedGlyph *cachedGlyph(int font, FT_Face f, FT_Vector pen, int valid, unsigned cp) {
  if (!gCacheOn) return nullptr;
  const int px = int(pen.x & 63), py = int(pen.y & 63);
  if (!valid) cp = 0;
  unsigned i = cacheHash(font, cp, valid, px, py) % kCacheSize;
  for (;; i = (i + 1) % kCacheSize) {
    CachedGlyph &g = gCache[i];
    if (g.font < 0) break;
    if (g.font == font && g.cp == cp && g.valid == valid && g.phaseX == px && g.phaseY == py)
      return &g;
  }
  if (gCached >= kCacheMaxGlyphs || gPool.size() > kPoolMax) {
    cacheClear();
    i = cacheHash(font, cp, valid, px, py) % kCacheSize;
    while (gCache[i].font >= 0) i = (i + 1) % kCacheSize;
  }
  CachedGlyph &g = gCache[i];
  g = CachedGlyph();
  g.font = font;
  g.cp = cp;
  g.valid = valid;
  g.phaseX = px;
  g.phaseY = py;
  // Rendered at the pen's fraction only: the whole pixels do not change
  // the bitmap.
  FT_Vector frac;
  frac.x = px;
  frac.y = py;
  g.ok = loadAt(f, frac, valid, cp, FT_LOAD_RENDER) == 0;
  if (g.ok) {
    FT_GlyphSlot gs = f->glyph;
    g.advX = gs->advance.x;
    g.advY = gs->advance.y;
    g.d = long(gs->metrics.height - gs->metrics.horiBearingY);
    const FT_Bitmap &bm = gs->bitmap;
    if (bm.buffer != nullptr && bm.pitch > 0 && bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
      g.hasBitmap = 1;
      g.rows = int(bm.rows);
      g.pitch = int(bm.pitch);
      g.at = gPool.size();
      gPool.insert(gPool.end(), bm.buffer, bm.buffer + size_t(g.rows) * size_t(g.pitch));
    }
  }
  gCached++;
  return &g;
}

void TextGlyphCache(bool on) {
  std::lock_guard<std::mutex> lk(fontMut);
  gCacheOn = on;
  cacheClear();
}

// Blends one glyph bitmap into the buffer. The bitmap's bottom row sits
// D = height - horiBearingY (26.6) below the pen's baseline, its left edge
// at the pen. A glyph wholly inside the buffer is clipped once: empty
// pixels are skipped (their fourth byte, 0 in every picture the panel
// draws, is left as it is) and opaque ones written directly (blending at
// full cover gives the colour itself). One that crosses an edge goes pixel by
// pixel and counts its cut inked pixels. Cost: rows x pitch pixels.
static void blitBitmap(const uint8_t *buffer, long rows, long pitch, long d, FT_Vector pen, int r,
                       int gr, int b, FbScreen *fb) {
  const long baseRow = (long(pen.y) + d) / 64;
  const long baseCol = long(pen.x) / 64;
  if (fb->frame) fbFrameMarkRows(fb, baseRow - (rows - 1), baseRow, baseCol, baseCol + pitch);
  const int64_t memSize = fb->memSize, lineSize = fb->lineSize;
  uint8_t *buf = fb->drawBuf;
  const int64_t rowsInside = lineSize > 0 ? memSize / lineSize : 0;
  const bool inside = baseCol >= 0 && baseCol + pitch <= fb->xres && baseRow - (rows - 1) >= 0 &&
                      baseRow < rowsInside && (baseRow + 1) * lineSize <= memSize;
  if (inside) {
    for (long i = 0; i < rows; i++) {
      const uint8_t *src = buffer + (rows - 1 - i) * pitch;
      uint8_t *px = buf + (baseRow - i) * lineSize + baseCol * 4;
      for (long j = 0; j < pitch; j++, px += 4) {
        const int a = src[j];
        if (a == 0) continue;
        if (a == 255) {
          px[0] = uint8_t(b);
          px[1] = uint8_t(gr);
          px[2] = uint8_t(r);
        } else {
          px[0] = blend(px[0], b, a);
          px[1] = blend(px[1], gr, a);
          px[2] = blend(px[2], r, a);
        }
        px[3] = 0;
      }
    }
    return;
  }
  for (long i = 0; i < rows; i++) {
    const uint8_t *src = buffer + (rows - 1 - i) * pitch;
    const int64_t row = baseRow - i;
    for (long j = 0; j < pitch; j++) {
      const int64_t col = baseCol + j;
      const int a = src[j];
      const int64_t off = row * lineSize + col * 4;
      // No wrap onto the next row, nothing outside the buffer.
      if (col < 0 || col >= fb->xres || off < 0 || off + 3 >= memSize) {
        if (a != 0) clippedPixels++;
        continue;
      }
      uint8_t *px = buf + off;
      px[0] = blend(px[0], b, a);
      px[1] = blend(px[1], gr, a);
      px[2] = blend(px[2], r, a);
      px[3] = 0;
    }
  }
}

static void blitGlyph(FT_GlyphSlot g, FT_Vector pen, int r, int gr, int b, FbScreen *fb) {
  const FT_Bitmap &bm = g->bitmap;
  if (bm.buffer == nullptr || bm.pitch <= 0 || bm.pixel_mode != FT_PIXEL_MODE_GRAY) return;
  blitBitmap(bm.buffer, long(bm.rows), long(bm.pitch),
             long(g->metrics.height - g->metrics.horiBearingY), pen, r, gr, b, fb);
}

void putString(int font, int x, int y, const char *text, int red, int green, int blue,
               FbScreen *fb) {
  if (text == nullptr || fb == nullptr || fb->drawBuf == nullptr || fb->pixelSize != 4) return;
  if (fb->frame && fbFrameText(fb, font, x, y, text, red, green, blue)) return;  // recorded
  std::lock_guard<std::mutex> lk(fontMut);
  FT_Face f = faceOf(font);
  if (f == nullptr) return;
  red = clampColour(red);
  green = clampColour(green);
  blue = clampColour(blue);
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  const size_t len = strlen(text);  // once, not per character
  FT_Vector pen;
  pen.x = FT_Pos(x) * 64;
  pen.y = FT_Pos(y) * 64;
  size_t pos = 0;
  int valid = 0;
  unsigned cp = 0;
  while (utf8_get_next_char(s, len, &pos, &valid, &cp) == 1) {
    if (const CachedGlyph *g = cachedGlyph(font, f, pen, valid, cp)) {
      if (!g->ok) continue;
      if (g->hasBitmap)
        blitBitmap(gPool.data() + g->at, g->rows, g->pitch, g->d, pen, red, green, blue, fb);
      pen.x += g->advX;
      pen.y += g->advY;
      continue;
    }
    if (loadAt(f, pen, valid, cp, FT_LOAD_RENDER) != 0) continue;
    blitGlyph(f->glyph, pen, red, green, blue, fb);
    pen.x += f->glyph->advance.x;
    pen.y += f->glyph->advance.y;
  }
}

int getStringSpace(int font, const char *text) {
  if (text == nullptr) return 0;
  std::lock_guard<std::mutex> lk(fontMut);
  FT_Face f = faceOf(font);
  if (f == nullptr) return 0;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  const size_t len = strlen(text);
  FT_Vector pen;
  pen.x = 0;
  pen.y = 0;
  FT_Pos sum = 0;
  size_t pos = 0;
  int valid = 0;
  unsigned cp = 0;
  // The advances do not depend on rendering: from the cache, or the glyphs
  // are only loaded.
  while (utf8_get_next_char(s, len, &pos, &valid, &cp) == 1) {
    if (const CachedGlyph *g = cachedGlyph(font, f, pen, valid, cp)) {
      if (!g->ok) continue;
      sum += g->advX;
      pen.x += g->advX;
      pen.y += g->advY;
      continue;
    }
    if (loadAt(f, pen, valid, cp, FT_LOAD_DEFAULT) != 0) continue;
    sum += f->glyph->advance.x;
    pen.x += f->glyph->advance.x;
    pen.y += f->glyph->advance.y;
  }
  return int(sum / 64);
}

// ===========================================================================
// 3b boxed text
// ===========================================================================
// A text that must stay inside a box of the panel: the largest font of a
// list at which it fits, wrapped at blanks over a few lines; only when the
// smallest font cannot hold it, each line still too wide loses characters
// at its start ("..." in their place), so that its end (a port name, a
// device path) stays readable. Costs one measure per font tried and per
// wrapped line; no allocation (fixed buffers, texts up to 255 bytes).

namespace {

constexpr int kBoxLines = 4;
constexpr size_t kBoxText = 256;

struct BoxLines {
  char line[kBoxLines][kBoxText];
  int count;
};

// Greedy wrap of `text` at blanks into at most maxLines lines no wider
// than `width` in `font`. False when it needs more lines or a word alone
// is too wide; with `force` the rest goes into the last line instead and
// every word is taken whatever its width.
bool wrapText(int font, const char *text, int width, int maxLines, bool force, BoxLines &out) {
  out.count = 0;
  size_t pos = 0;
  const size_t len = strnlen(text, kBoxText - 1);
  while (pos < len) {
    while (pos < len && text[pos] == ' ') pos++;
    if (pos >= len) break;
    if (out.count == maxLines) return force;  // forced: the rest is dropped
    char *cur = out.line[out.count];
    size_t end = pos, taken = pos;
    const bool last = out.count == maxLines - 1;
    // Extend word by word while the line fits.
    while (end < len) {
      size_t next = end;
      while (next < len && text[next] == ' ') next++;
      while (next < len && text[next] != ' ') next++;
      memcpy(cur, text + pos, next - pos);
      cur[next - pos] = '\0';
      const bool fits = getStringSpace(font, cur) <= width;
      if (!fits && !(force && last)) break;
      taken = next;
      end = next;
    }
    if (taken == pos) {  // one word wider than the box
      if (!force) return false;
      taken = pos;
      while (taken < len && text[taken] != ' ') taken++;
    }
    memcpy(cur, text + pos, taken - pos);
    cur[taken - pos] = '\0';
    out.count++;
    pos = taken;
  }
  return out.count > 0;
}

// Cuts characters at the start of `line` until "..." and the rest fit.
void cutAtStart(int font, char *line, int width) {
  if (getStringSpace(font, line) <= width) return;
  char buf[kBoxText + 4];
  const size_t len = strlen(line);
  for (size_t skip = 1; skip < len; skip++) {
    if ((uint8_t(line[skip]) & 0xC0) == 0x80) continue;  // inside a UTF-8 sequence
    snprintf(buf, sizeof buf, "...%s", line + skip);
    if (getStringSpace(font, buf) <= width) {
      snprintf(line, kBoxText, "%s", buf);
      return;
    }
  }
  line[0] = '\0';
}

}  // namespace

int putStringBox(const int *fonts, int nFonts, int x0, int x1, int y, int maxLines, int centre,
                 const char *text, int red, int green, int blue, FbScreen *fb) {
  if (fonts == nullptr || nFonts <= 0 || text == nullptr || x1 <= x0) return 0;
  if (maxLines < 1) maxLines = 1;
  if (maxLines > kBoxLines) maxLines = kBoxLines;
  const int width = x1 - x0;
  // The usual case, drawn every frame: the whole text (leading blanks
  // dropped, as the wrapping drops them) fits in the first font on one
  // line. One measure, no copy.
  const char *t = text;
  while (*t == ' ') t++;
  if (*t != '\0' && strnlen(t, kBoxText) < kBoxText - (t - text)) {
    const int tw = getStringSpace(fonts[0], t);
    if (tw <= width) {
      putString(fonts[0], centre ? x0 + (width - tw) / 2 : x0, y, t, red, green, blue, fb);
      return 1;
    }
  }
  BoxLines lines;
  int font = fonts[nFonts - 1];
  bool ok = false;
  for (int i = 0; i < nFonts && !ok; i++) {
    if (wrapText(fonts[i], text, width, maxLines, false, lines)) {
      font = fonts[i];
      ok = true;
    }
  }
  if (!ok) {
    if (!wrapText(font, text, width, maxLines, true, lines)) return 0;
    for (int l = 0; l < lines.count; l++) cutAtStart(font, lines.line[l], width);
  }
  int size;
  {
    std::lock_guard<std::mutex> lk(fontMut);
    size = (font >= 0 && font < KZ_FONT_SLOTS) ? fontSize[font] : 0;
  }
  const int step = size + size / 4;
  for (int l = 0; l < lines.count; l++) {
    int x = x0;
    if (centre) x = x0 + (width - getStringSpace(font, lines.line[l])) / 2;
    putString(font, x, y + l * step, lines.line[l], red, green, blue, fb);
  }
  return lines.count;
}

// ===========================================================================
// 4 remote text
// ===========================================================================

static bool startsWith(const char *s, const char *prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

// The number after "VORNFD": plain decimal digits that fit the two-character
// Divide field (0 to 99), or -1.
static int divideValue(const char *s) {
  if (*s < '0' || *s > '9') return -1;
  char *end = nullptr;
  const long v = strtol(s, &end, 10);
  return v > 99 ? -1 : int(v);
}

void dispStatText(works *w, const char *remoteStatus) {
  if (w == nullptr || remoteStatus == nullptr) return;
  kzTrace("BUFFER Wsocket : %s\n", remoteStatus);
  SetupRec *st = w->setup;
  if (startsWith(remoteStatus, "VORNBANK") || startsWith(remoteStatus, "VORNPA1")) {
    kzTrace("ChangeBanco\n");
    ChangeBanco(w);
  } else if (startsWith(remoteStatus, "VORNTU2")) {
    // nothing to do
  } else if (startsWith(remoteStatus, "VORNFT00")) {
    // The streaming flags are read by the transceiver and sample links
    // while the remote link's thread switches them.
    if (st != nullptr) std::atomic_ref<char>(st->EnableFFT2).store('0');
  } else if (startsWith(remoteStatus, "VORNFT01") || startsWith(remoteStatus, "VORNFT02")) {
    if (st != nullptr) {
      std::atomic_ref<char>(st->EnableFFT2).store('1');
      std::atomic_ref<char>(st->Enable1600).store(remoteStatus[7] == '2' ? '1' : '0');
    }
    std::atomic_ref<int> divide(w->divide);  // read by the sample reader
    if (divide.load() <= 1) divide.store(2);
  } else if (startsWith(remoteStatus, "VORNFD")) {
    const int v = divideValue(remoteStatus + 6);
    if (v >= 0) std::atomic_ref<int>(w->divide).store(v);
  } else if (startsWith(remoteStatus, "VORNRB")) {
    kzRunCommand("reboot");
  }
}
