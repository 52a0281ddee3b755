// The service keyboard thread against a stand-in device file under the
// scratch root.
#include <gtest/gtest.h>
#include <linux/input.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "panel/keyb.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support.h"

namespace {

struct KeybTest : ::testing::Test {
  KzTempRoot root{"kzkeyb"};
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  std::string dev;
  void SetUp() override {
    w->running = 1;
    std::filesystem::create_directories(root.dir + "/dev/input/by-id");
    dev = root.dir + "/dev/input/by-id/test-event-kbd";
  }
  void TearDown() override { kzClockUse(&kzClockReal); }
  void plugIn() { fclose(fopen(dev.c_str(), "wb")); }
  // Appends one event; a record is written in two pieces to exercise the
  // reassembly.
  void event(int type, int code, int value) {
    input_event ev{};
    ev.type = uint16_t(type);
    ev.code = uint16_t(code);
    ev.value = value;
    FILE *f = fopen(dev.c_str(), "ab");
    const char *p = reinterpret_cast<const char *>(&ev);
    fwrite(p, 1, 5, f);
    fflush(f);
    fwrite(p + 5, 1, sizeof ev - 5, f);
    fclose(f);
  }
  void key(int code) {
    event(EV_KEY, code, 1);
    event(EV_KEY, code, 2);
    event(EV_KEY, code, 2);
    event(EV_KEY, code, 0);
  }
  static int count(const std::vector<std::string> &v, const std::string &s) {
    return int(std::count(v.begin(), v.end(), s));
  }
};

TEST_F(KeybTest, EachKeyActsOnceAndF12StopsTheProgram) {
  KzLogCapture log('L');
  plugIn();
  std::thread th(keyb, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return log.countContaining("Continuous keyboard loop") > 0; }, 5000));
  key(KEY_SYSRQ);
  event(EV_MSC, KEY_SYSRQ, 1);  // not a key event
  key(KEY_F11);
  key(KEY_F10);
  key(KEY_A);
  event(EV_KEY, KEY_F12, 1);
  ASSERT_TRUE(kzWaitFor([&] { return w->running.load() == 0; }, 5000));
  th.join();

  auto cmds = kzCmdRecorded();
  EXPECT_EQ(cmds.front(), "stty -echo");
  EXPECT_EQ(count(cmds, "/usr/bin/fbgrab /tmp/screen.png >/dev/null 2>&1 </dev/null"), 1);
  EXPECT_EQ(count(cmds, "/opt/sshshell"), 1);
  ASSERT_GE(cmds.size(), 2u);
  EXPECT_EQ(cmds[cmds.size() - 2], "/bin/stty sane");
  EXPECT_EQ(cmds.back(), "/usr/bin/tput clear");
  EXPECT_EQ(log.count("Save setup"), 1);
  EXPECT_TRUE(kzFileExists(root.file("setup.txt")));
  EXPECT_EQ(log.count("Exited by KEY_F12"), 1);
  EXPECT_EQ(w->maintFlags.load(), 2);
}

TEST_F(KeybTest, KeyboardPluggedInLaterIsFoundOnTheTwentySecondLook) {
  kzClockUse(&kzClockFake);
  kzFakeClockSet(0);
  std::atomic<int64_t> openedAt{-1};
  KzLogCapture log('L');
  kzLogHook([&](char k, const std::string &t) {
    if (k == 'L' && t == "Keyboard opened") openedAt = kzNowMs();
  });
  std::thread th(keyb, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return kzNowMs() >= 45000; }, 5000));
  int64_t pluggedAt = kzNowMs();
  plugIn();
  ASSERT_TRUE(kzWaitFor([&] { return openedAt.load() >= 0; }, 5000));
  EXPECT_GE(openedAt.load(), pluggedAt);
  EXPECT_EQ(openedAt.load() % 20000, 0);
  event(EV_KEY, KEY_F11, 1);
  ASSERT_TRUE(kzWaitFor([&] { return kzFileExists(root.file("setup.txt")); }, 5000));

  // Another thread ends the program: the keyboard thread follows.
  w->running = 0;
  th.join();
  kzLogHook(nullptr);
  EXPECT_EQ(kzCmdRecorded().back(), "stty sane");
}

}  // namespace

