// Settings menus: the stepping and wrapping rules of the entries, the
// address editor, the value texts, the confirmations (setup file, update
// requests, factory default) and the tables built at start.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/lan.h"
#include "panel/menu.h"
#include "panel/meters.h"
#include "platform/files.h"
#include "support.h"
#include "tuner/banktab.h"
#include "tuner/tunemem.h"

namespace {

enum { ENTER = 0, MINUS = 1, PLUS = 2, LEFT = 3, RIGHT = 4 };

struct MenuTest : ::testing::Test {
  KzTempRoot root{"kzmenu"};
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  // Globals the menu edits, put back afterwards for the other suites.
  works *savedStatic = staticworks;
  double longPress = TIME_LONG_PRESS;
  int peakSec = TimerPeakSec, refLevel = RefLevel, refPos = RefPos, pointDiv = PointDiv;
  uint8_t ip[4], gw[4], gwNone = Gateway_none, dnsNone = DNS_none;
  int cntIP = CntIP, cntGw = CntGateway;

  void SetUp() override {
    memcpy(ip, IP_v, 4);
    memcpy(gw, Gateway_v, 4);
    initSetup(w.get());
    factoryConfirm = 0;
  }
  void TearDown() override {
    staticworks = savedStatic;
    TIME_LONG_PRESS = longPress;
    TimerPeakSec = peakSec;
    RefLevel = refLevel;
    RefPos = refPos;
    PointDiv = pointDiv;
    memcpy(IP_v, ip, 4);
    memcpy(Gateway_v, gw, 4);
    Gateway_none = gwNone;
    DNS_none = dnsNone;
    CntIP = cntIP;
    CntGateway = cntGw;
    factoryConfirm = 0;
  }
  int press(int entry, int key) {
    w->menuIdx = entry;
    return ModifyParameter(w.get(), key);
  }
  std::string text(int entry, int sub = 0) {
    char buf[64] = "untouched";
    LoadParameterMenu(w.get(), buf, entry, sub);
    return buf;
  }
  // Presses `key` n times on `entry`, the value text after each press.
  std::vector<std::string> run(int entry, int key, int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i) v.push_back((press(entry, key), text(entry)));
    return v;
  }
  std::string setupFile() {
    std::string s;
    kzReadFile(root.file("setup.txt"), s);
    return s;
  }
  bool fileHas(const std::string &line) {
    return setupFile().find(line + "\n") != std::string::npos;
  }
};

using Texts = std::vector<std::string>;

TEST_F(MenuTest, StepsWrapAndStopAtTheirBounds) {
  w->maxBank = 19;
  EXPECT_EQ(run(0, PLUS, 2), (Texts{"20", "2"}));
  EXPECT_EQ(run(0, MINUS, 1), (Texts{"20"}));
  PointDiv = 1;
  EXPECT_EQ(run(15, PLUS, 5), (Texts{"2", "5", "10", "20", "20"}));
  EXPECT_EQ(run(15, MINUS, 5), (Texts{"10", "5", "2", "1", "1"}));
  RefPos = 9;
  EXPECT_EQ(run(14, PLUS, 2), (Texts{"10", "10"}));
  RefLevel = -110;
  EXPECT_EQ(run(13, MINUS, 1), (Texts{"-120"}));
  w->autoTuneMaxCicli = 0;
  EXPECT_EQ(run(6, MINUS, 1), (Texts{"25sec"}));
  w->autoTuneMaxCicli = 4;
  EXPECT_EQ(run(6, PLUS, 2), (Texts{"25sec", "20sec"}));
  w->saveScreenIdx = 4;
  EXPECT_EQ(run(24, PLUS, 1), (Texts{"5min"}));
  EXPECT_EQ(run(24, MINUS, 1), (Texts{"5min"}));
  w->attenuatorTune = 3;
  EXPECT_EQ(run(4, LEFT, 2), (Texts{"0dB", "2dB"}));
  TimerPeakSec = 4995;
  EXPECT_EQ(run(20, PLUS, 1), (Texts{"5000"}));
  TimerPeakSec = 5;
  EXPECT_EQ(run(20, MINUS, 1), (Texts{"0"}));
  // The frequency period keeps to the four digits of its setup field.
  w->freqPeriodTime = 9980;
  EXPECT_EQ(run(2, PLUS, 2), (Texts{"9990", "9990"}));
  w->freqPeriodTime = 20;
  EXPECT_EQ(run(2, MINUS, 2), (Texts{"10", "10"}));
  // The auto-tune setting is bit 0 only; the handshake bits stay.
  w->autoTuneMode = 0x06;
  EXPECT_EQ(run(3, RIGHT, 1), (Texts{"On"}));
  EXPECT_EQ(w->autoTuneMode.load(), 0x07);
}

