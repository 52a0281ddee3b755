// Thermal management: thermistor conversion, the fan curve file and the fan
// hysteresis, temperature warnings and alarms, the temperature log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "amplifier/errors.h"
#include "amplifier/thermal.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "support.h"

namespace {

struct TempRoot : KzTempRoot {
  TempRoot() : KzTempRoot("kz_thermal") { kzTraceQuiet(true); }
  ~TempRoot() { kzTraceQuiet(false); }
};

}  // namespace

TEST(ThermalCalcola, ConversionAndLimits) {
  EXPECT_NEAR(CalcolaTemp(2048), 24.99f, 0.01f);
  EXPECT_FLOAT_EQ(CalcolaTemp(0), 80.0f);      // R = 0
  EXPECT_FLOAT_EQ(CalcolaTemp(4095), -10.0f);  // R infinite
  EXPECT_FLOAT_EQ(CalcolaTemp(4094), -10.0f);  // colder than the table
  // Hotter readings give lower resistance: never warmer for a higher raw.
  float prev = CalcolaTemp(0);
  for (int raw = 1; raw <= 4095; raw++) {
    float t = CalcolaTemp(static_cast<unsigned short>(raw));
    ASSERT_LE(t, prev) << raw;
    ASSERT_GE(t, -10.0f);
    ASSERT_LE(t, 80.0f);
    prev = t;
  }
}

TEST(ThermalVentola, ParsesRowsAndReadsTheFile) {
  TempRoot root;
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  std::vector<std::string> traces;
  kzLogHook([&](char k, const std::string &t) { if (k == 'T') traces.push_back(t); });
  ReadVentolaFile(w.get());  // missing: the built-in curve runs the fan
  EXPECT_EQ(traces.at(0), "Ventola File not FOUND!!");
  w->temp1 = 70;
  searchPercentVentola(w.get());
  EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{23});
  EXPECT_EQ(w->fanSent.load(), 100);

  std::string text = "; temperature percentage\r\n30 20\r\n\n   \r\n40.5\t50.9\nnan 10\n"
                     "45 inf\n47 250\nhello\n" + std::string(300, '9') + "\n50 100";
  ASSERT_EQ(kzSaveFileAtomic(root.dir + "/opt/set/ventola.txt", text), 0);
  traces.clear();
  ReadVentolaFile(w.get());
  kzLogHook(nullptr);
  ASSERT_EQ(w->fanCount, 3);
  EXPECT_FLOAT_EQ(w->fanTab[1].temperature, 40.5f);
  EXPECT_EQ(w->fanTab[1].percentage, 50);  // integer part
  EXPECT_EQ(w->fanTab[2].percentage, 100);
  EXPECT_EQ(traces, (std::vector<std::string>{"N row Ventola File 8 \n", "Setup3 \n",
                                               "->t:30.00: 20 \n", "->t:40.50: 50 \n",
                                               "->t:50.00: 100 \n"}));
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(w.get(), 50), 40.5f);
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(w.get(), 30), 0.0f);
}

TEST(ThermalFan, FollowsTheCurveWithHysteresis) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  kzTraceQuiet(true);
  const char curve[] = "30 20\n40 50\n50 100\n";
  parseVentolaText(w.get(), curve, sizeof curve - 1);
  w->isteresi2 = 3;
  struct Step {
    float t1, t2;
    int percent, sent;
  } steps[] = {
      {25, 0, 20, 20},     // below the first row: the first row's speed
      {0, 41, 50, 50},     // the hotter sensor counts; faster at once
      {38, 0, 20, 50},     // slower only below 40 - 3
      {37, 30, 20, 50},    {36.9f, 0, 20, 20}, {36, 0, 20, 20},
      {55, 0, 100, 100},   // above the last row: the last row's speed
      {48, 0, 50, 100},    {46.5f, 0, 50, 50},
  };
  int lastSent = 0;
  for (const Step &s : steps) {
    w->temp1 = s.t1;
    w->temp2 = s.t2;
    searchPercentVentola(w.get());
    SCOPED_TRACE(s.t1);
    EXPECT_EQ(w->fanPercent.load(), s.percent);
    EXPECT_EQ(w->fanSent.load(), s.sent);
    EXPECT_EQ(kzTakeQueued(w.get()), s.sent != lastSent ? std::vector<int>{23} : std::vector<int>{});
    lastSent = s.sent;
  }
  kzTraceQuiet(false);
}

