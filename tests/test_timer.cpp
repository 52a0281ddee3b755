// The periodic supervisor, one cycle at a time: frequency follow-up by
// interface, the screen saver on the key clock, the link failure screen,
// the drawn frame; the thread for the counters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "amplifier/statusbuf.h"
#include "core/setup.h"
#include "core/timer.h"
#include "tuner/autotune.h"
#include "panel/keys.h"
#include "panel/png.h"
#include "platform/clock.h"
#include "radio/serparams.h"
#include "screen_support.h"
#include "sim/amp_sim.h"

namespace {

bool has(const std::vector<int> &v, int n) { return std::find(v.begin(), v.end(), n) != v.end(); }

// Start values, the band row applied, a key just pressed, a memory screen
// (fb null unless a test draws) and a green "start.png" in the working directory.
struct TimerFix : KzTempRoot {
  KzLogCapture quiet{0};
  std::filesystem::path oldCwd = std::filesystem::current_path();
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  SerParameters shared{}, par{};
  TimerHandshake hs;
  KzMemScreen s;
  TimerFix() : KzTempRoot("kz_timer") {
    std::filesystem::current_path(dir);
    for (size_t i = 1; i < s.draw.size(); i += 4) s.draw[i] = 200;
    fbSavePng(&s.fb, "start.png", FB_DRAW, true);
    s.clear();
    kzLoadTestFonts();  // (its own scratch root is gone again: ours comes back)
    kzSetRoot(dir);
    InitGlobalVar(w.get());
    w->serParams = &shared;
    w->bandRowIdx = 5;
    w->lastKeyTime = kzKeyClockSeconds();
  }
  ~TimerFix() {
    kzClockUse(&kzClockReal);
    std::filesystem::current_path(oldCwd);
  }
};

}  // namespace

TEST(Timer, FollowsTheFrequencyOfEachInterface) {
  TimerFix f;
  works *w = f.w.get();
  w->ModeWorkIdx = 0;  // Generic: the counter, no "FA", AN cleared with order 21
  w->freqMeasured = 7100000;
  w->anState = 1;
  TimerFollowFrequency(w, f.par);
  EXPECT_EQ(w->lastFreqHz.load(), 7100000u);
  auto q = kzTakeQueued(w);
  EXPECT_TRUE(has(q, 21) && !has(q, 9));
  w->freqMeasured = 0;  // no carrier counted: the last frequency stays
  TimerFollowFrequency(w, f.par);
  EXPECT_TRUE(w->freqHz.load() == 7100000u && kzTakeQueued(w).empty());
  w->ModeWorkIdx = 2;  // FT-817: the CAT frequency, told to the amplifier first
  w->catFreq = 21200000;
  TimerFollowFrequency(w, f.par);
  EXPECT_EQ(w->freqHz.load(), 21200000u);
  EXPECT_EQ(kzTakeQueued(w).at(0), 9);
  TimerFollowFrequency(w, f.par);  // unchanged: nothing; band row -1 forces the actions
  EXPECT_TRUE(kzTakeQueued(w).empty());
  w->bandRowIdx = -1;
  TimerFollowFrequency(w, f.par);
  EXPECT_TRUE(has(kzTakeQueued(w), 9));
  w->ModeWorkIdx = 1;  // KAV transceiver: a record not filled yet keeps the frequency
  TimerFollowFrequency(w, f.par);
  EXPECT_EQ(w->freqHz.load(), 21200000u);
  f.shared.curFreq = 14200000;
  TimerFollowFrequency(w, f.par);
  EXPECT_EQ(w->freqHz.load(), 14200000u);
  EXPECT_TRUE(has(kzTakeQueued(w), 9));
}