TEST_F(MenuTest, DecimalSettingsStepWithoutDriftInTheirRanges) {
  w->swrEscAutoTune = 0.0f;  // below 1.00 means off
  EXPECT_EQ(run(5, PLUS, 2), (Texts{"1.00", "1.01"}));
  EXPECT_EQ(run(5, MINUS, 3), (Texts{"1.00", "0.00", "0.00"}));
  w->swrEscAutoTune = 9.99f;
  EXPECT_EQ(run(5, PLUS, 2), (Texts{"10.00", "10.00"}));
  TIME_LONG_PRESS = 0.5;
  EXPECT_EQ(run(26, MINUS, 10).back(), "0.3 sec");
  for (const std::string &t : run(26, PLUS, 60)) ASSERT_LE(std::stod(t), 5.0);
  EXPECT_EQ(text(26), "5.0 sec");
  w->offsetPlot = 0;
  EXPECT_EQ(run(16, PLUS, 3).back(), "0.30");
  EXPECT_EQ(run(16, MINUS, 3).back(), "0.00");
  // Alarm set points: 20 to the allowed maximum (60 here).
  w->maxTempAllowed = 60;
  w->maxTemperature = 59.9f;
  EXPECT_EQ(run(21, PLUS, 2), (Texts{"60.00", "60.00"}));
  w->maxTemperature = 20.0f;
  EXPECT_EQ(run(21, MINUS, 1), (Texts{"20.00"}));
  w->maxTemperature2 = 80.0f;  // its start value, above the allowed 60
  EXPECT_EQ(run(22, PLUS, 1), (Texts{"80.00"}));  // "+" never lowers it
  EXPECT_EQ(run(22, MINUS, 1), (Texts{"60.00"}));
}

TEST_F(MenuTest, AddressOctetsAndCursorWrap) {
  KzLogCapture quiet('T');
  uint8_t v[4] = {10, 0, 0, 255};
  EXPECT_EQ(ModifyIP(PLUS, 3, v), 3);
  ModifyIP(MINUS, 1, v);
  EXPECT_EQ(std::vector<int>(v, v + 4), (std::vector<int>{10, 255, 0, 0}));
  EXPECT_EQ(ModifyIP(LEFT, 0, v), 3);
  EXPECT_EQ(ModifyIP(RIGHT, 3, v), 0);
  // Through the menu: the text and the highlight follow the vector.
  IP_v[0] = 192, IP_v[1] = 168, IP_v[2] = 1, IP_v[3] = 255;
  CntIP = 3;
  EXPECT_EQ(run(9, PLUS, 1), (Texts{"192.168.1.0"}));
  EXPECT_STREQ(IP, "192.168.1.0");
  EXPECT_EQ(run(9, RIGHT, 1), (Texts{"192.168.1.0"}));
  EXPECT_EQ(run(9, MINUS, 1), (Texts{"191.168.1.0"}));
  EXPECT_EQ(LAN_idx, 0);
  EXPECT_EQ(LAN_vect[0], 191);
  // An edited gateway is written even where the file had none.
  Gateway_none = 1;
  press(11, RIGHT);
  EXPECT_EQ(Gateway_none, 1);
  press(11, PLUS);
  EXPECT_EQ(Gateway_none, 0);
  press(9, ENTER);  // saves the network settings (no file here)
  EXPECT_EQ(kzCmdRecorded(), std::vector<std::string>{"mount -o remount defaults,rw /"});
}

TEST_F(MenuTest, UpdateAndServiceEntriesActOnlyWhenArmed) {
  KzLogCapture traces('T');
  w->maintFlags = 0;
  press(28, ENTER);
  press(29, ENTER);
  press(30, ENTER);
  EXPECT_TRUE(kzQueued(w.get()).empty());
  EXPECT_TRUE(kzCmdRecorded().empty());
  EXPECT_EQ(run(28, PLUS, 1), (Texts{"ON"}));
  press(28, ENTER);
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{30});
  EXPECT_EQ(text(28), "ON");  // stays armed until the restart
  press(29, MINUS);
  press(29, ENTER);
  EXPECT_EQ(text(29), "OFF");
  press(30, PLUS);
  press(30, ENTER);
  EXPECT_EQ(kzCmdRecorded(), (Texts{"/opt/KavZil/getpack.sh", "/opt/sshshell"}));
  EXPECT_EQ(traces.count("Start REMOTE SRV\n"), 1);
  w->panelCmd = 255;
  press(27, ENTER);
  EXPECT_EQ(w->panelCmd.load(), 133);
}

