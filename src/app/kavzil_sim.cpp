// kavzil-sim: the real program (same start-up, threads and shutdown as on
// the board) against simulated peers, with its fixed paths under a root
// directory and the board's shell commands recorded, never run.
//
//   kavzil-sim [--root DIR] [--amp builtin|external] [--seconds N]
//              [--drive W] [--freq HZ] [--model 0|1] [--quiet]
//              [--headless] [--snapshot FILE.png] [--keys 'SECONDS:KEY[:long],...']
//              [--window-snapshot FILE.png] [--art DIR]
//
// --seconds counts from the start of the process (the start-up itself
// takes about seven seconds: the loading count-down).
// --amp builtin (default) starts the simulated amplifier on a PTY and
// writes its slave path into LinPort of DIR/opt/set/setup.txt; external
// leaves LinPort as the file gives it, for an outside peer. --seconds N
// stops after N seconds through the normal shutdown (every thread joined,
// exit status 0); without it the unit runs until Ctrl-C or until the
// window is closed. One line of decoded status is printed each second.
// The screen is the simulated 800 x 480 memory display. With a display
// (DISPLAY or WAYLAND_DISPLAY set, SDL2 in the build, no --headless) it is
// shown in the simulator window (sim/window.h) with the panel's buttons and
// the simulator controls; the unit then runs on a second thread and the
// window's event loop on the main thread. --snapshot saves the screen as
// PNG every second and at exit (each file written whole, then renamed over
// the last), --window-snapshot the whole window; --keys presses front-panel
// keys 1 to 6 on the simulated GPIO block at the given seconds after the
// start (long: held past the long-press time). The background pictures are
// read from --art (the build's generated artwork by default), the fonts
// from the root, where the simulator links the system's files. The board's
// "my_temp" script answers with fixed CPU and GPU temperatures.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/input.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <algorithm>

#include "core/kavmain.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "panel/fb.h"
#include "panel/keyb.h"
#include "panel/text.h"
#include "sim/amp_sim.h"
#include "sim/gpio_sim.h"
#include "sim/unit_files.h"
#include "sim/window.h"

