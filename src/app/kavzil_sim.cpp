// kavzil-sim: the real program (same start-up, threads and shutdown as on
// the board) against simulated peers, with its fixed paths under a root
// directory and the board's shell commands recorded, never run.
//
// The command line (app/sim_options.h; kavzil-sim --help lists it) is read
// and checked whole before anything starts. --seconds counts from the
// start of the process (the start-up itself takes about seven seconds: the
// loading count-down) and never ends the run before the script is done.
// --amp builtin (default) starts the simulated amplifier on a PTY and
// writes its slave path into LinPort of DIR/opt/set/setup.txt; external
// leaves LinPort as the file gives it, for an outside peer. --xcvr builtin
// does the same for the simulated transceiver and SerPort (the unit uses
// it on the "KAV" interface of the bank table), and hands the carrier
// controls to the transceiver, whose carrier drives the amplifier;
// --xcvr absent puts a line with nothing on it there (a client unit fed by
// its server); without either SerPort is used as the file gives it. --setup
// KEY=VALUE writes setup keys (the remote link's role, server and port, so
// that two units on one machine join over loopback) into the root's setup
// file through the program's own setup reader and writer before the unit
// starts; without it the file is used as it is. Without
// --seconds the unit runs until Ctrl-C or until the window is closed. One
// line of decoded status is printed each second on standard output;
// everything else goes to standard error.
// The screen is the simulated 800 x 480 memory display. With a display
// (DISPLAY or WAYLAND_DISPLAY set, SDL2 in the build, no --headless) it is
// shown in the simulator window (sim/window.h) with the panel's buttons and
// the simulator controls; the unit then runs on a second thread and the
// window's event loop on the main thread. --snapshot saves the screen as
// PNG every second and when the stop comes (each file written whole, then
// renamed over the last), --window-snapshot the whole window. The script of --keys and
// --script runs on its own thread: front-panel keys are pressed on the
// simulated GPIO block and held until the button thread has taken them;
// the controls are the window's own (sim/window.h). The background pictures
// are read from --art (the build's generated artwork by default), the fonts
// from the root, where the simulator links the system's files. The board's
// "my_temp" script answers with fixed CPU and GPU temperatures; the USB bus
// and the "lsusb" pipelines show the transceiver and its sound device.
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

#include "app/sim_audio.h"
#include "app/sim_cat.h"
#include "app/sim_options.h"
#include "core/kavmain.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/usb.h"
#include "panel/buttons.h"
#include "panel/fb.h"
#include "panel/keyb.h"
#include "panel/text.h"
#include "sim/amp_sim.h"
#include "sim/gpio_sim.h"
#include "sim/pty.h"
#include "sim/unit_files.h"
#include "sim/usbdev_sim.h"
#include "sim/window.h"
#include "sim/xcvr_sim.h"

