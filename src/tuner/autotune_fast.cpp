// The second auto-tune search ("Fast"): which network word to try next.
//
// What it may know: one SWR reading (and the forward power) per word sent,
// and that a larger code means more capacitance and more inductance. It
// knows nothing of the element values, their spread, the stray capacitance
// or the losses, so it works on the codes alone.
//
// Design:
//   - Coordinates. Each code is handled on a log scale, t = log2(code + 1):
//     the elements are binary weighted, so the effect of a step of one code
//     is large at small codes and small at large ones, and a move of "half
//     an octave" means the same at 3 MHz (large codes) as at 50 MHz (small
//     codes). A move that rounds to the same code moves by one code.
//   - Measure. Decisions use |gamma| = (SWR - 1) / (SWR + 1), which stays
//     meaningful where the SWR runs into its 100 ceiling. A point counts as
//     better only by more than a noise margin, so a noisy reading never
//     drags the search around.
//   - Phase 1, coarse: a 3 x 3 grid of spaced codes in "CL" and in "LC"
//     (plus the start word, both codes 0). It finds the region of the match
//     in each network and tells which network is the better bet, also for
//     loads that read SWR 100 at the start (no slope to follow there).
//   - Phase 2, pattern search, in the better network first: from the best
//     coarse point, try one step up and down in C and in L (the direction
//     that paid last time first) and move to the first point that is
//     better; when none is, shrink the step. It ends when single-code steps
//     find nothing better. The other network gets its own pattern search
//     when its coarse best is within reach of what the first one found.
//   - Every measured point is remembered (a fixed table), so a point the
//     pattern comes back to costs no report and no relay operation.
//   - The end: the best point measured is put back and stored when good
//     (EscAutoTune), as at the end of the walk. Below the target SWR the
//     booking (TuneStep) ends the tune at once, as it does for the walk.
//
// Runs in the amplifier-link thread under the auto-tune lock (autotune.cpp),
// one call per status report; no allocation, the tables are fixed.
#include "tuner/autotune_fast.h"

#include <cmath>
#include <cstdint>

#include "core/works.h"
#include "platform/log.h"
#include "tuner/autotune.h"
#include "tuner/tuneword.h"

