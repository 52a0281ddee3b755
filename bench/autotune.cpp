// bench_autotune: the program's auto-tune against the exhaustive best
// setting of the simulated tuner network.
//
//   bench_autotune [--loads N] [--seed S] [--target SWR] [FILE]
//
// Without FILE: N (default 500) loads drawn with a fixed seed, R
// log-uniform 5..1500 ohm, X uniform -1500..+1500 ohm, the frequency
// uniform within one of the eleven bands of the default bank table (band
// chosen uniformly). With FILE: one load per line, "frequency-Hz R X"
// blank-separated ('#' starts a comment); a line per load is printed.
//
// For every load the real step machine (StartAutotune, TuneTask) runs with
// no serial link: each "status report" is the SWR of the word the machine
// left in tuneWord, worked out through the network model (tuner_net.h) with
// 50 W forward, as the decoder would hand it over; the machine's commands
// are taken out of the ring as the link would send them. The baseline is
// the exhaustive search over all 512 x 512 codes in "CL" and "LC" (524288
// settings per load), split over two threads.
//
// Settings of the run: target SWR (SWRescAutoTune) 1.5 unless --target
// says otherwise (0 = no early end), step limit index 0 (600 measurements),
// KAV transceiver interface with the carrier on. A tune counts as good at
// SWR 1.5 or less whatever the target.
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
float gTarget = 1.5f;  // SWRescAutoTune of the run
constexpr double kFwdW = 50.0;
constexpr int kReportCap = 2000;  // safety: a tune that never ends
constexpr double kWithin = 0.03;  // |gamma| distance to the best that counts as found

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

struct Load {
  uint32_t freq;
  SimNetZ z;
  // results
  SimNetBest best;
  double finalGamma = 1;
  int reports = 0;
  bool stepLimit = false, capped = false;
};

// ---- loads -------------------------------------------------------------------

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

// One tune from the start command to tuneState 0, one TuneTask per report.
void tuneOne(works *w, Load &l) {
  w->freqHz = l.freq;
  w->autoTuneMode = 0x01;
  w->atuBypass = 0;
  w->ampStatus0 = 0;
  w->ampStatus1 = 0;
  StartAutotune(w);
  w->tuneCmdPending = 0;  // the start commands went out on the link
  drainRing(w);
  int reports = 0;
  while (w->tuneState.load() != 0 && reports < kReportCap) {
    double g = simNetAbsGamma(w->tuneWord.load(), l.freq, l.z);
    float fwd = float(kFwdW), refl = float(kFwdW * std::min(g * g, 1.0));
    w->pwrFwd = fwd;
    w->pwrRefl = refl;
    w->swr = CalcolaSWR(fwd, refl);
    TuneTask(w);
    reports++;
    drainRing(w);
    w->atuBypass = uint8_t((w->tuneWord.load() >> 16) & 1);  // as the link does after "MT1"
  }
  if (w->tuneState.load() != 0) {
    l.capped = true;
    EscAutoTune(w, 0);
    drainRing(w);
  }
  l.reports = reports;
  l.finalGamma = simNetAbsGamma(w->tuneWord.load(), l.freq, l.z);
  l.stepLimit = ExistError(w, 12) || ExistError(w, 13);
  for (int code : {12, 13, 18}) DeleteErrore(w, code);
  kzCmdClearRecorded();
}

// ---- exhaustive baseline -----------------------------------------------------------