namespace {

std::atomic<bool> gStop{false};
void onSignal(int) { gStop = true; }

struct SimRun {
  SimOptions opt;
  std::atomic<bool> up{false};  // the start-up is over
  std::atomic<bool> scriptDone{true};  // every step of the script has run
  int64_t startMs = 0;  // --seconds counts from the start of the process
  SimAmp *amp = nullptr;
  XcvrSim *xcvr = nullptr;  // --xcvr builtin
  SimPty deadLine;          // --xcvr absent
  SimCatPeers cat;  // --ft817, --catport
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

// Puts `port` into the `key` line (LinPort, SerPort) of the setup file,
// creating the file with the start values first when the root has none.
int setPortKey(const char *key, const std::string &port, size_t room) {
  if (port.size() >= room) {
    fprintf(stderr, "kavzil-sim: PTY path %s is longer than %s holds (%zu characters)\n",
            port.c_str(), key, room - 1);
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
  const std::string head = std::string(key) + ": ";
  std::string out, line;
  bool done = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    line = text.substr(pos, end - pos);
    if (line.compare(0, head.size(), head) == 0) {
      line = head + port;
      done = true;
    }
    out += line + "\n";
    pos = end + 1;
  }
  if (!done) out += head + port + "\n";
  return kzSaveFileAtomic(path, out);
}

// Writes the --setup keys into the root's setup file through the program's
// own reader and writer: the file is read as the unit reads it, the keys
// are set as its lines would set them, and the whole file is saved as the
// unit saves it. A file that cannot be read, or has damaged lines, is not
// rewritten (the save would drop what the reader could not take).
int applySetupKeys(const SimOptions &opt) {
  auto w = std::make_unique<works>();
  SetupRec rec;
  w->setup = &rec;
  readSetup(w.get());
  if (w->setupUnread.load() || w->damagedFiles[0] != '\0') {
    fprintf(stderr, "kavzil-sim: %s cannot be read whole (see the log): --setup leaves it as it is\n",
            kzPath("/opt/set/setup.txt").c_str());
    return -1;
  }
  for (const auto &[key, value] : opt.setup) {
    std::string why;
    if (setupSetKey(w.get(), key.c_str(), value.c_str(), why) != 0) {
      fprintf(stderr, "kavzil-sim: --setup %s=%s: %s\n", key.c_str(), value.c_str(), why.c_str());
      return -1;
    }
    fprintf(stderr, "kavzil-sim: setup %s: %s\n", key.c_str(), value.c_str());
  }
  return writeSetup(w.get()) == 0 ? 0 : -1;
}

void printStatus(works *w, const SimRun *run) {
  char xcvr[80] = "";
  if (run->xcvr) {
    // The simulated transceiver as its operator sees it.
    const XcvrSimState st = xcvrSimState(run->xcvr);
    snprintf(xcvr, sizeof xcvr, "  xcvr %c %u Hz %s %s", st.activeVfo == 1 ? 'B' : 'A',
             st.vfoHz[st.activeVfo == 1 ? 1 : 0], xcvrSimModeName(st.mode),
             st.transmit ? "TX" : "rx");
  }
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
         "fan %3d%%  freq %lu Hz%s  errors:%s\n",
         w->pwrIn.load(), w->pwrFwd.load(), w->pwrRefl.load(), w->swr.load(), w->temp1.load(),
         w->temp2.load(), w->fanSent.load(), (unsigned long)w->freqHz.load(), xcvr,
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
// second, and a last time when the stop comes. It starts before the start
// values are written: the run flag reads 0 until then, and a stop asked
// for meanwhile waits for it to go up (dropping it earlier would be undone
// by the start values).
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
      if (w->running.load() != 0) {
        seenRunning = true;
      } else if (seenRunning) {
        snapshot(w, run);  // the unit stops on its own (the service keyboard's F12)
        break;
      }
      int64_t now = kzNowMs();
      bool timeUp = run->opt.seconds > 0 && now - start >= int64_t(run->opt.seconds * 1000) &&
                    run->scriptDone.load();
      if (gStop.load() || timeUp) {
        if (!seenRunning) continue;
        // The last status line and snapshot show the unit as it was asked
        // to stop, not the closing screen. Then the same path as the
        // service keyboard's close key: the run flag drops and main shuts
        // down, joining every thread.
        if (!run->opt.quiet && run->up.load()) printStatus(w, run);
        snapshot(w, run);
        w->running = 0;
        break;
      }
      if (now >= nextTick) {
        nextTick += 1000;
        if (!run->opt.quiet && run->up.load()) printStatus(w, run);
        snapshot(w, run);
      }
    }
  });
  kzNameThread(run->status, "sim-watch");
}

void started(works *, void *ctx) { static_cast<SimRun *>(ctx)->up = true; }