namespace {

constexpr int kCodeMax = 511;
constexpr uint32_t kBitCL = 1u << 23;
constexpr uint32_t kBitLC = 1u << 18;
constexpr uint32_t kBitBypass = 1u << 16;

// ---- tuning of the search ---------------------------------------------------
// Coarse codes of each element (log spaced).
constexpr int kCoarse[] = {3, 22, 127};
constexpr int kCoarseN = int(sizeof kCoarse / sizeof kCoarse[0]);
constexpr double kOuterStep = 1.0;    // first step of the outer element, octaves
constexpr double kInnerStep = 0.5;    // first step of the inner element, octaves
constexpr double kMaxStep = 2.0;      // a step grows up to this while it pays
constexpr int kLineMax = 14;          // points of one line search at most
constexpr float kFlat = 0.97f;        // |gamma| at the SWR ceiling (about 65 and up)
constexpr float kOtherReach = 1.5f;  // second network searched within this |gamma|

// ---- measured points --------------------------------------------------------

struct Pt {
  int8_t net;  // 0 "CL", 1 "LC"
  int16_t c, l;
};

bool same(const Pt &a, const Pt &b) { return a.net == b.net && a.c == b.c && a.l == b.l; }

struct Known {
  Pt p;
  float g;
};

// Room for every point a tune at the longest step limit can measure.
constexpr int kKnownMax = 640;
Known known[kKnownMax];
int knownN;

float gammaOf(float swr) {
  if (!(swr >= 1.0f)) return 1.0f;  // no forward power: nothing was measured
  return (swr - 1.0f) / (swr + 1.0f);
}

// Cost: O(points known); at most a few hundred compares per report.
const Known *lookUp(const Pt &p) {
  for (int i = 0; i < knownN; i++)
    if (same(known[i].p, p)) return &known[i];
  return nullptr;
}

void remember(const Pt &p, float g) {
  if (lookUp(p) != nullptr || knownN >= kKnownMax) return;
  known[knownN++] = {p, g};
}

// One step of `step` octaves up (sign 1) or down (-1) from `code`; at least
// one code, within 0..511 (at the end of the range: the code itself).
int stepCode(int code, double step, int sign) {
  long n = std::lround((code + 1) * std::exp2(sign * step) - 1);
  if (n == code) n = code + sign;
  if (n < 0) n = 0;
  if (n > kCodeMax) n = kCodeMax;
  return int(n);
}

// ---- one element: a line search ---------------------------------------------
// The lowest |gamma| along one code with the other element fixed. From its
// start it steps up (then down when up is worse), doubling the step while
// that pays, until the minimum is bracketed; then it narrows the bracket at
// the vertex of the parabola through |gamma|^2 at its three points (near a
// match |gamma|^2 is close to a parabola in the element's reactance), or by
// halving the larger side where the vertex is of no use. It ends when the
// bracket is down to the neighbours of its best code (about 1.5 % of the
// code for large codes).

struct Line {
  int a, b, c;       // bracket: b the best code, a below, c above (-1: not yet)
  float ga, gb, gc;  // their |gamma|
  bool haveB;        // b has been measured
  double step;       // octaves, while bracketing
  int dir;           // bracketing: 1 up, -1 down; 0 bracket closed
  bool triedDown;
  bool done;
  int points;
};

void lineStart(Line &ln, int code, double step) {
  ln = {-1, code, -1, 1, 1, 1, false, step, 1, false, false, 0};
}

// Direction after a step that did not pay (or hit the end of the range).
int lineTurn(Line &ln) {
  if (ln.dir > 0 && !ln.triedDown) {
    ln.triedDown = true;
    return -1;
  }
  if (ln.a < 0) return -1;
  if (ln.c < 0) return 1;
  return 0;
}

// The next code to measure, or -1 when the line is done.
int lineNext(Line &ln) {
  if (ln.done) return -1;
  if (!ln.haveB) return ln.b;
  if (ln.points >= kLineMax) {
    ln.done = true;
    return -1;
  }
  while (ln.dir != 0) {
    int x = stepCode(ln.b, ln.step, ln.dir);
    if (x != ln.b) return x;
    if (ln.dir > 0) ln.c = ln.b, ln.gc = ln.gb;  // the end of the range bounds this side
    else ln.a = ln.b, ln.ga = ln.gb;
    ln.dir = lineTurn(ln);
  }
  if (ln.c - ln.a <= 2 + ln.b / 64) {
    ln.done = true;
    return -1;
  }
  // Vertex of the parabola through (code, |gamma|^2).
  long v = -1;
  if (ln.a < ln.b && ln.b < ln.c) {
    double x0 = ln.a, x1 = ln.b, x2 = ln.c;
    double y0 = double(ln.ga) * ln.ga, y1 = double(ln.gb) * ln.gb, y2 = double(ln.gc) * ln.gc;
    double p = (x1 - x0) * (y1 - y2), q = (x1 - x2) * (y1 - y0);
    double den = 2 * (p - q);
    if (den != 0) {
      double xv = x1 - ((x1 - x0) * p - (x1 - x2) * q) / den;
      if (std::isfinite(xv) && xv > -1e6 && xv < 1e6) v = std::lround(xv);
    }
  }
  if (v <= ln.a || v >= ln.c || v == ln.b) {  // no use: halve the larger side
    bool low = ln.b - ln.a > ln.c - ln.b;
    v = low ? (ln.a + ln.b) / 2 : (ln.b + ln.c + 1) / 2;
    if (v == ln.b) v = low ? ln.b - 1 : ln.b + 1;
  }
  if (v <= ln.a || v >= ln.c) {
    ln.done = true;
    return -1;
  }
  return int(v);
}

void lineResult(Line &ln, int x, float g) {
  ln.points++;
  if (!ln.haveB) {
    ln.gb = g;
    ln.haveB = true;
    return;
  }
  if (ln.dir != 0) {
    // Better, or no slope at all (both at the SWR ceiling, where the match
    // is still far): move on with a larger step.
    if (g < ln.gb || (g >= kFlat && ln.gb >= kFlat)) {
      if (ln.dir > 0) ln.a = ln.b, ln.ga = ln.gb, ln.c = -1;
      else ln.c = ln.b, ln.gc = ln.gb, ln.a = -1;
      ln.b = x, ln.gb = g;
      ln.triedDown = true;
      ln.step = std::fmin(ln.step * 2, kMaxStep);
      return;
    }
    if (ln.dir > 0) ln.c = x, ln.gc = g;
    else ln.a = x, ln.ga = g;
    ln.dir = lineTurn(ln);
    return;
  }
  if (g < ln.gb) {
    if (x < ln.b) ln.c = ln.b, ln.gc = ln.gb;
    else ln.a = ln.b, ln.ga = ln.gb;
    ln.b = x, ln.gb = g;
  } else if (x < ln.b) {
    ln.a = x, ln.ga = g;
  } else {
    ln.c = x, ln.gc = g;
  }
}

// ---- a network: the outer element over the inner one ------------------------
// The element next to the transmitter (the inner one: C in "CL", L in "LC")
// only adds a reactance at the input, so for a fixed outer element the
// |gamma| along it has one minimum. The network's search is a line search
// over the outer element whose every point is the minimum of a line search
// over the inner one, started at the inner code of the best outer point: it
// follows the valley of the match however it runs across the codes.

struct NetSearch {
  int net;
  Line outer, inner;
  bool innerOn;    // an inner line runs at outerCode
  int outerCode;
  int innerBest;   // inner code of the best outer point
};

Pt pointOf(int net, int outerCode, int innerCode) {
  Pt p{int8_t(net), 0, 0};
  if (net == 0) p.l = int16_t(outerCode), p.c = int16_t(innerCode);
  else p.c = int16_t(outerCode), p.l = int16_t(innerCode);
  return p;
}

enum Phase { PH_COARSE, PH_NET };

Phase phase;
NetSearch ns;
Pt netBest[2];      // best point of each network so far
float netG[2];
bool netDone[2];

constexpr int kCoarseMax = 2 * kCoarseN * kCoarseN;
Pt coarse[kCoarseMax];
int coarseN, coarseAt;

Pt measuring;  // the word on the relays, measured by the next report

void netStart(int net) {
  phase = PH_NET;
  ns = {};
  ns.net = net;
  const Pt &s = netBest[net];
  lineStart(ns.outer, net == 0 ? s.l : s.c, kOuterStep);
  ns.innerBest = net == 0 ? s.c : s.l;
  ns.innerOn = false;
}

// The next point of the network search, or false when it is over. Points
// already known are answered from the table on the way.
bool netNext(Pt &out) {
  for (int guard = 0; guard < 1000; guard++) {
    if (!ns.innerOn) {
      int o = lineNext(ns.outer);
      if (o < 0) return false;
      ns.outerCode = o;
      lineStart(ns.inner, ns.innerBest, kInnerStep);
      ns.innerOn = true;
    }
    int x = lineNext(ns.inner);
    if (x < 0) {  // the inner minimum is the outer line's value here
      ns.innerOn = false;
      lineResult(ns.outer, ns.outerCode, ns.inner.gb);
      if (ns.outer.b == ns.outerCode) ns.innerBest = ns.inner.b;
      continue;
    }
    Pt p = pointOf(ns.net, ns.outerCode, x);
    if (const Known *k = lookUp(p)) {
      lineResult(ns.inner, x, k->g);
      continue;
    }
    out = p;
    return true;
  }
  kzLog(KZ_LOG_ERR, "fast tune: network search did not settle");
  return false;
}

void booked(const Pt &p, float g) {
  if (g < netG[p.net]) netBest[p.net] = p, netG[p.net] = g;
}

// The next point to measure, or false when the search is over.
bool nextPoint(Pt &out) {
  if (phase == PH_COARSE) {
    while (coarseAt < coarseN) {
      const Pt &p = coarse[coarseAt++];
      if (const Known *k = lookUp(p)) {
        booked(p, k->g);
        continue;
      }
      out = p;
      return true;
    }
    netStart(netG[1] < netG[0] ? 1 : 0);
  }
  for (;;) {
    if (netNext(out)) return true;
    netDone[ns.net] = true;
    int other = 1 - ns.net;
    if (netDone[other] || !(netG[other] < std::fmin(netG[0], netG[1]) + kOtherReach)) return false;
    netStart(other);
  }
}

void result(const Pt &p, float g) {
  booked(p, g);
  if (phase != PH_NET || p.net != ns.net) return;
  if (ns.innerOn) lineResult(ns.inner, ns.net == 0 ? p.c : p.l, g);
}

void setPoint(works *w, const Pt &p) {
  uint32_t word = w->tuneWord.load();
  w->tuneWord = (word & ~(kBitCL | kBitLC | kBitBypass)) | (p.net == 0 ? kBitCL : kBitLC);
  w->tuneMode = p.net == 0 ? 1 : 2;
  w->valC = p.c;
  SetC(w, p.c);
  w->valI = p.l;
  SetI(w, p.l);
  measuring = p;
}

}  // namespace

void FastTuneStart(works *w) {
  knownN = 0;
  phase = PH_COARSE;
  coarseN = coarseAt = 0;
  for (int net = 0; net < 2; net++) {
    netBest[net] = {int8_t(net), 0, 0};
    netG[net] = 2.0f;
    netDone[net] = false;
    for (int c : kCoarse)
      for (int l : kCoarse) coarse[coarseN++] = {int8_t(net), int16_t(c), int16_t(l)};
  }
  ns = {};
  // The machine left "CL" with both codes 0 on the relays.
  measuring = {0, int16_t(w->valC), int16_t(w->valI)};
}

void FastTuneStep(works *w) {
  if (TuneStep(w)) return;  // booked; ended below the target
  float g = gammaOf(tuneParam.swr);
  remember(measuring, g);
  result(measuring, g);
  Pt next;
  if (nextPoint(next)) {
    setPoint(w, next);
    return;
  }
  kzTrace("FAST TUNE END: %d points, SWR %.2f\n", knownN, double(miglioretuneParam.swr));
  TuneEnd(w);
  EscAutoTune(w, 1);
}
