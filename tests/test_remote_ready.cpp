// The remote mode: the readiness check, the "KAV ZIL USE MODE" entry with
// its errors, and the start and stop of the remote thread group.
#include <gtest/gtest.h>

#include <string>

#include "core/threads.h"
#include "panel/menu.h"
#include "platform/usb.h"
#include "remote/ready.h"
#include "support.h"

namespace {

struct RemoteFix : ::testing::Test {
  KzTempRoot root{"kzremote"};
  KzLogCapture tc;
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  const KzUsbId kav{0x1721, 0x061A};
  void SetUp() override {
    initSetup(w.get());
    w->errorsMuted = 0;
    w->menuIdx = 8;
  }
  void TearDown() override { kzUsbSimSetDevices(nullptr, 0); }
  std::string group() const { return {rec.EnableWrite, rec.EnableRead, rec.EnableCAT, rec.EnableFFT}; }
  long lsusbRun() {
    auto r = kzCmdRecorded();
    return std::count_if(r.begin(), r.end(), [](auto &c) { return c.rfind("lsusb", 0) == 0; });
  }
};

}  // namespace

TEST_F(RemoteFix, ReadinessCheckAndTheMenuErrors) {
  // No transceiver on the bus: 1, and nothing else is looked at.
  EXPECT_EQ(Find_Remote_Settings(w.get()), 1);
  EXPECT_EQ(lsusbRun(), 0);
  // A key with nothing there and the transceiver link on: USB and audio.
  rec.enaser = '1';
  ModifyParameter(w.get(), 2);
  EXPECT_EQ(tc.count("j=0 i=1 enaser=1\n") + tc.count("Remote ERROR!\n"), 2);
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{5, 6}));
  EXPECT_TRUE(w->remoteActive == 0 && w->remoteRestart == 1);
  // Transceiver and sound device there, no CAT port in this build, link off.
  kzUsbSimSetDevices(&kav, 1);
  kzCmdScript("lsusb | grep 0d8c", 0, "Bus 001 Device 005: ID 0d8c:01af A\nBus 001 Device 006: B");
  rec.enaser = '0';
  ModifyParameter(w.get(), 2);
  EXPECT_EQ(tc.count(std::string("---CAT: Unable to open device ") + rec.CatPort + "\n"), 1);
  EXPECT_EQ(tc.count("----------------- Bus 001 Device 006: B\n"), 1);
  EXPECT_EQ(tc.count("j=2 i=2 enaser=0\n"), 1);
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{5, 6, 20, 7}));
  // The sound device count is the number printed, 0 when it cannot run.
  kzCmdScript("lsusb|grep 0d8c:01af", 0, " 2\n");
  EXPECT_EQ(VerifyAudioKAV(w.get()), 2);
  kzCmdScript("lsusb|grep 0d8c:01af", -1);
  EXPECT_EQ(VerifyAudioKAV(w.get()) + tc.count("Error opening pipe.\n"), 1);
  // With the sample reader on, a key switches remote on without a check.
  kzCmdClearRecorded();
  rec.EnableFFT = '1';
  ModifyParameter(w.get(), 2);
  EXPECT_TRUE(w->remoteActive == 1 && lsusbRun() == 0);
}

TEST_F(RemoteFix, EnterStartsAndStopsTheGroupAndBootStartsSavedThreads) {
  // The run flag is down: any thread started here ends at once.
  w->running = 0;
  rec.WebSocket = '0';
  rec.EnableRead = '1';  // already running: left alone
  w->remoteActive = 1;
  w->remoteRestart = 1;
  ModifyParameter(w.get(), 0);
  ModifyParameter(w.get(), 0);  // again: nothing is started twice
  EXPECT_TRUE(rec.WebSocket == '1' && tc.count(">>>>>>>>>> SOCKET SERVER start\n") == 1);
  EXPECT_EQ(tc.count("Th_scrivi start\n") + tc.count("Th_leggi start\n"), 1);
  EXPECT_TRUE(group() == "1111" && w->panelCmd == 149 && w->remoteRestart == 0);
  EXPECT_EQ(kzCmdRecorded().back(), "mount -v -n -o remount -r /opt/set");  // saved
  // Off: bytes down, the remote warnings cleared, order 165, server kept.
  for (int code : {9, 6, 5, 20, 10}) AddErrore(w.get(), code);
  w->remoteActive = 0;
  ModifyParameter(w.get(), 0);
  EXPECT_TRUE(group() == "0000" && w->panelCmd == 165 && rec.WebSocket == '1');
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{6}));
  // At boot the threads saved as running start with the others.
  rec.EnableRead = '1';
  StartThreadCommRemoteAtBoot(w.get());
  EXPECT_TRUE(tc.count("Th_leggi start\n") == 1 && group() == "1111");
  JoinAllThreads();
}