TEST_F(MenuTest, ConfirmedValuesReachTheSetupFile) {
  KzLogCapture traces('T');
  TimerPeakSec = 3000;
  run(20, PLUS, 2);
  EXPECT_FALSE(fileHas("Peak_Time: 3020"));
  press(20, ENTER);
  EXPECT_TRUE(fileHas("Peak_Time: 3020"));
  w->maxBank = 20;
  press(0, PLUS);
  press(0, RIGHT);
  EXPECT_TRUE(fileHas("MAXbank: 2"));
  w->freqPeriodTime = 10;
  press(2, PLUS);
  press(2, ENTER);
  EXPECT_TRUE(fileHas("FreqPeriodTime: 20"));
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{12});
  w->tempMode = 0;
  EXPECT_EQ(run(18, LEFT, 1), (Texts{"Fahrenheit"}));
  press(18, ENTER);
  EXPECT_TRUE(fileHas("TempMode: 1"));
  w->tuneEnabled = 0;
  EXPECT_EQ(run(7, PLUS, 2), (Texts{"No", "Yes"}));
  EXPECT_EQ(traces.count("----------> SAVE ATU: 0x80\n"), 1);
  // "AUTO TUNE / Search": either key toggles, ENTER stores.
  w->autoTuneSearch = 0;
  EXPECT_EQ(run(31, PLUS, 3), (Texts{"Fast", "Standard", "Fast"}));
  press(31, ENTER);
  EXPECT_TRUE(fileHas("AutoTuneSearch: 1"));
}

TEST_F(MenuTest, OnlyTheStepEntriesRepeat) {
  KzLogCapture quiet('T');
  const std::set<int> repeating = {2, 5, 16, 20, 21, 22};
  for (int e = 0; e < KZ_MENU_ENTRIES; ++e) {
    for (int key : {PLUS, MINUS}) EXPECT_EQ(press(e, key), int(repeating.count(e))) << e;
    if (repeating.count(e)) {
      EXPECT_EQ(press(e, ENTER), 0) << e;
    }
  }
}

TEST_F(MenuTest, FactoryDefaultDeletesTablesAndRebuildsSetup) {
  KzLogCapture quiet('T');
  // The first-start file, as a fresh unit writes it.
  {
    SetupRec rec0{};
    auto w0 = kzTestWorks(rec0);
    readSetup(w0.get());
  }
  std::string firstStart = setupFile();
  ASSERT_FALSE(firstStart.empty());

  // A unit with changed settings and a running link.
  w->tempMode = w->powerUnits = w->enableDebug = w->viewTimeStr = w->enablePwrPeak = 1;
  w->freqSensIn = 1;
  w->tuneEnabled = -128;
  w->swrEscAutoTune = 1.5f;
  w->offsetPlot = 3;
  w->antenna = 2;
  w->autoTuneMaxCicli = 3;
  w->saveScreenIdx = 2;
  w->attenuatorTune = 2;
  w->autoTuneMode = 0x05;
  w->maxBank = 5;
  w->numBanco = 4;
  TimerPeakSec = 100;
  TIME_LONG_PRESS = 2.0;
  writeSetup(w.get());
  ASSERT_NE(setupFile(), firstStart);
  w->serFD = 7;
  w->errorsMuted = 0;
  w->ampModel = '1';
  w->panelCmd = 255;
  w->freqHz = 7100000;
  rec.enaser = '0';
  int meterSteps = number_ofStep_meter_FWD;
  number_ofStep_meter_FWD = 120;

  kzCmdClearRecorded();
  press(25, ENTER);  // not confirmed: nothing happens
  EXPECT_TRUE(kzCmdRecorded().empty());
  press(25, PLUS);
  EXPECT_EQ(text(25), "Set Default");
  press(25, ENTER);

  std::vector<std::string> rms;
  for (const std::string &c : kzCmdRecorded())
    if (c.rfind("rm -f ", 0) == 0) rms.push_back(c);
  std::vector<std::string> want;
  for (int bank = 0; bank < 20; ++bank) {
    for (int a = 0; a < 3; ++a) want.push_back("rm -f " + kzPath(AtuFileName(bank, a).c_str()));
    want.push_back("rm -f " + kzPath(BankTabFileName(bank).c_str()));
  }
  EXPECT_EQ(rms, want);

  EXPECT_EQ(setupFile(), firstStart);
  EXPECT_EQ(text(25), "No Default");
  EXPECT_EQ(w->tempMode, 0);
  EXPECT_EQ(w->tuneEnabled, 0);
  EXPECT_EQ(w->numBanco.load(), 1);
  EXPECT_EQ(w->maxBank.load(), 20);
  EXPECT_EQ(w->autoTuneMode.load(), 0x04);
  EXPECT_EQ(w->bandRowIdx.load(), -1);
  EXPECT_EQ(TimerPeakSec, 3000);
  // The running unit keeps its links, identity and error gate.
  EXPECT_EQ(w->serFD, 7);
  EXPECT_EQ(w->errorsMuted.load(), 0);
  EXPECT_EQ(w->ampModel.load(), '1');
  EXPECT_EQ(w->panelCmd.load(), 255);
  EXPECT_EQ(w->freqHz.load(), 7100000u);
  EXPECT_EQ(rec.enaser, '0');
  EXPECT_EQ(number_ofStep_meter_FWD, 120);
  EXPECT_EQ(staticworks, w.get());
  number_ofStep_meter_FWD = meterSteps;
}

