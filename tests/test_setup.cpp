// Setup file: start values, reading quirks, bounded fields, the first-start
// file, the round trip through writeSetup and the save between remounts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/notice.h"
#include "core/optset.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "support.h"

namespace {

const std::vector<std::string> kRemounts = {"mount -o remount defaults,rw /opt/set",
                                            "mount -v -n -o remount -r /opt/set"};

// A fresh root with opt/set, the recorder with no script, the syslog lines
// collected; the globals the file writes are restored afterwards.
class SetupTest : public ::testing::Test {
 protected:
  std::unique_ptr<KzTempRoot> root;
  std::string dir;
  SetupRec rec;
  std::unique_ptr<works> w = std::make_unique<works>();
  std::vector<std::string> logs;
  works *savedStatic = staticworks;
  double longPress = TIME_LONG_PRESS, peakDec = PeakDecrement;
  int media = fattoremedia, peakDecTime = PeakDecrementTime, peakSec = TimerPeakSec;

  void SetUp() override {
    root = std::make_unique<KzTempRoot>("kz_setup");
    dir = root->dir;
    kzTraceQuiet(true);
    kzLogHook([this](char kind, const std::string &t) {
      if (kind == 'L') logs.push_back(t);
    });
    w->setup = &rec;
  }
  void TearDown() override {
    kzLogHook(nullptr);
    kzTraceQuiet(false);
    root.reset();
    staticworks = savedStatic;
    TIME_LONG_PRESS = longPress;
    PeakDecrement = peakDec;
    fattoremedia = media;
    PeakDecrementTime = peakDecTime;
    TimerPeakSec = peakSec;
  }
  std::string file() const { return dir + "/opt/set/setup.txt"; }
  void put(const std::string &text) { ASSERT_EQ(kzSaveFileAtomic(file(), text), 0); }
  std::string get() {
    std::string s;
    EXPECT_EQ(kzReadFile(file(), s), 0);
    return s;
  }
  void parse(const std::string &text) { parseSetupText(w.get(), text.data(), text.size()); }
  bool logged(const std::string &t) { return std::count(logs.begin(), logs.end(), t) > 0; }
  bool written(const std::string &line) {
    return ("\n" + get()).find("\n" + line + "\n") != std::string::npos;
  }
};

}  // namespace

TEST_F(SetupTest, StartTextsAndUnterminatedFields) {
  initSetup(w.get());
  EXPECT_STREQ(w->wsPassword, "velocirapido");
  EXPECT_EQ(rec.enaser, '1');
  EXPECT_EQ(rec.EnableSpi, '0');
  EXPECT_STREQ(rec.LinPort, "/dev/ttyAMA0");
  EXPECT_EQ(std::string(rec.MaxTemperature2, 6), "111111");
  EXPECT_EQ(reinterpret_cast<const char *>(&rec)[sizeof rec - 1], '\0');
  // Divide is "111" with no terminator: logged within its width only.
  parse("");
  for (const char *l : {"Divide: -111- -0-", "EnableKeyb: -1-", "TcpPort: -6666-",
                        "MaxTemperature: -600-", "Server: -127.0.0.1-"})
    EXPECT_TRUE(logged(l)) << l;
}

TEST_F(SetupTest, ReadingQuirksAndWriteBack) {
  initSetup(w.get());
  parse("OffsetPlot: 15\nAutoTuneMode: 3\nNumAntenna: 2\nMaxTemperature: 601\n"
        "SWRescAutoTune: 129\nEnableCAT: 1\r\nEnableWrite:1\nEnableSpi: \nEnableFFT: 1\n"
        "Server: " + std::string(91, 'x') + "EnableRead: 1\n"  // tail past 99 dropped
        "Pitch: 3000");
  EXPECT_DOUBLE_EQ(w->offsetPlot, 1.0);
  EXPECT_EQ(w->autoTuneMode.load(), 3);
  EXPECT_EQ(w->antenna.load(), 1);
  EXPECT_FLOAT_EQ(w->maxTemperature, 60.1f);
  EXPECT_EQ(rec.EnableCAT, '1');
  EXPECT_EQ(rec.EnableWrite, '0');
  EXPECT_EQ(rec.EnableSpi, '\0');
  EXPECT_EQ(rec.EnableFFT2, '1');
  EXPECT_EQ(rec.EnableRead, '0');
  EXPECT_EQ(std::string(w->serverHost), std::string(15, 'x'));
  EXPECT_STREQ(rec.Pitch, "3000");

  ASSERT_EQ(writeSetup(w.get()), 0);
  for (const char *l : {"OffsetPlot: 10", "AutoTuneMode: 1", "NumAntenna: 2",
                        "MaxTemperature: 601", "SWRescAutoTune: 129"})
    EXPECT_TRUE(written(l)) << l;
  parse("OffsetPlot: -15\nEnableFFT: 0\n");
  EXPECT_DOUBLE_EQ(w->offsetPlot, -1.0);
  EXPECT_EQ(rec.EnableFFT2, '0');
  parse("Enable1600: 0\n");
  EXPECT_EQ(rec.Enable1600, '0');
  EXPECT_EQ(rec.EnableFFT2, '1');
}

