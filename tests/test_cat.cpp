// The CAT links: the FT-817 reply decoding and the CatSerial thread against
// the simulated FT-817 on a PTY, the CAT port search over the root's
// /dev/VORNCAT* links to simulated CAT ports, the command gatherer, and
// network CAT between two units over loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "radio/cat.h"
#include "radio/catserial.h"
#include "sim/catport_sim.h"
#include "sim/ft817_sim.h"
#include "ws_support.h"

namespace {

constexpr int kWait = 20000;  // generous: the machine is shared

// A unit whose CatSerial thread follows a simulated FT-817.
struct Ft817Link {
  KzLogCapture log{0};
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  Ft817Sim *ft = ft817SimStart(7100000, 2);
  std::thread th;
  Ft817Link() {
    initSetup(w.get());
    w->running = 1;
    snprintf(rec.CatSerialPort, sizeof rec.CatSerialPort, "%s", ft817SimSlavePath(ft));
    rec.enaCatSer = '1';
  }
  void start() { th = std::thread(CatSerial, w.get()); }
  ~Ft817Link() {
    std::atomic_ref<char>(rec.enaCatSer).store('0');
    if (th.joinable()) th.join();
    ft817SimStop(ft);
  }
  bool freqIs(uint32_t hz) {
    return kzWaitFor([&] { return w->catFreq.load() == hz; }, kWait);
  }
};

// Links ROOT/dev/VORNCATn to a simulated port.
void linkPort(const KzTempRoot &root, int n, CatPortSim *c) {
  const std::string link = root.dir + "/dev/VORNCAT" + std::to_string(n);
  std::filesystem::create_directories(root.dir + "/dev");
  std::filesystem::remove(link);
  ASSERT_EQ(symlink(catPortSimSlavePath(c), link.c_str()), 0);
}

int countOf(const std::vector<std::string> &v, const std::string &s) {
  return int(std::count(v.begin(), v.end(), s));
}

}  // namespace

TEST(CatSerial, ReplyDecoding) {
  KzLogCapture log('T');
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  for (uint8_t b : {0x00, 0x09, 0x42, 0x99}) EXPECT_EQ(VerifyByteFreq(b), 0) << int(b);
  for (uint8_t b : {0x0A, 0xA0, 0x4F, 0xFF}) EXPECT_EQ(VerifyByteFreq(b), 1) << int(b);

  const uint8_t good[5] = {0x01, 0x42, 0x34, 0x56, 0x01};
  lastCommandSent = KZ_CAT_READ_FREQ;
  DecodeCatSerialCmd(w.get(), good, 5);
  EXPECT_EQ(w->catFreq.load(), 14234560u);
  EXPECT_EQ(w->catMode.load(), 1);
  EXPECT_EQ(lastCommandSent, 0);

  // A non-decimal digit: the frequency stays, the mode byte is taken.
  const uint8_t bad[5] = {0x01, 0x4A, 0x34, 0x56, 0x04};
  lastCommandSent = KZ_CAT_READ_FREQ;
  DecodeCatSerialCmd(w.get(), bad, 5);
  EXPECT_EQ(w->catFreq.load(), 14234560u);
  EXPECT_EQ(w->catMode.load(), 4);
  EXPECT_EQ(log.count("CAT FT817 freq not decoded :  01 4a 34 56 04\n"), 1);

  // No command in flight: the bytes are not a reply.
  DecodeCatSerialCmd(w.get(), good + 0, 5);
  lastCommandSent = 0;
  const uint8_t other[5] = {0x00, 0x70, 0x00, 0x00, 0x00};
  DecodeCatSerialCmd(w.get(), other, 5);
  EXPECT_EQ(w->catFreq.load(), 14234560u);

  // The simulated FT-817 encodes what the link decodes (10 Hz steps).
  uint8_t enc[5];
  ft817SimEncode(439999990, 8, enc);
  lastCommandSent = KZ_CAT_READ_FREQ;
  DecodeCatSerialCmd(w.get(), enc, 5);
  EXPECT_EQ(w->catFreq.load(), 439999990u);
}