// Records in any pieces: only a completed key-down record gives its key,
// and a piece never spills into the next record.
TEST(KeybFeed, PutsRecordsTogetherFromAnyPieces) {
  input_event ev[2]{};
  ev[0].type = EV_KEY, ev[0].code = KEY_F11, ev[0].value = 1;
  ev[1].type = EV_KEY, ev[1].code = KEY_F11, ev[1].value = 0;
  const auto *bytes = reinterpret_cast<const unsigned char *>(ev);
  KeybReader r{};
  int code = 0;
  EXPECT_EQ(KeybFeed(&r, bytes, 3, &code), 3u);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(KeybFeed(&r, bytes + 3, sizeof ev - 3, &code), sizeof ev[0] - 3);  // stops at the end
  EXPECT_EQ(code, KEY_F11);
  EXPECT_EQ(KeybFeed(&r, bytes + sizeof ev[0], sizeof ev[1], &code), sizeof ev[1]);
  EXPECT_EQ(code, -1);  // a release
  EXPECT_EQ(r.fill, 0u);
}

// Events as the kernel hands them over, byte for byte: two time fields of
// the target's long (4 bytes each on the 32-bit board: a 16-byte record;
// 8 on a 64-bit machine: 24 bytes), then type, code and value. Recorded:
// F12 down at 1700000000.250000 s, its release, then a repeat of F10.
TEST(KeybFeed, DecodesTheKernelsRecordOfThisTarget) {
  ASSERT_EQ(sizeof(input_event), 2 * sizeof(long) + 8);
  if (sizeof(long) == 4) {
    EXPECT_EQ(sizeof(input_event), 16u);
  }
  const unsigned char board[] = {
      0x00, 0xf1, 0x53, 0x65, 0x90, 0xd0, 0x03, 0x00, 0x01, 0x00, 0x58, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x00, 0xf1, 0x53, 0x65, 0x91, 0xd0, 0x03, 0x00, 0x01, 0x00, 0x58, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x01, 0xf1, 0x53, 0x65, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x44, 0x00, 0x02, 0x00, 0x00, 0x00};
  const unsigned char wide[] = {
      0x00, 0xf1, 0x53, 0x65, 0, 0, 0, 0, 0x90, 0xd0, 0x03, 0x00, 0, 0, 0, 0,
      0x01, 0x00, 0x58, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x00, 0xf1, 0x53, 0x65, 0, 0, 0, 0, 0x91, 0xd0, 0x03, 0x00, 0, 0, 0, 0,
      0x01, 0x00, 0x58, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x01, 0xf1, 0x53, 0x65, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0,
      0x01, 0x00, 0x44, 0x00, 0x02, 0x00, 0x00, 0x00};
  const bool narrow = sizeof(input_event) == 16;
  const unsigned char *rec = narrow ? board : wide;
  const size_t n = narrow ? sizeof board : sizeof wide, one = n / 3;
  ASSERT_EQ(one, sizeof(input_event));
  KeybReader r{};
  int codes[3];
  size_t at = 0;
  for (int &c : codes) at += KeybFeed(&r, rec + at, n - at, &c);
  EXPECT_EQ(at, n);
  EXPECT_EQ(codes[0], KEY_F12);
  EXPECT_EQ(codes[1], -1);  // the release
  EXPECT_EQ(codes[2], -1);  // a repeat
  input_event ev;
  memcpy(&ev, rec, sizeof ev);
  EXPECT_EQ(ev.input_event_sec, 1700000000);
  EXPECT_EQ(ev.input_event_usec, 250000);
}
