// The JPEG decoder; see jpgd.h for what it takes and gives.
//
// Sections:
//   1 input          the memory stream and its marker-segment reads
//   2 tables         Huffman tables (canonical codes, 9-bit look-ahead),
//                    quantisation tables
//   3 entropy bits   the bit reader over entropy-coded data (stuffed 0xFF
//                    00 bytes, stops at markers, counts bits it invented)
//   4 blocks         sequential blocks; progressive DC and AC, first and
//                    refinement scans, end-of-band runs
//   5 IDCT           separable 8x8 inverse DCT in float (even/odd split),
//                    one block into the component plane
//   6 frame and scans  SOF, SOS, restart intervals, the marker loop
//   7 output         chroma replication, YCbCr to RGB, the requested layout
//
// Design rules:
// - Every component is decoded into its own sample plane padded to whole
//   MCUs. Sequential scans go straight from the bits to the plane block by
//   block; progressive scans gather coefficients and the planes are made
//   at the end of the image.
// - Chroma is upsampled by replication (each sample covers its 2 x 1,
//   1 x 2 or 2 x 2 pixels) and converted with the JFIF equations in 16-bit
//   fixed point.
// - Allocation happens once per image (the decoder state, the planes, the
//   coefficients of a progressive file, the output); nothing per block.
// - A block costs one table look-up per coded coefficient when its code
//   and value bits fit 9 bits (otherwise a Huffman decode by the 9-bit
//   table or, for longer codes, by comparison) and an IDCT of 16 eight-
//   point transforms of 22 multiplications each (a DC-only block is a
//   fill).
#include "jpeg/jpgd.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace jpgd {
namespace {

// Zigzag position -> natural (row-major) position.
constexpr uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// ===========================================================================
// 1 input
// ===========================================================================

bool getByte(jpeg_decoder_mem_stream *s, int *b) {
  if (s->pos >= s->size) return false;
  *b = s->data[s->pos++];
  return true;
}

bool getU16(jpeg_decoder_mem_stream *s, int *v) {
  if (s->pos > s->size || s->size - s->pos < 2) return false;
  *v = s->data[s->pos] << 8 | s->data[s->pos + 1];
  s->pos += 2;
  return true;
}

// The body of a marker segment: its length field read, `*len` bytes of
// body follow and are all in the input.
bool segment(jpeg_decoder_mem_stream *s, int *len) {
  int l;
  if (!getU16(s, &l) || l < 2) return false;
  *len = l - 2;
  return size_t(*len) <= s->size - s->pos;
}

// The body of the marker segment at the reading position, which moves past
// it; null when the segment does not fit the input.
const uint8_t *segmentBody(jpeg_decoder_mem_stream *s, int *len) {
  if (!segment(s, len)) return nullptr;
  const uint8_t *p = s->data + s->pos;
  s->pos += size_t(*len);
  return p;
}

// ===========================================================================
// 2 tables
// ===========================================================================

struct Huff {
  bool present;
  uint8_t lookLen[512];  // code length of the 9-bit prefix, 0: longer code
  uint8_t lookSym[512];
  int32_t maxcode[17];   // per length: the largest code, -1 none
  int32_t valoff[17];    // per length: index into vals minus the smallest code
  uint8_t vals[256];
  // AC tables: for a 9-bit prefix holding a whole code and its value bits,
  // value << 16 | run << 8 | bits used; 0 when the prefix holds no such pair.
  int32_t fastAc[512];
};

// Builds the canonical codes of a table (BITS counts per length 1..16,
// HUFFVAL). False when the counts do not describe a code (too many codes
// for a length, or a code of all one bits).
bool buildHuff(Huff *h, const uint8_t counts[17], const uint8_t *vals, int nvals) {
  memset(h, 0, sizeof *h);
  memcpy(h->vals, vals, size_t(nvals));
  int32_t code = 0;
  int k = 0;
  for (int l = 1; l <= 16; l++) {
    h->valoff[l] = k - code;
    for (int i = 0; i < counts[l]; i++, k++, code++) {
      if (code >= (1 << l)) return false;  // more codes than the length has
      if (l <= 9) {
        const int first = code << (9 - l), n = 1 << (9 - l);
        for (int j = 0; j < n; j++) {
          h->lookLen[first + j] = uint8_t(l);
          h->lookSym[first + j] = vals[k];
        }
      }
    }
    h->maxcode[l] = counts[l] ? code - 1 : -1;
    if (code >= (1 << l)) return false;  // overfull, or the all-ones code used
    code <<= 1;
  }
  // Run/size symbols whose code and value bits fit 9 bits together.
  for (int look = 0; look < 512; look++) {
    const int l = h->lookLen[look], rs = h->lookSym[look], sz = rs & 15;
    if (l == 0 || sz == 0 || l + sz > 9) continue;
    int v = (look >> (9 - l - sz)) & ((1 << sz) - 1);
    if (v < (1 << (sz - 1))) v += 1 - (1 << sz);
    h->fastAc[look] = int32_t(uint32_t(v) << 16) | (rs >> 4) << 8 | (l + sz);
  }
  h->present = true;
  return true;
}

// ===========================================================================
// 3 entropy bits
// ===========================================================================

// Bits are kept left-aligned in `acc`. Past the end of the entropy-coded
// data (a marker or the end of the input) zero bytes are supplied;
// `real` counts the bits in `acc` that came from the file, so a negative
// value means the decoding used bits the file does not have.
struct Bits {
  const uint8_t *p;
  const uint8_t *end;
  uint64_t acc;
  int n;
  int real;
};

// Cost: one pass per byte of entropy-coded data.
inline void fill(Bits *b) {
  while (b->n <= 56) {
    uint32_t c = 0;
    if (b->p < b->end) {
      c = *b->p;
      if (c != 0xFF) {
        b->p++;
        b->real += 8;
      } else if (b->p + 1 < b->end && b->p[1] == 0) {
        b->p += 2;
        b->real += 8;
      } else {
        c = 0;  // a marker: stay on it
      }
    }
    b->acc |= uint64_t(c) << (56 - b->n);
    b->n += 8;
  }
}

inline void consume(Bits *b, int k) {
  b->acc <<= k;
  b->n -= k;
  b->real -= k;
}

// Next Huffman symbol, -1 when the bits are no code of the table.
inline int decodeSym(Bits *b, const Huff *h) {
  if (b->n < 16) fill(b);
  const unsigned look = unsigned(b->acc >> 55);
  const int len = h->lookLen[look];
  if (len) {
    consume(b, len);
    return h->lookSym[look];
  }
  for (int l = 10; l <= 16; l++) {
    const int32_t code = int32_t(b->acc >> (64 - l));
    if (code <= h->maxcode[l]) {
      consume(b, l);
      return h->vals[(h->valoff[l] + code) & 255];
    }
  }
  return -1;
}

// `s` (0 to 16) raw bits.
inline int getBits(Bits *b, int s) {
  if (s == 0) return 0;
  if (b->n < s) fill(b);
  const int v = int(b->acc >> (64 - s));
  consume(b, s);
  return v;
}

// `s` bits as a signed magnitude of category s.
inline int receiveExtend(Bits *b, int s) {
  if (s == 0) return 0;
  const int v = getBits(b, s);
  return v < (1 << (s - 1)) ? v - (1 << s) + 1 : v;
}

// Leaves the entropy-coded data: the position of the next marker at or
// after where the reader stands (stray bytes skipped), or null when the
// input ends first.
const uint8_t *nextMarker(const uint8_t *p, const uint8_t *end) {
  while (p + 1 < end) {
    if (p[0] == 0xFF && p[1] != 0 && p[1] != 0xFF) return p;
    p++;
  }
  return nullptr;
}

// ===========================================================================
// 4 blocks / 6 frame (the decoder state)
// ===========================================================================

struct Comp {
  int id, h, v, tq;
  int td, ta;        // tables of the current scan
  int bw, bh;        // blocks of the plane, whole MCUs
  int bwNon, bhNon;  // blocks of a scan of this component alone
  int stride;        // bytes of a plane row
  int dcpred;
  bool coded;        // appeared in a scan
  uint8_t *plane;
  int16_t *coef;     // progressive: bw * bh blocks of 64, natural order
};

struct Dec {
  jpeg_decoder_mem_stream s;
  int w, h, ncomp;
  bool progressive, frame;
  bool adobeRgb;  // an Adobe marker says the three components are R, G, B
  Comp comp[3];
  float q[4][64];  // natural order
  bool qset[4];
  Huff dc[4], ac[4];
  int restartInterval;
  int hmax, vmax, mcux, mcuy;
  int scans;
  // Current scan.
  int ns;
  Comp *sc[4];
  int ss, se, ah, al;
  int eobrun;
  Bits bits;
  int nextRst;
  // Memory.
  std::unique_ptr<uint8_t, decltype(&free)> planeMem{nullptr, &free};
  std::unique_ptr<int16_t, decltype(&free)> coefMem{nullptr, &free};
};

void idctBlock(const int16_t *coef, const float *q, uint8_t *out, int stride);
void idctFill(int16_t dc, const float *q, uint8_t *out, int stride);

// A sequential block: coefficients straight into the plane.
// Cost: per coded coefficient one table look-up (code and value bits of
// up to 9 bits together) or a Huffman decode plus its value bits.
bool seqBlock(Dec *d, Comp *c, int bx, int by) {
  Bits *b = &d->bits;
  int16_t blk[64];
  memset(blk, 0, sizeof blk);
  const int s = decodeSym(b, &d->dc[c->td]);
  if (s < 0 || s > 11) return false;
  c->dcpred = int16_t(c->dcpred + receiveExtend(b, s));
  blk[0] = int16_t(c->dcpred);
  const Huff *ac = &d->ac[c->ta];
  bool any = false;
  for (int k = 1; k < 64;) {
    if (b->n < 16) fill(b);
    const int32_t f = ac->fastAc[b->acc >> 55];
    if (f != 0) {
      k += (f >> 8) & 15;
      consume(b, f & 255);
      if (k > 63) return false;
      blk[kZigzag[k++]] = int16_t(f >> 16);
      any = true;
      continue;
    }
    const int rs = decodeSym(b, ac);
    if (rs < 0) return false;
    const int r = rs >> 4, sz = rs & 15;
    if (sz) {
      k += r;
      if (k > 63) return false;
      blk[kZigzag[k]] = int16_t(receiveExtend(b, sz));
      any = true;
      k++;
    } else if (r == 15) {
      k += 16;
    } else {
      break;
    }
  }
  uint8_t *out = c->plane + size_t(by) * 8 * size_t(c->stride) + size_t(bx) * 8;
  if (any)
    idctBlock(blk, d->q[c->tq], out, c->stride);
  else
    idctFill(blk[0], d->q[c->tq], out, c->stride);
  return true;
}

int16_t *coefOf(Comp *c, int bx, int by) { return c->coef + (size_t(by) * c->bw + bx) * 64; }

bool dcFirst(Dec *d, Comp *c, int bx, int by) {
  Bits *b = &d->bits;
  const int s = decodeSym(b, &d->dc[c->td]);
  if (s < 0 || s > 11) return false;
  c->dcpred = int16_t(c->dcpred + receiveExtend(b, s));
  coefOf(c, bx, by)[0] = int16_t(unsigned(c->dcpred) << d->al);
  return true;
}

bool dcRefine(Dec *d, Comp *c, int bx, int by) {
  if (getBits(&d->bits, 1)) {
    int16_t *p = coefOf(c, bx, by);
    p[0] = int16_t(p[0] | (1 << d->al));
  }
  return true;
}

bool acFirst(Dec *d, Comp *c, int bx, int by) {
  if (d->eobrun > 0) {
    d->eobrun--;
    return true;
  }
  Bits *b = &d->bits;
  int16_t *p = coefOf(c, bx, by);
  const Huff *ac = &d->ac[c->ta];
  for (int k = d->ss; k <= d->se; k++) {
    const int rs = decodeSym(b, ac);
    if (rs < 0) return false;
    const int r = rs >> 4, s = rs & 15;
    if (s) {
      k += r;
      if (k > d->se) return false;
      p[kZigzag[k]] = int16_t(receiveExtend(b, s) * (1 << d->al));
    } else if (r == 15) {
      k += 15;
    } else {
      d->eobrun = (1 << r) - 1 + getBits(b, r);
      break;
    }
  }
  return true;
}

// Refinement of the AC band: one correction bit for every coefficient
// already non-zero, and new coefficients of magnitude 1 << al in zero
// positions, with zero runs counting the zero positions only.
bool acRefine(Dec *d, Comp *c, int bx, int by) {
  Bits *b = &d->bits;
  int16_t *p = coefOf(c, bx, by);
  const int p1 = 1 << d->al, m1 = -p1;
  const Huff *ac = &d->ac[c->ta];
  int k = d->ss;
  auto refine = [&](int16_t *x) {
    if (getBits(b, 1) && (*x & p1) == 0) *x = int16_t(*x + (*x >= 0 ? p1 : m1));
  };
  if (d->eobrun == 0) {
    for (; k <= d->se; k++) {
      const int rs = decodeSym(b, ac);
      if (rs < 0) return false;
      int r = rs >> 4;
      const int s = rs & 15;
      int value = 0;
      if (s) {
        if (s != 1) return false;
        value = getBits(b, 1) ? p1 : m1;
      } else if (r != 15) {
        d->eobrun = (1 << r) + getBits(b, r);
        break;
      }
      for (; k <= d->se; k++) {
        int16_t *x = &p[kZigzag[k]];
        if (*x != 0)
          refine(x);
        else if (--r < 0)
          break;
      }
      if (s) {
        if (k > d->se) return false;
        p[kZigzag[k]] = int16_t(value);
      }
    }
  }
  if (d->eobrun > 0) {
    for (; k <= d->se; k++) {
      int16_t *x = &p[kZigzag[k]];
      if (*x != 0) refine(x);
    }
    d->eobrun--;
  }
  return true;
}

// ===========================================================================
// 5 IDCT
// ===========================================================================

// The 8-point inverse DCT x[n] = sum over k of C(k) / 2 * X[k] *
// cos((2n + 1) k pi / 16), C(0) = 1 / sqrt(2), split by the symmetry
// x[7 - n] = even part - odd part: the even coefficients (0, 4 and 2, 6)
// take 6 multiplications, the odd ones a 4 x 4 product; 22 in all instead
// of 64. Each call transforms 8 independent vectors held as 8 lanes.
struct IdctConst {
  float c4h, c2h, c6h;   // cos(k pi / 16) / 2
  float odd[4][4];       // odd[n][j]: cos((2n + 1)(2j + 1) pi / 16) / 2
  IdctConst() {
    const double pi = 3.14159265358979323846;
    c4h = float(std::cos(4 * pi / 16) / 2);
    c2h = float(std::cos(2 * pi / 16) / 2);
    c6h = float(std::cos(6 * pi / 16) / 2);
    for (int n = 0; n < 4; n++)
      for (int j = 0; j < 4; j++) odd[n][j] = float(std::cos((2 * n + 1) * (2 * j + 1) * pi / 16) / 2);
  }
};
const IdctConst kI;

// in[k][lane] -> out[n][lane]. Every loop runs over the 8 lanes.
inline void idct8x8lanes(const float in[8][8], float out[8][8]) {
  float e[4][8];
  for (int l = 0; l < 8; l++) {
    const float ee0 = (in[0][l] + in[4][l]) * kI.c4h, ee1 = (in[0][l] - in[4][l]) * kI.c4h;
    const float eoA = in[2][l] * kI.c2h + in[6][l] * kI.c6h;
    const float eoB = in[2][l] * kI.c6h - in[6][l] * kI.c2h;
    e[0][l] = ee0 + eoA;
    e[1][l] = ee1 + eoB;
    e[2][l] = ee1 - eoB;
    e[3][l] = ee0 - eoA;
  }
  for (int n = 0; n < 4; n++) {
    const float k1 = kI.odd[n][0], k3 = kI.odd[n][1], k5 = kI.odd[n][2], k7 = kI.odd[n][3];
    for (int l = 0; l < 8; l++) {
      const float o = in[1][l] * k1 + in[3][l] * k3 + in[5][l] * k5 + in[7][l] * k7;
      out[n][l] = e[n][l] + o;
      out[7 - n][l] = e[n][l] - o;
    }
  }
}

// A block with a DC coefficient only: one value in all 64 samples.
void idctFill(int16_t dc, const float *q, uint8_t *out, int stride) {
  const float v = std::min(std::max(float(dc) * q[0] * 0.125f + 128.5f, 0.f), 255.f);
  const uint8_t px = uint8_t(int(v));
  for (int y = 0; y < 8; y++) memset(out + size_t(y) * stride, px, 8);
}

// Dequantises and transforms one block (natural order) into 8 x 8 samples.
// Cost: per block 2 x 8 one-dimensional transforms of 22 multiplications
// in loops over 8 lanes and one transpose; a block with DC only is a fill.
void idctBlock(const int16_t *coef, const float *q, uint8_t *out, int stride) {
  unsigned ac = 0;
  for (int i = 1; i < 64; i++) ac |= uint16_t(coef[i]);
  if (ac == 0) {
    idctFill(coef[0], q, out, stride);
    return;
  }
  // Horizontal first: F transposed (lanes = vertical frequency v) ->
  // t[x][v]; transposed to t2[v][x]; vertical with x as lanes -> r[y][x].
  float f[8][8], t[8][8], t2[8][8], r[8][8];
  for (int v = 0; v < 8; v++)
    for (int u = 0; u < 8; u++) f[u][v] = float(coef[v * 8 + u]) * q[v * 8 + u];
  idct8x8lanes(f, t);
  for (int x = 0; x < 8; x++)
    for (int v = 0; v < 8; v++) t2[v][x] = t[x][v];
  idct8x8lanes(t2, r);
  for (int y = 0; y < 8; y++) {
    uint8_t *o = out + size_t(y) * stride;
    for (int x = 0; x < 8; x++) o[x] = uint8_t(int(std::min(std::max(r[y][x] + 128.5f, 0.f), 255.f)));
  }
}

// ===========================================================================
// 6 frame and scans
// ===========================================================================

bool readDQT(Dec *d) {
  int len;
  const uint8_t *p = segmentBody(&d->s, &len);
  if (p == nullptr) return false;
  while (len > 0) {
    const int pq = p[0] >> 4, tq = p[0] & 15;
    const int need = 1 + 64 * (pq + 1);
    if (pq > 1 || tq > 3 || len < need) return false;
    for (int i = 0; i < 64; i++)
      d->q[tq][kZigzag[i]] = float(pq ? p[1 + 2 * i] << 8 | p[2 + 2 * i] : p[1 + i]);
    d->qset[tq] = true;
    p += need;
    len -= need;
  }
  return true;
}

bool readDHT(Dec *d) {
  int len;
  const uint8_t *p = segmentBody(&d->s, &len);
  if (p == nullptr) return false;
  while (len > 0) {
    if (len < 17) return false;
    const int tc = p[0] >> 4, th = p[0] & 15;
    if (tc > 1 || th > 3) return false;
    uint8_t counts[17] = {};
    int total = 0;
    for (int i = 1; i <= 16; i++) total += counts[i] = p[i];
    if (total > 256 || len < 17 + total) return false;
    if (!buildHuff(tc ? &d->ac[th] : &d->dc[th], counts, p + 17, total)) return false;
    p += 17 + total;
    len -= 17 + total;
  }
  return true;
}

bool readDRI(Dec *d) {
  int len, ri;
  if (!segment(&d->s, &len) || len != 2 || !getU16(&d->s, &ri)) return false;
  d->restartInterval = ri;
  return true;
}

// APP14 "Adobe": transform 0 with three components means R, G, B.
bool readAdobe(Dec *d) {
  int len;
  const uint8_t *p = segmentBody(&d->s, &len);
  if (p == nullptr) return false;
  if (len >= 12 && memcmp(p, "Adobe", 5) == 0) d->adobeRgb = p[11] == 0;
  return true;
}

bool readSOF(Dec *d, bool progressive) {
  int len;
  const uint8_t *p = d->frame ? nullptr : segmentBody(&d->s, &len);
  if (p == nullptr || len < 6) return false;
  const int precision = p[0];
  d->h = p[1] << 8 | p[2];
  d->w = p[3] << 8 | p[4];
  d->ncomp = p[5];
  if (precision != 8 || d->w < 1 || d->h < 1 || d->w > kMaxDim || d->h > kMaxDim ||
      int64_t(d->w) * d->h > kMaxPixels)
    return false;
  if ((d->ncomp != 1 && d->ncomp != 3) || len != 6 + 3 * d->ncomp) return false;
  d->hmax = d->vmax = 1;
  for (int i = 0; i < d->ncomp; i++) {
    Comp *c = &d->comp[i];
    c->id = p[6 + 3 * i];
    c->h = p[7 + 3 * i] >> 4;
    c->v = p[7 + 3 * i] & 15;
    c->tq = p[8 + 3 * i];
    if (c->h < 1 || c->h > 2 || c->v < 1 || c->v > 2 || c->tq > 3) return false;
    for (int j = 0; j < i; j++)
      if (d->comp[j].id == c->id) return false;
    if (c->h > d->hmax) d->hmax = c->h;
    if (c->v > d->vmax) d->vmax = c->v;
  }
  d->mcux = (d->w + 8 * d->hmax - 1) / (8 * d->hmax);
  d->mcuy = (d->h + 8 * d->vmax - 1) / (8 * d->vmax);
  size_t planeBytes = 0;
  int64_t coded = 0;
  for (int i = 0; i < d->ncomp; i++) {
    Comp *c = &d->comp[i];
    c->bw = d->mcux * c->h;
    c->bh = d->mcuy * c->v;
    c->bwNon = ((d->w * c->h + d->hmax - 1) / d->hmax + 7) / 8;
    c->bhNon = ((d->h * c->v + d->vmax - 1) / d->vmax + 7) / 8;
    c->stride = c->bw * 8;
    planeBytes += size_t(c->bw) * c->bh * 64;
    coded += int64_t(c->bwNon) * c->bhNon;
  }
  // Every block of every component takes at least one bit (its DC code):
  // an image far larger than its file is refused before any allocation.
  if (coded > int64_t(d->s.size) * 8) return false;
  // calloc: pages of a large image are only touched as they are decoded.
  d->planeMem.reset(static_cast<uint8_t *>(calloc(planeBytes, 1)));
  if (!d->planeMem) return false;
  if (progressive) {
    d->coefMem.reset(static_cast<int16_t *>(calloc(planeBytes, sizeof(int16_t))));
    if (!d->coefMem) return false;
  }
  size_t off = 0;
  for (int i = 0; i < d->ncomp; i++) {
    Comp *c = &d->comp[i];
    c->plane = d->planeMem.get() + off;
    if (progressive) c->coef = d->coefMem.get() + off;
    off += size_t(c->bw) * c->bh * 64;
  }
  d->progressive = progressive;
  d->frame = true;
  return true;
}

// At a restart point: the marker RSTn that must follow, then a fresh
// reader and fresh predictions.
bool restart(Dec *d) {
  const uint8_t *m = nextMarker(d->bits.p, d->bits.end);
  if (m == nullptr || m[1] != 0xD0 + d->nextRst) return false;
  d->nextRst = (d->nextRst + 1) & 7;
  d->bits = Bits{m + 2, d->bits.end, 0, 0, 0};
  for (int i = 0; i < d->ns; i++) d->sc[i]->dcpred = 0;
  d->eobrun = 0;
  return true;
}

using BlockFn = bool (*)(Dec *, Comp *, int, int);

// Decodes the entropy-coded data of the scan whose header was just read.
// Cost: per MCU the blocks of the scan's components plus one check of the
// reader; per restart interval one marker search.
bool decodeScan(Dec *d) {
  BlockFn fn = seqBlock;
  if (d->progressive) {
    if (d->ss == 0)
      fn = d->ah ? dcRefine : dcFirst;
    else
      fn = d->ah ? acRefine : acFirst;
  }
  d->bits = Bits{d->s.data + d->s.pos, d->s.data + d->s.size, 0, 0, 0};
  d->eobrun = 0;
  d->nextRst = 0;
  for (int i = 0; i < d->ns; i++) d->sc[i]->dcpred = 0;
  const int ri = d->restartInterval;
  int64_t mcus, mcuCount = 0;
  Comp *single = d->ns == 1 ? d->sc[0] : nullptr;
  mcus = single ? int64_t(single->bwNon) * single->bhNon : int64_t(d->mcux) * d->mcuy;
  const int across = single ? single->bwNon : d->mcux;
  for (int64_t m = 0; m < mcus; m++) {
    if (ri && mcuCount == ri) {
      if (!restart(d)) return false;
      mcuCount = 0;
    }
    const int mx = int(m % across), my = int(m / across);
    if (single) {
      if (!fn(d, single, mx, my)) return false;
    } else {
      for (int i = 0; i < d->ns; i++) {
        Comp *c = d->sc[i];
        for (int v = 0; v < c->v; v++)
          for (int h = 0; h < c->h; h++)
            if (!fn(d, c, mx * c->h + h, my * c->v + v)) return false;
      }
    }
    if (d->bits.real < 0) return false;  // the scan's data ran out
    mcuCount++;
  }
  const uint8_t *m = nextMarker(d->bits.p, d->bits.end);
  if (m == nullptr) return false;
  d->s.pos = size_t(m - d->s.data);
  return true;
}

bool readSOS(Dec *d) {
  int len;
  const uint8_t *p = d->frame ? segmentBody(&d->s, &len) : nullptr;
  if (p == nullptr || len < 1) return false;
  d->ns = p[0];
  if (d->ns < 1 || d->ns > d->ncomp || len != 4 + 2 * d->ns) return false;
  if (++d->scans > kMaxScans) return false;
  int blocks = 0;
  for (int i = 0; i < d->ns; i++) {
    const int id = p[1 + 2 * i], td = p[2 + 2 * i] >> 4, ta = p[2 + 2 * i] & 15;
    Comp *c = nullptr;
    for (int j = 0; j < d->ncomp; j++)
      if (d->comp[j].id == id) c = &d->comp[j];
    if (c == nullptr || td > 3 || ta > 3) return false;
    for (int j = 0; j < i; j++)
      if (d->sc[j] == c) return false;
    c->td = td;
    c->ta = ta;
    d->sc[i] = c;
    blocks += c->h * c->v;
  }
  if (d->ns > 1 && blocks > 10) return false;
  const uint8_t *t = p + 1 + 2 * d->ns;
  d->ss = t[0];
  d->se = t[1];
  d->ah = t[2] >> 4;
  d->al = t[2] & 15;
  if (!d->progressive) {
    if (d->ss != 0 || d->se != 63 || d->ah != 0 || d->al != 0) return false;
  } else {
    if (d->ss == 0 ? d->se != 0 : (d->se < d->ss || d->se > 63 || d->ns != 1)) return false;
    if (d->ah > 13 || d->al > 13) return false;
  }
  for (int i = 0; i < d->ns; i++) {
    const Comp *c = d->sc[i];
    const bool needDc = d->ss == 0 && d->ah == 0, needAc = d->se > 0;
    if ((needDc && !d->dc[c->td].present) || (needAc && !d->ac[c->ta].present)) return false;
    if (!d->progressive && !d->qset[c->tq]) return false;
    d->sc[i]->coded = true;
  }
  return decodeScan(d);
}

// A progressive image's planes from its coefficients.
// Cost: one IDCT per block of every component.
bool finishProgressive(Dec *d) {
  for (int i = 0; i < d->ncomp; i++) {
    Comp *c = &d->comp[i];
    if (!d->qset[c->tq]) return false;
    for (int by = 0; by < c->bh; by++)
      for (int bx = 0; bx < c->bw; bx++)
        idctBlock(coefOf(c, bx, by), d->q[c->tq],
                  c->plane + size_t(by) * 8 * c->stride + size_t(bx) * 8, c->stride);
  }
  return true;
}

// The marker loop from SOI to EOI. True when the image is complete.
bool decodeFile(Dec *d) {
  int b0, b1;
  if (!getByte(&d->s, &b0) || !getByte(&d->s, &b1) || b0 != 0xFF || b1 != 0xD8) return false;
  for (;;) {
    int m;
    if (!getByte(&d->s, &m) || m != 0xFF) return false;
    do {
      if (!getByte(&d->s, &m)) return false;
    } while (m == 0xFF);
    bool ok;
    switch (m) {
      case 0xC0:
      case 0xC1: ok = readSOF(d, false); break;
      case 0xC2: ok = readSOF(d, true); break;
      case 0xC4: ok = readDHT(d); break;
      case 0xDB: ok = readDQT(d); break;
      case 0xDD: ok = readDRI(d); break;
      case 0xDA: ok = readSOS(d); break;
      case 0xEE: ok = readAdobe(d); break;
      case 0xD9: {
        if (!d->frame || d->scans == 0) return false;
        for (int i = 0; i < d->ncomp; i++)
          if (!d->comp[i].coded) return false;
        return d->progressive ? finishProgressive(d) : true;
      }
      case 0x01: ok = true; break;  // TEM: no length
      default:
        // Other frame types (lossless, hierarchical, arithmetic), DAC,
        // restart markers outside a scan, a second SOI, reserved 0x02..0xBF.
        if ((m >= 0xC3 && m <= 0xCF) || (m >= 0xD0 && m <= 0xD8) || m < 0xC0) return false;
        int len;
        ok = segment(&d->s, &len);
        if (ok) d->s.pos += size_t(len);
        break;
    }
    if (!ok) return false;
  }
}

// ===========================================================================
// 7 output
// ===========================================================================

// One row of component `c` at image row y, replicated to the image width
// into `tmp`, which keeps the last row made (`*made`, -1 none) so that a
// chroma row shared by two image rows is replicated once.
// Cost: one pass over half a row, two samples per store.
const uint8_t *compRow(const Dec *d, const Comp *c, int y, uint8_t *tmp, int *made) {
  const int fy = d->vmax / c->v, fx = d->hmax / c->h;
  const int sy = y / fy;
  const uint8_t *src = c->plane + size_t(sy) * c->stride;
  if (fx == 1) return src;
  if (*made != sy) {
    uint16_t *pairs = reinterpret_cast<uint16_t *>(tmp);
    for (int x = 0; x < (d->w + 1) / 2; x++) pairs[x] = uint16_t(src[x] * 0x0101u);
    *made = sy;
  }
  return tmp;
}

inline uint8_t clamp255(int v) { return uint8_t(std::min(std::max(v, 0), 255)); }

// Cost: per pixel a few multiply-adds in loops over a row.
void output(const Dec *d, uint8_t *out, int req, uint8_t *rows) {
  const int w = d->w, ws = (w + 1) & ~1;  // replicated rows are made in pairs
  uint8_t *t0 = rows, *t1 = rows + ws, *t2 = rows + 2 * ws;
  uint8_t *r = rows + 3 * ws, *g = rows + 3 * ws + w, *b = rows + 3 * ws + 2 * w;
  int made[3] = {-1, -1, -1};
  for (int y = 0; y < d->h; y++) {
    uint8_t *o = out + size_t(y) * w * req;
    const uint8_t *c0 = compRow(d, &d->comp[0], y, t0, &made[0]);
    if (d->ncomp == 1) {
      if (req == 1) {
        memcpy(o, c0, size_t(w));
      } else {
        for (int x = 0; x < w; x++) {
          o[x * req] = o[x * req + 1] = o[x * req + 2] = c0[x];
          if (req == 4) o[x * 4 + 3] = 255;
        }
      }
      continue;
    }
    const uint8_t *c1 = compRow(d, &d->comp[1], y, t1, &made[1]);
    const uint8_t *c2 = compRow(d, &d->comp[2], y, t2, &made[2]);
    if (d->adobeRgb) {
      for (int x = 0; x < w; x++) {
        if (req == 1) o[x] = uint8_t((19595 * c0[x] + 38470 * c1[x] + 7471 * c2[x] + 32768) >> 16);
        else {
          o[x * req] = c0[x], o[x * req + 1] = c1[x], o[x * req + 2] = c2[x];
          if (req == 4) o[x * 4 + 3] = 255;
        }
      }
      continue;
    }
    // Cost: per pixel 4 multiplications, in loops the compiler vectorises.
    if (req == 4) {
      for (int x = 0; x < w; x++) {
        const int yy = c0[x], cb = c1[x] - 128, cr = c2[x] - 128;
        o[4 * x] = clamp255(yy + ((91881 * cr + 32768) >> 16));
        o[4 * x + 1] = clamp255(yy + ((-22554 * cb - 46802 * cr + 32768) >> 16));
        o[4 * x + 2] = clamp255(yy + ((116130 * cb + 32768) >> 16));
        o[4 * x + 3] = 255;
      }
      continue;
    }
    for (int x = 0; x < w; x++) {
      const int yy = c0[x], cb = c1[x] - 128, cr = c2[x] - 128;
      r[x] = clamp255(yy + ((91881 * cr + 32768) >> 16));
      g[x] = clamp255(yy + ((-22554 * cb - 46802 * cr + 32768) >> 16));
      b[x] = clamp255(yy + ((116130 * cb + 32768) >> 16));
    }
    if (req == 1) {
      for (int x = 0; x < w; x++) o[x] = uint8_t((19595 * r[x] + 38470 * g[x] + 7471 * b[x] + 32768) >> 16);
    } else {
      for (int x = 0; x < w; x++) {
        o[3 * x] = r[x];
        o[3 * x + 1] = g[x];
        o[3 * x + 2] = b[x];
      }
    }
  }
}

}  // namespace

