// The second auto-tune search ("Fast"): which network word to try next.
//
// What it may know: one SWR reading (and the forward power) per word sent,
// and that a larger code means more capacitance and more inductance. It
// knows nothing of the element values, their spread, the stray capacitance
// or the losses, so it works on the codes alone.
//
// Design:
//   - Coordinates. Codes are stepped on a log scale, t = log2(code + 1): the
//     elements are binary weighted, so a step of "an octave" means the same
//     at 1.8 MHz (large codes) as at 50 MHz (small codes). A step that
//     rounds to the same code moves by one code.
//   - Measure. Decisions use |gamma| = (SWR - 1) / (SWR + 1). Readings at
//     the SWR ceiling (|gamma| 0.97 and up) carry no slope: a line that sees
//     only those keeps walking instead of stopping.
//   - Coarse look: a grid of spaced codes (C 2, 15, 100 by L 2, 8, 30, 120,
//     400) in "CL" and in "LC", plus the start word (both codes 0). It finds
//     the region of the match in each network, also for loads that read SWR
//     100 at the start. The grid alternates the networks point by point and
//     takes the small C first and the middle L codes (30, 120) before the
//     ends, so a promising point of either network comes early. A point of
//     the grid better than SWR 9 (|gamma| 0.8) starts the search of its
//     network at once; the rest of the grid is looked at afterwards if the
//     tune goes on.
//   - Series-resonance scan. A very capacitive load of low resistance
//     (hundreds to over a thousand ohms of -X) is matched in "CL" only where
//     L nearly cancels its reactance: a valley about +-15 % wide in L that
//     the grid's steps (a factor 3 to 4) miss, every grid point reading the
//     SWR ceiling. When no grid point is below |gamma| 0.9, "CL" at a small
//     C is scanned in L by quarter octaves (21 points from code 15 up); the
//     first promising point starts the network's search as above.
//   - A network's search. The element next to the transmitter (the inner
//     one: C in "CL", L in "LC") only adds a reactance at the input, so with
//     the other (outer) element fixed, |gamma| along it has one minimum. The
//     search is a line search over the outer element whose every point is
//     the minimum of a line search over the inner one, started at the inner
//     code of the best outer point so far: it follows the valley of the
//     match however it runs across the codes (a walk along the axes stalls
//     in it).
//   - A line search steps from its start (up first, then down; the step
//     doubles while it pays) until the minimum is bracketed, then narrows
//     the bracket at the vertex of the parabola through Q = (1 + |gamma|^2)
//     / (1 - |gamma|^2), which is exactly a parabola in a reactance that
//     grows in step with the code (halving the larger side where the vertex
//     is of no use), down to a bracket of about 6 % (inner) and 3 % (outer)
//     of the code. At most 12 points per line. The outer line's first step
//     is half an octave, the inner's likewise. While bracketing, the outer
//     line also moves on past a step that reads no more than 1 % worse: on
//     the plateau a few codes from 0, where the elements barely change the
//     reading, the noise alone would otherwise close the bracket on a false
//     minimum (a load matched in the other valley at larger codes).
//   - Polish: the eight neighbours of a network's best point, one code away
//     (0.8 % of a large code), moving while one is better. Per-bit value
//     errors make a larger code not always a larger element near a carry
//     (127 -> 128); the polish catches what the line searches step over.
//   - Both networks are searched, the better of the coarse look first (the
//     target SWR usually ends the tune during the first), except that a
//     network whose every coarse point read the SWR ceiling is left out
//     once the other gives a match good enough to store (SWR 6): its lines
//     would walk without a slope to their ends, the cost of a load that
//     cannot be matched.
//   - With a target SWR set, the search measures at most 120 points, then
//     polishes the best of them (24 points at most) and ends: a load that
//     cannot reach the target costs a bounded time (under 5.5 s at the
//     link's rate) instead of both networks' searches to their ends.
//     Without a target the search runs to its own end.
//   - Every measured point is remembered (a fixed table), so a point the
//     search comes back to costs no report and no relay operation.
//   - The end: the best point measured is put back and stored when good
//     (EscAutoTune), as at the end of the walk. Below the target SWR the
//     booking (TuneStep) ends the tune at once, as it does for the walk.
//
// Runs in the amplifier-link thread under the auto-tune lock (autotune.cpp),
// one call per status report; no allocation, the tables are fixed.
#include "tuner/autotune_fast.h"