TEST(CatSerial, FollowsTheFt817AndRecoversFromBadAndLostBytes) {
  Ft817Link l;
  l.start();
  ASSERT_TRUE(l.freqIs(7100000));
  EXPECT_EQ(l.w->catMode.load(), 2);
  EXPECT_EQ(l.log.countContaining("OK works->catSerFD="), 2);  // syslog and trace
  ft817SimSetVfo(l.ft, 21074000);
  ASSERT_TRUE(l.freqIs(21074000));

  // Non-decimal digits: refused, the old frequency kept.
  ft817SimSetVfo(l.ft, 14200000);
  ft817SimBadDigits(l.ft, 3);
  EXPECT_TRUE(kzWaitFor([&] { return l.log.countContaining("freq not decoded") >= 3; }, kWait));
  ASSERT_TRUE(l.freqIs(14200000));

  // A lost byte: the grouping is off until the time-out starts it again.
  ft817SimDropByte(l.ft, 1);
  ft817SimSetVfo(l.ft, 3573000);
  ASSERT_TRUE(l.freqIs(3573000));
  EXPECT_GE(l.log.count("<<<<<<<<<<<<<<<<<<<<TIMEOUT SERIAL CAT!!!!\n"), 1);

  // The thread ends when its run byte drops.
  std::atomic_ref<char>(l.rec.enaCatSer).store('0');
  l.th.join();
  EXPECT_EQ(l.w->catSerFD, 0);
  EXPECT_EQ(l.w->linkError.load(), 0);
}

TEST(CatSerial, PortThatCannotBeOpenedIsLinkErrorTwo) {
  Ft817Link l;
  snprintf(l.rec.CatSerialPort, sizeof l.rec.CatSerialPort, "/dev/nonex0");
  l.start();
  l.th.join();
  EXPECT_EQ(l.w->linkError.load(), 2);
  EXPECT_STREQ(l.w->linkErrorText, "CAT: Unable to open device /dev/nonex0");
  // /dev/null opens but is no serial port.
  l.w->linkError = 0;
  snprintf(l.rec.CatSerialPort, sizeof l.rec.CatSerialPort, "/dev/null");
  l.start();
  l.th.join();
  EXPECT_EQ(l.w->linkError.load(), 2);
  EXPECT_STREQ(l.w->linkErrorText, "CAT: Unable to set comm port /dev/null");
  EXPECT_EQ(ft817SimReads(l.ft), 0u);
}

TEST(VerifyCat, SearchOrderWrongAndSilentDevices) {
  KzTempRoot root("kz_cat_find");
  KzLogCapture log(0);
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  initSetup(w.get());
  w->errorsMuted = 0;
  EXPECT_EQ(VerifyCAT(w.get()), -1);  // no device at all
  EXPECT_EQ(log.count("No CAT serial port found"), 1);

  // Two matching devices: the higher-numbered is tried first and kept.
  CatPortSim *low = catPortSimStart(), *high = catPortSimStart();
  linkPort(root, 0, low);
  linkPort(root, 1, high);
  ASSERT_EQ(VerifyCAT(w.get()), 0);
  EXPECT_GT(w->catFD, 0);
  EXPECT_EQ(catPortSimWaitReceived(high, 1, kWait), 1u);
  EXPECT_TRUE(catPortSimReceived(low).empty());

  // A device answering something else is closed and the search goes on;
  // one that answers nothing ends its wait after 1 s.
  CatPortSimOptions wrongOpt, silentOpt;
  wrongOpt.dtAnswer = "DT002;";
  silentOpt.dtAnswer = "";
  CatPortSim *wrong = catPortSimStart(wrongOpt), *silent = catPortSimStart(silentOpt);
  linkPort(root, 1, wrong);
  linkPort(root, 2, silent);
  const int before = w->catFD;
  ASSERT_EQ(VerifyCAT(w.get()), 0);
  EXPECT_EQ(log.countContaining("Cannot connect KAV using " + root.dir + "/dev/VORNCAT2"), 1);
  EXPECT_EQ(log.countContaining("Cannot connect KAV using " + root.dir + "/dev/VORNCAT1"), 1);
  EXPECT_EQ(countOf(catPortSimReceived(low), "DT;"), 1);
  EXPECT_EQ(countOf(catPortSimReceived(wrong), "DT;"), 1);
  EXPECT_EQ(countOf(catPortSimReceived(silent), "DT;"), 1);
  // The port found before was closed when the new one was kept.
  EXPECT_NE(before, w->catFD);
  EXPECT_EQ(fcntl(before, F_GETFD), -1);

  std::filesystem::remove(root.dir + "/dev/VORNCAT0");
  EXPECT_EQ(VerifyCAT(w.get()), -1);
  EXPECT_EQ(log.count("CAT: Unable to open device /dev/ttyUSB0\n"), 1);
  ExitCAT(w.get());
  EXPECT_EQ(w->catFD, 0);
  EXPECT_EQ(rec.EnableCAT, '0');
  EXPECT_EQ(w->remoteRestart.load(), 1);
  EXPECT_TRUE(ExistError(w.get(), 20));
  for (CatPortSim *c : {low, high, wrong, silent}) catPortSimStop(c);
}