namespace {

struct KeyPress {
  double atSeconds;
  int key;
  bool longPress;
};

struct SimOptions {
  std::string root = "kavzil-root";
  std::string art = KZ_ART_DIR;
  std::string snapshot;
  std::string windowSnapshot;
  bool headless = false;
  std::vector<KeyPress> keys;
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
  std::atomic<bool> up{false};  // the start-up is over
  int64_t startMs = 0;  // --seconds counts from the start of the process
  SimAmp *amp = nullptr;
  std::thread status;
  SimControls controls;
  // The unit's record and its screen, for the window: set when works
  // exists, cleared (with the screen freed) once every thread has been
  // joined. The window reads them under unitMut only.
  std::mutex unitMut;
  works *w = nullptr;
  std::atomic<bool> unitDone{false};
  bool keybNoticeGiven = false;
};

void usage() {
  fprintf(stderr,
          "usage: kavzil-sim [--root DIR] [--amp builtin|external] [--seconds N]\n"
          "                  [--drive W] [--freq HZ] [--model 0|1] [--quiet]\n"
          "                  [--headless] [--snapshot FILE.png] [--art DIR]\n"
          "                  [--keys 'SECONDS:KEY[:long],...'] [--window-snapshot FILE.png]\n");
}

// "2:1,3.5:4:long" -> presses; false on a malformed list.
bool parseKeys(const char *text, std::vector<KeyPress> &out) {
  std::string s(text);
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(pos, end - pos);
    pos = end + 1;
    KeyPress k{};
    char kind[8] = "";
    int n = sscanf(item.c_str(), "%lf:%d:%7s", &k.atSeconds, &k.key, kind);
    if (n < 2 || k.key < 1 || k.key > 6 || k.atSeconds < 0) return false;
    if (n == 3 && strcmp(kind, "long") != 0) return false;
    k.longPress = n == 3;
    out.push_back(k);
  }
  return true;
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
    } else if (a == "--headless") {
      o.headless = true;
    } else if (a == "--snapshot") {
      if (!(v = next("--snapshot"))) return -1;
      o.snapshot = v;
    } else if (a == "--window-snapshot") {
      if (!(v = next("--window-snapshot"))) return -1;
      o.windowSnapshot = v;
    } else if (a == "--art") {
      if (!(v = next("--art"))) return -1;
      o.art = v;
    } else if (a == "--keys") {
      if (!(v = next("--keys")) || !parseKeys(v, o.keys)) return -1;
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

void snapshot(works *w, const SimRun *run) {
  if (!run->opt.snapshot.empty() && w->fb) fbSavePng(w->fb, run->opt.snapshot, FB_SCREEN);
}

// A screen record over a 4-byte-pixel picture of the window (its drawing
// buffer), for the program's text and PNG code.
FbScreen pictureRecord(uint8_t *pixels, int width, int height) {
  FbScreen rec{};
  rec.xres = uint16_t(width);
  rec.yres = uint16_t(height);
  rec.pixelSize = 4;
  rec.lineSize = width * 4;
  rec.memSize = width * height * 4;
  rec.drawBuf = pixels;
  return rec;
}

// The watcher: stops the unit after --seconds (or on Ctrl-C, or when the
// window is closed), prints the status line and saves the snapshot once a
// second. It starts before the start values are written: the run flag
// reads 0 until then, and a stop asked for meanwhile waits for it to go up
// (dropping it earlier would be undone by the start values).
void opened(works *w, void *ctx) {
  SimRun *run = static_cast<SimRun *>(ctx);
  {
    std::lock_guard<std::mutex> lk(run->unitMut);
    run->w = w;
  }
  run->status = std::thread([w, run] {
    int64_t start = run->startMs;
    int64_t nextTick = kzNowMs() + 1000;
    bool seenRunning = false;
    for (;;) {
      kzSleepMs(50);
      if (w->running.load() != 0)
        seenRunning = true;
      else if (seenRunning)
        break;  // the unit stops on its own (the service keyboard's F12)
      int64_t now = kzNowMs();
      if (gStop.load() || (run->opt.seconds > 0 && now - start >= run->opt.seconds * 1000LL)) {
        if (!seenRunning) continue;
        // The same path as the service keyboard's close key: the run flag
        // drops and main shuts down, joining every thread.
        w->running = 0;
        break;
      }
      if (now >= nextTick) {
        nextTick += 1000;
        if (!run->opt.quiet && run->up.load()) printStatus(w);
        snapshot(w, run);
      }
    }
  });
}

void started(works *, void *ctx) { static_cast<SimRun *>(ctx)->up = true; }

void stopped(works *w, void *ctx) {
  SimRun *run = static_cast<SimRun *>(ctx);
  if (run->status.joinable()) run->status.join();
  std::lock_guard<std::mutex> lk(run->unitMut);
  snapshot(w, run);
  // Every thread has been joined: the simulated screen can go, and the
  // window lets go of the record.
  fbFree(w->fb);
  w->fb = nullptr;
  run->w = nullptr;
}

// ---- the window's hooks ------------------------------------------------------

bool windowReadScreen(void *ctx, uint8_t *dst) {
  SimRun *run = static_cast<SimRun *>(ctx);
  std::lock_guard<std::mutex> lk(run->unitMut);
  const FbScreen *fb = run->w ? run->w->fb : nullptr;
  if (fb == nullptr || fb->pixelSize != 4 || fb->screenMem == nullptr) return false;
  // The memory display is 800 x 480; another size is shown cut or padded.
  int rows = std::min(int(fb->yres), int(SIMWIN_SCREEN_H));
  size_t bytes = size_t(std::min(int(fb->xres), int(SIMWIN_W))) * 4;
  for (int y = 0; y < rows; y++)
    memcpy(dst + size_t(y) * SIMWIN_W * 4, fb->screenMem + size_t(y) * size_t(fb->lineSize), bytes);
  return true;
}

int windowFont(int size) { return size == SIMWIN_TEXT_LARGE ? 0 : 6; }  // bold 24, regular 14

void windowDrawText(void *, uint8_t *pixels, int width, int height, int size, int x, int y,
                    const char *text, int red, int green, int blue) {
  FbScreen rec = pictureRecord(pixels, width, height);
  putString(windowFont(size), x, y, text, red, green, blue, &rec);
}

int windowTextWidth(void *, int size, const char *text) {
  return getStringSpace(windowFont(size), text);
}

// The window's F10, F11, F12 and Print Screen are the service keyboard's
// keys: they act as the keyboard thread does, when the setup has the
// keyboard enabled. Print Screen's "fbgrab" is only recorded here, so the
// simulator saves the screen where the board's screenshot goes.
void windowServiceKey(void *ctx, int code) {
  SimRun *run = static_cast<SimRun *>(ctx);
  std::lock_guard<std::mutex> lk(run->unitMut);
  works *w = run->w;
  if (w == nullptr || w->setup == nullptr) return;
  if (w->setup->EnableKeyb != '1') {
    if (!run->keybNoticeGiven)
      fprintf(stderr, "kavzil-sim: the service keyboard is off (EnableKeyb: 0 in setup.txt)\n");
    run->keybNoticeGiven = true;
    return;
  }
  KeybAct(w, code);
  if (code == KEY_SYSRQ && w->fb) {
    std::string path = kzPath("/tmp/screen.png");
    kzMakeParentDirs(path);
    if (fbSavePng(w->fb, path, FB_SCREEN) == 0)
      fprintf(stderr, "kavzil-sim: screenshot saved as %s\n", path.c_str());
  }
}

void windowClose(void *) {
  fprintf(stderr, "kavzil-sim: window closed: the unit stops\n");
  gStop = true;  // the watcher drops the run flag, as for --seconds
}

bool windowFinished(void *ctx) { return static_cast<SimRun *>(ctx)->unitDone.load(); }

int windowSavePng(void *, const uint8_t *pixels, int width, int height, const char *path) {
  FbScreen rec = pictureRecord(const_cast<uint8_t *>(pixels), width, height);
  return fbSavePng(&rec, path, FB_DRAW);
}

// Presses the front-panel keys of --keys on the simulated GPIO block, at
// their times from the start of the process.
void pressKeys(const SimRun *run) {
  std::vector<KeyPress> keys = run->opt.keys;
  std::sort(keys.begin(), keys.end(),
            [](const KeyPress &a, const KeyPress &b) { return a.atSeconds < b.atSeconds; });
  for (const KeyPress &k : keys) {
    int64_t at = run->startMs + int64_t(k.atSeconds * 1000);
    while (kzNowMs() < at && !gStop.load()) kzSleepMs(10);
    if (gStop.load()) return;
    simGpioSetButton(k.key, true);
    // A tap well past the debounce; a long press well past the long-press time.
    kzSleepMs(k.longPress ? int64_t(TIME_LONG_PRESS * 1000) + 400 : 150);
    simGpioSetButton(k.key, false);
  }
}

// The fonts of the unit under the root: links to this machine's files
// (DejaVu, and PT Sans standing for the two faces under /opt/fonts).
void linkFonts() {
  struct {
    const char *fixed, *real;
  } fonts[] = {
      {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
       "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"},
      {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
       "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"},
      {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf",
       "/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf"},
      {"/opt/fonts/PTS55F_W.ttf", "/usr/share/fonts/truetype/paratype/PTS55F.ttf"},
      {"/opt/fonts/PTS75F_W.ttf", "/usr/share/fonts/truetype/paratype/PTS75F.ttf"},
  };
  for (auto &f : fonts) {
    std::string path = kzPath(f.fixed);
    if (kzFileExists(path)) continue;
    kzMakeParentDirs(path);
    if (symlink(f.real, path.c_str()) != 0)
      fprintf(stderr, "kavzil-sim: cannot link %s: %s\n", path.c_str(), strerror(errno));
  }
}

}  // namespace

