// The remote mode: the readiness check (USB device, CAT port, sound
// device), the "KAV ZIL USE MODE" menu entry with its errors, and the start
// and stop of the remote thread group with its setup bytes and panel orders.
#include <gtest/gtest.h>

#include <string>

#include "core/threads.h"
#include "panel/menu.h"
#include "platform/files.h"
#include "platform/usb.h"
#include "remote/ready.h"
#include "support.h"

namespace {

enum { ENTER = 0, PLUS = 2 };
const KzUsbId kTransceiver{0x1721, 0x061A};

struct RemoteFix : ::testing::Test {
  KzTempRoot root{"kzremote"};
  KzLogCapture tc;
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  void SetUp() override {
    initSetup(w.get());
    w->errorsMuted = 0;
    w->menuIdx = 8;
    kzUsbSimSetDevices(nullptr, 0);
    kzUsbSimListFails(false);
  }
  void TearDown() override {
    kzUsbSimSetDevices(nullptr, 0);
    kzUsbSimListFails(false);
  }
  std::string group() const {
    return {rec.EnableWrite, rec.EnableRead, rec.EnableCAT, rec.EnableFFT};
  }
  int recordedLsusb() {
    int n = 0;
    for (auto &c : kzCmdRecorded()) n += c.rfind("lsusb", 0) == 0;
    return n;
  }
};

}  // namespace

TEST_F(RemoteFix, ReadinessCheckStopsAtTheFirstMissingPiece) {
  // No transceiver on the bus, or a list that cannot be read: 1, and no
  // other look-up at all.
  EXPECT_EQ(Find_Remote_Settings(w.get()), 1);
  kzUsbSimSetDevices(&kTransceiver, 1);
  kzUsbSimListFails(true);
  EXPECT_EQ(Find_Remote_Settings(w.get()), 1);
  EXPECT_EQ(recordedLsusb(), 0);
  EXPECT_EQ(tc.countContaining("CAT"), 0);
  // Present, but no CAT port in this build: 2, the sound device not asked.
  kzUsbSimListFails(false);
  EXPECT_EQ(Find_Remote_Settings(w.get()), 2);
  EXPECT_EQ(tc.count(std::string("---CAT: Unable to open device ") + rec.CatPort + "\n"), 1);
  EXPECT_EQ(recordedLsusb(), 0);
  // The board's bus answers too (whatever this machine has, never this id).
  EXPECT_NE(kzUsbBoard.findDevice(0xffff, 0xfffe), 1);

  // The sound device count: the number printed; none when the pipeline
  // cannot run or prints no number.
  kzCmdScript("lsusb|grep 0d8c:01af", 0, "2\n");
  EXPECT_EQ(VerifyAudioKAV(w.get()), 2);
  kzCmdScript("lsusb|grep 0d8c:01af", 0, "no\n");
  EXPECT_EQ(VerifyAudioKAV(w.get()), 0);
  kzCmdScript("lsusb|grep 0d8c:01af", -1);
  EXPECT_EQ(VerifyAudioKAV(w.get()), 0);
  EXPECT_EQ(tc.count("Error opening pipe.\n"), 1);
  EXPECT_EQ(kzCmdRecorded().back(), "lsusb|grep 0d8c:01af |wc -l");
  // The listed sound devices: each line traced, counted.
  EXPECT_EQ(Get_AudioKAV(w.get()), 0);
  kzCmdScript("lsusb | grep 0d8c", 0, "Bus 001 Device 005: ID 0d8c:01af A\nBus 001 Device 006: ID 0d8c:0014 B");
  EXPECT_EQ(Get_AudioKAV(w.get()), 2);
  EXPECT_EQ(tc.count("----------------- Bus 001 Device 005: ID 0d8c:01af A\n"), 1);
  EXPECT_EQ(tc.count("----------------- Bus 001 Device 006: ID 0d8c:0014 B\n"), 1);
}