TEST_F(SetupTest, OverlongValuesAreCutWithinTheirField) {
  initSetup(w.get());
  parse("Pitch: 123456789012345\nAudioCompress: 12800000000\nMultiplier: 12345\n"
        "MaxTemperature2: 12345678\nSerPort: /dev/serial/by-id/usb-0403\n");
  EXPECT_STREQ(rec.Pitch, "123456789");
  EXPECT_STREQ(rec.Quality, "100");
  EXPECT_EQ(w->audioBitrate, 128000000);
  EXPECT_EQ(w->frameLen, 12 * 240);
  EXPECT_STREQ(rec.AudioOut, "hw:1");
  EXPECT_FLOAT_EQ(w->maxTemperature2, 1234.5f);
  EXPECT_EQ(rec.AutoTuneMaxCicli, '0');
  EXPECT_STREQ(rec.SerPort, "/dev/serial/");
  EXPECT_STREQ(rec.LinPort, "/dev/ttyAMA0");
}

TEST_F(SetupTest, UnusableValuesKeepTheMirror) {
  initSetup(w.get());
  parse("TcpPort: 7001\n");
  parse("TcpPort: 40000\nTcpPort: -5\nTcpPort: 99999999999999999999\nNumAntenna: 7\n"
        "Multiplier: 0\nFreqPeriodTime: abc\n");
  EXPECT_EQ(w->tcpPort, 7001);
  EXPECT_EQ(w->antenna.load(), 0);
  EXPECT_EQ(w->frameLen, 240);
  EXPECT_EQ(w->freqPeriodTime, 10);
  ASSERT_EQ(writeSetup(w.get()), 0);
  EXPECT_TRUE(written("TcpPort: 7001"));
  EXPECT_TRUE(written("NumAntenna: 1"));
  EXPECT_TRUE(written("FreqPeriodTime: 10"));
}

TEST_F(SetupTest, FirstStartFileAndMissingKeys) {
  readSetup(w.get());
  EXPECT_TRUE(logged("can't open /opt/set/setup.txt"));
  EXPECT_EQ(kzCmdRecorded(), kRemounts);
  EXPECT_FALSE(kzFileExists(file() + ".tmp"));
  std::string f = get();
  EXPECT_EQ(std::count(f.begin(), f.end(), '\n'), 65);
  EXPECT_EQ(f.rfind("EnableKeyb: 1\nEnableSpi: 0\n", 0), 0u);
  for (const char *l :
       {"AudioCompress: 0", "TcpPort: 6666", "NumAntenna: 1", "MaxTemperature: 600",
        "MaxTemperature2: 800", "Divide: 0", "MaxTempAllowed: 60", "PSpar2: 1000", "PSpar3: 0",
        "Isteresi1: 1", "Peak_ValDec: 10", "Peak_Time: 3000", "BTN_longpress_Time: 5",
        "EnableDebug: 0", "Server: 127.0.0.1"})
    EXPECT_TRUE(written(l)) << l;
  // The first 64 keys, then the key added after them.
  EXPECT_NE(f.find("\nAudioBuffers: 20\nAutoTuneSearch: 0\n"), std::string::npos);
  EXPECT_TRUE(f.size() > 19 && f.substr(f.size() - 19) == "\nAutoTuneSearch: 0\n");

  // A key missing from the file keeps the start text and the start mirror.
  put("EnableKeyb: 0\n");
  kzCmdClearRecorded();
  readSetup(w.get());
  EXPECT_EQ(rec.EnableKeyb, '0');
  EXPECT_STREQ(rec.MaxTempAllowed, "700");
  EXPECT_EQ(w->maxTempAllowed, 60);
  EXPECT_TRUE(kzCmdRecorded().empty());
}

