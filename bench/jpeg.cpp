// bench_jpeg: the JPEG decoder against libjpeg-turbo on the same files.
//
//   bench_jpeg [--seconds S]
//
// Draws an 800 x 480 picture (gradients, a wave, sharp-edged blocks like
// text), codes it with libjpeg-turbo as baseline 4:2:0, baseline 4:4:4 and
// progressive 4:2:0 at quality 75 and 95, then decodes each file over and
// over for about S seconds (default 0.5) with each decoder, interleaved so
// that both see the same machine load. Both produce the same output: red,
// green, blue, 255 per pixel, chroma replicated (libjpeg-turbo with fancy
// upsampling off, its default integer IDCT). Printed per file: megapixels
// per second of each and the ratio (this decoder / libjpeg-turbo, higher is
// better), and the largest per-byte difference between the two outputs.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jpeg/jpgd.h"

namespace {

constexpr int W = 800, H = 480;

std::vector<uint8_t> drawPicture() {
  std::vector<uint8_t> px(size_t(W) * H * 3);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      int r = x * 255 / (W - 1), g = y * 255 / (H - 1);
      int b = int(128 + 100 * std::sin(x / 7.0 + y / 11.0));
      if (((x / 6) + (y / 9)) % 4 == 0 && (x % 6) < 2) r = g = b = 250 - r / 4;
      uint8_t *p = &px[(size_t(y) * W + x) * 3];
      p[0] = uint8_t(r), p[1] = uint8_t(g), p[2] = uint8_t(b);
    }
  return px;
}

std::vector<uint8_t> encode(const std::vector<uint8_t> &rgb, int quality, bool subsample,
                            bool progressive) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char *mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = W;
  c.image_height = H;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = subsample ? 2 : 1;
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t *>(&rgb[size_t(c.next_scanline) * W * 3]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<uint8_t> out(mem, mem + size);
  jpeg_destroy_compress(&c);
  free(mem);
  return out;
}

bool turboDecode(const std::vector<uint8_t> &file, std::vector<uint8_t> &out) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, file.data(), file.size());
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_EXT_RGBA;
  d.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&d);
  out.resize(size_t(d.output_width) * d.output_height * 4);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = &out[size_t(d.output_scanline) * d.output_width * 4];
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return true;
}

bool ownDecode(const std::vector<uint8_t> &file, std::vector<uint8_t> &out) {
  int w, h, c;
  unsigned char *img =
      jpgd::decompress_jpeg_image_from_memory(file.data(), int(file.size()), &w, &h, &c, 4);
  if (img == nullptr) return false;
  out.assign(img, img + size_t(w) * h * 4);
  free(img);
  return true;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 0.5;
  for (int i = 1; i + 1 < argc; i++)
    if (strcmp(argv[i], "--seconds") == 0) seconds = atof(argv[++i]);
  const std::vector<uint8_t> pic = drawPicture();
  struct Case {
    const char *name;
    int quality;
    bool subsample, progressive;
  } cases[] = {{"baseline 4:2:0 q75", 75, true, false},    {"baseline 4:4:4 q75", 75, false, false},
               {"progressive 4:2:0 q75", 75, true, true}, {"baseline 4:2:0 q95", 95, true, false},
               {"baseline 4:4:4 q95", 95, false, false},  {"progressive 4:2:0 q95", 95, true, true}};
  printf("%-24s %8s %12s %12s %7s %5s\n", "800x480 file", "bytes", "own MP/s", "turbo MP/s",
         "ratio", "diff");
  int failed = 0;
  for (const Case &c : cases) {
    const std::vector<uint8_t> file = encode(pic, c.quality, c.subsample, c.progressive);
    std::vector<uint8_t> a, b;
    if (!ownDecode(file, a) || !turboDecode(file, b)) {
      printf("%-24s not decoded\n", c.name);
      failed = 1;
      continue;
    }
    int diff = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++) diff = std::max(diff, std::abs(a[i] - b[i]));
    double tOwn = 0, tTurbo = 0;
    long runs = 0;
    const double end = now() + seconds;
    while (now() < end || runs < 3) {
      double t0 = now();
      ownDecode(file, a);
      double t1 = now();
      turboDecode(file, b);
      tTurbo += now() - t1;
      tOwn += t1 - t0;
      runs++;
    }
    const double mp = double(W) * H * runs / 1e6;
    printf("%-24s %8zu %12.1f %12.1f %7.2f %5d\n", c.name, file.size(), mp / tOwn, mp / tTurbo,
           tTurbo / tOwn, diff);
  }
  return failed;
}