TEST_F(RemoteFix, UseModeKeyRaisesTheErrorsOfWhatIsMissing) {
  // Nothing there, transceiver link on: USB and audio errors, not remote.
  rec.enaser = '1';
  EXPECT_EQ(ModifyParameter(w.get(), PLUS), 0);
  EXPECT_EQ(tc.count("j=0 i=1 enaser=1\n"), 1);
  EXPECT_EQ(tc.count("Remote ERROR!\n"), 1);
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{5, 6}));
  EXPECT_EQ(w->remoteActive.load(), 0);
  EXPECT_EQ(w->remoteRestart.load(), 1);
  // Transceiver and sound device there, but no CAT port and the link off.
  kzUsbSimSetDevices(&kTransceiver, 1);
  kzCmdScript("lsusb | grep 0d8c", 0, "Bus 001 Device 005: ID 0d8c:01af A\n");
  rec.enaser = '0';
  ModifyParameter(w.get(), PLUS);
  EXPECT_EQ(tc.count("j=1 i=2 enaser=0\n"), 1);
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{5, 6, 20, 7}));
  EXPECT_EQ(w->remoteActive.load(), 0);
  // With the sample reader on, the key switches remote on without a check,
  // and the next key switches it off again.
  kzCmdClearRecorded();
  rec.EnableFFT = '1';
  ModifyParameter(w.get(), PLUS);
  EXPECT_EQ(w->remoteActive.load(), 1);
  EXPECT_EQ(recordedLsusb(), 0);
  ModifyParameter(w.get(), PLUS);
  EXPECT_EQ(w->remoteActive.load(), 0);
  char text[64] = "";
  LoadParameterMenu(w.get(), text, 8, 0);
  EXPECT_STREQ(text, "Local");
}

TEST_F(RemoteFix, UseModeEnterStartsAndStopsTheGroup) {
  // Remote on with the server off: the server is switched on and started
  // once, the group's bytes go to '1', saved, order 149 to the panel chip.
  // The run flag is down, so any thread started here ends at once.
  w->running = 0;
  rec.WebSocket = '0';
  w->remoteActive = 1;
  w->remoteRestart = 1;
  ModifyParameter(w.get(), ENTER);
  EXPECT_EQ(rec.WebSocket, '1');
  EXPECT_EQ(group(), "1111");
  EXPECT_EQ(w->panelCmd.load(), 149);
  EXPECT_EQ(w->remoteRestart.load(), 0);
  std::string saved;
  ASSERT_EQ(kzReadFile(root.file("setup.txt").c_str(), saved, 1 << 16), 0);
  EXPECT_NE(saved.find("EnableCAT: 1"), std::string::npos);
  EXPECT_NE(saved.find("WebSocket: 1"), std::string::npos);
  // Confirming again starts neither the server nor a running thread twice.
  ModifyParameter(w.get(), ENTER);
  EXPECT_EQ(tc.count(">>>>>>>>>> SOCKET SERVER start\n"), 1);
  EXPECT_EQ(tc.count("Th_scrivi start\n"), 1);
  EXPECT_EQ(tc.count("Cat.c start\n"), 1);
  // Remote off: the bytes drop, the remote warnings go, order 165; the
  // server keeps running.
  for (int code : {9, 6, 5, 20, 10}) AddErrore(w.get(), code);
  w->remoteActive = 0;
  ModifyParameter(w.get(), ENTER);
  EXPECT_EQ(group(), "0000");
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{6}));
  EXPECT_EQ(w->panelCmd.load(), 165);
  EXPECT_EQ(tc.count(">>>>>>>>>>>>>>>>>>>>>>>>> REMOTE STOP \n"), 1);
  EXPECT_EQ(rec.WebSocket, '1');
  JoinAllThreads();
}

TEST_F(RemoteFix, BootStartsTheThreadsSavedAsRunning) {
  // Saved with audio capture on: at boot it is started with the others.
  rec.EnableRead = '1';
  StartThreadCommRemoteAtBoot(w.get());
  EXPECT_EQ(group(), "1111");
  EXPECT_EQ(tc.count("Th_leggi start\n"), 1);
  EXPECT_EQ(tc.count("Th_scrivi start\n"), 1);
  EXPECT_EQ(tc.count("Cat.c start\n"), 1);
  EXPECT_EQ(w->panelCmd.load(), 149);
  // Later starts leave threads whose byte reads '1' alone.
  StartThreadCommRemote(w.get());
  EXPECT_EQ(tc.count("Th_leggi start\n"), 1);
  JoinAllThreads();
}
