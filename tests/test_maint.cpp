// The good-start confirmation thread and the two update requests.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "amplifier/cmdring.h"
#include "core/maint.h"
#include "platform/clock.h"
#include "support.h"

namespace {

const char *kRw = "mount -o remount defaults,rw /opt/set";
const char *kRm = "rm -f /opt/good >/dev/null 2>&1";
const char *kRo = "mount -v -n -o remount -r /opt/set";

struct MaintTest : ::testing::Test {
  KzTempRoot root{"kzmaint"};
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  void SetUp() override {
    kzClockUse(&kzClockFake);
    kzFakeClockSet(0);
    w->running = 1;
  }
  void TearDown() override { kzClockUse(&kzClockReal); }
};

TEST_F(MaintTest, RemovesMarkerAfterThirtySecondsBetweenRemounts) {
  KzLogCapture traces('T');
  AggFWThread(w.get());
  EXPECT_EQ(kzNowMs(), 30000);
  EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{kRw, kRm, kRo}));
  EXPECT_EQ(traces.countContaining("--------- END THREAD AGG FW!!!"), 1);
}

TEST_F(MaintTest, FailuresAreReportedAndLeaveSetReadOnly) {
  {  // no writable partition: nothing else is tried
    KzLogCapture log('L');
    kzCmdScript("mount -o remount defaults,rw", 256);
    AggFWThread(w.get());
    EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{kRw}));
    EXPECT_EQ(log.count("can't mount rw /opt/set/ error 1"), 1);
  }
  kzCmdClearScript();
  kzCmdClearRecorded();
  {  // the removal fails: the partition is still put back read-only
    KzLogCapture log(0);
    kzCmdScript("rm -f", 256);
    AggFWThread(w.get());
    EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{kRw, kRm, kRo}));
    EXPECT_EQ(log.count("can't :rm -f /opt/good >/dev/null 2>&1  ->error 1"), 1);
    EXPECT_EQ(log.countContaining("END THREAD AGG FW"), 0);
  }
}

TEST_F(MaintTest, ShutdownDuringWaitEndsWithoutCommands) {
  kzClockUse(&kzClockReal);
  auto t0 = std::chrono::steady_clock::now();
  std::thread th(AggFWThread, w.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  w->running = 0;
  th.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_TRUE(kzCmdRecorded().empty());
}

TEST_F(MaintTest, UpdateRequests) {
  KzLogCapture traces('T');
  EXPECT_EQ(AggFwUpdate(w.get()), 30);
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{30});
  EXPECT_EQ(traces.countContaining("Start AGGFW"), 1);
  kzCmdScript("/opt/KavZil/getpack.sh", 256);
  EXPECT_EQ(AggUiUpdate(w.get()), 256);
  EXPECT_EQ(kzCmdRecorded(), std::vector<std::string>{"/opt/KavZil/getpack.sh"});
  EXPECT_EQ(traces.countContaining("Start AGG UI..."), 1);
}

}  // namespace
