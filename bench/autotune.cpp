// bench_autotune: the program's two auto-tune searches against the
// exhaustive best setting, on the simulated unit's tuner network and on
// tuner networks whose element values the searches have never seen.
//
//   bench_autotune [--loads N] [--seed S] [--target SWR] [--noise PCT] [--each] [FILE]
//
// --each prints a line per load and network for the fast search (best SWR
// and network, reports and final SWR with the target and without, the
// walk's final SWR without): for looking at single loads.
//
// Without FILE: N (default 500) loads drawn with a fixed seed, R
// log-uniform 5..1500 ohm, X uniform -1500..+1500 ohm, the frequency
// uniform within one of the eleven bands of the default bank table (band
// chosen uniformly). With FILE: one load per line, "frequency-Hz R X"
// blank-separated ('#' starts a comment); a line per load is printed.
//
// Networks. "nominal" is the simulated unit's own network (tuner_net.h: C =
// code x 10 pF + 15 pF, L = code x 0.05 uH, Q 100). "perturbed" gives every
// load a network of its own, drawn with the seed: each of the nine relay
// bits of either bank off by up to +-15 % from its binary weight, a total
// scale of 0.7..1.4 for the capacitors and, apart, for the inductors, Q
// 30..200 and a stray capacitance of 0..50 pF.
//
// Readings. Each "status report" is what the unit's decoder makes of the
// amplifier's detectors for the word on the relays, with 50 W forward: the
// forward and reflected powers each with Gaussian noise (default 2 %), raw
// readings round(sqrt(P / k)) limited to four digits with the detector
// calibrations of the simulated amplifier (sim/amp_sim.cpp), turned back
// into watts with the simulated unit's config.txt calibration (60 W at
// 3411, 10 W at 1734, no correction) and into an SWR by the decoder's
// CalcolaSWR. The noise of a load is drawn from its own seed, the same for
// both searches.
//
// Searches. The real step machine (StartAutotune, TuneTask) runs with no
// serial link, once with AutoTuneSearch 0 (the walk) and once with 1
// ("Fast"); the machine's commands are taken out of the ring as the link
// would send them. Each runs twice per load: with the target SWR 1.5 (or
// --target), which ends a tune early, for the share of loads brought to
// SWR 1.5, the reports and the relay operations; and with the target 0
// (the search runs to its own end) for the distance to the exhaustive best.
// Step limit index 0 (600 measurements), KAV transceiver interface with
// the carrier on. The baseline is the exhaustive search over all 512 x 512
// codes in "CL" and "LC" (524288 settings per load and network), split over
// two threads.
// Tune-memory saves go to a scratch root; the command runner is the
// recorder, so no shell command runs.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "amplifier/cmdring.h"
#include "amplifier/decode.h"
#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "sim/tuner_net.h"
#include "tuner/autotune.h"