#include <algorithm>
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
// Coarse codes of each element (log spaced), in the order they are looked
// at: the middle of the inductor's range first, where most matches start.
constexpr int kCoarseC[] = {2, 15, 100};
constexpr int kCoarseL[] = {30, 120, 8, 400, 2};
constexpr int kCoarseN = int(sizeof kCoarseC / sizeof kCoarseC[0]) * int(sizeof kCoarseL / sizeof kCoarseL[0]);
constexpr double kOuterStep = 0.5;    // first step of the outer element, octaves
constexpr double kInnerStep = 0.5;    // first step of the inner element, octaves
// The outer line keeps walking past a step that reads at most this much
// (relative) worse: at small codes and away from the match the elements
// barely change the reading, and the noise of the readings would otherwise
// close a bracket on a plateau (a false minimum a few codes from 0).
constexpr float kOuterSame = 0.01f;
constexpr double kMaxStep = 2.0;      // a step grows up to this while it pays
constexpr int kOuterTol = 32;         // line ends at a bracket of 2 + code / this
constexpr int kInnerTol = 16;
constexpr int kLineMax = 12;          // points of one line search at most
constexpr int kPolishMoves = 8;       // moves of the final polish of a network
constexpr float kFlat = 0.97f;        // |gamma| at the SWR ceiling (about 65 and up)
constexpr float kPromising = 0.8f;    // coarse |gamma| that starts a network's search at once
// With a target SWR set, the search measures at most kBudget points, then
// polishes the best of them (kPolishBudget points at most) and ends: a
// load the network cannot bring to the target costs a bounded time.
// Without a target it runs to its own end.
constexpr int kBudget = 120;
constexpr int kPolishBudget = 24;
constexpr float kStorable = 5.0f / 7;  // |gamma| of SWR 6, the worst match stored
// Series-resonance scan in "CL": C at its smallest coarse code, L in steps
// of a quarter octave from kScanFrom up, when no coarse point is below
// kScanBelow.
constexpr int kScanC = 2;
constexpr int kScanFrom = 15;
constexpr int kScanSteps = 4;  // per octave
constexpr float kScanBelow = 0.9f;
constexpr int kScanMax = 24;

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
// The lowest |gamma| along one code with the other element fixed (see the
// design above): bracketing steps, then the vertex of the parabola in Q, or
// halving. It ends when the bracket is 2 + code / tolDiv codes wide, or
// after kLineMax points.

struct Line {
  int a, b, c;       // bracket: b the best code, a below, c above (-1: not yet)
  float ga, gb, gc;  // their |gamma|
  bool haveB;        // b has been measured
  double step;       // octaves, while bracketing
  int dir;           // bracketing: 1 up, -1 down; 0 bracket closed
  bool triedDown;
  bool done;
  int points;
  int tolDiv;        // the line ends at a bracket of 2 + b / tolDiv codes
  float same;        // while bracketing, a step this much (relative) worse still moves on
};

