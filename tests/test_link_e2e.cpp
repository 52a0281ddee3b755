// The amplifier link end to end: the real Linear thread on a PTY slave,
// configured with the real termios calls, against the simulated
// micro-controller on the master side. Assertions are on what crossed the
// wire and on what the operator would see (the error registry).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "sim/amp_sim.h"
#include "serial_faults.h"
#include "support.h"

namespace {

class LinkE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    root = std::make_unique<KzTempRoot>("kz_link");
    log = std::make_unique<KzLogCapture>(0);
    amp = simAmpStart();
    ASSERT_NE(amp, nullptr);
    w = std::make_unique<works>();
    memset(&rec, 0, sizeof rec);
    w->setup = &rec;
    initSetup(w.get());
    InitErrTable(w.get());
    ASSERT_LT(strlen(simAmpSlavePath(amp)), sizeof rec.LinPort);
    snprintf(rec.LinPort, sizeof rec.LinPort, "%s", simAmpSlavePath(amp));
  }
  void TearDown() override {
    stopLink();
    simAmpStop(amp);
    log.reset();
    root.reset();
  }
  void startLink() { link = std::thread(Linear, w.get()); }
  void stopLink() {
    if (!link.joinable()) return;
    w->running = 0;
    link.join();
  }
  std::vector<std::string> wire() { return simAmpReceived(amp); }
  size_t countOf(const std::string &cmd) {
    auto r = wire();
    return size_t(std::count(r.begin(), r.end(), cmd));
  }
  bool logged(const std::string &needle) { return log->countContaining(needle) > 0; }
  int loggedCount(const std::string &needle) { return log->countContaining(needle); }

  std::unique_ptr<KzTempRoot> root;
  std::unique_ptr<KzLogCapture> log;
  SimAmp *amp = nullptr;
  std::unique_ptr<works> w;
  SetupRec rec;
  std::thread link;
};

}  // namespace

TEST_F(LinkE2E, StartUpCommandsGoOutInOrderEachFollowedByStatusPoll) {
  InitMicroCmd(w.get());
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return countOf("MR0;") == 1 && countOf("FM;") >= 1; }, 5000));
  std::vector<std::string> r = wire();
  const std::vector<std::string> expected = {
      "VSM;", "ER0000;", "ER0001;", "ER0002;", "MP0;", "TS4095409515003700;", "AN0;",
      "SA1;", "FS00001;", "MT100000000;", "PS0001100000000000;", "GM00020100;", "GS;",
      "CPFFFF;", "MR0;"};
  ASSERT_GE(r.size(), 2 * expected.size() + 2);
  EXPECT_EQ(r[0], "ST;");
  for (size_t i = 0; i < expected.size(); i++) {
    EXPECT_EQ(r[1 + 2 * i], expected[i]) << "command " << i;
    EXPECT_EQ(r[2 + 2 * i], "ST;") << "after " << expected[i];
  }
  // The frames carry the lower-case checksum before the text.
  auto raw = simAmpReceivedRaw(amp);
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw[0], "4dST;");
  // Replies were decoded: identity and unmuted registry.
  EXPECT_TRUE(kzWaitFor([&] { return w->ampModel.load() != 255; }, 1000));
  EXPECT_EQ(w->errorsMuted.load() & 1, 0);
  EXPECT_EQ(w->microReset.load(), 1);
  EXPECT_NE(w->fwVersion[0], 0);
}

TEST_F(LinkE2E, IdleLinkAlternatesStatusAndFrequencyAndAQueuedCommandTakesOneFmPlace) {
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= 8; }, 3000));
  auto r = wire();
  for (size_t i = 0; i < 8; i++) EXPECT_EQ(r[i], i % 2 == 0 ? "ST;" : "FM;") << i;
  simAmpClearReceived(amp);
  // Whenever it is queued, the command takes the next "FM;" place.
  IncPNTIn_CMDLinear(7, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return countOf("SA1;") == 1 && wire().size() >= 8; }, 3000));
  r = wire();
  auto it = std::find(r.begin(), r.end(), "SA1;");
  ASSERT_NE(it, r.end());
  ASSERT_NE(it, r.begin());
  EXPECT_EQ(*(it - 1), "ST;");
  ASSERT_NE(it + 1, r.end());
  EXPECT_EQ(*(it + 1), "ST;");
  // Still strictly alternating: every other command is "ST;".
  size_t start = r[0] == "ST;" ? 0 : 1;
  for (size_t i = start; i < r.size(); i += 2) EXPECT_EQ(r[i], "ST;") << i;
}