unsigned char *decompress_jpeg_image_from_memory(const unsigned char *data, int size, int *width,
                                                 int *height, int *actual_comps, int req_comps) {
  if (width) *width = 0;
  if (height) *height = 0;
  if (actual_comps) *actual_comps = 0;
  if (data == nullptr || size <= 0 || (req_comps != 1 && req_comps != 3 && req_comps != 4))
    return nullptr;
  std::unique_ptr<Dec> d(new (std::nothrow) Dec{});
  if (!d) return nullptr;
  d->s = jpeg_decoder_mem_stream{data, size_t(size), 0};
  if (!decodeFile(d.get())) return nullptr;
  const size_t bytes = size_t(d->w) * size_t(d->h) * size_t(req_comps);
  std::unique_ptr<uint8_t, decltype(&free)> rows(static_cast<uint8_t *>(malloc(size_t(d->w + 1) * 6)),
                                                 &free);
  uint8_t *out = static_cast<uint8_t *>(malloc(bytes));
  if (!out || !rows) {
    free(out);
    return nullptr;
  }
  output(d.get(), out, req_comps, rows.get());
  if (width) *width = d->w;
  if (height) *height = d->h;
  if (actual_comps) *actual_comps = d->ncomp;
  return out;
}

}  // namespace jpgd
