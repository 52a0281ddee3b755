// The whole program: kavzil-sim as a child process with its amplifier port
// attached to a simulated micro-controller owned by the test, and the
// thread table's start operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <chrono>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "sim/amp_sim.h"
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
    execl(KZ_SIM_BINARY, KZ_SIM_BINARY, "--amp", "external", "--root", root.c_str(),
          "--seconds", seconds, (char *)nullptr);
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

}  // namespace

TEST(Program, ExternalAmplifierPeerSeesTheWireAndTheUnitStopsCleanly) {
  KzTempRoot tmp("kz_prog");
  std::string root = tmp.dir;
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  // The outside peer is attached through LinPort of the setup file.
  std::string setup = std::string("LinPort: ") + simAmpSlavePath(amp) + "\nEnableKeyb: 0\n";
  ASSERT_EQ(kzSaveFileAtomic(root + "/opt/set/setup.txt", setup), 0);

  int status = runSimulatedUnit(root, "1");
  ASSERT_NE(status, -1);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  auto r = simAmpReceived(amp);
  simAmpStop(amp);
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
  size_t before = log.lines.size();
  rec.WebSocket = '0';
  StartThreadSoket(w.get());
  EXPECT_EQ(log.lines.size(), before);

  // The remote group starts what reads '0', leaves what reads '1', saves.
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
}

TEST(Program, CloseKeyOfTheServiceKeyboardEndsTheUnitCleanly) {
  KzTempRoot tmp("kz_prog_kbd");
  std::string root = tmp.dir;
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  std::string setup = std::string("LinPort: ") + simAmpSlavePath(amp) + "\nEnableKeyb: 1\n";
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