TEST(NetworkCat, GathersCommandsUpToTheSemicolon) {
  CatGather g;
  const std::string cmd = "FA00014250000;";
  ASSERT_EQ(cmd.size(), 14u);
  for (size_t i = 0; i + 1 < cmd.size(); i++) EXPECT_EQ(catGatherByte(g, uint8_t(cmd[i])), 0);
  EXPECT_EQ(catGatherByte(g, ';'), 14);
  EXPECT_STREQ(g.buf, cmd.c_str());

  std::vector<std::string> out;
  for (char c : std::string("IF;MD;"))
    if (int n = catGatherByte(g, uint8_t(c))) out.emplace_back(g.buf, size_t(n));
  EXPECT_EQ(out, (std::vector<std::string>{"IF;", "MD;"}));

  // 200 bytes without ';' are dropped; the next command is whole.
  for (int i = 0; i < KZ_CAT_CMD_MAX; i++) EXPECT_EQ(catGatherByte(g, 'x'), 0);
  for (char c : std::string("ID")) catGatherByte(g, uint8_t(c));
  EXPECT_EQ(catGatherByte(g, ';'), 3);
  EXPECT_STREQ(g.buf, "ID;");
}

// Unit A (server) and unit B (client), each with its Cat thread on its own
// simulated CAT port: what one port sends reaches the other, and the
// answer comes back.
TEST(NetworkCat, CommandsCrossBetweenTwoUnitsAndAnswersComeBack) {
  KzTempRoot root("kz_cat_net");
  KzLogCapture log(0);
  CatPortSimOptions bOpt;
  bOpt.vfoAHz = 7100000;
  CatPortSim *portA = catPortSimStart(), *portB = catPortSimStart(bOpt);
  WsUnit a, b;
  for (WsUnit *u : {&a, &b}) {
    u->w->running = 1;
    u->w->errorsMuted = 0;
    std::atomic_ref<char>(u->rec.EnableCAT).store('1');
  }
  // Each search finds the one port linked while it runs (after 3 s).
  linkPort(root, 0, portA);
  std::thread catA(Cat, a.w.get());
  ASSERT_TRUE(kzWaitFor([&] { return std::atomic_ref<int>(a.w->catFD).load() > 0; }, kWait));
  linkPort(root, 0, portB);
  std::thread catB(Cat, b.w.get());
  ASSERT_TRUE(kzWaitFor([&] { return std::atomic_ref<int>(b.w->catFD).load() > 0; }, kWait));
  a.startServer();
  b.startClient(a.port);
  ASSERT_TRUE(kzWaitFor([&] { return a.w->wsConnected == 1 && b.w->wsConnected == 1; }, kWait));

  // Byte by byte from B's port: one "CA" of 14 bytes, written to A's port.
  catPortSimSend(portB, "FA00014250000;", 2);
  ASSERT_EQ(catPortSimWaitReceived(portA, 2, kWait), 2u);  // "DT;" and the command
  EXPECT_EQ(catPortSimReceived(portA)[1], "FA00014250000;");
  EXPECT_EQ(log.count("EIK, CA\n"), 1);
  EXPECT_EQ(catPortSimVfo(portA, 0), 14250000u);

  // Two queries in one burst: two messages; A's answers come back to B.
  catPortSimSend(portB, "FA;FB;");
  ASSERT_EQ(catPortSimWaitReceived(portA, 4, kWait), 4u);
  EXPECT_EQ(log.count("EIK, CA\n"), 3);
  ASSERT_EQ(catPortSimWaitReceived(portB, 3, kWait), 3u);
  const auto atB = catPortSimReceived(portB);
  EXPECT_EQ(atB[1], "FA00014250000;");
  EXPECT_EQ(atB[2], "FB00007100000;");

  // 200 bytes without ';' leave nothing; the command after them does.
  catPortSimSend(portB, std::string(KZ_CAT_CMD_MAX, 'x') + "MD;");
  ASSERT_EQ(catPortSimWaitReceived(portA, 5, kWait), 5u);
  EXPECT_EQ(catPortSimReceived(portA)[4], "MD;");
  EXPECT_EQ(log.count("EIK, CA\n"), 4);

  // Switched off, each Cat thread ends and closes its port (error 20).
  std::atomic_ref<char>(a.rec.EnableCAT).store('0');
  std::atomic_ref<char>(b.rec.EnableCAT).store('0');
  catA.join();
  catB.join();
  EXPECT_EQ(a.w->catFD, 0);
  EXPECT_TRUE(ExistError(b.w.get(), 20));
  a.stop();
  b.stop();
  catPortSimStop(portA);
  catPortSimStop(portB);
}
