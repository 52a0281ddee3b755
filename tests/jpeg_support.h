// Shared pieces of the JPEG tests: a scratch directory, pictures drawn by
// the test, and JPEG files made from them with libjpeg-turbo's cjpeg.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kzjpeg {

using Bytes = std::vector<uint8_t>;

struct Scratch {
  std::string dir;
  Scratch() {
    char t[] = "/tmp/kzjpeg_XXXXXX";
    dir = mkdtemp(t);
  }
  ~Scratch() { (void)!system(("rm -rf '" + dir + "'").c_str()); }
  std::string at(const std::string &n) const { return dir + "/" + n; }
};

inline Bytes readFile(const std::string &p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

// Gradients, a wave and sharp-edged "glyph" blocks: smooth areas and
// edges, so that every band of coefficients is used.
inline void drawPicture(const std::string &path, int w, int h, bool grey) {
  std::string out = (grey ? "P5\n" : "P6\n") + std::to_string(w) + " " + std::to_string(h) +
                    "\n255\n";
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      int r = x * 255 / std::max(w - 1, 1), g = y * 255 / std::max(h - 1, 1);
      int b = int(128 + 100 * std::sin(x / 7.0 + y / 11.0));
      if (((x / 6) + (y / 9)) % 4 == 0 && (x % 6) < 2) r = g = b = 250 - r / 4;
      if (grey)
        out += char((r + g + b) / 3);
      else
        out += {char(r), char(g), char(b)};
    }
  std::ofstream(path, std::ios::binary) << out;
}

// Pixel bytes of a PPM/PGM written by djpeg (maxval 255, no comments).
inline Bytes pnmPixels(const std::string &path) {
  Bytes f = readFile(path);
  size_t pos = 0;
  for (int fields = 0; fields < 4 && pos < f.size(); fields++) {
    while (pos < f.size() && isspace(f[pos])) pos++;
    while (pos < f.size() && !isspace(f[pos])) pos++;
  }
  return Bytes(f.begin() + long(std::min(pos + 1, f.size())), f.end());
}

inline int run(const std::string &cmd) { return system((cmd + " 2>/dev/null").c_str()); }

// Makes NAME.jpg with cjpeg from a drawn picture; the file's bytes.
inline Bytes makeJpeg(const Scratch &s, const std::string &name, int w, int h, bool grey,
               const std::string &args) {
  const std::string pic = s.at(name + (grey ? ".pgm" : ".ppm")), jpg = s.at(name + ".jpg");
  drawPicture(pic, w, h, grey);
  EXPECT_EQ(run("cjpeg " + args + " -outfile '" + jpg + "' '" + pic + "'"), 0) << name;
  return readFile(jpg);
}

}  // namespace kzjpeg