TEST(Timer, SaverStartsOnWholeIdleMinutesAndAKeyOnlyWakes) {
  TimerFix f;
  works *w = f.w.get();
  w->fb = &f.s.fb;
  kzFakeClockSet(kzClockReal.nowMs());  // the key clock reads wall seconds at first
  kzClockUse(&kzClockFake);
  w->lastKeyTime = kzKeyClockSeconds();
  w->saveScreenIdx = 0;  // 5 minutes
  kzFakeClockAdvance(299 * 1000);
  TimerCycle(w, f.par, f.hs);
  EXPECT_EQ(w->saverActive.load(), 0);
  kzFakeClockAdvance(1000);
  TimerCycle(w, f.par, f.hs);
  ASSERT_EQ(w->saverActive.load(), 1);
  EXPECT_EQ(f.s.countNot(0, 0, 800, 480, {0, 200, 0}), 0);  // nothing over "start"
  const int antenna = w->antenna.load();
  kzTakeQueued(w);
  EXPECT_EQ(DecodeTasto(w, 3, 0), 0);  // only wakes: no antenna change, no order
  EXPECT_EQ(w->saverActive.load(), 0);
  EXPECT_EQ(w->antenna.load(), antenna);
  EXPECT_TRUE(kzTakeQueued(w).empty());
  TimerCycle(w, f.par, f.hs);
  EXPECT_EQ(w->saverActive.load(), 0) << "key time " << w->lastKeyTime.load() << ", clock "
                                      << kzKeyClockSeconds();
  w->saveScreenIdx = 4;  // 60 minutes: reached after an hour
  w->lastKeyTime = kzKeyClockSeconds();
  kzFakeClockAdvance(3599 * 1000);
  EXPECT_EQ(TimerScreenSaver(w), 0);
  kzFakeClockAdvance(1000);
  EXPECT_EQ(TimerScreenSaver(w), 1);
}

// The amplifier linked and driven by a carrier: however long no key was
// pressed, the saver does not start while it transmits, and a saver that
// already shows wakes with the background of the page that was open (here
// the bank table). The idle time then counts from the end of the
// transmission. A new error keeps the saver off until a key is pressed;
// the 120 W model shows its own splash.
TEST(Timer, SaverKeepsOffWhileTransmittingAndForNewErrors) {
  TimerFix f;
  works *w = f.w.get();
  w->fb = &f.s.fb;
  SimAmp *amp = simAmpStart();
  ASSERT_NE(amp, nullptr);
  initSetup(w);
  snprintf(f.rec.LinPort, sizeof f.rec.LinPort, "%s", simAmpSlavePath(amp));
  w->saveScreenIdx = 0;  // 5 minutes
  w->running = 1;
  simAmpSetDrive(amp, 2.5, 14200000);
  InitMicroCmd(w);
  std::thread link(Linear, w);
  auto transmitting = [&] { return (w->ampStatus1.load() & 1) != 0; };
  const bool tx = kzWaitFor(transmitting, 20000);
  w->lastKeyTime = kzKeyClockSeconds() - 600;  // ten idle minutes
  TimerCycle(w, f.par, f.hs);
  const int startedWhileTx = w->saverActive.load();
  w->statusFlags = 2;  // the bank table under a saver started before the carrier
  w->saverActive = 1;
  TimerCycle(w, f.par, f.hs);
  const int stillOn = w->saverActive.load();
  const std::string woke = w->imgName;
  simAmpSetDrive(amp, 0.0, 14200000);
  const bool rx = kzWaitFor([&] { return !transmitting(); }, 20000);
  TimerCycle(w, f.par, f.hs);
  const int startedAfterTx = w->saverActive.load();
  w->running = 0;
  link.join();
  simAmpStop(amp);
  ASSERT_TRUE(tx && rx);
  EXPECT_EQ(startedWhileTx, 0);
  EXPECT_EQ(stillOn, 0);
  EXPECT_EQ(woke, "statusB");
  EXPECT_EQ(startedAfterTx, 0);  // counted from the end of the carrier

  w->statusFlags = 0;
  w->ampStatus1 = 0;
  w->saverHoldTime = kzKeyClockSeconds() - 600;
  w->errorsMuted = 0;
  AddErrore(w, 17);  // new: no saver until a key was pressed
  EXPECT_EQ(TimerScreenSaver(w), 0);
  w->screenState = KZ_SCR_TUNE;  // a key that changes nothing else
  DecodeTasto(w, 2, 0);
  w->lastKeyTime = kzKeyClockSeconds() - 600;
  w->saverHoldTime = 0;
  w->ampModel = '1';
  EXPECT_EQ(TimerScreenSaver(w), 1);
  EXPECT_STREQ(w->imgName, "start120");
}

