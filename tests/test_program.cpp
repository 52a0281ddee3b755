// The whole program: kavzil-sim as a child process with its amplifier port
// attached to a simulated micro-controller owned by the test, and the
// thread table's start operations. Also the simulator window's controls,
// which steer the simulated amplifier without any display.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <chrono>
#include <fcntl.h>
#include <linux/input.h>
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "core/setup.h"
#include "core/threads.h"
#include "core/timer.h"
#include "core/works.h"
#include "panel/buttons.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/gpio.h"
#include "platform/paths.h"
#include "sim/amp_sim.h"
#include "sim/ft817_sim.h"
#include "sim/xcvr_sim.h"
#include "sim/gpio_sim.h"
#include "sim/window.h"
#include "support.h"

namespace {

// Runs kavzil-sim with an external amplifier peer under `root` for at most
// `seconds`, its output discarded; returns the wait status (-1 when it
// could not be started).
int runSimulatedUnit(const std::string &root, const char *seconds) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    kzExecProgram(KZ_SIM_BINARY, {"--amp", "external", "--root", root, "--seconds", seconds});
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

// Starts kavzil-sim with `args` (after the program name), its output in
// `logPath`; returns the child's pid or -1.
pid_t startSimulatedUnit(const std::vector<std::string> &args, const std::string &logPath) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(log, 1);
  dup2(log, 2);
  kzExecProgram(KZ_SIM_BINARY, args);
}

// An RGB picture read back from a PNG file.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  bool load(const std::string &path) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> buf(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, buf.data(), 0, nullptr)) {
      png_image_free(&img);
      return false;
    }
    width = int(img.width);
    height = int(img.height);
    rgb.swap(buf);
    return true;
  }
  bool is(int x, int y, int r, int g, int b) const {
    const uint8_t *p = rgb.data() + (size_t(y) * size_t(width) + size_t(x)) * 3;
    return p[0] == r && p[1] == g && p[2] == b;
  }
  // Pixels of [x0, x1) x [y0, y1) in colour (r, g, b).
  int count(int x0, int y0, int x1, int y1, int r, int g, int b) const {
    int n = 0;
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++) n += is(x, y, r, g, b) ? 1 : 0;
    return n;
  }
};

// The settings menu list (state 1) as the panel draws it without the status
// overlay: the grey band over rows 285 to 364 with its lighter highlight
// over rows 311 to 339, and the list's key bar: no underline under key 1
// (the main screen's bar has one) and the orange "UP" of key 3, which the
// editing state blanks for an entry that is not an address.
bool showsMenuList(const Picture &p) {
  if (p.width != 800 || p.height != 480) return false;
  // x 2 to 15 on the band's rows: left of the texts.
  bool band = p.count(2, 285, 16, 311, 40, 40, 40) == 14 * 26 &&
              p.count(2, 311, 16, 340, 80, 80, 80) == 14 * 29 &&
              p.count(2, 340, 16, 365, 40, 40, 40) == 14 * 25;
  bool bar = p.is(60, 479, 40, 40, 40) && p.is(130, 450, 120, 120, 120) &&
             p.is(60, 420, 120, 120, 120);
  bool up = p.count(264, 422, 396, 452, 250, 150, 0) > 20;
  return band && bar && up;
}

}  // namespace

TEST(Program, ExternalAmplifierPeerSeesTheWireAndTheUnitStopsCleanly) {
  KzTempRoot tmp("kz_prog");
  std::string root = tmp.dir;
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  // The outside peer is attached through LinPort of the setup file.
  std::string setup = std::string("LinPort: ") + simAmpSlavePath(amp) + "\nEnableKeyb: 0\nWebSocket: 0\n";
  ASSERT_EQ(kzSaveFileAtomic(root + "/opt/set/setup.txt", setup), 0);

  // The unit runs until the peer has seen more than 40 commands (however
  // long a loaded machine takes), then is stopped as Ctrl-C stops it.
  pid_t pid = startSimulatedUnit({"--amp", "external", "--root", root, "--seconds", "300"},
                                 root + "/sim.log");
  ASSERT_GT(pid, 0);
  bool enough = simAmpWaitReceived(amp, 41, 120000) > 40;
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  auto r = simAmpReceived(amp);
  simAmpStop(amp);
  ASSERT_TRUE(enough);
  ASSERT_GT(r.size(), 40u);
  EXPECT_EQ(r[0], "ST;");
  EXPECT_EQ(r[1], "VSM;");
  EXPECT_EQ(r[2], "ST;");
  EXPECT_NE(std::find(r.begin(), r.end(), "MR0;"), r.end());
  // Every other command is the status poll, from the first to the last.
  for (size_t i = 0; i < r.size(); i += 2) EXPECT_EQ(r[i], "ST;") << i;
  // The setup file was only read: nothing at start or stop rewrites it.
  std::string text;
  ASSERT_EQ(kzReadFile(root + "/opt/set/setup.txt", text), 0);
  EXPECT_EQ(text, setup);
}