TEST(ThermalAlarm, WarningAlarmAndAfterAlarm) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  w->isteresi1 = 1;
  kzTraceQuiet(true);
  auto sensor1 = [&](float t) { GestTemperatureFunction(w.get(), 2, 0, 23, t, 60.0f); };
  sensor1(59.5f);  // near the limit
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{23}));
  sensor1(60.5f);
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{2}));
  EXPECT_EQ(kzTakeQueued(w.get()), (std::vector<int>{18, 16, 19}));
  sensor1(61.0f);  // already in alarm
  sensor1(59.5f);  // inside the hysteresis with the alarm: no warning
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{2}));
  EXPECT_TRUE(kzTakeQueued(w.get()).empty());
  sensor1(58.9f);
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{0}));  // until the operator's reset
  EXPECT_EQ(w->errFlags.load() & 1, 1);
  EXPECT_EQ(kzTakeQueued(w.get()), (std::vector<int>{20}));
  sensor1(59.5f);
  sensor1(60.5f);  // a new alarm replaces the after code and the warning
  EXPECT_EQ(kzListed(w.get()), (std::vector<int>{2}));

  auto m = kzTestWorks(rec);  // muted (before "CP"): protection on, no "AB0;"
  m->errorsMuted = 1;
  GestTemperatureFunction(m.get(), 22, 21, 24, 81.0f, 80.0f);
  EXPECT_EQ(kzTakeQueued(m.get()), (std::vector<int>{18, 16}));
  kzTraceQuiet(false);
}

TEST(ThermalLog, WritesHeaderAndLinesBetweenRemounts) {
  TempRoot root;
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  std::snprintf(w->dateTimeStr, sizeof w->dateTimeStr, "2024-05-01 12:00:00");
  w->ampStatus1 = 1;
  w->temp1 = 35.3f;
  w->temp2 = 5.5f;
  w->pwrFwd = 5.0f;
  w->swr = 1.5f;
  w->ampModel = '1';
  w->panelReply[3] = 200;  // 50.04 V
  w->currentRaw = 2048;    // 7.025 A
  const std::string logPath = root.dir + "/opt/set/LOGtemp.txt";
  const std::string rw = "mount -o remount defaults,rw /opt/set";
  const std::string ro = "mount -v -n -o remount -r /opt/set";

  LogTempFunction(w.get(), 0);
  EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{rw, ro}));
  w->ampStatus1 = 0;
  w->enableLogTemp = 1;
  w->logRemoved = 1;
  GestTemperatureFunction(w.get(), 2, 0, 23, 61.0f, 60.0f);  // writes a mode-1 line
  EXPECT_EQ(w->logRemoved.load(), 0);
  std::string body;
  ASSERT_EQ(kzReadFile(logPath, body), 0);
  EXPECT_EQ(body,
            ";TX,Temp1,Temp2,FDD,SWR\n"
            "2024-05-01 12:00:00 , 1,35.3,05.5,5.0W,1.50,50.0V,07.0A\n"
            "2024-05-01 12:00:00 , 0,35.3,05.5,5.0W,1.50,50.0V,07.0A -> protezione attiva\n");

  kzCmdClearRecorded();
  LogTempFunction(w.get(), -1);
  EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{rw, "rm " + logPath, ro}));

  std::filesystem::remove(logPath);  // not writable: nothing is written
  kzCmdClearRecorded();
  kzCmdScript(rw, 1);
  LogTempFunction(w.get(), 0);
  EXPECT_FALSE(kzFileExists(logPath));
  EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{rw}));
}

// Without a usable curve (an empty file, or rows the curve cannot use) the
// fan runs on the built-in one, logged: at 48.4 degrees it is commanded to
// 60 %, never left at 0. A row colder than the one before is ignored.
TEST(ThermalVentola, EmptyOrUnusableCurveRunsTheFanOnTheBuiltInOne) {
  TempRoot root;
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  KzLogCapture log('L');
  for (const char *text : {"", "; only a comment\n\nfan fast\n"}) {
    ASSERT_EQ(kzSaveFileAtomic(root.dir + "/opt/set/ventola.txt", text), 0);
    ReadVentolaFile(w.get());
    ASSERT_EQ(w->fanCount, 3) << text;
    w->fanSent = 0;
    w->temp1 = 48.4f;
    searchPercentVentola(w.get());
    EXPECT_EQ(w->fanSent.load(), 60) << text;
    EXPECT_EQ(kzTakeQueued(w.get()), std::vector<int>{23}) << text;
  }
  EXPECT_EQ(log.count("ventola.txt: no usable fan curve, built-in curve used (0 C 30%, 40 C "
                      "60%, 50 C 100%)"),
            2);
  EXPECT_EQ(log.count("ventola.txt line 3: not a temperature and a percentage, ignored"), 1);

  const char curve[] = "30 0\n40 30\n50 60\n20 0\n60 100\n";
  parseVentolaText(w.get(), curve, sizeof curve - 1);
  EXPECT_EQ(w->fanCount, 4);
  EXPECT_EQ(log.count("ventola.txt line 4: temperature not above the row before, ignored"), 1);
  w->temp1 = 55;
  searchPercentVentola(w.get());
  EXPECT_EQ(w->fanPercent.load(), 60);
}