double exhaustiveAll(std::vector<Load> &v) {
  auto t0 = std::chrono::steady_clock::now();
  auto part = [&v](size_t from, size_t step) {
    for (size_t i = from; i < v.size(); i += step) v[i].best = simNetExhaustive(v[i].freq, v[i].z);
  };
  std::thread other(part, 1, 2);
  part(0, 2);
  other.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---- report ----------------------------------------------------------------

double share(int n, int of) { return of > 0 ? 100.0 * n / of : 0.0; }

double percentile(std::vector<int> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t k = size_t(std::ceil(p / 100.0 * double(v.size())));
  return v[std::min(v.size(), std::max<size_t>(k, 1)) - 1];
}

void summary(const std::vector<Load> &v, double exhaustiveS, double tuneS) {
  int n = int(v.size()), good = 0, near = 0, matchable = 0, mGood = 0, mNear = 0, limit = 0, capped = 0;
  std::vector<int> reports;
  std::vector<double> ratios;
  double sumRep = 0;
  for (const Load &l : v) {
    bool ok = simNetSwr(l.finalGamma) <= kGoodSwr;
    bool close = l.finalGamma <= l.best.absGamma + kWithin;
    bool m = simNetSwr(l.best.absGamma) <= kGoodSwr;
    good += ok;
    near += close;
    matchable += m;
    mGood += m && ok;
    mNear += m && close;
    limit += l.stepLimit;
    capped += l.capped;
    reports.push_back(l.reports);
    sumRep += l.reports;
    ratios.push_back(simNetSwr(l.finalGamma) / simNetSwr(l.best.absGamma));
  }
  double mean = n ? sumRep / n : 0, p99 = percentile(reports, 99);
  std::sort(ratios.begin(), ratios.end());
  printf("loads: %d (matchable, exhaustive best SWR <= %.1f: %d)\n", n, kGoodSwr, matchable);
  printf("target SWR (SWRescAutoTune) %.2f%s, step limit 600 (AutoTuneMaxCicli 0), forward %.0f W\n",
         double(gTarget), gTarget > 0 ? "" : " (off)", kFwdW);
  printf("exhaustive baseline: %d x 524288 settings in %.2f s (%.2f ms per load, 2 threads)\n", n, exhaustiveS,
         n ? 1000.0 * exhaustiveS / n : 0.0);
  printf("auto-tune runs: %.2f s wall for all loads (tune-memory saves included)\n", tuneS);
  printf("all loads:       SWR <= %.1f after tune %5.1f %%   within %.2f of best |gamma| %5.1f %%\n",
         kGoodSwr, share(good, n), kWithin, share(near, n));
  printf("matchable loads: SWR <= %.1f after tune %5.1f %%   within %.2f of best |gamma| %5.1f %%\n",
         kGoodSwr, share(mGood, matchable), kWithin, share(mNear, matchable));
  if (!ratios.empty())
    printf("final SWR / exhaustive best SWR: median %.3f, 90th percentile %.3f\n", ratios[ratios.size() / 2],
           ratios[std::min(ratios.size() - 1, size_t(std::ceil(0.9 * double(ratios.size()))) - 1)]);
  printf("status reports per tune: mean %.1f, 99th percentile %.0f, max %d (step limit hit %d, cap %d hit %d)\n", mean,
         p99, reports.empty() ? 0 : *std::max_element(reports.begin(), reports.end()), limit, kReportCap, capped);
  printf("link time per report = (%d bytes x 10 bit / 115200 baud) + 10 ms + 20 ms = %.2f ms\n", kBytesPerReport,
         kMsPerReport);
  printf("  (\"ST;\" 5 + reply 39 bytes, \"MT1%%08X;\" 14 + echo 14 bytes; start commands not counted)\n");
  printf("tune time at that rate: mean %.2f s, 99th percentile %.2f s\n", mean * kMsPerReport / 1000.0,
         p99 * kMsPerReport / 1000.0);
}

int usage() {
  fprintf(stderr, "usage: bench_autotune [--loads N] [--seed S] [--target SWR] [FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  int count = 500;
  unsigned seed = 20240611u;
  const char *file = nullptr;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if ((a == "--loads" || a == "--seed") && i + 1 < argc) {
      char *end = nullptr;
      long v = strtol(argv[++i], &end, 10);
      if (!end || *end || v < (a == "--loads" ? 1 : 0) || v > (a == "--loads" ? 1000000L : 0xFFFFFFFFL)) return usage();
      if (a == "--loads")
        count = int(v);
      else
        seed = unsigned(v);
    } else if (a == "--target" && i + 1 < argc) {
      char *end = nullptr;
      double t = strtod(argv[++i], &end);
      if (!end || *end || !(t >= 0 && t <= 100)) return usage();
      gTarget = float(t);
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

  Bench b;
  if (benchInit(b) != 0) return 1;
  double exS = exhaustiveAll(loads);
  auto t0 = std::chrono::steady_clock::now();
  for (Load &l : loads) tuneOne(b.w.get(), l);
  double tuneS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  benchDone(b);

  if (file) {
    printf("%10s %9s %9s %9s %9s %7s\n", "freq_Hz", "R", "X", "SWR", "best_SWR", "reports");
    for (const Load &l : loads)
      printf("%10u %9.2f %9.2f %9.3f %9.3f %7d\n", unsigned(l.freq), l.z.real(), l.z.imag(), simNetSwr(l.finalGamma),
             simNetSwr(l.best.absGamma), l.reports);
  }
  summary(loads, exS, tuneS);
  return 0;
}