TEST(Threads, StartConditionsAndTheRemoteGroup) {
  KzTempRoot root("kz_threads");
  KzLogCapture log('T');
  auto w = std::make_unique<works>();
  SetupRec rec;
  w->setup = &rec;
  initSetup(w.get());
  auto seen = [&](const std::string &s) { return log.count(s) > 0; };

  rec.WebSocket = '2';
  StartThreadSoket(w.get());
  EXPECT_TRUE(seen(">>>>>>>>>> SOCKET CLIENT start\n"));
  // The client thread runs until the run flag drops.
  w->running = 0;
  JoinAllThreads();
  w->running = 1;
  size_t before = log.lines.size();
  rec.WebSocket = '0';
  StartThreadSoket(w.get());
  EXPECT_EQ(log.lines.size(), before);

  // The remote group starts what reads '0', leaves what reads '1', saves
  // (with the run flag down, so every thread started ends at once).
  w->running = 0;
  rec.EnableWrite = '0';
  rec.EnableRead = '1';
  rec.EnableCAT = '0';
  rec.EnableFFT = '0';
  StartThreadCommRemote(w.get());
  EXPECT_TRUE(seen("Th_scrivi start\n"));
  EXPECT_FALSE(seen("Th_leggi start\n"));
  EXPECT_EQ(rec.EnableWrite, '1');
  EXPECT_EQ(rec.EnableCAT, '1');
  EXPECT_EQ(w->panelCmd.load(), 149);
  std::string text;
  ASSERT_EQ(kzReadFile(root.file("setup.txt"), text), 0);
  EXPECT_NE(text.find("EnableWrite: 1\n"), std::string::npos);

  ExitThreadRemote(w.get());
  EXPECT_EQ(rec.EnableRead, '0');
  EXPECT_EQ(w->panelCmd.load(), 165);
  ASSERT_EQ(kzReadFile(root.file("setup.txt"), text), 0);
  EXPECT_NE(text.find("EnableRead: 0\n"), std::string::npos);
  // Both saves went between the remount commands.
  auto cmds = kzCmdRecorded();
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(cmds[0], "mount -o remount defaults,rw /opt/set");
  EXPECT_EQ(cmds[1], "mount -v -n -o remount -r /opt/set");
  // The playback thread it started has ended with its byte; joined here.
  w->running = 0;
  JoinAllThreads();
}

TEST(Program, CloseKeyOfTheServiceKeyboardEndsTheUnitCleanly) {
  KzTempRoot tmp("kz_prog_kbd");
  std::string root = tmp.dir;
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  std::string setup = std::string("LinPort: ") + simAmpSlavePath(amp) + "\nEnableKeyb: 1\nWebSocket: 0\n";
  ASSERT_EQ(kzSaveFileAtomic(root + "/opt/set/setup.txt", setup), 0);
  // A keyboard whose first key-down is F12 (with its release).
  std::string dev = root + "/dev/input/by-id/usb-test-event-kbd";
  kzMakeParentDirs(dev);
  std::string events;
  for (int value : {1, 0}) {
    input_event ev{};
    ev.type = EV_KEY;
    ev.code = KEY_F12;
    ev.value = value;
    events.append(reinterpret_cast<const char *>(&ev), sizeof ev);
  }
  ASSERT_EQ(kzSaveFileAtomic(dev, events), 0);

  auto t0 = std::chrono::steady_clock::now();
  int status = runSimulatedUnit(root, "60");
  ASSERT_NE(status, -1);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  simAmpStop(amp);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Start-up (about 7 s) and the closing screen (2 s), far from the 60 s.
  EXPECT_LT(took, 30.0);
}