TEST(Timer, LinkFailureScreenUntilAcknowledged) {
  TimerFix f;
  works *w = f.w.get();
  w->fb = &f.s.fb;
  w->linkError = 1;
  snprintf(w->linkErrorText, sizeof w->linkErrorText, "Amplifier port");
  w->ampModel = '1';
  w->freqMeasured = 3600000;
  w->statusFlags = 1;  // the overlay that started the failing link gives way
  KzLogCapture log('L');
  TimerCycle(w, f.par, f.hs);
  EXPECT_EQ(w->statusFlags.load(), 0);
  // The picture is looked for once, when the screen is entered, not on
  // every cycle (there is no "start120.png" here: each try logs).
  const int tries = log.countContaining("start120");
  EXPECT_GE(tries, 1);
  TimerCycle(w, f.par, f.hs);
  EXPECT_EQ(log.countContaining("start120"), tries);
  EXPECT_EQ(w->screenState.load(), KZ_SCR_LINKFAIL);
  EXPECT_STREQ(w->imgName, "start120");
  EXPECT_GT(f.s.count(130, 270, 500, 310, {255, 255, 255}), 50);
  EXPECT_EQ(w->freqHz.load(), 14070000u);  // not followed meanwhile
  w->linkError = -1;
  TimerCycle(w, f.par, f.hs);
  EXPECT_EQ(w->screenState.load(), KZ_SCR_MAIN);
  EXPECT_EQ(w->linkError.load(), 0);
  EXPECT_STREQ(w->imgName, "img1b");
}

TEST(Timer, StatusFrameOnlyWhileARemoteUnitIsConnected) {
  TimerFix f;
  works *w = f.w.get();
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  fcntl(sv[1], F_SETFL, O_NONBLOCK);
  w->wsFD = sv[0];
  char got[128], st[KZ_STATUS_BUF];
  TimerCycle(w, f.par, f.hs);  // not connected: nothing on the wire
  EXPECT_EQ(recv(sv[1], got, sizeof got, 0), -1);
  w->wsConnected = 1;
  TimerCycle(w, f.par, f.hs);  // written whole within the cycle: 0x82, 46, "ST", 44 bytes
  ASSERT_EQ(recv(sv[1], got, sizeof got, 0), 48);
  CreaBufferDiStato(w, st);
  EXPECT_EQ(std::string(got, 48), "\x82\x2eST" + std::string(st, 44));
  close(sv[0]);
  close(sv[1]);
}

TEST(Timer, FrameHasDateTextAndMetersOrPlotOnlyWithoutOverlay) {
  TimerFix f;
  works *w = f.w.get();
  KzMemScreen &s = f.s;
  w->fb = &s.fb;
  w->viewTimeStr = 1;
  w->backReload = 0;
  snprintf(w->dateTimeStr, sizeof w->dateTimeStr, "2024-01-02 03:04:05");  // until the next second
  TimerStart(w);
  TimerCycle(w, f.par, f.hs);
  const int left = 780 - getStringSpace(6, w->dateTimeStr);
  const KzRgb white{255, 255, 255};
  EXPECT_GT(s.count(left, 2, 781, 20, white), 20);
  EXPECT_EQ(s.count(0, 0, left - 2, 20, white) + s.count(782, 0, 800, 20, white), 0);
  EXPECT_GT(s.count(0, 60, 800, 262, {255, 0, 0}), 100);  // the needles
  EXPECT_EQ(s.at(200, 200, FB_SCREEN), s.at(200, 200));   // shown
  w->workScreenType = 4;
  TimerCycle(w, f.par, f.hs);
  s.save("timer_plot");
  EXPECT_GT(s.count(0, 60, 800, 232, {120, 120, 120}), 1000);  // the grid
  EXPECT_EQ(s.count(0, 60, 800, 262, {255, 0, 0}), 0);
  w->statusFlags = 1;
  TimerCycle(w, f.par, f.hs);
  EXPECT_LT(s.count(0, 60, 800, 232, {120, 120, 120}), 100);  // text edges at most
}