TEST_F(LinkE2E, UnansweredCommandIsWrittenFourTimesThenErrorFourWithHoldOff) {
  w->errorsMuted = 0;
  simAmpIgnore(amp, "SA");
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= 2; }, 3000));
  IncPNTIn_CMDLinear(7, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return ExistError(w.get(), 4) == 1; }, 30000));
  ASSERT_TRUE(kzWaitFor([&] {
    auto r = wire();
    auto last = std::find(r.rbegin(), r.rend(), "SA1;");
    return last != r.rend() && last != r.rbegin() && *(last - 1) == "ST;";
  }, 2000));
  auto r = wire();
  EXPECT_EQ(countOf("SA1;"), 4u);
  // The four writes are back to back, then the status poll.
  auto first = std::find(r.begin(), r.end(), "SA1;");
  ASSERT_LE(first + 5, r.end());
  EXPECT_TRUE(std::equal(first, first + 4, std::vector<std::string>(4, "SA1;").begin()));
  EXPECT_EQ(*(first + 4), "ST;");
  EXPECT_STREQ(w->errTable[4].line1, "Comm");
  EXPECT_STREQ(w->errTable[4].line2, "Err SA");
  EXPECT_EQ(w->restartCount.load(), 1);
  EXPECT_EQ(w->timeoutHoldoff.load(), 2000);

  // A second give-up while the hold-off runs (nothing counts it down here)
  // does not raise error 4 again, but restarts from "ST;" all the same.
  DeleteErrore(w.get(), 4);
  IncPNTIn_CMDLinear(7, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return w->restartCount.load() == 2; }, 30000));
  EXPECT_EQ(countOf("SA1;"), 8u);
  EXPECT_FALSE(ExistError(w.get(), 4));
  EXPECT_TRUE(kzWaitFor([&] { return wire().back() == "ST;" || wire().back() == "FM;"; }, 2000));
}

TEST_F(LinkE2E, BadChecksumsAreReportedAndTheReplyStillDecoded) {
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= 2; }, 3000));
  // Lower-case checksum characters fail the check (a checksum of digits
  // only reads the same in both cases, so several replies are sent so).
  simAmpLowerCaseChecksum(amp, 20);
  simAmpClearReceived(amp);
  // The echo of "SA3;" comes back with a lower-case checksum and is still
  // decoded: the antenna index follows it.
  w->antenna = 2;
  IncPNTIn_CMDLinear(7, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return countOf("SA3;") >= 1 && logged("**** CHK ERROR!!"); }, 3000));
  EXPECT_EQ(w->antenna.load(), 2);
  EXPECT_EQ(w->retryTotal.load(), 0);  // nothing was resent for it
  // A wrong checksum: reported too, and the link goes on polling.
  simAmpBadChecksum(amp, 1);
  size_t before = wire().size();
  ASSERT_TRUE(kzWaitFor([&] { return loggedCount("**** CHK ERROR!!") >= 2; }, 3000));
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= before + 4; }, 3000));
  EXPECT_EQ(w->restartCount.load(), 0);
}

TEST_F(LinkE2E, OverlongReplyRestartsTheBufferOnceAndTheLinkRecovers) {
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= 2; }, 3000));
  simAmpSetSilent(amp, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  simAmpSendRaw(amp, std::string(600, 'A'));
  ASSERT_TRUE(kzWaitFor([&] { return logged("ERROR COUNTER LINEAR"); }, 3000));
  EXPECT_EQ(loggedCount("ERROR COUNTER LINEAR"), 1);
  simAmpSetSilent(amp, false);
  size_t before = wire().size();
  // The command in flight times out, is resent, and the polling resumes.
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= before + 4; }, 6000));
}

TEST_F(LinkE2E, RefusedCommandIsResent) {
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= 2; }, 3000));
  simAmpRefuse(amp, "SA", '?', 1);
  IncPNTIn_CMDLinear(7, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return countOf("SA1;") == 2 && wire().back() != "SA1;"; }, 3000));
  EXPECT_EQ(w->retryTotal.load(), 1);
  EXPECT_TRUE(logged("CMD Errato:SA?;"));
}

TEST_F(LinkE2E, TemperatureAlarmSwitchesProtectionOn) {
  w->errorsMuted = 0;
  w->maxTemperature = 60;
  simAmpForceTemps(amp, 65, 30);
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return countOf("AB0;") == 1; }, 4000));
  auto r = wire();
  auto mp = std::find(r.begin(), r.end(), "MP1;");
  auto at = std::find(r.begin(), r.end(), "AT11;");
  auto ab = std::find(r.begin(), r.end(), "AB0;");
  ASSERT_NE(mp, r.end());
  ASSERT_NE(at, r.end());
  EXPECT_LT(mp, at);
  EXPECT_LT(at, ab);
  EXPECT_TRUE(ExistError(w.get(), 2));
  EXPECT_TRUE(simAmpState(amp).protection);
  // Cooling below the limit minus the hysteresis: alarm off, "AB1;", and
  // the after-alarm code that waits for the operator's reset.
  simAmpForceTemps(amp, 20, 20);
  ASSERT_TRUE(kzWaitFor([&] { return ExistError(w.get(), 0) == 1; }, 8000));
  EXPECT_FALSE(ExistError(w.get(), 2));
  EXPECT_TRUE(kzWaitFor([&] { return countOf("AB1;") == 1; }, 2000));
}

