// Background pictures: PNG files written here with libpng in a scratch
// working directory, loaded into the memory screen's buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <png.h>
#include <string>
#include <vector>

#include "panel/fb.h"
#include "panel/png.h"
#include "platform/files.h"
#include "support.h"

namespace {

// The picture's pixel (x, y) as red, green, blue, alpha.
uint8_t chan(int x, int y, int c) { return uint8_t(c == 0 ? x * 7 : c == 1 ? y * 3 : x + y); }

bool writePicture(const std::string &path, int width, int height, uint32_t format) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = png_uint_32(width);
  img.height = png_uint_32(height);
  img.format = format;
  const int n = int(PNG_IMAGE_SAMPLE_CHANNELS(format));
  std::vector<uint8_t> px(size_t(width) * height * n);
  for (size_t i = 0; i < px.size(); i++)
    px[i] = chan(int(i / n % width), int(i / n / width), int(i % n));
  return png_image_write_to_file(&img, path.c_str(), 0, px.data(), 0, nullptr) != 0;
}

// A scratch working directory and a memory screen whose three memories
// hold distinct fill bytes.
struct PngDir : KzTempRoot {
  std::filesystem::path oldCwd = std::filesystem::current_path();
  std::unique_ptr<works> w = std::make_unique<works>();
  FbScreen *fb = fbInit();
  PngDir() : KzTempRoot("kz_png") {
    std::filesystem::current_path(dir);
    w->fb = fb;
    memset(fb->screenMem, 0x33, size_t(fb->memSize));
    memset(fb->drawBuf, 0x22, size_t(fb->memSize));
    memset(fb->backBuf, 0x11, size_t(fb->memSize));
  }
  ~PngDir() {
    fbFree(fb);
    std::filesystem::current_path(oldCwd);
  }
  void use(const char *name) { snprintf(w->imgName, sizeof w->imgName, "%s", name); }
  std::string snapshot() const {
    return std::string(reinterpret_cast<char *>(fb->screenMem), size_t(fb->memSize)) +
           std::string(reinterpret_cast<char *>(fb->drawBuf), size_t(fb->memSize)) +
           std::string(reinterpret_cast<char *>(fb->backBuf), size_t(fb->memSize));
  }
};

}  // namespace

TEST(PngLoad, PictureFillsItsCornerAndRoundTrips) {
  PngDir t;
  ASSERT_TRUE(writePicture(t.dir + "/pic.png", 640, 480, PNG_FORMAT_RGBA));
  t.use("pic");
  getPng(t.w.get(), 1);
  const FbScreen *fb = t.fb;
  int wrong = 0;
  for (int y = 0; y < 480; y++)
    for (int x = 0; x < 800; x++) {
      const uint8_t *p = fb->backBuf + y * fb->lineSize + x * 4;
      const uint8_t want[4] = {chan(x, y, 2), chan(x, y, 1), chan(x, y, 0), 0};
      wrong += x < 640 ? memcmp(p, want, 4) != 0 : memcmp(p, "\x11\x11\x11\x11", 4) != 0;
    }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(std::count(fb->drawBuf, fb->drawBuf + fb->memSize, 0x22), fb->memSize);
  EXPECT_EQ(std::count(fb->screenMem, fb->screenMem + fb->memSize, 0x33), fb->memSize);

  // Into the drawing buffer: shown at once. The screen saved as a picture
  // holds the picture's colours on the left and the old fill on the right.
  getPng(t.w.get(), 0);
  ASSERT_EQ(fbSavePng(t.fb, t.dir + "/shot.png", FB_SCREEN), 0);
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&img, (t.dir + "/shot.png").c_str()), 0);
  img.format = PNG_FORMAT_RGB;
  ASSERT_EQ(img.width * 10000 + img.height, 800u * 10000 + 480u);
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(img));
  ASSERT_NE(png_image_finish_read(&img, nullptr, rgb.data(), 0, nullptr), 0);
  for (size_t i = 0; i < rgb.size(); i++) {
    const int x = int(i / 3 % 800), y = int(i / 3 / 800);
    wrong += rgb[i] != (x < 640 ? chan(x, y, int(i % 3)) : 0x22);
  }
  EXPECT_EQ(wrong, 0);
}

TEST(PngLoad, RefusedPicturesChangeNothing) {
  PngDir t;
  ASSERT_TRUE(writePicture(t.dir + "/wide.png", 801, 10, PNG_FORMAT_RGBA));
  ASSERT_TRUE(writePicture(t.dir + "/rgb.png", 10, 10, PNG_FORMAT_RGB));
  ASSERT_TRUE(writePicture(t.dir + "/full.png", 200, 200, PNG_FORMAT_RGBA));
  std::string full;
  ASSERT_EQ(kzReadFile(t.dir + "/full.png", full), 0);
  std::ofstream(t.dir + "/cut.png", std::ios::binary) << full.substr(0, full.size() / 2);
  std::ofstream(t.dir + "/text.png", std::ios::binary) << "not a picture at all";
  const char *cases[][2] = {
      {"wide", "wide.png image has 801 cols not 800"},
      {"rgb", "rgb.png image has 8 pixels not 4 or color_type is 2 not 6"},
      {"none", "none.png image could not be opened"},
      {"text", "text.png image is not a PNG file"},
      {"cut", "cut.png error during reading image"},
  };
  const std::string before = t.snapshot();
  for (const auto &c : cases) {
    KzLogCapture log('L');
    t.use(c[0]);
    for (int toBack : {0, 1}) getPng(t.w.get(), toBack);
    EXPECT_EQ(log.count(c[1]), 2) << c[0];
    EXPECT_TRUE(t.snapshot() == before) << c[0];
  }
  KzLogCapture log('L');
  t.w->fb = nullptr;
  getPng(t.w.get(), 0);
  EXPECT_EQ(log.count("cut.png image not drawn: no display"), 1);
}