TEST(Program, HeadlessMenuEditIsStoredSentAndShown) {
  KzTempRoot tmp("kz_prog_menu");
  std::string root = tmp.dir;
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  std::string setup = std::string("LinPort: ") + simAmpSlavePath(amp) + "\nEnableKeyb: 0\nWebSocket: 0\n";
  ASSERT_EQ(kzSaveFileAtomic(root + "/opt/set/setup.txt", setup), 0);
  std::string shot = root + "/screen.png", log = root + "/sim.log";
  // After the start-up count-down (about 7 s): SET opens the menu list,
  // DOWN twice reaches "FREQ" / "Period (ms)" (index 2, start value 10),
  // ENTER edits it, + + - + makes it 30, ENTER stores it and goes back to
  // the list.
  const char *keys = "9.0:5,9.5:4,10.0:4,10.5:6,11.0:5,11.5:5,12.0:4,12.5:5,13.0:6";
  pid_t pid = startSimulatedUnit({"--headless", "--amp", "external", "--root", root, "--snapshot",
                                  shot, "--keys", keys, "--seconds", "40", "--quiet"},
                                 log);
  ASSERT_GT(pid, 0);
  // Each key is held until the button thread has taken it, however late
  // that is on a busy machine; the simulator says when the last one was.
  std::string simLog;
  EXPECT_TRUE(kzWaitFor(
      [&] {
        return kzReadFile(log, simLog) == 0 &&
               simLog.find("kavzil-sim: script done") != std::string::npos;
      },
      60000));
  // Snapshots are written once a second, each whole; one taken after the
  // last key must show the list again.
  Picture pic;
  auto done = std::chrono::steady_clock::now();
  bool menuSeen = kzWaitFor(
      [&] {
        return std::chrono::steady_clock::now() - done > std::chrono::milliseconds(1500) &&
               pic.load(shot) && showsMenuList(pic);
      },
      15000);
  // SIGTERM stops the unit through the same shutdown as --seconds.
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  auto received = simAmpReceived(amp);
  SimAmpState st = simAmpState(amp);
  simAmpStop(amp);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::string text;
  ASSERT_EQ(kzReadFile(root + "/opt/set/setup.txt", text), 0);
  EXPECT_NE(text.find("\nFreqPeriodTime: 30\n"), std::string::npos) << text;
  // The confirmed period went to the amplifier's frequency sensor.
  EXPECT_NE(std::find(received.begin(), received.end(), "FS00003;"), received.end());
  EXPECT_EQ(st.sensorPeriod, 3);
  if (!menuSeen) {
    std::string sim;
    kzReadFile(log, sim);
    std::string keep = "/tmp/kz_prog_menu_last.png";
    if (pic.width > 0) std::filesystem::copy_file(shot, keep,
                                                  std::filesystem::copy_options::overwrite_existing);
    ADD_FAILURE() << "no snapshot showed the menu list after the edit (last one kept as " << keep
                  << ")\n" << sim.substr(sim.size() > 3000 ? sim.size() - 3000 : 0);
  }
}

TEST(Program, StopAskedDuringTheStartUpEndsTheUnitCleanlyOnceItIsUp) {
  KzTempRoot tmp("kz_prog_early");
  std::string root = tmp.dir, log = root + "/sim.log";
  ASSERT_EQ(kzSaveFileAtomic(root + "/opt/set/setup.txt", "WebSocket: 0\n"), 0);
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = startSimulatedUnit({"--headless", "--root", root, "--quiet"}, log);
  ASSERT_GT(pid, 0);
  // As soon as the simulator has its handlers (it names the root), long
  // before the start values are in place.
  std::string text;
  ASSERT_TRUE(kzWaitFor(
      [&] { return kzReadFile(log, text) == 0 && text.find("kavzil-sim: root") != std::string::npos; },
      5000));
  kill(pid, SIGTERM);
  int status = 0;
  bool ended = kzWaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30000);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(ended) << "the unit never stopped";
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The start-up runs to its end (about 7 s), then the closing screen (2 s).
  EXPECT_GT(took, 6.0);
  ASSERT_EQ(kzReadFile(log, text), 0);
  EXPECT_NE(text.find("Closed!"), std::string::npos);
}

