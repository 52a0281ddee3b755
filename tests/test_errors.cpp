// Error and warning registry: raising and clearing codes, the sweeps and
// the reset commands of the reset key, the remote restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "platform/log.h"
#include "support.h"


TEST(ErrRegistry, AddOnceMutedFlagsAndLines) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  w->errorsMuted = 1;  // before the first "CP": lost, not deferred
  AddErrore(w.get(), 16);
  w->errorsMuted = 0;
  EXPECT_EQ(ExistError(w.get(), 16), 0);

  AddErrore(w.get(), 9);  // kind 0: no flag
  AddErrore(w.get(), 1);
  AddErrore(w.get(), 1);
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{9, 1}));
  EXPECT_EQ(tc.count("Add: N: 2 err:1\n"), 1);
  EXPECT_EQ(tc.count(" -->set protezione 0x1\n"), 1);
  AddErrore(w.get(), 19);  // kind 6: only the temporary bit is new
  AddErrore(w.get(), 12);
  EXPECT_EQ(tc.count(" -->tasto reset errore 0x5\n"), 1);
  EXPECT_EQ(tc.lines.size(), 6u);
  AddErrore(w.get(), 25);
  AddErrore(w.get(), -3);
  EXPECT_EQ(w->errCount.load(), 4);

  tc.lines.clear();
  DeleteErrore(w.get(), 7);  // not registered: silent
  EXPECT_TRUE(tc.lines.empty());
  DeleteErrore(w.get(), 9);  // the first: the others keep their order
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{1, 19, 12}));
  EXPECT_EQ(tc.count("Del ERROR: N: 3 err:9\n"), 1);
  EXPECT_EQ(ExistAnError(w.get()), 1);

  EXPECT_STREQ(w->errTable[4].line2, "warn ");
  EXPECT_STREQ(w->errTable[15].line2, "---");
  SetErrLine2(w.get(), 15, std::string(60, 'x').c_str());
  EXPECT_EQ(std::string(w->errTable[15].line2), std::string(29, 'x'));
  SetErrLine2(w.get(), 25, "nope");  // ignored
}

TEST(ErrRegistry, SweepsRemoveTemporaryCodesInAnyOrder) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  std::vector<int> codes{1, 2, 4, 9, 12, 19};  // 4, 12, 19 are temporary
  do {
    for (int c : codes) AddErrore(w.get(), c);
    VerifyWarningTemporanei(w.get());
    std::vector<int> expect;
    std::copy_if(codes.begin(), codes.end(), std::back_inserter(expect),
                 [](int c) { return c == 1 || c == 2 || c == 9; });
    ASSERT_EQ(kzListed(w.get()), expect);
    VerifyWarningTemporaneiDopoResetBias(w.get());
    ASSERT_EQ(w->errCount.load(), 0);
  } while (std::next_permutation(codes.begin(), codes.end()));
  tc.lines.clear();
  AddErrore(w.get(), 12);
  AddErrore(w.get(), 13);
  VerifyWarningTemporanei(w.get());
  EXPECT_EQ(tc.count("Del temp err: 12 (0 , 2)\n"), 1);
  EXPECT_EQ(tc.count("Del temp err: 13 (0 , 1)\n"), 1);
}

TEST(ErrResetKey, WhatTheKeyDoes) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  EXPECT_EQ(ExistAnError(w.get()), -1);
  EXPECT_EQ(GPIO_Errori(w.get()), 0);  // nothing registered
  AddErrore(w.get(), 2);               // sensor 1 too hot: no reset
  EXPECT_EQ(GPIO_Errori(w.get()), 0);
  EXPECT_TRUE(kzQueued(w.get()).empty());
  EXPECT_EQ(ExistError(w.get(), 2), 1);

  DeleteErrore(w.get(), 2);
  for (int c : {12, 9, 4}) AddErrore(w.get(), c);
  EXPECT_EQ(GPIO_Errori(w.get()), 1);  // temporary warnings go, nothing sent
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{9}));
  EXPECT_EQ(w->errFlags.load(), 0);
  EXPECT_TRUE(kzQueued(w.get()).empty());
  EXPECT_EQ(GPIO_Errori(w.get()), 1);  // a plain code: reset and clear
  EXPECT_EQ(kzQueued(w.get()), (std::vector<int>{17, 19, 14}));
  EXPECT_EQ(w->errCount.load(), 0);
}

