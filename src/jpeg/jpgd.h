// The JPEG decoder (namespace jpgd): turns one JPEG/JFIF file held in
// memory into pixels. It is the only way received screen frames coded as
// JPEG reach the display (remote/screen.cpp), and kz-jpeg and bench/jpeg
// run it on files.
//
// What it takes: baseline and extended sequential (SOF0, SOF1) and
// progressive (SOF2) Huffman-coded files with 8-bit samples, one component
// (greyscale) or three (YCbCr), sampling factors 1 or 2, restart
// intervals. Every other frame type (lossless, hierarchical, arithmetic
// coding: SOF9 and DAC among them) is refused.
//
// What it gives: a newly allocated image (release it with free()) of
// width x height x req_comps bytes, rows top to bottom: 4 components give
// red, green, blue, 255 (grey, grey, grey, 255 for a greyscale file), 3
// drop the fourth byte, 1 gives the grey value (of a colour file:
// (19595 R + 38470 G + 7471 B + 32768) / 65536). Any other request, and
// any corrupt, truncated or refused file, gives null.
//
// Input from the wire is distrusted: dimensions are capped (kMaxDim each
// side, kMaxPixels in all), so are components, scans and the blocks of an
// MCU; Huffman tables are checked; nothing is ever read past the input or
// written past a buffer; a scan that needs bits past its data, a missing
// end marker or a component never coded make the file refused.
#pragma once
#include <cstddef>
#include <cstdint>

namespace jpgd {

constexpr int kMaxDim = 8192;
constexpr int64_t kMaxPixels = 64ll * 1024 * 1024;
constexpr int kMaxScans = 64;

// The input: `size` bytes at `data`, read from `pos` on.
struct jpeg_decoder_mem_stream {
  const uint8_t *data;
  size_t size;
  size_t pos;
};

// Decodes `size` bytes at `data`. On success returns the image and sets
// *width, *height and *actual_comps (the file's components, 1 or 3); on
// failure returns null. Any of the out pointers may be null.
unsigned char *decompress_jpeg_image_from_memory(const unsigned char *data, int size, int *width,
                                                 int *height, int *actual_comps, int req_comps);

}  // namespace jpgd