TEST(Timer, CountersAdvanceByTheElapsedTimeOfEachCycle) {
  TimerFix f;
  KzLogCapture log('L');
  works *w = f.w.get();
  w->enableLogTemp = 1;
  w->logRemoved = 1;
  TimerCountDown(w, 4999);
  EXPECT_FALSE(std::filesystem::exists(f.file("LOGtemp.txt")));
  TimerCountDown(w, 1);
  EXPECT_DOUBLE_EQ(w->logTempAccumMs, 0.0);
  EXPECT_TRUE(std::filesystem::exists(f.file("LOGtemp.txt")));  // the line was written
  // The thread counts real time, pause included, the same for every
  // counter; an idle cycle queues no order.
  w->timeoutHoldoff = 100;
  // A hold far longer than the wait, so that a slow machine cannot run
  // it out and stop it counting.
  w->peakFwdHold = 600000;
  w->angleFwdPeak = 1.0f;
  std::thread th(timer, w);
  ASSERT_TRUE(kzWaitFor([&] { return w->timeoutHoldoff.load() == 0; }, 5000));
  w->running = 0;
  th.join();
  const int spent = 600000 - w->peakFwdHold;
  EXPECT_GE(spent, 100);
  EXPECT_DOUBLE_EQ(w->logTempAccumMs, double(spent));
  EXPECT_EQ(w->angleFwdPeak, 0.0f);
  EXPECT_EQ(log.count("Timer thread started"), 1);
  EXPECT_TRUE(kzTakeQueued(w).empty());
}

TEST(Timer, InputPowerIsTheTransmitStateOutsideInterfaceOne) {
  TimerFix f;
  works *w = f.w.get();
  auto at = [&](int mode, float watts) {
    w->ModeWorkIdx = mode;
    w->pwrIn = watts;
    TimerTransmitFromInput(w);
    return w->txActive.load();
  };
  w->txActive = 0;
  // On at 0.25 W (a 1 W carrier behind the 5 dB attenuator), off below 0.10 W.
  EXPECT_EQ(at(0, 0.24f), 0);
  EXPECT_EQ(at(0, 0.25f), 1);
  EXPECT_EQ(at(0, 0.10f), 1);
  EXPECT_EQ(at(0, 0.099f), 0);
  EXPECT_EQ(at(2, 0.2f), 0);  // FT-817 the same
  EXPECT_EQ(at(2, 9.0f), 1);
  EXPECT_EQ(at(2, std::nanf("")), 0);
  EXPECT_EQ(at(1, 9.0f), 0);  // interface 1: the transceiver's flag, untouched
  w->txActive = 1;
  EXPECT_EQ(at(1, 0.0f), 1);
  // The cycle takes it on the other interfaces.
  w->ModeWorkIdx = 0;
  TimerCycle(w, f.par, f.hs);
  EXPECT_EQ(w->txActive.load(), 0);
}

// One thread composes the screen: a background asked for by another thread
// (a key) waits for the owner's next frame; once the supervisor has ended
// a late request touches nothing, and the closing screen is main's.
TEST(Timer, BackgroundsAskedFromOtherThreadsAreLoadedByTheScreenOwner) {
  TimerFix f;
  works *w = f.w.get();
  KzMemScreen &s = f.s;
  w->fb = &s.fb;
  for (size_t i = 2; i < s.draw.size(); i += 4) s.draw[i] = 200;
  fbSavePng(&s.fb, "img3.png", FB_DRAW, true);  // red; "start.png" is green
  s.clear();
  const KzRgb green{0, 200, 0}, red{200, 0, 0}, black{0, 0, 0};
  auto fromKeyThread = [&](const char *name) { std::thread([&] { SetBackground(w, name); }).join(); };
  // main owns the screen during the start-up: the request waits.
  ASSERT_EQ(ScreenOwnerTake(w, false), 0);
  fromKeyThread("start");
  EXPECT_TRUE(w->bgPending.load() && w->imgName[0] == 0 && s.at(5, 5, FB_BACK) == black);
  // The supervisor takes the screen and carries out each request in a frame.
  std::thread sup(timer, w);
  ASSERT_TRUE(kzWaitFor([&] { return !w->bgPending.load(); }, 30000));
  fromKeyThread("img3");
  ASSERT_TRUE(kzWaitFor([&] { return !w->bgPending.load(); }, 30000));
  w->running = 0;
  sup.join();
  EXPECT_STREQ(w->imgName, "img3");
  EXPECT_EQ(s.at(5, 5, FB_BACK), red);
  EXPECT_GT(s.count(0, 0, 800, 480, red), 800 * 480 / 2);  // the frames show it
  // The supervisor's last frame is done: nothing may land any more.
  s.clear();
  SetBackground(w, "start");
  fromKeyThread("start");
  EXPECT_TRUE(!w->bgPending.load() && s.at(5, 5, FB_BACK) == black);
  EXPECT_STREQ(w->imgName, "img3");
  EXPECT_EQ(ScreenOwnerTake(w, false), -1);
  // main takes it for the closing screen; a key's request meanwhile is dropped.
  ASSERT_EQ(ScreenOwnerTake(w, true), 0);
  SetBackground(w, "start");
  fromKeyThread("img3");
  EXPECT_TRUE(!w->bgPending.load() && s.at(5, 5, FB_BACK) == green && s.at(5, 5) == green);
  EXPECT_STREQ(w->imgName, "start");
}

