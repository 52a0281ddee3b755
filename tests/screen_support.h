// Screen tests: the start-up fonts loaded once per process from this
// machine's files (linked where the program looks for them), and an
// 800 x 480 4-byte memory screen with pixel access and PNG output, so a
// test can draw a frame, look at chosen pixels and leave the picture
// beside the test for a person to open.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "panel/fb.h"
#include "panel/text.h"
#include "support.h"

// Loads the twelve start-up fonts once (the faces stay open after the
// temporary root is gone).
inline void kzLoadTestFonts() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  namespace fs = std::filesystem;
  const std::string dejavu = "/usr/share/fonts/truetype/dejavu/";
  KzTempRoot root("kz_fonts");
  KzLogCapture quiet('L');
  fs::create_directories(root.dir + "/opt/fonts");
  fs::create_directories(root.dir + dejavu);
  for (const char *f : {"PTS55F", "PTS75F"})
    fs::create_symlink(std::string("/usr/share/fonts/truetype/paratype/") + f + ".ttf",
                       root.dir + "/opt/fonts/" + f + "_W.ttf");
  for (const char *f : {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSans-Oblique.ttf"})
    fs::create_symlink(dejavu + f, root.dir + dejavu + f);
  LoadFonts();
}

struct KzRgb {
  int r, g, b;
  bool operator==(const KzRgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

// An 800 x 480 x 32-bit screen in memory (device memory, drawing buffer
// and background buffer), zeroed (black).
struct KzMemScreen {
  std::vector<uint8_t> screen, draw, back;
  FbScreen fb{};
  KzMemScreen(int xres = 800, int yres = 480) {
    size_t size = size_t(xres) * size_t(yres) * 4;
    screen.assign(size, 0);
    draw.assign(size, 0);
    back.assign(size, 0);
    fb.xres = uint16_t(xres);
    fb.yres = uint16_t(yres);
    fb.pixelSize = 4;
    fb.lineSize = xres * 4;
    fb.memSize = int32_t(size);
    fb.screenMem = screen.data();
    fb.drawBuf = draw.data();
    fb.backBuf = back.data();
  }
  // Pixel of the drawing buffer (which = FB_DRAW) or another memory.
  KzRgb at(int x, int y, int which = FB_DRAW) const {
    const std::vector<uint8_t> &m = which == FB_SCREEN ? screen : which == FB_BACK ? back : draw;
    const uint8_t *p = m.data() + size_t(y) * size_t(fb.lineSize) + size_t(x) * 4;
    return {p[2], p[1], p[0]};
  }
  // Number of pixels of colour c inside [x0, x1) x [y0, y1) of the drawing buffer.
  int count(int x0, int y0, int x1, int y1, KzRgb c) const {
    int n = 0;
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++)
        if (at(x, y) == c) n++;
    return n;
  }
  // Pixels inside the rectangle that differ from colour c.
  int countNot(int x0, int y0, int x1, int y1, KzRgb c) const {
    return (x1 - x0) * (y1 - y0) - count(x0, y0, x1, y1, c);
  }
  void clear() {
    std::fill(draw.begin(), draw.end(), 0);
    std::fill(back.begin(), back.end(), 0);
  }
  // Saves the drawing buffer as "<name>.png" in the test output directory
  // (KZ_TEST_PNG_DIR, default /tmp) and returns the path.
  std::string save(const std::string &name) const {
    const char *dir = getenv("KZ_TEST_PNG_DIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/" + name + ".png";
    fbSavePng(&fb, path, FB_DRAW);
    return path;
  }
};