// The auto-tune search: written after the 64 keys of the first version;
// a file of that version (no such line) selects the walk, also over a unit
// that had the other search; a value the program has no search for is refused.
TEST_F(SetupTest, AutoTuneSearchKeyAfterTheFirst64) {
  initSetup(w.get());
  parse("AutoTuneSearch: 1\n");
  EXPECT_EQ(w->autoTuneSearch.load(), 1);
  EXPECT_TRUE(logged("AutoTuneSearch: -1-"));
  EXPECT_EQ(writeSetup(w.get()), 0);
  EXPECT_TRUE(written("AutoTuneSearch: 1"));
  put("EnableKeyb: 1\nAudioBuffers: 20\n");  // an earlier version's file
  readSetup(w.get());
  EXPECT_EQ(w->autoTuneSearch.load(), 0);
  parse("AutoTuneSearch: 2\nAutoTuneSearch: x\n");
  EXPECT_EQ(w->autoTuneSearch.load(), 0);
  std::string why;
  EXPECT_EQ(setupSetKey(w.get(), "AutoTuneSearch", "2", why), -1);
  EXPECT_EQ(setupSetKey(w.get(), "AutoTuneSearch", "1", why), 0);
  EXPECT_EQ(w->autoTuneSearch.load(), 1);
}

TEST_F(SetupTest, RoundTripKeepsEveryValue) {
  const std::string text =
      "EnableKeyb: 0\nEnableSpi: 1\nEnableTouch: 1\nDelayedTouch: 1\nEnableGPIO: 0\n"
      "EnableRead: 1\nEnableWrite: 1\nEnableCAT: 1\nEnableLinear: 0\nEnableTime: 0\n"
      "WebSocket: 2\nPitch: 1200\nQuality: 50\nAudioIn: plughw:2,0\nInChannels: 2\n"
      "AudioCompress: 32000\nMultiplier: 4\nAudioOut: plughw:2,0\nServer: 192.168.1.20\n"
      "TcpPort: 7001\nCatPort: /dev/ttyACM0\nSerPort: /dev/ttyS3\nLinPort: /dev/pts/7\n"
      "NumAntenna: 3\nEnablePwrPeak: 1\nTempMode: 1\nFreqSensIn: 1\nFreqPeriodTime: 25\n"
      "Attenuator: 1\nAttenuatorTune: 1\nSWRescAutoTune: 129\nViewTimeStr: 1\nViewTemp: 1\n"
      "MaxTemperature: 601\nMaxTemperature2: 857\nAutoTuneMaxCicli: 4\nPowerUnits: 1\n"
      "SaveScreenIdx: 3\nAutoTuneMode: 1\nEnableFFT: 1\nDivide: 4\nMaxTempAllowed: 75\n"
      "PSpar1: 7\nPSpar2: 1200\nIsteresi1: 2\nIsteresi2: 5\nPSpar3: 800\nPSpar4: 90\n"
      "OffsetPlot: -20\nCatSerialPort: /dev/ttyUSB3\nTUNEenabled: 1\nNumBanco: 7\n"
      "GMpar1: 3\nGMpar2: 150\nPeak_media: 4\nPeak_ValDec: 29\nPeak_TimeDec: 2\n"
      "Peak_Time: 1500\nMAXbank: 19\nBTN_longpress_Time: 7\nEnableDebug: 1\n"
      "Enable1600: 0\nEnableLOGTemp: 1\nAudioBuffers: 30\nAutoTuneSearch: 1\n";
  put(text);
  readSetup(w.get());
  EXPECT_EQ(w->antenna.load(), 2);
  EXPECT_EQ(w->frameLen, 960);
  EXPECT_DOUBLE_EQ(w->offsetPlot, -2.0);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 0.7);
  EXPECT_EQ(w->maxBank.load(), 19);
  ASSERT_EQ(writeSetup(w.get()), 0);
  EXPECT_EQ(get(), text);
  EXPECT_EQ(kzCmdRecorded(), kRemounts);

  // "ATU Installed: No" sets the top bit; the byte must survive the file
  // whole (as a signed number it would not fit the field and come back cut).
  w->tuneEnabled = int8_t(uint8_t(w->tuneEnabled) ^ 0x80);
  ASSERT_EQ(writeSetup(w.get()), 0);
  EXPECT_NE(get().find("TUNEenabled: 129\n"), std::string::npos);
  readSetup(w.get());
  EXPECT_EQ(uint8_t(w->tuneEnabled), 0x81);
}

TEST_F(SetupTest, RemountFailureLeavesTheFileAlone) {
  put("EnableKeyb: 0\nNumAntenna: 2\n");
  readSetup(w.get());
  w->antenna = 0;
  kzCmdScript("mount -o remount defaults,rw", 1);
  EXPECT_LT(writeSetup(w.get()), 0);
  EXPECT_EQ(get(), "EnableKeyb: 0\nNumAntenna: 2\n");
  EXPECT_FALSE(kzFileExists(file() + ".tmp"));
  EXPECT_EQ(kzCmdRecorded(), std::vector<std::string>{kRemounts[0]});
  EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [](const std::string &l) {
    return l.rfind("can't mount rw /opt/set/ error ", 0) == 0;
  }));
}