TEST_F(LinkE2E, MicroControllerRestartAndFaultBitsReachTheRegistry) {
  InitMicroCmd(w.get());
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return w->microReset.load() == 1 && CmdRingEmpty(w.get()); }, 5000));
  simAmpMicroRestart(amp);
  ASSERT_TRUE(kzWaitFor([&] { return ExistError(w.get(), 16) == 1; }, 3000));
  simAmpSetFaultBits(amp, 0x02);
  ASSERT_TRUE(kzWaitFor([&] { return ExistError(w.get(), 15) == 1; }, 3000));
  EXPECT_STREQ(w->errTable[15].line2, "REFL");
  simAmpSetFaultBits(amp, 0x00);
  EXPECT_TRUE(kzWaitFor([&] { return ExistError(w.get(), 15) == 0; }, 3000));
}

TEST_F(LinkE2E, PortThatCannotBeOpenedIsReportedAndTheThreadStillStops) {
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", "/nonexist/x");
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return w->linkError.load() == 1; }, 2000));
  EXPECT_STREQ(w->linkErrorText, "Linear: Unable to open device /nonexist/x");
  stopLink();
  // A device that is not a terminal opens but takes no serial settings.
  w->running = 1;
  w->linkError = 0;
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", "/dev/null");
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return w->linkError.load() == 1; }, 2000));
  EXPECT_STREQ(w->linkErrorText, "Linear: Unable to set comm port /dev/null");
  stopLink();
}

TEST_F(LinkE2E, RetryReopensThePortInTheRunningLink) {
  const std::string good = simAmpSlavePath(amp);
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", "/nonexist/x");
  EXPECT_FALSE(LinearRequestReopen());  // no link thread yet
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return w->linkError.load() == 1; }, 2000));
  // The operator plugs the port in and presses Retry: the same thread
  // opens it and talks; no second writer is started.
  snprintf(rec.LinPort, sizeof rec.LinPort, "%s", good.c_str());
  w->linkError = -1;
  ASSERT_TRUE(LinearRequestReopen());
  ASSERT_TRUE(kzWaitFor([&] { return countOf("ST;") >= 2; }, 5000));
  EXPECT_EQ(w->linkError.load(), -1);
  stopLink();
  EXPECT_FALSE(LinearRequestReopen());
}

TEST_F(LinkE2E, AfterFirmwareUpdateStartNothingMoreGoesOnTheWire) {
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= 2; }, 3000));
  IncPNTIn_CMDLinear(30, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return countOf("MR1;") == 1; }, 3000));
  EXPECT_TRUE(w->maintFlags.load() & 4);
  size_t n = wire().size();
  IncPNTIn_CMDLinear(7, w.get());
  IncPNTIn_CMDLinear(1, w.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(wire().size(), n);
  EXPECT_EQ(wire().back(), "MR1;");
}

TEST_F(LinkE2E, FailedReadAndSilenceMidReplyAreRetriedWithoutStaleBytes) {
  KzSerialFaults &f = kzSerialFaults();
  f.bytesRead = 0;
  f.reads = 0;
  f.silentAfter = -1;
  // The 5th read fails: the status reply in flight is resent.
  f.failReadOn = 5;
  kzSerialUse(kzSerialFaultLayer());
  startLink();
  ASSERT_TRUE(kzWaitFor([&] { return logged("timeout -1"); }, 3000));
  ASSERT_TRUE(kzWaitFor([&] { return w->retryTotal.load() >= 1 && wire().size() >= 4; }, 3000));
  EXPECT_EQ(w->retryTotal.load(), 1);
  EXPECT_EQ(wire()[0], "ST;");
  EXPECT_EQ(wire()[1], "ST;");  // the same command again
  // Silence after a few bytes of the next reply: time-out, resend, and the
  // bytes already read must not prefix the reply to the resend.
  f.failReadOn = 0;
  f.silentAfter = f.bytesRead.load() + 10;
  ASSERT_TRUE(kzWaitFor([&] { return w->retryTotal.load() >= 2; }, 4000));
  EXPECT_EQ(w->retryTotal.load(), 2);
  f.silentAfter = -1;
  size_t before = wire().size();
  ASSERT_TRUE(kzWaitFor([&] { return wire().size() >= before + 6; }, 4000));
  EXPECT_EQ(loggedCount("**** CHK ERROR!!"), 0);
  kzSerialUse(nullptr);
}