TEST_F(MenuTest, ValueTextsAndStartTables) {
  w->freqSensIn = 1;
  w->remoteActive = 1;
  w->powerUnits = 0;
  EXPECT_EQ(text(1), "FQ2");
  EXPECT_EQ(text(8), "Remote");
  EXPECT_EQ(text(23), "Watt");
  EXPECT_EQ(text(27), "OFF");
  EXPECT_EQ(text(18, 1), "untouched");  // no sub-item 1: the text is left alone
  EXPECT_EQ(text(31), "Standard");  // "AUTO TUNE / Search"
  EXPECT_EQ(text(32), "");
  w->maxTemperature = 60.0f;  // the alarm set points follow the temperature unit
  w->maxTemperature2 = 65.0f;
  w->tempMode = 0;
  EXPECT_EQ(text(21), "60.00");
  w->tempMode = 1;
  EXPECT_EQ(text(21), "140.00°F");
  EXPECT_EQ(text(22), "149.00°F");
  w->offsetPlot = 1e40;  // never more than 32 bytes, whatever the value
  char buf[64];
  memset(buf, 'x', sizeof buf);
  LoadParameterMenu(w.get(), buf, 16, 0);
  EXPECT_EQ(strlen(buf), 31u);
  EXPECT_EQ(buf[32], 'x');

  w->numBanco = 3;
  w->attenuator = 2;
  w->antenna = 1;
  InitMenuNova(w.get());
  EXPECT_EQ(w->menuCount, 32);
  EXPECT_EQ(menuPar[17].number, 50);
  EXPECT_EQ(menuPar[30].number, 99);
  // The entry added after the first list: no earlier entry moved.
  EXPECT_EQ(menuPar[31].number, 18);
  EXPECT_STREQ(menuPar[31].title, "AUTO TUNE");
  EXPECT_STREQ(menuPar[31].sub[0].label, "Search");
  EXPECT_STREQ(menuPar[24].title, "SCREEN SAVER TIMEOUT");
  EXPECT_STREQ(menuPar[21].sub[0].label, " SET POINT");
  for (int i = 0; i < KZ_MENU_ENTRIES; ++i)
    EXPECT_EQ(menuPar[i].sub[0].flag, (i >= 9 && i <= 12) ? 1 : 0) << i;
  EXPECT_EQ(Texts(Novamenu[0].lbl, Novamenu[0].lbl + 12),
            (Texts{"  MEM", "BANK 3", " IN-ATT", "3dB", "   ANT", "2", "  TUNE", " ", "   SET",
                   " ", "   VIEW ", " 1 "}));
  EXPECT_EQ(Novamenu[0].flags, 0x21);
  EXPECT_EQ(Novamenu[4].flags, 0x01);
  EXPECT_STREQ(Novamenu[2].lbl[6], "      - ");
  EXPECT_STREQ(Novamenu[8].lbl[3], "   0");
  EXPECT_STREQ(Novamenu[8].lbl[5], "     1");
  EXPECT_STREQ(Novamenu[10].lbl[11], "COPY");
}

}  // namespace
