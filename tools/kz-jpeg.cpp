// kz-jpeg: runs the program's JPEG decoder on a file and writes the image:
//   kz-jpeg IN.jpg OUT.ppm [1|3|4]
// 3 components (the default) give a PPM (P6), 1 a PGM (P5); 4 writes the
// decoder's red, green, blue, 255 bytes after a PAM header (P7, RGB_ALPHA).
// Exit 0 on success, 1 with a one-line reason otherwise. The tests and
// bench/jpeg compare its output with libjpeg-turbo's djpeg.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpeg/jpgd.h"

static int fail(const char *why, const char *what) {
  fprintf(stderr, "kz-jpeg: %s: %s\n", what, why);
  return 1;
}

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: kz-jpeg IN.jpg OUT.ppm [1|3|4]\n");
    return 1;
  }
  const int comps = argc == 4 ? atoi(argv[3]) : 3;
  FILE *f = fopen(argv[1], "rb");
  if (f == nullptr) return fail(strerror(errno), argv[1]);
  std::vector<unsigned char> in;
  unsigned char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) in.insert(in.end(), buf, buf + n);
  fclose(f);
  if (in.size() > 0x7fffffff) return fail("file too large", argv[1]);
  int w, h, fc;
  unsigned char *img = jpgd::decompress_jpeg_image_from_memory(in.data(), int(in.size()), &w, &h,
                                                              &fc, comps);
  if (img == nullptr)
    return fail(comps == 1 || comps == 3 || comps == 4 ? "not a JPEG this decoder takes, or corrupt"
                                                       : "components must be 1, 3 or 4",
                argv[1]);
  FILE *o = fopen(argv[2], "wb");
  if (o == nullptr) {
    free(img);
    return fail(strerror(errno), argv[2]);
  }
  if (comps == 4)
    fprintf(o, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", w, h);
  else
    fprintf(o, "P%d\n%d %d\n255\n", comps == 1 ? 5 : 6, w, h);
  const size_t bytes = size_t(w) * h * comps;
  const bool ok = fwrite(img, 1, bytes, o) == bytes;
  free(img);
  if (fclose(o) != 0 || !ok) return fail("write failed", argv[2]);
  return 0;
}