namespace {

constexpr double kGoodSwr = 1.5;
float gTarget = 1.5f;    // SWRescAutoTune of the early-end runs
double gNoise = 0.02;    // relative noise of each power reading
constexpr double kFwdW = 50.0;
constexpr int kReportCap = 2000;  // safety: a tune that never ends
constexpr double kWithin = 0.03;  // |gamma| distance to the best that counts as found
// Detectors of the simulated amplifier (W per raw unit squared) and the
// simulated unit's calibration of them (config.txt pairs).
constexpr double kFwdCal = 5.156579e-6, kReflCal = 3.3262754e-6;
constexpr double kFwdK = 60.0 / (3411.0 * 3411.0), kReflK = 10.0 / (1734.0 * 1734.0);

// Link time per report at 115200 baud, 10 bits per byte: "ST;" out (2 + 3
// bytes) and its reply in (2 + 37), the decoder's 10 ms pause, "MT1%08X;"
// out (2 + 12) and its echo in (2 + 12), the 20 ms pause after the echo.
constexpr int kBytesPerReport = 5 + 39 + 14 + 14;
constexpr double kMsPerReport = kBytesPerReport * 10.0 / 115200.0 * 1000.0 + 10.0 + 20.0;

struct Band {
  const char *name;
  uint32_t lo, hi;
};
constexpr Band kBands[] = {{"160m", 1800000, 2000000},   {"80m", 3500000, 4000000},   {"60m", 5330500, 5450000},
                           {"40m", 7000000, 7300000},    {"30m", 10100000, 10150000}, {"20m", 14000000, 14350000},
                           {"17m", 18068000, 18168000},  {"15m", 21000000, 21450000}, {"12m", 24890000, 24990000},
                           {"10m", 28000000, 29700000},  {"6m", 50000000, 54000000}};

enum { NET_NOMINAL, NET_PERTURBED, NETS };
enum { S_WALK, S_FAST, SEARCHES };
enum { R_TARGET, R_FULL, RUNS };  // with the target; with target 0

struct Outcome {
  double finalGamma = 1;
  uint32_t finalWord = 0;
  int reports = 0;
  int wordsSwitching = 0;  // words that changed the relays
  int bitsSwitched = 0;    // relays switched
  bool stepLimit = false, capped = false;
};

struct Load {
  uint32_t freq;
  SimNetZ z;
  unsigned noiseSeed = 0;
  SimNetParams net[NETS];
  SimNetBest best[NETS];
  Outcome out[NETS][SEARCHES][RUNS];
};

// ---- loads and networks ---------------------------------------------------------

SimNetParams perturbed(std::mt19937 &rng) {
  std::uniform_real_distribution<double> scale(0.7, 1.4), bit(-0.15, 0.15), q(30.0, 200.0), stray(0.0, 50e-12);
  SimNetParams p = simNetNominal();
  double sc = scale(rng), sl = scale(rng);
  for (int i = 0; i < 9; i++) {
    p.capF[i] *= sc * (1 + bit(rng));
    p.indH[i] *= sl * (1 + bit(rng));
  }
  p.q = q(rng);
  p.strayF = stray(rng);
  return p;
}

std::vector<Load> randomLoads(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> logR(std::log(5.0), std::log(1500.0)), x(-1500.0, 1500.0), u(0.0, 1.0);
  std::uniform_int_distribution<int> band(0, int(std::size(kBands)) - 1);
  std::vector<Load> v;
  v.reserve(size_t(n));
  for (int i = 0; i < n; i++) {
    const Band &b = kBands[band(rng)];
    Load l;
    l.freq = b.lo + uint32_t(std::lround(u(rng) * (b.hi - b.lo)));
    double r = std::exp(logR(rng));
    l.z = SimNetZ(r, x(rng));
    v.push_back(l);
  }
  return v;
}

// Networks and noise seeds of the loads, from their own stream so the
// loads stay those of earlier runs with the same seed.
void giveNetworks(std::vector<Load> &v, unsigned seed) {
  std::mt19937 rng(seed ^ 0x5eedu);
  for (Load &l : v) {
    l.net[NET_NOMINAL] = simNetNominal();
    l.net[NET_PERTURBED] = perturbed(rng);
    l.noiseSeed = unsigned(rng());
  }
}

// One load per line; a bad line is reported and skipped. -1 when the file
// cannot be read.
int fileLoads(const char *path, std::vector<Load> &v) {
  FILE *f = fopen(path, "r");
  if (!f) {
    fprintf(stderr, "bench_autotune: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  char line[512];
  int no = 0;
  while (fgets(line, sizeof line, f)) {
    no++;
    if (char *hash = strchr(line, '#')) *hash = 0;
    if (line[strspn(line, " \t\r\n")] == 0) continue;  // blank or comment only
    double freq, r, x;
    char extra;
    int got = sscanf(line, "%lf %lf %lf %c", &freq, &r, &x, &extra);
    if (got != 3 || !(freq >= 1e5 && freq <= 1e9) || !std::isfinite(r) || !std::isfinite(x) || r < 0) {
      fprintf(stderr, "bench_autotune: %s:%d: expected \"frequency-Hz R X\" (R >= 0), line skipped\n", path, no);
      continue;
    }
    Load l;
    l.freq = uint32_t(std::lround(freq));
    l.z = SimNetZ(r, x);
    v.push_back(l);
  }
  fclose(f);
  return 0;
}

// ---- the program's machine -------------------------------------------------------

struct Bench {
  SetupRec rec{};
  std::unique_ptr<works> w;
  std::string root;
};

int benchInit(Bench &b) {
  char tmpl[] = "/tmp/kz_bench_XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("bench_autotune: mkdtemp");
    return -1;
  }
  b.root = tmpl;
  std::error_code ec;
  std::filesystem::create_directories(b.root + "/opt/set", ec);
  if (ec) {
    fprintf(stderr, "bench_autotune: cannot create %s/opt/set\n", b.root.c_str());
    return -1;
  }
  kzSetRoot(b.root);
  kzCmdUse(&kzCmdRecorder);
  kzClockUse(&kzClockFake);
  kzTraceQuiet(true);
  kzLogQuiet(true);

  b.w = std::make_unique<works>();
  works *w = b.w.get();
  w->setup = &b.rec;
  InitGlobalVar(w);
  InitErrTable(w);
  w->errorsMuted = 0;
  w->swrEscAutoTune = gTarget;
  w->autoTuneMaxCicli = 0;  // limit 600
  w->ModeWorkIdx = 1;
  w->txActive = 1;
  w->numBanco = 1;
  w->antenna = 0;
  return 0;
}

void benchDone(Bench &b) {
  kzSetRoot("");
  std::error_code ec;
  if (!b.root.empty()) std::filesystem::remove_all(b.root, ec);
}

void drainRing(works *w) {
  while (TakeNextCmd(w) >= 0) {
  }
}

// The SWR the unit's decoder reports for a true |gamma| (see the top).
float reading(double g, std::mt19937 &rng) {
  std::normal_distribution<double> n(0.0, gNoise);
  double pf = std::max(0.0, kFwdW * (1 + n(rng)));
  double pr = std::max(0.0, kFwdW * std::min(g * g, 1.0) * (1 + n(rng)));
  auto raw = [](double p, double k) { return std::clamp(std::lround(std::sqrt(p / k)), 0L, 9999L); };
  long rf = raw(pf, kFwdCal), rr = raw(pr, kReflCal);
  float fwd = float(kFwdK * double(rf * rf)), refl = float(kReflK * double(rr * rr));
  return CalcolaSWR(fwd, refl);
}

// One tune from the start command to tuneState 0, one TuneTask per report.
Outcome tuneOne(works *w, const Load &l, const SimNetParams &net, int search, float target) {
  Outcome o;
  std::mt19937 rng(l.noiseSeed);
  w->freqHz = l.freq;
  w->autoTuneMode = 0x01;
  w->autoTuneSearch = uint8_t(search);
  w->swrEscAutoTune = target;
  w->atuBypass = 0;
  w->ampStatus0 = 0;
  w->ampStatus1 = 0;
  StartAutotune(w);
  w->tuneCmdPending = 0;  // the start commands went out on the link
  drainRing(w);
  uint32_t onRelays = w->tuneWord.load();
  while (w->tuneState.load() != 0 && o.reports < kReportCap) {
    double g = simNetAbsGamma(net, w->tuneWord.load(), l.freq, l.z);
    w->pwrFwd = float(kFwdW);
    w->swr = reading(g, rng);
    TuneTask(w);
    o.reports++;
    drainRing(w);
    uint32_t word = w->tuneWord.load();  // sent after every step
    if (word != onRelays) {
      o.wordsSwitching++;
      o.bitsSwitched += __builtin_popcount(word ^ onRelays);
      onRelays = word;
    }
    w->atuBypass = uint8_t((word >> 16) & 1);  // as the link does after "MT1"
  }
  if (w->tuneState.load() != 0) {
    o.capped = true;
    EscAutoTune(w, 0);
    drainRing(w);
  }
  o.finalWord = w->tuneWord.load();
  o.finalGamma = simNetAbsGamma(net, o.finalWord, l.freq, l.z);
  o.stepLimit = ExistError(w, 12) || ExistError(w, 13);
  for (int code : {12, 13, 18}) DeleteErrore(w, code);
  kzCmdClearRecorded();
  return o;
}

// ---- exhaustive baseline -----------------------------------------------------------

double exhaustiveAll(std::vector<Load> &v) {
  auto t0 = std::chrono::steady_clock::now();
  auto part = [&v](size_t from, size_t step) {
    for (size_t i = from; i < v.size(); i += step)
      for (int n = 0; n < NETS; n++) v[i].best[n] = simNetExhaustive(v[i].net[n], v[i].freq, v[i].z);
  };
  std::thread other(part, 1, 2);
  part(0, 2);
  other.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---- report ----------------------------------------------------------------

double share(int n, int of) { return of > 0 ? 100.0 * n / of : 0.0; }

template <class T>
double percentile(std::vector<T> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t k = size_t(std::ceil(p / 100.0 * double(v.size())));
  return double(v[std::min(v.size(), std::max<size_t>(k, 1)) - 1]);
}

// The figures of one search on one network set.
struct Figures {
  int loads = 0, matchable = 0, good = 0, near = 0, limit = 0, capped = 0, worseThanWalk = 0;
  double ratioMed = 0, ratio90 = 0, repMean = 0, repMed = 0, rep99 = 0, repFullMean = 0;
  double wordsMean = 0, bitsMean = 0;
  double repMatchMed = 0;  // median reports over the matchable loads
  // Matchable loads missed (target 0, not within 0.03): ended in the other
  // network than the best; in its network far from it (an element more
  // than 25 % off: another valley); near it (precision, noise).
  int missOtherNet = 0, missFar = 0, missNear = 0;
};

Figures figures(const std::vector<Load> &v, int net, int search) {
  Figures f;
  std::vector<int> reps, repsMatch;
  std::vector<double> ratios;
  double sumRep = 0, sumFull = 0, sumWords = 0, sumBits = 0;
  for (const Load &l : v) {
    const Outcome &t = l.out[net][search][R_TARGET], &full = l.out[net][search][R_FULL];
    double best = l.best[net].absGamma;
    f.loads++;
    if (simNetSwr(best) <= kGoodSwr) {
      f.matchable++;
      repsMatch.push_back(t.reports);
      f.good += simNetSwr(t.finalGamma) <= kGoodSwr;
      f.near += full.finalGamma <= best + kWithin;
      if (full.finalGamma > best + kWithin) {
        int c, i, m;
        simNetDecodeWord(full.finalWord, &c, &i, &m);
        const SimNetBest &b = l.best[net];
        auto off = [](int a, int bb) { return std::abs(a - bb) > 2 + std::max(a, bb) / 4; };
        if (m != b.mode)
          f.missOtherNet++;
        else if (off(c, b.cap) || off(i, b.ind))
          f.missFar++;
        else
          f.missNear++;
      }
    }
    // Worse than the walk, by more than the noise of a reading.
    f.worseThanWalk += full.finalGamma > l.out[net][S_WALK][R_FULL].finalGamma + 0.01;
    f.limit += t.stepLimit || full.stepLimit;
    f.capped += t.capped || full.capped;
    reps.push_back(t.reports);
    sumRep += t.reports;
    sumFull += full.reports;
    sumWords += t.wordsSwitching;
    sumBits += t.bitsSwitched;
    ratios.push_back(simNetSwr(full.finalGamma) / simNetSwr(best));
  }
  double n = f.loads ? f.loads : 1;
  f.repMean = sumRep / n;
  f.repFullMean = sumFull / n;
  f.wordsMean = sumWords / n;
  f.bitsMean = sumBits / n;
  f.repMed = percentile(reps, 50);
  f.repMatchMed = percentile(repsMatch, 50);
  f.rep99 = percentile(reps, 99);
  f.ratioMed = percentile(ratios, 50);
  f.ratio90 = percentile(ratios, 90);
  return f;
}

void summary(const std::vector<Load> &v, double exhaustiveS, double tuneS) {
  Figures f[NETS][SEARCHES];
  for (int n = 0; n < NETS; n++)
    for (int s = 0; s < SEARCHES; s++) f[n][s] = figures(v, n, s);
  const double ms = kMsPerReport / 1000.0;
  printf("loads: %d; forward %.0f W, reading noise %.1f %% per power, step limit 600 (AutoTuneMaxCicli 0)\n",
         int(v.size()), kFwdW, 100 * gNoise);
  printf("exhaustive baseline: %d x 2 networks x 524288 settings in %.2f s (2 threads)\n", int(v.size()),
         exhaustiveS);
  printf("tunes: %d x 2 networks x 2 searches x 2 targets in %.2f s wall (tune-memory saves included)\n",
         int(v.size()), tuneS);
  printf("link time per report = (%d bytes x 10 bit / 115200 baud) + 10 ms + 20 ms = %.2f ms\n", kBytesPerReport,
         kMsPerReport);
  printf("target %.2f: runs that end early below the target; target 0: runs to the search's own end\n\n",
         double(gTarget));
  printf("%-46s %10s %10s   %10s %10s\n", "", "nominal", "", "perturbed", "");
  printf("%-46s %10s %10s   %10s %10s\n", "", "walk", "fast", "walk", "fast");
  auto row = [&](const char *name, auto get, const char *fmt) {
    printf("%-46s", name);
    for (int n = 0; n < NETS; n++) {
      for (int s = 0; s < SEARCHES; s++) {
        char cell[32];
        snprintf(cell, sizeof cell, fmt, get(f[n][s]));
        printf(" %10s", cell);
      }
      if (n == 0) printf("  ");
    }
    printf("\n");
  };
  row("matchable loads (best SWR <= 1.5)", [](const Figures &x) { return x.matchable; }, "%d");
  row("matchable ending SWR <= 1.5, target", [](const Figures &x) { return share(x.good, x.matchable); }, "%.1f %%");
  row("matchable within 0.03 of best |gamma|, target 0",
      [](const Figures &x) { return share(x.near, x.matchable); }, "%.1f %%");
  row("final / best SWR, median (target 0)", [](const Figures &x) { return x.ratioMed; }, "%.3f");
  row("final / best SWR, 90th percentile (target 0)", [](const Figures &x) { return x.ratio90; }, "%.3f");
  row("reports per tune, mean (target)", [](const Figures &x) { return x.repMean; }, "%.1f");
  row("reports per tune, median (target)", [](const Figures &x) { return x.repMed; }, "%.0f");
  row("  median over the matchable loads (target)", [](const Figures &x) { return x.repMatchMed; }, "%.0f");
  row("reports per tune, 99th percentile (target)", [](const Figures &x) { return x.rep99; }, "%.0f");
  row("tune time s, mean (target)", [&](const Figures &x) { return x.repMean * ms; }, "%.2f");
  row("tune time s, median (target)", [&](const Figures &x) { return x.repMed * ms; }, "%.2f");
  row("tune time s, 99th percentile (target)", [&](const Figures &x) { return x.rep99 * ms; }, "%.2f");
  row("network words sent per tune, mean (target)", [](const Figures &x) { return x.repMean; }, "%.1f");
  row("  of them switching relays, mean (target)", [](const Figures &x) { return x.wordsMean; }, "%.1f");
  row("  relays switched per tune, mean (target)", [](const Figures &x) { return x.bitsMean; }, "%.1f");
  row("reports per tune, mean (target 0)", [](const Figures &x) { return x.repFullMean; }, "%.1f");
  row("loads ending worse than the walk (target 0)", [](const Figures &x) { return x.worseThanWalk; }, "%d");
  row("step limit reached / report cap hit", [](const Figures &x) { return x.limit + x.capped; }, "%d");

  // The goal of the fast search, and where it falls short.
  printf("\ngoal of the fast search: >= 98 %% to SWR 1.5, >= 95 %% within 0.03, median <= 40 reports, "
         "99th percentile < 150, no load worse than the walk\n");
  for (int n = 0; n < NETS; n++) {
    const Figures &x = f[n][S_FAST];
    const char *net = n == NET_NOMINAL ? "nominal" : "perturbed";
    int shortBy = 0;
    auto miss = [&](bool ok, const char *fmt, double have) {
      if (ok) return;
      shortBy++;
      printf("  %s: short: ", net);
      printf(fmt, have);
      printf("\n");
    };
    miss(share(x.good, x.matchable) >= 98.0, "%.1f %% of matchable loads end at SWR <= 1.5", share(x.good, x.matchable));
    miss(share(x.near, x.matchable) >= 95.0, "%.1f %% of matchable loads end within 0.03 of the best |gamma|",
         share(x.near, x.matchable));
    miss(x.repMed <= 40, "median %.0f reports per tune", x.repMed);
    miss(x.rep99 < 150, "99th percentile %.0f reports per tune", x.rep99);
    miss(x.worseThanWalk == 0, "%.0f loads end worse than the walk", double(x.worseThanWalk));
    if (x.missOtherNet + x.missFar + x.missNear > 0)
      printf("  %s: matchable loads missed (target 0): %d in the other network, %d in another valley of the "
             "right one, %d near the best (precision, noise)\n",
             net, x.missOtherNet, x.missFar, x.missNear);
    if (shortBy == 0) printf("  %s: met\n", net);
  }
}

int usage() {
  fprintf(stderr, "usage: bench_autotune [--loads N] [--seed S] [--target SWR] [--noise PCT] [--each] [FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  int count = 500;
  unsigned seed = 20240611u;
  const char *file = nullptr;
  bool each = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if ((a == "--loads" || a == "--seed") && i + 1 < argc) {
      char *end = nullptr;
      long long v = strtoll(argv[++i], &end, 10);
      if (!end || *end || v < (a == "--loads" ? 1 : 0) || v > (a == "--loads" ? 1000000LL : 0xFFFFFFFFLL)) return usage();
      if (a == "--loads")
        count = int(v);
      else
        seed = unsigned(v);
    } else if ((a == "--target" || a == "--noise") && i + 1 < argc) {
      char *end = nullptr;
      double t = strtod(argv[++i], &end);
      if (!end || *end || !(t >= 0 && t <= 100)) return usage();
      if (a == "--target")
        gTarget = float(t);
      else
        gNoise = t / 100.0;
    } else if (a == "--each") {
      each = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return usage();
    } else if (!file) {
      file = argv[i];
    } else {
      return usage();
    }
  }

  std::vector<Load> loads;
  if (file) {
    if (fileLoads(file, loads) != 0) return 1;
    if (loads.empty()) {
      fprintf(stderr, "bench_autotune: no loads in %s\n", file);
      return 1;
    }
  } else {
    loads = randomLoads(count, seed);
    printf("seed %u, R log-uniform 5..1500 ohm, X uniform -1500..+1500 ohm, bands 160m..6m\n", seed);
  }
  giveNetworks(loads, seed);

  Bench b;
  if (benchInit(b) != 0) return 1;
  double exS = exhaustiveAll(loads);
  auto t0 = std::chrono::steady_clock::now();
  for (Load &l : loads)
    for (int n = 0; n < NETS; n++)
      for (int s = 0; s < SEARCHES; s++) {
        l.out[n][s][R_TARGET] = tuneOne(b.w.get(), l, l.net[n], s, gTarget);
        l.out[n][s][R_FULL] = tuneOne(b.w.get(), l, l.net[n], s, 0.0f);
      }
  double tuneS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  benchDone(b);

  if (file) {
    printf("nominal network, target %.2f; best = exhaustive best\n", double(gTarget));
    printf("%10s %9s %9s %9s %9s %7s %9s %7s\n", "freq_Hz", "R", "X", "best_SWR", "walk_SWR", "reports", "fast_SWR",
           "reports");
    for (const Load &l : loads) {
      const Outcome &wk = l.out[NET_NOMINAL][S_WALK][R_TARGET], &fs = l.out[NET_NOMINAL][S_FAST][R_TARGET];
      printf("%10u %9.2f %9.2f %9.3f %9.3f %7d %9.3f %7d\n", unsigned(l.freq), l.z.real(), l.z.imag(),
             simNetSwr(l.best[NET_NOMINAL].absGamma), simNetSwr(wk.finalGamma), wk.reports,
             simNetSwr(fs.finalGamma), fs.reports);
    }
  }
  if (each) {
    printf("%4s %-9s %10s %9s %9s %4s %7s %9s %7s %9s %9s\n", "load", "network", "freq_Hz", "R", "X", "best",
           "SWR", "fast_SWR", "reports", "fast0_SWR", "walk0_SWR");
    for (size_t i = 0; i < loads.size(); i++)
      for (int n = 0; n < NETS; n++) {
        const Load &l = loads[i];
        const Outcome &t = l.out[n][S_FAST][R_TARGET], &z = l.out[n][S_FAST][R_FULL], &wk = l.out[n][S_WALK][R_FULL];
        printf("%4zu %-9s %10u %9.2f %9.2f %4s %7.3f %9.3f %7d %9.3f %9.3f\n", i,
               n == NET_NOMINAL ? "nominal" : "perturbed", unsigned(l.freq), l.z.real(), l.z.imag(),
               l.best[n].mode == 1 ? "CL" : "LC", simNetSwr(l.best[n].absGamma), simNetSwr(t.finalGamma), t.reports,
               simNetSwr(z.finalGamma), simNetSwr(wk.finalGamma));
      }
    printf("\n");
  }
  summary(loads, exS, tuneS);
  return 0;
}