TEST(SimControls, CarrierFrequencyLoadsAndFaultsSteerTheSimulatedAmplifier) {
  SimAmpOptions ao;
  ao.antennaModels = true;
  SimAmp *amp = simAmpStart(ao);
  ASSERT_NE(amp, nullptr);
  SimControls c;
  // No --drive: the carrier is off, ready at 2.5 W; the counter reads 0.
  simControlsInit(&c, amp, 0, 14070000);
  EXPECT_FALSE(c.carrier);
  EXPECT_DOUBLE_EQ(c.driveW, 2.5);
  EXPECT_EQ(simAmpState(amp).freqCounter, 0u);
  EXPECT_EQ(simControlsAct(&c, SIMC_CARRIER), 1);
  EXPECT_EQ(simAmpState(amp).freqCounter, 14070000u);
  EXPECT_NEAR(simAmpState(amp).inW, 2.5, 1e-9);

  // Drive steps: to the listed powers around a value that is not listed,
  // and nothing past the ends.
  simControlsInit(&c, amp, 2.2, 14070000);
  EXPECT_TRUE(c.carrier);
  EXPECT_EQ(simControlsAct(&c, SIMC_DRIVE_UP), 1);
  EXPECT_DOUBLE_EQ(c.driveW, 2.5);
  EXPECT_NEAR(simAmpState(amp).inW, 2.5, 1e-9);
  simControlsAct(&c, SIMC_DRIVE_DOWN);
  simControlsAct(&c, SIMC_DRIVE_DOWN);
  EXPECT_DOUBLE_EQ(c.driveW, 1.5);
  for (int i = 0; i < 20; i++) simControlsAct(&c, SIMC_DRIVE_DOWN);
  EXPECT_DOUBLE_EQ(c.driveW, 0.1);
  EXPECT_EQ(simControlsAct(&c, SIMC_DRIVE_DOWN), 0);
  for (int i = 0; i < 20; i++) simControlsAct(&c, SIMC_DRIVE_UP);
  EXPECT_DOUBLE_EQ(c.driveW, 10.0);
  EXPECT_EQ(simControlsAct(&c, SIMC_DRIVE_UP), 0);
  // Carrier off keeps the chosen power for the next time.
  simControlsAct(&c, SIMC_CARRIER);
  EXPECT_EQ(simAmpState(amp).inW, 0.0);
  simControlsAct(&c, SIMC_CARRIER);
  EXPECT_NEAR(simAmpState(amp).inW, 10.0, 1e-9);

  // Bands: up and down to the next band's frequency; the counter follows.
  EXPECT_STREQ(simControlsBandName(c.freqHz), "20m");
  simControlsAct(&c, SIMC_BAND_UP);
  EXPECT_EQ(c.freqHz, 18120000u);
  EXPECT_EQ(simAmpState(amp).freqCounter, 18120000u);
  simControlsAct(&c, SIMC_BAND_DOWN);
  simControlsAct(&c, SIMC_BAND_DOWN);
  EXPECT_EQ(c.freqHz, 10120000u);
  EXPECT_STREQ(simControlsBandName(c.freqHz), "30m");
  for (int i = 0; i < 20; i++) simControlsAct(&c, SIMC_BAND_UP);
  EXPECT_EQ(c.freqHz, 50150000u);
  EXPECT_EQ(simControlsAct(&c, SIMC_BAND_UP), 0);
  for (int i = 0; i < 20; i++) simControlsAct(&c, SIMC_BAND_DOWN);
  EXPECT_EQ(c.freqHz, 1840000u);
  // Fine steps of 1 kHz, then 10 kHz; never below 1 MHz.
  simControlsAct(&c, SIMC_FREQ_UP);
  EXPECT_EQ(c.freqHz, 1841000u);
  simControlsAct(&c, SIMC_STEP);
  EXPECT_EQ(simControlsStepHz(&c), 10000u);
  simControlsAct(&c, SIMC_FREQ_DOWN);
  EXPECT_EQ(c.freqHz, 1831000u);
  EXPECT_EQ(simAmpState(amp).freqCounter, 1831000u);
  simControlsAct(&c, SIMC_STEP);
  simControlsAct(&c, SIMC_STEP);
  EXPECT_EQ(simControlsStepHz(&c), 100u);
  for (int i = 0; i < 3; i++) simControlsAct(&c, SIMC_STEP);
  EXPECT_EQ(simControlsStepHz(&c), 100000u);
  for (int i = 0; i < 20; i++) simControlsAct(&c, SIMC_FREQ_DOWN);
  EXPECT_EQ(c.freqHz, 1000000u);
  EXPECT_STREQ(simControlsBandName(c.freqHz), "---");
  // From between two bands, up and down go to the nearer band on each side.
  simControlsInit(&c, amp, 10.0, 12000000);
  simControlsAct(&c, SIMC_BAND_UP);
  EXPECT_EQ(c.freqHz, 14200000u);
  simControlsInit(&c, amp, 10.0, 12000000);
  simControlsAct(&c, SIMC_BAND_DOWN);
  EXPECT_EQ(c.freqHz, 10120000u);

  // Loads of the selected antenna (port 0 at power-on; the tuner is
  // bypassed, so the transmitter sees the load itself): the model, then
  // 50, 25, 100 and 200+j100 ohm, then the model again.
  EXPECT_EQ(c.port, 0);
  EXPECT_STREQ(simControlsLoadName(0, c.load[0]), "dummy load");
  const double want[] = {50, 25, 100, 200};
  for (double r : want) {
    simControlsAct(&c, SIMC_LOAD);
    std::complex<double> z = simAmpLoadSeen(amp);
    EXPECT_NEAR(z.real(), r, 1e-6) << simControlsLoadName(0, c.load[0]);
    EXPECT_NEAR(z.imag(), r == 200 ? 100 : 0, 1e-6);
  }
  EXPECT_STREQ(simControlsLoadName(0, c.load[0]), "200+j100 ohm");
  simControlsAct(&c, SIMC_LOAD);
  EXPECT_EQ(c.load[0], 0);
  EXPECT_NEAR(simAmpLoadSeen(amp).real(), 50, 1e-6);  // the dummy load's model
  // The port key moves on to the next port and wraps; ports keep their loads.
  simControlsAct(&c, SIMC_PORT);
  simControlsAct(&c, SIMC_LOAD);
  EXPECT_EQ(c.load[1], 1);
  EXPECT_EQ(c.load[0], 0);
  EXPECT_STREQ(simControlsLoadName(1, 0), "dipole");
  simControlsAct(&c, SIMC_PORT);
  simControlsAct(&c, SIMC_PORT);
  EXPECT_EQ(c.port, 0);

  // Faults: forced temperatures and their release, the fault bits one at a
  // time and back to none, a protection trip, silence.
  simControlsAct(&c, SIMC_HOT);
  EXPECT_DOUBLE_EQ(simAmpState(amp).temp1, kSimHotCelsius);
  EXPECT_DOUBLE_EQ(simAmpState(amp).temp2, kSimHotCelsius);
  simControlsAct(&c, SIMC_HOT);
  EXPECT_LT(simAmpState(amp).temp1, 40.0);
  for (int bit = 0; bit < 7; bit++) {
    simControlsAct(&c, SIMC_FAULT);
    EXPECT_EQ(simAmpState(amp).faultBits & 0x7F, 1u << bit) << simControlsFaultName(bit);
  }
  EXPECT_STREQ(simControlsFaultName(c.faultBit), "band");
  simControlsAct(&c, SIMC_FAULT);
  EXPECT_EQ(simAmpState(amp).faultBits & 0x7F, 0u);  // bit 7: the power-on restart mark
  EXPECT_STREQ(simControlsFaultName(c.faultBit), "none");
  EXPECT_FALSE(simAmpState(amp).tripped);
  simControlsAct(&c, SIMC_TRIP);
  EXPECT_TRUE(simAmpState(amp).tripped);
  EXPECT_EQ(c.trips, 1);
  simControlsAct(&c, SIMC_SILENT);
  EXPECT_TRUE(c.silent);
  simControlsAct(&c, SIMC_SILENT);
  EXPECT_FALSE(c.silent);
  simAmpStop(amp);

  // An outside amplifier: nothing to steer, nothing changes.
  SimControls outside;
  simControlsInit(&outside, nullptr, 2.5, 7100000);
  for (int a = SIMC_NONE; a < SIMC_ACTIONS; a++) EXPECT_EQ(simControlsAct(&outside, a), 0) << a;
  EXPECT_EQ(outside.freqHz, 7100000u);
}

