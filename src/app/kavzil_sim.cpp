// kavzil-sim: the real program (same start-up, threads and shutdown as on
// the board) against simulated peers, with its fixed paths under a root
// directory and the board's shell commands recorded, never run.
//
//   kavzil-sim [--root DIR] [--amp builtin|external] [--seconds N]
//              [--drive W] [--freq HZ] [--model 0|1] [--quiet]
//
// --seconds counts from the start of the process (the start-up itself
// takes about seven seconds: the loading count-down).
// --amp builtin (default) starts the simulated amplifier on a PTY and
// writes its slave path into LinPort of DIR/opt/set/setup.txt; external
// leaves LinPort as the file gives it, for an outside peer. --seconds N
// stops after N seconds through the normal shutdown (every thread joined,
// exit status 0); without it the unit runs until Ctrl-C. Until the panel
// is part of the build, one line of decoded status is printed each second.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/kavmain.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "sim/amp_sim.h"
#include "sim/unit_files.h"

namespace {

struct SimOptions {
  std::string root = "kavzil-root";
  bool builtinAmp = true;
  int seconds = 0;
  double driveW = 0;
  uint32_t freqHz = 14070000;
  char model = '0';
  bool quiet = false;
};

std::atomic<bool> gStop{false};
void onSignal(int) { gStop = true; }

struct SimRun {
  SimOptions opt;
  int64_t startMs = 0;  // --seconds counts from the start of the process
  SimAmp *amp = nullptr;
  std::thread status;
};

void usage() {
  fprintf(stderr,
          "usage: kavzil-sim [--root DIR] [--amp builtin|external] [--seconds N]\n"
          "                  [--drive W] [--freq HZ] [--model 0|1] [--quiet]\n");
}

int parseArgs(int argc, char **argv, SimOptions &o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto next = [&](const char *name) -> const char * {
      if (i + 1 >= argc) {
        fprintf(stderr, "kavzil-sim: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    const char *v = nullptr;
    if (a == "--root") {
      if (!(v = next("--root"))) return -1;
      o.root = v;
    } else if (a == "--amp") {
      if (!(v = next("--amp"))) return -1;
      if (strcmp(v, "builtin") == 0)
        o.builtinAmp = true;
      else if (strcmp(v, "external") == 0)
        o.builtinAmp = false;
      else
        return -1;
    } else if (a == "--seconds") {
      if (!(v = next("--seconds"))) return -1;
      o.seconds = atoi(v);
    } else if (a == "--drive") {
      if (!(v = next("--drive"))) return -1;
      o.driveW = atof(v);
    } else if (a == "--freq") {
      if (!(v = next("--freq"))) return -1;
      o.freqHz = uint32_t(strtoul(v, nullptr, 10));
    } else if (a == "--model") {
      if (!(v = next("--model"))) return -1;
      o.model = v[0] == '1' ? '1' : '0';
    } else if (a == "--help" || a == "-h") {
      usage();
      exit(0);
    } else if (a == "--quiet") {
      o.quiet = true;
    } else {
      fprintf(stderr, "kavzil-sim: unknown option %s\n", a.c_str());
      return -1;
    }
  }
  return 0;
}

// Puts `port` into the LinPort line of the setup file, creating the file
// with the start values first when the root has none.
int setLinPort(const std::string &port) {
  if (port.size() >= sizeof(SetupRec::LinPort)) {
    fprintf(stderr, "kavzil-sim: PTY path %s is longer than LinPort holds (%zu characters)\n",
            port.c_str(), sizeof(SetupRec::LinPort) - 1);
    return -1;
  }
  std::string path = kzPath("/opt/set/setup.txt");
  if (!kzFileExists(path)) {
    auto w = std::make_unique<works>();
    SetupRec rec;
    w->setup = &rec;
    readSetup(w.get());  // writes the start values
  }
  std::string text;
  if (kzReadFile(path, text) != 0) return -1;
  std::string out, line;
  bool done = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    line = text.substr(pos, end - pos);
    if (line.compare(0, 9, "LinPort: ") == 0) {
      line = "LinPort: " + port;
      done = true;
    }
    out += line + "\n";
    pos = end + 1;
  }
  if (!done) out += "LinPort: " + port + "\n";
  return kzSaveFileAtomic(path, out);
}

void printStatus(works *w) {
  char errs[256] = "";
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    size_t used = 0;
    for (int i = 0; i < w->errCount.load() && i < KZ_ERR_CODES; i++) {
      const ErrDesc &d = w->errTable[w->errList[i]];
      used += size_t(snprintf(errs + used, sizeof errs - used, " %d(%s/%s)", w->errList[i],
                              d.line1, d.line2));
      if (used >= sizeof errs) break;
    }
  }
  printf("[sim] in %5.2f W  fwd %6.2f W  refl %5.2f W  SWR %6.2f  T1 %5.1f C  T2 %5.1f C  "
         "fan %3d%%  freq %lu Hz  errors:%s\n",
         w->pwrIn.load(), w->pwrFwd.load(), w->pwrRefl.load(), w->swr.load(), w->temp1.load(),
         w->temp2.load(), w->fanSent.load(), (unsigned long)w->freqMeasured.load(),
         errs[0] ? errs : " none");
  fflush(stdout);
}

void started(works *w, void *ctx) {
  SimRun *run = static_cast<SimRun *>(ctx);
  run->status = std::thread([w, run] {
    int64_t start = run->startMs;
    int64_t nextPrint = kzNowMs() + 1000;
    while (w->running.load() != 0) {
      kzSleepMs(50);
      int64_t now = kzNowMs();
      if (gStop.load() || (run->opt.seconds > 0 && now - start >= run->opt.seconds * 1000LL)) {
        // The same path as the service keyboard's close key: the run flag
        // drops and main shuts down, joining every thread.
        w->running = 0;
        break;
      }
      if (now >= nextPrint) {
        nextPrint += 1000;
        if (!run->opt.quiet) printStatus(w);
      }
    }
  });
}

void stopped(works *, void *ctx) {
  SimRun *run = static_cast<SimRun *>(ctx);
  if (run->status.joinable()) run->status.join();
}

}  // namespace

