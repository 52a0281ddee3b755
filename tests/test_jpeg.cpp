// The JPEG decoder against libjpeg-turbo's djpeg (replicated chroma,
// floating-point IDCT: the choices this decoder made) on files that cjpeg
// makes here from pictures drawn by the test, and its refusals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "jpeg/jpgd.h"
#include "jpeg_support.h"

namespace {

using namespace kzjpeg;

struct Decoded {
  Bytes px;
  int w = 0, h = 0, comps = 0;
  bool ok = false;
};

Decoded decode(const Bytes &file, int req) {
  Decoded d;
  unsigned char *img = jpgd::decompress_jpeg_image_from_memory(file.data(), int(file.size()), &d.w,
                                                              &d.h, &d.comps, req);
  if (img == nullptr) return d;
  d.px.assign(img, img + size_t(d.w) * d.h * req);
  free(img);
  d.ok = true;
  return d;
}

int maxDiff(const Bytes &a, const Bytes &b) {
  if (a.size() != b.size()) return 1000;
  int m = 0;
  for (size_t i = 0; i < a.size(); i++) m = std::max(m, std::abs(int(a[i]) - int(b[i])));
  return m;
}

}  // namespace

TEST(Jpeg, MatchesDjpegOnEveryKindOfFile) {
  struct Case {
    const char *name;
    int w, h;
    bool grey;
    const char *args;
  };
  const Case cases[] = {
      {"base444", 803, 485, false, "-sample 1x1"},
      {"base422", 803, 485, false, "-sample 2x1"},
      {"base420", 800, 480, false, "-sample 2x2"},
      {"base440", 101, 77, false, "-sample 1x2"},
      {"grey", 37, 29, true, ""},
      {"restart", 803, 485, false, "-sample 2x2 -restart 3"},
      {"restart-rows", 130, 61, false, "-restart 1B"},
      {"optimised", 800, 480, false, "-optimize -quality 95"},
      {"q100", 64, 64, false, "-quality 100 -sample 1x1"},
      {"prog420", 800, 480, false, "-progressive"},
      {"prog444", 131, 67, false, "-progressive -sample 1x1"},
      {"prog422", 131, 67, false, "-progressive -sample 2x1 -restart 2"},
      {"prog440", 99, 70, false, "-progressive -sample 1x2"},
      {"prog-grey", 37, 29, true, "-progressive"},
      {"one", 1, 1, false, ""},
      {"one-prog", 1, 1, false, "-progressive"},
  };
  Scratch s;
  for (const Case &c : cases) {
    const Bytes jpg = makeJpeg(s, c.name, c.w, c.h, c.grey, c.args);
    const std::string ref = s.at(std::string(c.name) + ".ref");
    ASSERT_EQ(run("djpeg -nosmooth -dct float -outfile '" + ref + "' '" + s.at(c.name) + ".jpg'"),
              0);
    const Decoded d = decode(jpg, c.grey ? 1 : 3);
    ASSERT_TRUE(d.ok) << c.name;
    EXPECT_EQ(d.w, c.w);
    EXPECT_EQ(d.h, c.h);
    EXPECT_EQ(d.comps, c.grey ? 1 : 3);
    const int diff = maxDiff(d.px, pnmPixels(ref));
    EXPECT_LE(diff, 2) << c.name;
    printf("  %-13s %4dx%-4d largest difference from djpeg: %d\n", c.name, c.w, c.h, diff);
  }
}