void stopped(works *w, void *ctx) {
  SimRun *run = static_cast<SimRun *>(ctx);
  if (run->status.joinable()) run->status.join();
  std::lock_guard<std::mutex> lk(run->unitMut);
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
  // The shown screen is copied whole, never in the middle of a frame being
  // shown (fbReadScreen), into a buffer kept for the window's thread.
  static std::vector<uint8_t> shown;
  shown.resize(size_t(fb->memSize));
  fbReadScreen(fb, shown.data());
  // The memory display is 800 x 480; another size is shown cut or padded.
  int rows = std::min(int(fb->yres), int(SIMWIN_SCREEN_H));
  size_t bytes = size_t(std::min(int(fb->xres), int(SIMWIN_W))) * 4;
  for (int y = 0; y < rows; y++)
    memcpy(dst + size_t(y) * SIMWIN_W * 4, shown.data() + size_t(y) * size_t(fb->lineSize), bytes);
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

// The button thread reports what it took from a button straight to the
// simulated GPIO block, which holds a scripted press until then.
static_assert(int(GPIO_KEY_UP) == int(SIMGPIO_TAKEN_UP) &&
                  int(GPIO_KEY_DOWN) == int(SIMGPIO_TAKEN_DOWN) &&
                  int(GPIO_KEY_LONG) == int(SIMGPIO_TAKEN_LONG),
              "the button thread's reports are the block's");

// How long one stage of a scripted press may wait for the button thread.
constexpr int kPressTimeoutMs = 15000;

// The script of --keys and --script, on its own thread: each step at its
// time after the start of the process, never before the step listed
// before it is done. A front-panel key also waits for the end of the
// start-up and is held on the simulated GPIO block until the button thread
// has taken it; a control acts as the window's key does, a service key as
// the window's. Each step is reported on standard error with the times it
// began and ended, the end of the script with "kavzil-sim: script done".
void runScript(SimRun *run) {
  for (const SimStep &s : run->opt.script) {
    int64_t at = run->startMs + int64_t(s.atSeconds * 1000);
    while (!gStop.load() && (kzNowMs() < at || (s.key && !run->up.load()))) kzSleepMs(10);
    if (gStop.load()) break;
    double ran = double(kzNowMs() - run->startMs) / 1000.0;
    if (s.key) {
      int rc = simGpioPress(s.key, s.longPress, kPressTimeoutMs);
      if (rc == -2) break;
      if (rc == -1)
        fprintf(stderr, "kavzil-sim: script %s: the button thread did not take the key within %d s\n",
                s.text.c_str(), kPressTimeoutMs / 1000);
    } else if (s.action) {
      simControlsAct(&run->controls, s.action);
    } else if (s.service) {
      windowServiceKey(run, s.service);
    }
    fprintf(stderr, "kavzil-sim: script %s ran at %.1f s, done at %.1f s\n", s.text.c_str(), ran,
            double(kzNowMs() - run->startMs) / 1000.0);
  }
  run->scriptDone = true;
  if (!gStop.load()) fprintf(stderr, "kavzil-sim: script done\n");
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
  run.opt.art = KZ_ART_DIR;
  switch (simParseOptions(argc, argv, run.opt)) {
    case SIM_OPTIONS_HELP: return 0;
    case SIM_OPTIONS_BAD: return 2;
    default: break;
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
  // A unit with the transceiver's USB device and its sound device: the
  // remote readiness check gets as far as the CAT port search.
  const KzUsbId usbDevices[] = {{0x1721, 0x061A}, {0x0d8c, 0x01af}};
  kzUsbSimSetDevices(usbDevices, 2);
  // Behind the transceiver's USB id: its I/Q stream (a few tones and noise),
  // read when the unit's sample reader runs (EnableFFT).
  UsbDevSim *usbDev = usbDevSimStart();
  kzCmdScript("lsusb|grep 0d8c:01af", 0, "1\n");
  kzCmdScript("lsusb | grep 0d8c", 0, "Bus 001 Device 005: ID 0d8c:01af USB Audio Device\n");
  // The root is made absolute: the unit runs in the artwork directory, as
  // the board's program runs where its pictures are.
  if (run.opt.root.empty() || run.opt.root[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 1;
    run.opt.root = std::string(cwd) + "/" + run.opt.root;
  }
  for (std::string *file : {&run.opt.snapshot, &run.opt.windowSnapshot, &run.opt.audioIn,
                            &run.opt.audioOut}) {
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
  if (simCatAttach(run.opt, run.cat) != 0) return 1;
  if (!run.opt.setup.empty() && applySetupKeys(run.opt) != 0) {
    fprintf(stderr, "kavzil-sim: cannot write the --setup keys into the setup file\n");
    simCatDetach(run.cat);
    return 1;
  }
  // Sound always goes to the simulator's own plugin devices, never to the
  // machine's.
  std::string audioWhy;
  SimAudioIn audioIn;
  audioIn.path = run.opt.audioIn;
  if (!run.opt.audioIn.empty()) simAudioCheckInput(run.opt.audioIn, audioIn);
  SimAudio *audio = simAudioStart(run.opt.root, audioIn, run.opt.audioStart, run.opt.audioOut,
                                  audioWhy);
  if (audio == nullptr) {
    fprintf(stderr, "kavzil-sim: sound: %s\n", audioWhy.c_str());
    return 1;
  }
  if (!run.opt.audioIn.empty())
    fprintf(stderr, "kavzil-sim: %s goes into the sound capture after %g s\n",
            run.opt.audioIn.c_str(), run.opt.audioStart);
  if (!run.opt.audioOut.empty())
    fprintf(stderr, "kavzil-sim: the sound playback goes to %s\n", run.opt.audioOut.c_str());
  linkFonts();
  if (chdir(run.opt.art.c_str()) != 0)
    fprintf(stderr, "kavzil-sim: no artwork in %s (%s): the screen stays without pictures\n",
            run.opt.art.c_str(), strerror(errno));
  // The panel board: the simulated GPIO block with its supervisor chip, and
  // the 800 x 480 memory screen (the display backend's default).
  simGpioReset();
  kzGpioUse(&simGpioBackend);
  GpioSetKeyObserver(simGpioButtonTaken);

  if (run.opt.builtinAmp) {
    SimAmpOptions ao;
    ao.model = run.opt.model;
    ao.antennaModels = true;  // dummy load, dipole and random wire on ports 1-3
    run.amp = simAmpStart(ao);
    if (run.amp == nullptr) {
      fprintf(stderr, "kavzil-sim: cannot start the simulated amplifier\n");
      return 1;
    }
    if (setPortKey("LinPort", simAmpSlavePath(run.amp), sizeof(SetupRec::LinPort)) != 0) {
      fprintf(stderr, "kavzil-sim: cannot write LinPort into the setup file\n");
      simAmpStop(run.amp);
      return 1;
    }
    fprintf(stderr, "kavzil-sim: simulated amplifier on %s\n", simAmpSlavePath(run.amp));
  }
  if (run.opt.builtinXcvr) {
    run.xcvr = xcvrSimStart();
    if (run.xcvr == nullptr) {
      fprintf(stderr, "kavzil-sim: cannot start the simulated transceiver\n");
      if (run.amp) simAmpStop(run.amp);
      return 1;
    }
    if (setPortKey("SerPort", xcvrSimSlavePath(run.xcvr), sizeof(SetupRec::SerPort)) != 0) {
      fprintf(stderr, "kavzil-sim: cannot write SerPort into the setup file\n");
      xcvrSimStop(run.xcvr);
      if (run.amp) simAmpStop(run.amp);
      return 1;
    }
    // Its carrier is the amplifier's drive.
    if (SimAmp *amp = run.amp)
      xcvrSimSetCarrierHook(run.xcvr, [amp](double watts, uint32_t hz) {
        simAmpSetDrive(amp, watts, hz);
      });
    fprintf(stderr, "kavzil-sim: simulated transceiver on %s\n", xcvrSimSlavePath(run.xcvr));
  }
  if (run.opt.absentXcvr) {
    // A serial line with nothing on it, as on a unit whose transceiver is
    // far away: the link opens and hears nothing.
    if (!simPtyOpen(&run.deadLine) ||
        setPortKey("SerPort", run.deadLine.slavePath, sizeof(SetupRec::SerPort)) != 0) {
      fprintf(stderr, "kavzil-sim: cannot put a silent line into SerPort\n");
      simPtyClose(&run.deadLine);
      if (run.amp) simAmpStop(run.amp);
      return 1;
    }
    fprintf(stderr, "kavzil-sim: no transceiver on SerPort %s\n", run.deadLine.slavePath.c_str());
  }
  fprintf(stderr, "kavzil-sim: root %s\n", run.opt.root.c_str());
  // The carrier of --drive/--freq; the window's controls change it later
  // (on the transceiver, when there is one).
  simControlsInit(&run.controls, run.amp, run.opt.driveW, run.opt.freqHz);
  if (run.xcvr) simControlsAttachXcvr(&run.controls, run.xcvr);
  if (run.cat.ft817) simControlsAttachFt817(&run.controls, run.cat.ft817);

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
    fprintf(stderr, "kavzil-sim: screen snapshots go to %s (every second and at the stop)\n",
            run.opt.snapshot.c_str());
  else if (win == nullptr)
    fprintf(stderr, "kavzil-sim: the screen is not shown: add --snapshot FILE.png to see it\n");
  if (!run.opt.windowSnapshot.empty()) {
    if (win)
      fprintf(stderr, "kavzil-sim: window snapshots go to %s\n", run.opt.windowSnapshot.c_str());
    else
      fprintf(stderr, "kavzil-sim: no window: --window-snapshot saves nothing\n");
  }

  std::thread script;
  if (!run.opt.script.empty()) {
    run.scriptDone = false;
    script = std::thread(runScript, &run);
    kzNameThread(script, "sim-script");
  }

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
    kzNameThread(unit, "sim-unit");
    simWindowRun(win, run.opt.windowSnapshot.c_str());
    unit.join();
    simWindowClose(win);
  } else {
    rc = KavMain(&hooks);
  }
  gStop = true;  // a script step still waiting ends now
  simGpioCancelPresses();
  if (script.joinable()) script.join();
  usbDevSimStop(usbDev);  // the reader has ended with the unit
  if (run.xcvr) xcvrSimStop(run.xcvr);  // before the amplifier its carrier drives
  simPtyClose(&run.deadLine);
  if (run.amp) simAmpStop(run.amp);
  simCatDetach(run.cat);
  simAudioStop(audio);
  return rc;
}