int main(int argc, char **argv) {
  SimRun run;
  run.startMs = kzNowMs();
  if (parseArgs(argc, argv, run.opt) != 0) {
    usage();
    return 2;
  }
  // From here on Ctrl-C and SIGTERM stop the unit through its shutdown,
  // even when they come during the start-up.
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);
  kzLogOpen("kavzil-sim");
  kzCmdUse(&kzCmdRecorder);
  // The board's temperature script: CPU on the first line, GPU at
  // characters 5 to 8 of the second.
  kzCmdScript("my_temp", 0, "48.3\ntemp=45.1'C\n");
  // The root is made absolute: the unit runs in the artwork directory, as
  // the board's program runs where its pictures are.
  if (run.opt.root.empty() || run.opt.root[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 1;
    run.opt.root = std::string(cwd) + "/" + run.opt.root;
  }
  for (std::string *file : {&run.opt.snapshot, &run.opt.windowSnapshot}) {
    if (file->empty() || (*file)[0] == '/') continue;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 1;
    *file = std::string(cwd) + "/" + *file;
  }
  kzSetRoot(run.opt.root);
  if (kzMakeParentDirs(kzPath("/opt/set/x")) != 0) {
    fprintf(stderr, "kavzil-sim: cannot create %s/opt/set: %s\n", run.opt.root.c_str(),
            strerror(errno));
    return 1;
  }
  simWriteUnitFiles(kzRoot().empty() ? std::string() : kzRoot());
  linkFonts();
  if (chdir(run.opt.art.c_str()) != 0)
    fprintf(stderr, "kavzil-sim: no artwork in %s (%s): the screen stays without pictures\n",
            run.opt.art.c_str(), strerror(errno));
  // The panel board: the simulated GPIO block with its supervisor chip, and
  // the 800 x 480 memory screen (the display backend's default).
  simGpioReset();
  kzGpioUse(&simGpioBackend);

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
    fprintf(stderr, "kavzil-sim: simulated amplifier on %s\n", simAmpSlavePath(run.amp));
  }
  fprintf(stderr, "kavzil-sim: root %s\n", run.opt.root.c_str());
  // The carrier of --drive/--freq; the window's controls change it later.
  simControlsInit(&run.controls, run.amp, run.opt.driveW, run.opt.freqHz);

  // The window, unless --headless or there is no display to open it on.
  SimWindow *win = nullptr;
  if (!run.opt.headless) {
    const char *x11 = getenv("DISPLAY"), *wayland = getenv("WAYLAND_DISPLAY");
    if ((x11 && *x11) || (wayland && *wayland)) {
      SimWindowHooks wh;
      wh.readScreen = windowReadScreen;
      wh.drawText = windowDrawText;
      wh.textWidth = windowTextWidth;
      wh.serviceKey = windowServiceKey;
      wh.close = windowClose;
      wh.finished = windowFinished;
      wh.savePng = windowSavePng;
      wh.ctx = &run;
      char why[256] = "";
      win = simWindowOpen(wh, &run.controls, why, sizeof why);
      if (win == nullptr) fprintf(stderr, "kavzil-sim: no window (%s): running headless\n", why);
    } else {
      fprintf(stderr,
              "kavzil-sim: no display (DISPLAY and WAYLAND_DISPLAY are unset): running headless\n");
    }
  }
  if (!run.opt.snapshot.empty())
    fprintf(stderr, "kavzil-sim: screen snapshots go to %s (every second and at exit)\n",
            run.opt.snapshot.c_str());
  else if (win == nullptr)
    fprintf(stderr, "kavzil-sim: the screen is not shown: add --snapshot FILE.png to see it\n");
  if (!run.opt.windowSnapshot.empty()) {
    if (win)
      fprintf(stderr, "kavzil-sim: window snapshots go to %s\n", run.opt.windowSnapshot.c_str());
    else
      fprintf(stderr, "kavzil-sim: no window: --window-snapshot saves nothing\n");
  }

  std::thread keys;
  if (!run.opt.keys.empty()) keys = std::thread(pressKeys, &run);

  KavHooks hooks;
  hooks.opened = opened;
  hooks.started = started;
  hooks.stopped = stopped;
  hooks.ctx = &run;
  int rc = 0;
  if (win) {
    // The window's event loop keeps the main thread; the unit runs beside it.
    std::thread unit([&] {
      rc = KavMain(&hooks);
      run.unitDone = true;
    });
    simWindowRun(win, run.opt.windowSnapshot.c_str());
    unit.join();
    simWindowClose(win);
  } else {
    rc = KavMain(&hooks);
  }
  gStop = true;  // a key presser still waiting ends now
  if (keys.joinable()) keys.join();
  if (run.amp) simAmpStop(run.amp);
  return rc;
}