// With a transceiver attached the carrier controls are its own, and its
// carrier is what reaches the amplifier.
TEST(SimControls, CarrierControlsSteerAnAttachedTransceiver) {
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  XcvrSim *x = xcvrSimStart();
  ASSERT_NE(x, nullptr);
  xcvrSimSetCarrierHook(x, [amp](double w, uint32_t hz) { simAmpSetDrive(amp, w, hz); });
  SimControls c;
  simControlsInit(&c, amp, 0, 14200000);
  simControlsAttachXcvr(&c, x);
  EXPECT_EQ(xcvrSimState(x).vfoHz[0], 14200000u);
  EXPECT_EQ(simControlsAct(&c, SIMC_CARRIER), 1);
  EXPECT_TRUE(xcvrSimState(x).transmit);
  EXPECT_TRUE(kzWaitFor([&] { return simAmpState(amp).inW > 2.4; }, 5000));
  simControlsAct(&c, SIMC_BAND_UP);
  simControlsAct(&c, SIMC_FREQ_UP);  // 1 kHz
  simControlsAct(&c, SIMC_MODE);
  simControlsAct(&c, SIMC_DRIVE_UP);
  SimControls seen = simControlsCopy(&c);
  EXPECT_TRUE(seen.carrier);
  EXPECT_EQ(seen.freqHz, xcvrSimState(x).vfoHz[0]);
  EXPECT_GT(seen.freqHz, 18000000u);
  EXPECT_EQ(seen.freqHz % 10000, 1000u);
  EXPECT_EQ(seen.xcvrMode, 2);  // USB -> AM
  EXPECT_DOUBLE_EQ(seen.driveW, 3.0);
  EXPECT_TRUE(kzWaitFor([&] { return simAmpState(amp).freqCounter == seen.freqHz; }, 5000));
  simControlsAct(&c, SIMC_VFO);
  EXPECT_EQ(simControlsCopy(&c).xcvrVfo, 1);
  simControlsAct(&c, SIMC_CARRIER);
  EXPECT_TRUE(kzWaitFor([&] { return simAmpState(amp).inW == 0.0; }, 5000));
  xcvrSimStop(x);
  // An FT-817 follows the carrier's frequency; the mode control steps its
  // mode byte.
  Ft817Sim *f = ft817SimStart(7100000, 0);
  ASSERT_NE(f, nullptr);
  SimControls c2;
  simControlsInit(&c2, amp, 2.5, 14200000);
  simControlsAttachFt817(&c2, f);
  EXPECT_EQ(ft817SimVfo(f), 14200000u);
  simControlsAct(&c2, SIMC_BAND_UP);
  EXPECT_EQ(ft817SimVfo(f), simControlsCopy(&c2).freqHz);
  EXPECT_EQ(simAmpState(amp).freqCounter, ft817SimVfo(f));
  EXPECT_EQ(simControlsAct(&c2, SIMC_MODE), 1);
  EXPECT_EQ(simControlsCopy(&c2).ft817Mode, 2);
  ft817SimStop(f);
  simAmpStop(amp);
}