void lineStart(Line &ln, int code, double step, int tolDiv, float same = 0) {
  ln = {-1, code, -1, 1, 1, 1, false, step, 1, false, false, 0, tolDiv, same};
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
  if (ln.c - ln.a <= 2 + ln.b / ln.tolDiv) {
    ln.done = true;
    return -1;
  }
  // Vertex of the parabola through (code, Q); points at the SWR ceiling
  // carry no shape.
  long v = -1;
  if (ln.a < ln.b && ln.b < ln.c && ln.ga < kFlat && ln.gb < kFlat && ln.gc < kFlat) {
    double x0 = ln.a, x1 = ln.b, x2 = ln.c;
    auto q = [](float g) { double g2 = double(g) * g; return (1 + g2) / (1 - g2); };
    double y0 = q(ln.ga), y1 = q(ln.gb), y2 = q(ln.gc);
    double p = (x1 - x0) * (y1 - y2), r = (x1 - x2) * (y1 - y0);
    double den = 2 * (p - r);
    if (den != 0) {
      double xv = x1 - ((x1 - x0) * p - (x1 - x2) * r) / den;
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
    // is still far, or within the line's noise margin): move on with a
    // larger step.
    if (g < ln.gb || (g >= kFlat && ln.gb >= kFlat) || g < ln.gb * (1 + ln.same)) {
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

enum Phase { PH_COARSE, PH_NET, PH_POLISH };

Phase phase;
NetSearch ns;
Pt polishFrom;  // centre of the polish under way
int polishAt, polishMoves;
Pt netBest[2];      // best point of each network so far
float netG[2];
bool netDone[2];
float coarseG[2];  // best |gamma| of each network's coarse look

constexpr int kCoarseMax = 2 * kCoarseN + kScanMax;
int gridN;  // coarse[gridN..] is the scan
Pt coarse[kCoarseMax];
int coarseN, coarseAt;

int budget;        // points measured before the polish that ends the tune
bool overBudget;
Pt measuring;  // the word on the relays, measured by the next report

void netStart(int net) {
  phase = PH_NET;
  ns = {};
  ns.net = net;
  const Pt &s = netBest[net];
  lineStart(ns.outer, net == 0 ? s.l : s.c, kOuterStep, kOuterTol, kOuterSame);
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
      lineStart(ns.inner, ns.innerBest, kInnerStep, kInnerTol);
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
  if (phase == PH_COARSE && g < coarseG[p.net]) coarseG[p.net] = g;
  if (g < netG[p.net]) netBest[p.net] = p, netG[p.net] = g;
}

// The polish of a network's best point: its eight neighbours one step
// away (one code, or 0.8 % of a large code), the best of them taken while it
// is better, at most kPolishMoves times.
bool polishNext(Pt &out) {
  static const int dc[8] = {1, -1, 0, 0, 1, -1, 1, -1}, dl[8] = {0, 0, 1, -1, 1, -1, -1, 1};
  for (int guard = 0; guard < 64; guard++) {
    if (polishAt >= 8) {
      if (!same(netBest[ns.net], polishFrom) && polishMoves < kPolishMoves) {
        polishFrom = netBest[ns.net];  // moved: look around the new best
        polishMoves++;
        polishAt = 0;
        continue;
      }
      return false;
    }
    int d = polishAt++;
    const Pt &b = polishFrom;
    Pt p = b;
    p.c = int16_t(std::clamp(b.c + dc[d] * std::max(1, b.c / 128), 0, kCodeMax));
    p.l = int16_t(std::clamp(b.l + dl[d] * std::max(1, b.l / 128), 0, kCodeMax));
    if (same(p, b)) continue;
    if (const Known *k = lookUp(p)) {
      booked(p, k->g);
      continue;
    }
    out = p;
    return true;
  }
  return false;
}

// The next point to measure, or false when the search is over.
bool nextPoint(Pt &out) {
  if (knownN >= budget + kPolishBudget) return false;
  if (knownN >= budget && !overBudget) {
    // Searched long enough for a target not reached: polish the best point
    // found and end there.
    overBudget = true;
    netDone[0] = netDone[1] = true;
    ns.net = netG[1] < netG[0] ? 1 : 0;
    phase = PH_POLISH;
    polishFrom = netBest[ns.net];
    polishAt = polishMoves = 0;
  }
  for (;;) {
    if (phase == PH_NET) {
      if (netNext(out)) return true;
      phase = PH_POLISH;
      polishFrom = netBest[ns.net];
      polishAt = polishMoves = 0;
    }
    if (phase == PH_POLISH) {
      if (polishNext(out)) return true;
      netDone[ns.net] = true;
      phase = PH_COARSE;  // the rest of the coarse look, then the other network
    }
    while (coarseAt < coarseN) {
      bool scan = coarseAt >= gridN;
      const Pt &p = coarse[coarseAt++];
      if (netDone[p.net]) continue;
      if (scan && std::min(netG[0], netG[1]) < kScanBelow) continue;  // a slope is known
      if (const Known *k = lookUp(p)) {
        booked(p, k->g);
        continue;
      }
      out = p;
      return true;
    }
    // Coarse look over: the better network not yet searched, if in reach.
    int net = netDone[0] ? 1 : netDone[1] ? 0 : (netG[1] < netG[0] ? 1 : 0);
    if (netDone[net]) return false;
    // The other network read the SWR ceiling at every coarse point and the
    // searched one already gives a match good enough to store: a search of
    // the other would walk without a slope to the end of its lines.
    if (netDone[1 - net] && coarseG[net] >= kFlat && netG[1 - net] <= kStorable) return false;
    netStart(net);
  }
}

void result(const Pt &p, float g) {
  booked(p, g);
  // A promising point in the coarse look: search its network at once.
  if (phase == PH_COARSE && g < kPromising && !netDone[p.net]) {
    netStart(p.net);
    return;
  }
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
  overBudget = false;
  budget = w->swrEscAutoTune > 0 ? kBudget : kKnownMax;
  phase = PH_COARSE;
  coarseN = coarseAt = 0;
  for (int net = 0; net < 2; net++) {
    netBest[net] = {int8_t(net), 0, 0};
    netG[net] = 2.0f;
    netDone[net] = false;
    coarseG[net] = 2.0f;
  }
  // Both networks point by point, so a promising point of either comes early.
  for (int c : kCoarseC)
    for (int l : kCoarseL)
      for (int net = 0; net < 2; net++) coarse[coarseN++] = {int8_t(net), int16_t(c), int16_t(l)};
  gridN = coarseN;
  // The scan: L codes (kScanFrom + 1) x 2^(k / kScanSteps) - 1 up to the end
  // of the range.
  for (int k = 0; coarseN < kCoarseMax; k++) {
    int l = int(std::lround((kScanFrom + 1) * std::exp2(double(k) / kScanSteps))) - 1;
    coarse[coarseN++] = {0, int16_t(kScanC), int16_t(std::min(l, kCodeMax))};
    if (l >= kCodeMax) break;
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