int main(int argc, char **argv) {
  SimRun run;
  run.startMs = kzNowMs();
  if (parseArgs(argc, argv, run.opt) != 0) {
    usage();
    return 2;
  }
  kzLogOpen("kavzil-sim");
  kzCmdUse(&kzCmdRecorder);
  kzSetRoot(run.opt.root);
  if (kzMakeParentDirs(kzPath("/opt/set/x")) != 0) {
    fprintf(stderr, "kavzil-sim: cannot create %s/opt/set: %s\n", run.opt.root.c_str(),
            strerror(errno));
    return 1;
  }
  simWriteUnitFiles(kzRoot().empty() ? std::string() : kzRoot());

  if (run.opt.builtinAmp) {
    SimAmpOptions ao;
    ao.model = run.opt.model;
    ao.antennaModels = true;  // dummy load, dipole and random wire on ports 1-3
    run.amp = simAmpStart(ao);
    if (run.amp == nullptr) {
      fprintf(stderr, "kavzil-sim: cannot start the simulated amplifier\n");
      return 1;
    }
    if (setLinPort(simAmpSlavePath(run.amp)) != 0) {
      fprintf(stderr, "kavzil-sim: cannot write LinPort into the setup file\n");
      simAmpStop(run.amp);
      return 1;
    }
    if (run.opt.driveW > 0) simAmpSetDrive(run.amp, run.opt.driveW, run.opt.freqHz);
    fprintf(stderr, "kavzil-sim: simulated amplifier on %s\n", simAmpSlavePath(run.amp));
  }
  fprintf(stderr, "kavzil-sim: root %s\n", run.opt.root.c_str());

  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);

  KavHooks hooks;
  hooks.started = started;
  hooks.stopped = stopped;
  hooks.ctx = &run;
  int rc = KavMain(&hooks);
  if (run.amp) simAmpStop(run.amp);
  return rc;
}