namespace {

// Runs kavzil-sim with `args` to its end; its standard output and error
// into `out` and `err`. Returns the exit status, -1 when it did not exit.
int runSimulatorLine(const std::vector<std::string> &args, std::string &out, std::string &err) {
  KzTempRoot files("kz_line");
  std::string outPath = files.dir + "/out", errPath = files.dir + "/err";
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    kzExecProgram(KZ_SIM_BINARY, args);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  kzReadFile(outPath, out);
  kzReadFile(errPath, err);
  return WEXITSTATUS(status);
}

}  // namespace

TEST(Program, EveryBadOptionIsNamedAndStopsTheSimulatorBeforeItStarts) {
  KzTempRoot tmp("kz_opts");
  std::string root = tmp.dir + "/unit";
  struct Case {
    std::vector<std::string> args;
    std::string named;  // what standard error must name
  } cases[] = {
      {{"--freq", "abc"}, "--freq abc"},
      {{"--freq", "14.2e6"}, "--freq 14.2e6"},
      {{"--freq", "99999999999"}, "--freq 99999999999"},
      {{"--freq", "1799999"}, "--freq 1799999"},
      {{"--seconds", "-1"}, "--seconds -1"},
      {{"--seconds", "0"}, "--seconds 0"},
      {{"--seconds", "abc"}, "--seconds abc"},
      {{"--seconds", "5x"}, "--seconds 5x"},
      {{"--drive", "1000"}, "--drive 1000"},
      {{"--drive", "-5"}, "--drive -5"},
      {{"--drive", "nan"}, "--drive nan"},
      {{"--model", "7"}, "--model 7"},
      {{"--amp", "foo"}, "--amp foo"},
      {{"--keys", "9:7"}, "--keys 9:7"},
      {{"--keys", "9:5,x:1"}, "--keys 9:5,x:1"},
      {{"--keys", "9:5:lang"}, "--keys 9:5:lang"},
      {{"--keys", "9:carrier"}, "--keys 9:carrier"},
      {{"--script", "9:warp"}, "--script 9:warp"},
      {{"--script", "9:carrier:long"}, "--script 9:carrier:long"},
      {{"--script", "9:carrier", "--amp", "external"}, "--script 9:carrier"},
      {{"--seconds", "5", "--keys", "9:5"}, "--keys 9:5"},
      {{"--snapshot", "/no/such/dir/x.png"}, "--snapshot /no/such/dir/x.png"},
      {{"--snapshot", tmp.dir}, "--snapshot " + tmp.dir},
      {{"--window-snapshot", "/no/such/dir/x.png"}, "--window-snapshot /no/such/dir/x.png"},
      {{"--art", "/nonexistent"}, "--art /nonexistent"},
      {{"--art", tmp.dir}, "--art " + tmp.dir},  // a directory without the pictures
      // Even root may not create files in /sys.
      {{"--root", "/sys"}, "--root /sys"},
      {{"--root", tmp.dir + "/opt/set/setup.txt"}, "--root " + tmp.dir + "/opt/set/setup.txt"},
      {{"--freq"}, "--freq: needs a value"},
      {{"--bogus"}, "--bogus"},
      {{"--setup", "WebSocket=3"}, "--setup WebSocket=3: WebSocket: not 0 (off), 1 (server)"},
      {{"--setup", "TcpPort=70000"}, "--setup TcpPort=70000: TcpPort: out of range"},
      {{"--setup", "Tcpport=6700"}, "--setup Tcpport=6700: Tcpport: no such key"},
      {{"--setup", "WebSocket"}, "--setup WebSocket: not KEY=VALUE"},
      {{"--setup", "LinPort=/dev/pts/9"}, "--setup LinPort=/dev/pts/9: the built-in"},
      {{"--audio-in", "/no/such.wav"}, "--audio-in /no/such.wav: cannot be read"},
      {{"--audio-in", tmp.dir + "/bad.wav"}, "is a WAV without its format or data"},
      {{"--audio-start", "-1"}, "--audio-start -1"},
      {{"--audio-out", "/no/such/dir/x.wav"}, "--audio-out /no/such/dir/x.wav"},
  };
  ASSERT_EQ(kzSaveFileAtomic(tmp.dir + "/opt/set/setup.txt", "EnableKeyb: 0\n"), 0);
  ASSERT_EQ(kzSaveFileAtomic(tmp.dir + "/bad.wav", std::string("RIFF\0\0\0\0WAVE", 12)), 0);
  for (const Case &c : cases) {
    // The case comes last: a later option of the same name wins.
    std::vector<std::string> args = {"--root", root, "--headless", "--seconds", "30"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string out, err;
    EXPECT_EQ(runSimulatorLine(args, out, err), 2) << c.named;
    EXPECT_NE(err.find(c.named), std::string::npos) << c.named << ": " << err;
    EXPECT_EQ(err.find("kavzil-sim: root"), std::string::npos) << c.named << ": it started";
  }
  // Nothing started: the new root was never made.
  EXPECT_FALSE(std::filesystem::exists(root));

  // --help: every option with its meaning on standard output, exit 0.
  std::string out, err;
  EXPECT_EQ(runSimulatorLine({"--help"}, out, err), 0);
  for (const char *opt : {"--root DIR", "--amp builtin|external", "--seconds N", "--drive W",
                          "--freq HZ", "--model 0|1", "--quiet", "--headless", "--snapshot FILE",
                          "--window-snapshot FILE", "--keys '", "--script '", "--art DIR",
                          "--setup KEY=VALUE",
                          "carrier (C)", "restart (R)", "close (F12)"})
    EXPECT_NE(out.find(opt), std::string::npos) << opt;
}

TEST(Program, ScriptedControlsSteerTheBuiltinAmplifierHeadless) {
  KzTempRoot tmp("kz_script");
  ASSERT_EQ(kzSaveFileAtomic(tmp.dir + "/opt/set/setup.txt", "EnableKeyb: 0\nWebSocket: 0\n"), 0);
  // The carrier goes on at 2.5 W, one step up is 3 W; the band above 20 m
  // is 17 m, where the amplifier's counter then reads 18.12 MHz. The key
  // waits for the end of the start-up, the stop for the key; the last
  // status line is printed at the stop.
  std::string out, err;
  ASSERT_EQ(runSimulatorLine({"--headless", "--root", tmp.dir, "--seconds", "9", "--script",
                              "1:carrier,1:drive+,1:band+,9:6"},
                             out, err),
            0)
      << err;
  EXPECT_NE(err.find("kavzil-sim: script done"), std::string::npos) << err;
  ASSERT_NE(out.rfind("[sim]"), std::string::npos) << err;
  std::string last = out.substr(out.rfind("[sim]"));
  EXPECT_NE(last.find("in  3.00 W"), std::string::npos) << last;
  EXPECT_NE(last.find("freq 18120000 Hz"), std::string::npos) << last;
  // Standard output holds the status lines only.
  size_t lines = std::count(out.begin(), out.end(), '\n');
  size_t status = 0;
  for (size_t p = out.find("[sim] "); p != std::string::npos; p = out.find("[sim] ", p + 1)) status++;
  EXPECT_EQ(lines, status);
}

namespace {

std::vector<std::pair<int, int>> gTaken;  // key, longBits as dispatched

int recordTaken(works *w, int key, int bits) {
  gTaken.push_back({key, bits});
  w->keyFlags.fetch_and(uint8_t(~1u));
  return 0;
}

}  // namespace

// The button thread stepped by hand on the fake clock (2 ms a pass), a
// scripted press waiting on another thread.
TEST(ScriptedPress, IsHeldUntilTheButtonThreadTookItAndNeverBecomesALongPress) {
  auto w = std::make_unique<works>();
  w->running = 1;
  w->panelCmd = 255;
  w->panelCmdTimer = 100000;
  double savedLongPress = TIME_LONG_PRESS;
  TIME_LONG_PRESS = 0.5;
  simGpioReset();
  kzGpioUse(&simGpioBackend);
  kzClockUse(&kzClockFake);
  kzFakeClockSet(0);
  GpioSetDispatcher(recordTaken);
  GpioSetKeyObserver(simGpioButtonTaken);
  ASSERT_EQ(GpioStart(w.get()), 0);
  gTaken.clear();

  // Runs one press on its own thread; the button thread makes `passes`
  // passes while it waits (none: the thread is stalled).
  auto press = [&](int key, bool longPress, int timeoutMs, int passes) {
    std::atomic<int> rc{99};
    std::thread presser([&] { rc = simGpioPress(key, longPress, timeoutMs); });
    for (int i = 0; i < passes && rc.load() == 99; i++) {
      GpioPass(w.get());
      kzSleepUs(2000);
    }
    presser.join();
    return rc.load();
  };
  // However late the presser puts the button down, the passes go on until
  // the press is done; a tap is dispatched once, as a tap.
  EXPECT_EQ(press(3, false, 20000, 2000000), 0);
  ASSERT_EQ(gTaken.size(), 1u);
  EXPECT_EQ(gTaken[0], std::make_pair(3, 0));
  EXPECT_EQ(simGpioLevel(24), 1);  // released
  // A long press is held past the long-press time, dispatched once as long.
  gTaken.clear();
  EXPECT_EQ(press(5, true, 20000, 2000000), 0);
  ASSERT_EQ(gTaken.size(), 1u);
  EXPECT_EQ(gTaken[0].first, 5);
  EXPECT_NE(gTaken[0].second, 0);
  // A button thread that takes nothing: the press gives up and lets go.
  gTaken.clear();
  EXPECT_EQ(press(2, false, 200, 0), -1);
  EXPECT_EQ(simGpioLevel(23), 1);
  EXPECT_TRUE(gTaken.empty());
  // The unit stopping: a waiting press ends at once.
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    simGpioCancelPresses();
  });
  EXPECT_EQ(press(1, false, 60000, 0), -2);
  canceller.join();

  GpioSetKeyObserver(nullptr);
  GpioSetDispatcher(nullptr);
  kzGpioUse(nullptr);
  kzClockUse(&kzClockReal);
  TIME_LONG_PRESS = savedLongPress;
  simGpioReset();
}

// The bank table's interface key steps Generic, PLMKAV (a silent line on
// SerPort) and FT-817; from then on the supervisor follows the simulated
// FT-817's VFO to the band's filter and thresholds.
TEST(Program, Ft817InterfaceFollowsTheSimulatedFt817) {
  KzTempRoot tmp("kz_ft817");
  ASSERT_EQ(kzSaveFileAtomic(tmp.dir + "/opt/set/setup.txt", "EnableKeyb: 0\nWebSocket: 0\n"), 0);
  std::string out, err;
  ASSERT_EQ(runSimulatorLine({"--headless", "--quiet", "--root", tmp.dir, "--seconds", "12",
                              "--ft817", "builtin", "--xcvr", "absent", "--freq", "7100000",
                              "--keys", "8:1:long,9:2,9.5:2,10:1"},
                             out, err),
            0)
      << err;
  EXPECT_NE(err.find("---------------- OK works->catSerFD="), std::string::npos) << err;
  EXPECT_NE(err.find("Soglia TS (freq 7100000)"), std::string::npos) << err;
  EXPECT_NE(err.find("SET FILTER: 3!!"), std::string::npos) << err;
}