TEST(OptSetWindow, OverlappingWritersShareOneWritableWindow) {
  KzTempRoot root("kz_window");
  ASSERT_EQ(OptSetRemountRw(), 0);  // first writer in: rw
  ASSERT_EQ(OptSetRemountRw(), 0);  // second writer: already writable
  OptSetRemountRo();                // first out: still a writer inside
  EXPECT_EQ(kzCmdRecorded(), std::vector<std::string>{kRemounts[0]});
  OptSetRemountRo();  // last out: ro
  EXPECT_EQ(kzCmdRecorded(), kRemounts);
  // A refused rw remount opens no window.
  kzCmdScript("mount -o remount defaults,rw", 1);
  kzTraceQuiet(true);
  EXPECT_EQ(OptSetRemountRw(), -1);
  kzTraceQuiet(false);
  kzCmdClearScript();
  kzCmdClearRecorded();
  ASSERT_EQ(OptSetRemountRw(), 0);
  OptSetRemountRo();
  EXPECT_EQ(kzCmdRecorded(), kRemounts);
}

// A setup.txt that exists but cannot be read (here a directory, which also
// holds for root) is neither rebuilt nor replaced: start values in memory,
// the reason in the log, the file named on the panel, every save refused
// until a read succeeds. An empty or binary file starts on the start values
// and says so.
TEST_F(SetupTest, UnreadableOrDamagedFileIsLoudAndNeverReplaced) {
  std::filesystem::create_directory(file());
  readSetup(w.get());
  EXPECT_TRUE(kzCmdRecorded().empty());  // nothing written at start
  EXPECT_TRUE(logged("can't read /opt/set/setup.txt: Is a directory (21), file left as it is"));
  EXPECT_EQ(w->antenna.load(), 0);
  char notice[64];
  ASSERT_EQ(PanelNoticeText(w.get(), notice, sizeof notice), 1);
  EXPECT_STREQ(notice, "Settings file damaged: setup.txt");
  w->antenna = 2;
  EXPECT_EQ(writeSetup(w.get()), -2);
  EXPECT_TRUE(kzCmdRecorded().empty());
  EXPECT_TRUE(std::filesystem::is_directory(file()));
  EXPECT_TRUE(logged("can't write /opt/set/setup.txt: the file could not be read, it is kept "
                     "as it is"));

  std::filesystem::remove(file());
  put("");
  logs.clear();
  readSetup(w.get());
  EXPECT_TRUE(logged("setup.txt: no setting in the file, start values used"));
  EXPECT_EQ(writeSetup(w.get()), 0);  // read: saves again

  put("\x7f" "ELF\x02\x01\nEnableKeyb: 0\nNumAntenna: 9\n\xff\xfe\n");
  logs.clear();
  readSetup(w.get());
  EXPECT_EQ(rec.EnableKeyb, '0');
  EXPECT_TRUE(logged("setup.txt line 1: not a setting, ignored"));
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(), [](const std::string &l) {
              return l.rfind("setup.txt line 3: NumAntenna: -9- refused, kept ", 0) == 0;
            }),
            1);
  EXPECT_TRUE(logged("setup.txt line 4: not a setting, ignored"));
  // Once per file and run: the notice was given already.
  EXPECT_EQ(std::string(w->damagedFiles), "setup.txt");
}

// A save cut by a power loss leaves "<file>.tmp"; the start removes the
// program's own ones between the remounts and leaves every other file.
TEST(OptSetStart, StaleTemporaryFilesOfTheProgramAreRemoved) {
  KzTempRoot root("kz_tmpclean");
  KzLogCapture log('L');
  EXPECT_EQ(OptSetRemoveStaleTemps(), 0);
  EXPECT_TRUE(kzCmdRecorded().empty());  // nothing to do: no remount
  const char *own[] = {"setup.txt.tmp", "atu_ant3_b19.txt.tmp", "atu_ant1.txt.tmp",
                       "antenna_b2.txt.tmp", "antenna.txt.tmp"};
  const char *other[] = {"notes.tmp", "config.txt.tmp", "atu_ant4.txt.tmp", "setup.txt",
                         "antenna_bx.txt.tmp"};
  for (const char *n : other) ASSERT_EQ(kzSaveFileAtomic(root.file(n), "keep"), 0);
  for (const char *n : own) ASSERT_EQ(kzSaveFileAtomic(root.file(n), "cut"), 0);
  EXPECT_EQ(OptSetRemoveStaleTemps(), 5);
  for (const char *n : own) EXPECT_FALSE(kzFileExists(root.file(n))) << n;
  for (const char *n : other) EXPECT_TRUE(kzFileExists(root.file(n))) << n;
  EXPECT_EQ(kzCmdRecorded(), kRemounts);
  EXPECT_EQ(log.count("removed /opt/set/setup.txt.tmp left by a cut save"), 1);
}