// Interface 1: transmit and antenna flags from the transceiver, and the
// tuning handshake of the automatic tuner through the link's pending
// commands (the link thread's part is played here by hand).
TEST(Timer, TransceiverHandshakeOnInterfaceOne) {
  TimerFix f;
  works *w = f.w.get();
  w->ModeWorkIdx = 1;
  w->tuneEnabled = 1;
  w->atuBypass = 0;
  w->autoTuneMode = 0x01;
  w->errorsMuted = 0;  // the amplifier has answered "CP"
  SerParameters par{};
  auto cycle = [&](int tx) {
    par.flagB9b6 = tx;
    TimerTransceiver(w, par, f.hs);
  };
  auto bits = [&] { return unsigned(w->autoTuneMode.load()); };

  // The antenna flag is followed in receive only.
  w->anState = 0;
  par.flagB11b5 = 1;
  cycle(1);
  EXPECT_EQ(w->txActive.load(), 1);
  EXPECT_EQ(w->anState.load(), 0);
  kzTakeQueued(w);
  w->tuneState = 0;
  EscAutoTune(w, 0);  // (the transmission above started a tune: end it)
  kzTakeQueued(w);
  w->autoTuneMode = 0x01;
  cycle(0);
  EXPECT_EQ(w->txActive.load(), 0);
  EXPECT_EQ(w->anState.load(), 1);
  EXPECT_TRUE(has(kzTakeQueued(w), 21));
  par.flagB11b5 = 0;

  // The operator transmits: a tune of ours starts, unless the last key
  // request's delay still counts (then it is counted down).
  w->rxDelay = 2;
  cycle(1);
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_EQ(w->rxDelay.load(), 1);
  w->rxDelay = 0;
  cycle(1);
  EXPECT_EQ(w->tuneState.load(), 1);
  EXPECT_EQ(bits() & 0x02, 0x02u);
  // The tune ends: "RX;" is wanted; once sent, about ten cycles later the
  // handshake is idle and the next transmission may tune again.
  EscAutoTune(w, 0);
  kzTakeQueued(w);
  EXPECT_EQ(bits() & 0x04, 0x04u);
  w->autoTuneMode = uint8_t((bits() & ~0x04u) | 0x08u);  // the link sent "RX;"
  int n = 0;
  while ((bits() & 0x08) && n < 100) cycle(n < 3 ? 1 : 0), n++;
  EXPECT_GE(n, 10);
  EXPECT_LE(n, 13);
  EXPECT_EQ(bits(), 0x01u);
  EXPECT_EQ(f.hs.hsTicks, 0);

  // The tune key: "TU120;TX2;" is asked for only with the command queue
  // empty; a carrier that never comes ends the tune with error 14 after
  // more than 30 cycles, and "RX;" releases the transceiver.
  StartAutotune(w);
  w->autoTuneMode = 0x11;
  cycle(0);
  EXPECT_EQ(bits() & 0x20, 0u);  // the start commands are still queued
  kzTakeQueued(w);
  cycle(0);
  EXPECT_EQ(bits() & 0x20, 0x20u);
  w->autoTuneMode = uint8_t((bits() & ~0x20u) | 0x40u);  // the link sent it
  for (int i = 0; i < 31; i++) cycle(0);
  EXPECT_EQ(w->tuneState.load(), 1);
  EXPECT_FALSE(has(kzListed(w), 14));
  cycle(0);
  EXPECT_EQ(w->tuneState.load(), 0);
  EXPECT_TRUE(has(kzListed(w), 14));
  EXPECT_EQ(bits() & 0x50, 0u);
  EXPECT_EQ(bits() & 0x04, 0x04u);

  // Without the setting nothing is started; other interfaces leave it all.
  w->autoTuneMode = 0x00;
  kzTakeQueued(w);
  cycle(1);
  EXPECT_EQ(w->tuneState.load(), 0);
  w->ModeWorkIdx = 0;
  w->autoTuneMode = 0x01;
  w->txActive = 0;
  cycle(1);
  EXPECT_EQ(w->txActive.load(), 0);
  EXPECT_EQ(w->tuneState.load(), 0);
}
