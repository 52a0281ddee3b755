// Framebuffer and drawing on the memory screen: start-up and pixel sizes,
// the byte layouts, lines that run off the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "panel/fb.h"
#include "platform/fbdev.h"
#include "support.h"

namespace {

struct FbOwner {
  FbScreen *fb;
  explicit FbOwner(int bpp = 32) {
    kzDisplayMemoryMode(800, 480, bpp);
    fb = fbInit();
    kzDisplayMemoryMode(800, 480, 32);
  }
  ~FbOwner() { fbFree(fb); }
};

uint8_t *px(FbScreen *fb, uint8_t *buf, int x, int y) {
  return buf + y * fb->lineSize + x * fb->pixelSize;
}

// Bytes of `buf` that are not zero.
int inked(const FbScreen *fb, const uint8_t *buf) {
  return int(fb->memSize - std::count(buf, buf + fb->memSize, 0));
}

}  // namespace

TEST(FbInit, ModesAndConsoleCursor) {
  KzTempRoot root("kz_fb");
  KzLogCapture log('L');
  for (int c : {8, 16, 24, 32}) {
    FbOwner s(c);
    ASSERT_NE(s.fb, nullptr) << c;
    EXPECT_EQ(s.fb->pixelSize, c / 8);
    EXPECT_EQ(s.fb->memSize, 800 * 480 * c / 8);
  }
  EXPECT_EQ(log.count("Screen Size x: 800, y: 480, Pixel Size 4 Line size: 3200, "
                      "Mem size: 1536000\n"), 1);
  EXPECT_EQ(kzCmdRecorded().at(0), "/bin/echo -e -n '\\033[?25l' >/dev/tty0");
  FbOwner odd(12);
  EXPECT_EQ(odd.fb, nullptr);
  EXPECT_EQ(log.count("Unknown pixel format"), 1);
}

TEST(FbDraw, EndsAndLayouts) {
  KzTempRoot root("kz_fb");
  FbOwner s;
  FbScreen *fb = s.fb;
  DrawLine(100, 100, 100, 100, 255, 255, 255, fb, 0);  // a point to itself
  DrawHorizontalLine(50, 10, 50, 255, 255, 255, fb, 0);
  EXPECT_EQ(inked(fb, fb->drawBuf), 0);
  DrawHorizontalLine(10, 20, 15, 0x12, 0x34, 0x56, fb, 0);  // x1 excluded
  DrawLine(200, 250, 197, 240, 0x12, 0x34, 0x56, fb, 1);    // steep, both ends
  EXPECT_EQ(inked(fb, fb->drawBuf), 5 * 3);
  EXPECT_EQ(inked(fb, fb->backBuf), 11 * 3);
  EXPECT_EQ(memcmp(px(fb, fb->drawBuf, 14, 20), "\x56\x34\x12\0", 4), 0);
  EXPECT_EQ(memcmp(px(fb, fb->backBuf, 197, 240), "\x56\x34\x12\0", 4), 0);
  fbSetBack(fb);
  fbRealize(fb);
  EXPECT_EQ(memcmp(fb->screenMem, fb->backBuf, size_t(fb->memSize)), 0);

  FbOwner s16(16);
  DrawLine(10, 10, 12, 10, 0x08, 0xFC, 0xF8, s16.fb, 0);
  DrawHorizontalLine(0, 0, 1, 0xFF, 0x84, 0x21, s16.fb, 0);
  EXPECT_EQ(memcmp(px(s16.fb, s16.fb->drawBuf, 12, 10), "\xFF\x0F", 2), 0);
  EXPECT_EQ(memcmp(px(s16.fb, s16.fb->drawBuf, 0, 0), "\x24\xFC", 2), 0);
  EXPECT_EQ(inked(s16.fb, s16.fb->drawBuf), 3 * 2 + 2);
  for (int bpp : {8, 24}) {
    FbOwner o(bpp);
    DrawLine(0, 5, 100, 50, 255, 255, 255, o.fb, 0);
    DrawHorizontalLine(0, 5, 100, 255, 255, 255, o.fb, 0);
    EXPECT_EQ(inked(o.fb, o.fb->drawBuf), 0) << bpp;
  }
}

TEST(FbDraw, OffScreenNeverPastTheBuffer) {
  KzTempRoot root("kz_fb");
  FbOwner s;
  FbScreen *fb = s.fb;
  std::vector<uint8_t> guarded(size_t(fb->memSize) + 64, 0xA5);  // canaries after it
  memset(guarded.data(), 0, size_t(fb->memSize));
  uint8_t *own = fb->drawBuf, *buf = fb->drawBuf = guarded.data();
  const uint8_t *last = buf + fb->memSize - 4;
  DrawLine(10, 470, 10, 600, 9, 9, 9, fb, 0);    // off the bottom: stops at row 479
  DrawLine(720, 400, 900, 580, 9, 9, 9, fb, 0);  // through the bottom-right corner
  DrawLine(799, 479, 700, 479, 9, 9, 9, fb, 0);
  DrawLine(799, 300, 799, 479, 9, 9, 9, fb, 0);
  DrawLine(790, 100, 820, 110, 9, 9, 9, fb, 0);  // off the right edge: no wrap
  DrawLine(1, 10, 0, 0, 9, 9, 9, fb, 0);         // steep: never the top-left pixel
  DrawHorizontalLine(790, 106, 810, 9, 9, 9, fb, 0);  // clipped at the right edge
  EXPECT_EQ(last[0], 0);
  EXPECT_EQ(buf[0], 0);
  for (auto [x, y] : {std::pair{10, 479}, {779, 479}, {798, 479}, {799, 478}, {799, 103}})
    EXPECT_EQ(px(fb, buf, x, y)[0], 9) << x << "," << y;
  for (int y = 100; y <= 111; y++) EXPECT_EQ(px(fb, buf, 0, y)[0], 0) << y;
  DrawLine(-50, -50, 20, 20, 9, 9, 9, fb, 0);  // shallow: the top-left pixel is drawn
  DrawHorizontalLine(780, 479, 900, 9, 9, 9, fb, 0);
  DrawHorizontalLine(-10, 30, 5, 9, 9, 9, fb, 0);
  DrawHorizontalLine(0, 480, 800, 9, 9, 9, fb, 0);
  EXPECT_EQ(buf[0] + last[0] + px(fb, buf, 0, 30)[0], 27);
  for (size_t i = size_t(fb->memSize); i < guarded.size(); i++) ASSERT_EQ(guarded[i], 0xA5) << i;
  fb->drawBuf = own;
}