TEST(Jpeg, ProgressiveEqualsBaselineAndOutputLayouts) {
  Scratch s;
  const Bytes base = makeJpeg(s, "b", 203, 117, false, "-quality 80");
  const Bytes prog = makeJpeg(s, "p", 203, 117, false, "-quality 80 -progressive");
  const Decoded b3 = decode(base, 3), p3 = decode(prog, 3);
  ASSERT_TRUE(b3.ok && p3.ok);
  EXPECT_EQ(maxDiff(b3.px, p3.px), 0);  // same coefficients, same pixels

  // 4 components: the 3 and 255; 1 component: the weighted grey.
  const Decoded b4 = decode(base, 4), b1 = decode(base, 1);
  ASSERT_TRUE(b4.ok && b1.ok);
  bool four = true, one = true;
  for (size_t i = 0; i < size_t(b3.w) * b3.h; i++) {
    const uint8_t *p = &b3.px[3 * i];
    four &= b4.px[4 * i] == p[0] && b4.px[4 * i + 1] == p[1] && b4.px[4 * i + 2] == p[2] &&
            b4.px[4 * i + 3] == 255;
    one &= b1.px[i] == (19595 * p[0] + 38470 * p[1] + 7471 * p[2] + 32768) >> 16;
  }
  EXPECT_TRUE(four);
  EXPECT_TRUE(one);

  // A greyscale file asked for 4 components: grey, grey, grey, 255.
  const Bytes grey = makeJpeg(s, "g", 21, 13, true, "");
  const Decoded g1 = decode(grey, 1), g4 = decode(grey, 4);
  ASSERT_TRUE(g1.ok && g4.ok);
  bool greyOk = true;
  for (size_t i = 0; i < g1.px.size(); i++)
    greyOk &= g4.px[4 * i] == g1.px[i] && g4.px[4 * i + 1] == g1.px[i] &&
              g4.px[4 * i + 2] == g1.px[i] && g4.px[4 * i + 3] == 255;
  EXPECT_TRUE(greyOk);
}

TEST(Jpeg, RefusesWhatItCannotDecode) {
  Scratch s;
  const Bytes base = makeJpeg(s, "b", 160, 96, false, "-restart 1");
  const Bytes prog = makeJpeg(s, "p", 160, 96, false, "-progressive");
  ASSERT_TRUE(decode(base, 3).ok && decode(prog, 3).ok);

  for (int req : {0, 2, 5, -1}) EXPECT_FALSE(decode(base, req).ok) << req;

  // Cut in the middle of a scan, just before the end marker, mid-header.
  for (const Bytes *f : {&base, &prog})
    for (size_t keep : {f->size() / 2, f->size() - 2, f->size() - 40, size_t(300), size_t(20)})
      EXPECT_FALSE(decode(Bytes(f->begin(), f->begin() + long(keep)), 3).ok) << keep;

  // Arithmetic coding (SOF9 with DAC) and SOF3 (lossless) are other frame types.
  EXPECT_FALSE(decode(makeJpeg(s, "a", 40, 40, false, "-arithmetic"), 3).ok);
  Bytes sof3 = base;
  for (size_t i = 0; i + 1 < sof3.size(); i++)
    if (sof3[i] == 0xFF && sof3[i + 1] == 0xC0) sof3[i + 1] = 0xC3;
  EXPECT_FALSE(decode(sof3, 3).ok);

  // A restart marker where the interval does not end, and one outside a scan.
  Bytes rst = base;
  size_t at = 0;
  for (size_t i = 0; i + 1 < rst.size() && !at; i++)
    if (rst[i] == 0xFF && rst[i + 1] == 0xD0) at = i;
  ASSERT_NE(at, 0u);
  rst[at + 1] = 0xD3;  // RST3 where RST0 belongs
  EXPECT_FALSE(decode(rst, 3).ok);
  Bytes early = base;
  early.insert(early.begin() + 2, {0xFF, 0xD0});
  EXPECT_FALSE(decode(early, 3).ok);

  // Dimensions past the cap, and a picture far larger than its data.
  Bytes big = base;
  for (size_t i = 0; i + 8 < big.size(); i++)
    if (big[i] == 0xFF && big[i + 1] == 0xC0) {
      big[i + 5] = 0x20, big[i + 6] = 0x01;  // height 8193
      break;
    }
  EXPECT_FALSE(decode(big, 3).ok);
  for (size_t i = 0; i + 8 < big.size(); i++)
    if (big[i] == 0xFF && big[i + 1] == 0xC0) big[i + 5] = 0x1F;  // 7937 rows, no data for them
  EXPECT_FALSE(decode(big, 3).ok);

  // A Huffman table with more codes of a length than the length allows.
  Bytes huff = base;
  for (size_t i = 0; i + 6 < huff.size(); i++)
    if (huff[i] == 0xFF && huff[i + 1] == 0xC4) {
      huff[i + 5] = 3;  // three codes of length 1
      break;
    }
  EXPECT_FALSE(decode(huff, 3).ok);
  EXPECT_FALSE(decode(Bytes{0xFF, 0xD8, 0xFF, 0xD9}, 3).ok);
}