TEST(ErrResetKey, ProtectionCodeQueuesTheResetCommands) {
  // The start-up list, thresholds included (a restarted micro-controller
  // has lost them): VSM, ER x3, MP0, TS, AN, SA, FS, MT1, PS, GM, GS, CP, MR0.
  const std::vector<int> startUp = {0, 36, 37, 38, 17, 22, 21, 7, 12, 11, 24, 33, 34, 13, 32};
  std::vector<int> restart = {13};
  restart.insert(restart.end(), startUp.begin(), startUp.end());
  restart.insert(restart.end(), {17, 19, 14});
  struct Case {
    uint8_t fault, status1, bypass;
    std::vector<int> expected;
  } cases[] = {
      {0x02, 2, 1, {13, 17, 20, 14}},  // tripped, fault bit, bypassed
      {0, 0, 0, {17, 19, 14}},         // neither: no "CPFFFF;"
      {0x80, 0, 0, restart},           // micro restarted: start-up list again
  };
  KzLogCapture tc;
  for (const Case &c : cases) {
    SetupRec rec{};
    auto w = kzTestWorks(rec);
    w->ampFault = c.fault;
    w->ampStatus1 = c.status1;
    w->ampBypass = c.bypass;
    AddErrore(w.get(), 1);
    EXPECT_EQ(GPIO_Errori(w.get()), 1);
    EXPECT_EQ(kzQueued(w.get()), c.expected);
    EXPECT_EQ(w->tuneCmdPending.load(), 1);
    EXPECT_EQ(w->errResetState.load(), 1);
  }
}

TEST(ErrGestErroreSerial, AfterTheResetReply) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  for (int c : {14, 1, 2}) AddErrore(w.get(), c);
  GestErroreSerial(w.get());  // protection flag: everything goes, nothing sent
  EXPECT_EQ(w->errCount.load(), 0);
  EXPECT_EQ(w->errFlags.load(), 3);  // display acknowledged
  EXPECT_TRUE(kzQueued(w.get()).empty());
  EXPECT_EQ(tc.count(" -->reset protezione 0\n"), 1);

  w->errFlags = 0;
  AddErrore(w.get(), 9);
  AddErrore(w.get(), 13);
  w->errFlags = 0;
  w->ampBypass = 1;
  GestErroreSerial(w.get());  // 13 cleared, 9 left: reset and clear
  EXPECT_EQ(w->errCount.load(), 0);
  EXPECT_EQ(kzQueued(w.get()), (std::vector<int>{17, 20, 14}));
}

TEST(ErrRemote, RestartStartsOnlyStoppedThreads) {
  SetupRec rec{};
  rec.EnableWrite = rec.EnableCAT = rec.EnableFFT = '0';
  rec.EnableRead = '1';
  auto w = kzTestWorks(rec);
  KzLogCapture tc;
  w->remoteRestart = 1;
  GestErroreRemote(w.get());  // remote group not active: nothing
  EXPECT_EQ(tc.count(">>> RESTART REMOTE: 0 1 audio 30 31\n"), 1);
  EXPECT_EQ(rec.EnableWrite, '0');
  w->remoteActive = 1;
  GestErroreRemote(w.get());
  EXPECT_EQ(w->remoteRestart.load(), 0);
  EXPECT_EQ(tc.count("start audio write\n"), 1);
  EXPECT_EQ(tc.count("start audio read\n"), 0);
  EXPECT_EQ(std::string({rec.EnableWrite, rec.EnableRead, rec.EnableCAT, rec.EnableFFT}), "1111");
  // The playback thread really started: it ends with the run flag down.
  w->running = 0;
  JoinAllThreads();
}
