// The transceiver serial link: the parameter decoding, the message reader
// over a PTY pair (the test plays the transceiver on the master side), the
// pending commands, the silent-line time-out, the thread's end, and the
// forwarding of parameters and spectrum to a connected remote unit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "core/timer.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "radio/serlink.h"
#include "radio/serparams.h"
#include "ws_support.h"

namespace {

constexpr int kWait = 30000;  // generous: the machine is shared

// The transceiver's end of a PTY pair; the program's end is `slave`.
struct Xcvr {
  int master = -1;
  std::string path;
  Xcvr() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    path = ptsname(master);
  }
  ~Xcvr() { close(master); }
  void put(const std::string &s) const { EXPECT_EQ(write(master, s.data(), s.size()), ssize_t(s.size())); }
  // What the program wrote, up to `n` bytes or `ms` of silence.
  std::string get(size_t n, int ms = kWait) const {
    std::string out;
    while (out.size() < n) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) break;
      char b[256];
      const ssize_t r = read(master, b, std::min(sizeof b, n - out.size()));
      if (r <= 0) break;
      out.append(b, size_t(r));
    }
    return out;
  }
};

// One framed message: start byte, type character, length (hex digits,
// least significant first, as 0x30 + digit), body.
std::string message(int type, const std::string &body) {
  std::string m(1, char(type));
  m += char('0' + type);
  for (int i = 0, n = int(body.size()); i < 4; i++, n >>= 4) m += char(0x30 + (n & 15));
  return m + body;
}

// A parameter body: byte 0, frequency `hz` as 8 digits, then `rest`.
std::string params(uint8_t b0, uint32_t hz, const std::string &rest = "") {
  std::string m(1, char(b0));
  for (int i = 7; i >= 0; i--) m += char(0x30 + ((hz >> (4 * i)) & 15));
  return m + rest;
}

// A unit whose link reads the slave side of `x`, polled by the test.
struct Link {
  SetupRec rec{};
  std::unique_ptr<works> w;
  SerParameters par{};
  Link(const Xcvr &x) {
    w = kzTestWorks(rec);
    initSetup(w.get());
    w->errorsMuted = 0;
    w->running = 1;
    w->serParams = &par;
    w->serFD = kzSerialOpen(x.path.c_str());
    kzSerialConfigure(w->serFD, B115200, 1, 0);
  }
  ~Link() { kzSerialClose(w->serFD); }
  // Polls until `n` bytes have been taken from the line.
  void take(size_t n) {
    SerialRx rx;
    size_t before = 0;
    while (before < n) {
      ASSERT_TRUE(kzWaitFor([&] { return kzSerialAvail(w->serFD) > 0; }, kWait));
      const int avail = kzSerialAvail(w->serFD);
      serialPoll(w.get(), rx);
      before += size_t(avail - std::max(0, kzSerialAvail(w->serFD)));
    }
  }
};

}  // namespace

TEST(SerialParams, FieldsGroupsAndLevelRule) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  SerParameters par{};
  w->serParams = &par;
  // 9 bytes: VFO flags and the frequency only (data VFO B, active VFO B).
  storeParameters(w.get(), 9, reinterpret_cast<const uint8_t *>(params(0x70, 7074000).data()));
  EXPECT_EQ(par.vfoBFreq, 7074000);
  EXPECT_EQ(par.curFreq, 7074000);
  EXPECT_TRUE(par.flagB0b6 == 1 && par.activeVfoB == 1 && par.dataVfoB == 1 && par.vfoAFreq == 0);
  EXPECT_TRUE(par.curMode == 0 && par.squelch == 0 && par.nr == 0 && par.volume == 0);
  // Shorter than a frequency: not stored.
  storeParameters(w.get(), 8, reinterpret_cast<const uint8_t *>(params(0, 1).data()));
  EXPECT_EQ(par.rxFreq, 7074000);

  // A full message on VFO A while B stays active; fresh "off" levels take
  // their initial values.
  std::string rest(22, '\0');
  rest[0] = char(0x80 | 0x10 | 4);  // 9: flag 4, mode 4
  rest[1] = 0x40 | 0x20 | 0x01;     // 10: side output, sign bit 0
  rest[2] = 0x47;                   // 11: squelch 7
  rest[3] = char(0x80 | (3 << 3));  // 12: numA 3, numSel 0
  rest[4] = 0x42;                   // 13: numB 2
  rest[5] = 0x30;                   // 14: NR off, never set
  rest[6] = 0x35;                   // 15: NB 5
  rest[7] = 0x61, rest[8] = 0x7F, rest[9] = 0x32, rest[10] = 0x6E;  // 16-19
  rest[11] = 0x40 | 0x10 | 0x01;    // 20: ATT on, LP and AN off, flag
  rest[12] = char(221);             // 21
  rest[13] = 0;                     // 22: side volume off, never set
  rest[14] = 0x32, rest[15] = 0x35, rest[16] = 0x38;  // pitch 0x258 = 600
  rest[17] = 0x38;                  // tune offset 8,0,0,0,0
  for (int i = 18; i < 22; i++) rest[size_t(i)] = 0x30;
  std::string m = params(0x20, 3573000, rest);
  storeParameters(w.get(), 31, reinterpret_cast<const uint8_t *>(m.data()));
  EXPECT_TRUE(par.vfoAFreq == 3573000 && par.curFreq == 7074000 && par.prevFreq == 7074000);
  EXPECT_TRUE(par.vfoAMode == 4 && par.curMode == 0 && par.flagB9b4 == 1);
  EXPECT_TRUE(par.audioOut == 2 && par.signB10b3 == 1 && par.signB10b0 == 1);
  EXPECT_TRUE(par.squelch == 7 && par.numA == 3 && par.numB == 2 && par.numIndex == 4);
  EXPECT_TRUE(par.nr == -1 && par.nb == 5);
  EXPECT_TRUE(par.sel1 == 2 && par.sel2 == 32 && par.sel3 == 3 && par.sel4 == 4 && par.sel5 == 3);
  EXPECT_TRUE(par.att == 1 && par.lp == -1 && par.an == -1 && par.flagB20b0 == 1);
  EXPECT_EQ(par.levelB21, 10);
  EXPECT_EQ(par.volumeSide, 5);
  EXPECT_EQ(par.pitchOffset, 600);
  EXPECT_EQ(par.tuneOffset, -524288);
  EXPECT_EQ(par.unused21, 0);

  // Squelch off after 7 keeps -7; then 3. A failed check keeps the field.
  m[11] = 0x40;
  storeParameters(w.get(), 12, reinterpret_cast<const uint8_t *>(m.data()));
  EXPECT_EQ(par.squelch, -7);
  m[11] = 0x43;
  storeParameters(w.get(), 12, reinterpret_cast<const uint8_t *>(m.data()));
  EXPECT_EQ(par.squelch, 3);
  m[11] = 0x05;
  storeParameters(w.get(), 12, reinterpret_cast<const uint8_t *>(m.data()));
  EXPECT_EQ(par.squelch, 3);
  // The alternative frequency becomes current.
  m = params(0x01, 14074000);
  storeParameters(w.get(), 9, reinterpret_cast<const uint8_t *>(m.data()));
  EXPECT_TRUE(par.altFreq == 14074000 && par.curFreq == 14074000 && par.lastFreq == 14074000);
}

TEST(SerialParams, SpectrumStartBinAndPlotValues) {
  SerParameters p{};
  p.curMode = 4;
  p.pitchOffset = 600;
  EXPECT_EQ(serialStartBin(p), 81);
  p.curMode = 6;
  EXPECT_EQ(serialStartBin(p), 88);
  p.curMode = 0;
  p.tuneOffset = -20000;  // 85 - 106.66 + 1024
  EXPECT_EQ(serialStartBin(p), 1002);
  p.tuneOffset = -524288;  // beyond one spectrum width: still inside it
  const int s = serialStartBin(p);
  EXPECT_TRUE(s >= 0 && s < 1024);
  uint8_t in[1024], out[1024];
  for (int i = 0; i < 1024; i++) in[i] = uint8_t(i * 7);
  serialRotate(in, out, 1002);
  EXPECT_TRUE(out[0] == in[1002] && out[21] == in[1023] && out[22] == in[0] && out[1023] == in[1001]);

  // 854 bytes fill 769 plot values; the rest sits at the bottom of the scale.
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  std::vector<float> trace(1024, 1.0f), aux(1024);
  SpectrumRec sp{trace.data(), aux.data(), {0}};
  w->spectrum = &sp;
  std::vector<uint8_t> bytes(1024, 200);
  bytes[85] = 0;
  storeFFT(w.get(), 854, bytes.data());
  EXPECT_EQ(sp.updates.load(), 1u);
  EXPECT_TRUE(trace[0] == -192.0f && trace[1] == 8.0f && trace[768] == 8.0f);
  EXPECT_TRUE(trace[769] == KZ_FFT_FLOOR && trace[853] == KZ_FFT_FLOOR && trace[854] == 1.0f);
}

TEST(SerialLink, MessagesOverPty) {
  Xcvr x;
  Link l(x);
  KzLogCapture log(0);
  works *w = l.w.get();

  // Length digits least significant first, ':'..'?' for A..F, the clamp.
  char text[5];
  uint8_t type = 0;
  int len = 0;
  x.put("17:50");
  ASSERT_EQ(decodeCmdParameters(w, text, &type, &len), 0);
  EXPECT_TRUE(type == '1' && len == 0x5A7 && std::string(text) == "05A7");
  x.put("0::::");
  ASSERT_EQ(decodeCmdParameters(w, text, &type, &len), 0);
  EXPECT_EQ(len, 1999);
  EXPECT_EQ(log.count("----------> 3SERIAL : ERROR dataLength 43690   AAAA!!!!!!\n"), 1);

  // "RX;" waits for a message; a type-5 message reads no body: its
  // would-be body is skipped byte by byte.
  w->autoTuneMode = 0x05;
  SerialRx idle;
  for (int i = 0; i < 20; i++) serialPoll(w, idle);
  EXPECT_EQ(x.get(1, 200), "");
  const std::string p = message(1, params(0, 7100000, std::string(6, '\0')));
  x.put(std::string("\x05" "1" "3000", 6) + "\x55\x66\x77" + "\xF0");
  l.take(10);
  EXPECT_EQ(log.count("Error3"), 1);
  EXPECT_EQ(x.get(3), "RX;");
  EXPECT_EQ(w->autoTuneMode.load(), 0x09);
  EXPECT_EQ(log.count("SENT KAV RX;! (0x5)\n"), 1);
  w->autoTuneMode = 0x21;
  w->txKeyFlags = 0x03 | 0x10;  // transmit wanted, antenna change under way
  EXPECT_EQ(x.get(1, 300), "");  // nothing without a message
  x.put(p);
  l.take(p.size());
  EXPECT_EQ(l.par.vfoAFreq, 7100000);
  EXPECT_EQ(x.get(10), "TU120;TX2;");
  EXPECT_TRUE(w->autoTuneMode.load() == 0x41 && w->txKeyFlags.load() == 0x13);
  w->txKeyFlags = 0x01;  // receive wanted
  // A type character that does not match: no body, the commands still go.
  x.put(std::string("\x01" "0" "0000", 6));
  l.take(6);
  EXPECT_EQ(x.get(3), "RX;");
  EXPECT_TRUE(w->txKeyFlags.load() == 0 && w->rxDelay.load() == 30);
  EXPECT_EQ(log.count("SENT KAV RX...\n"), 1);
}

TEST(SerialLink, SilentLineRaisesErrorEightOncePerHoldoff) {
  Xcvr x;
  Link l(x);
  KzLogCapture log;
  kzClockUse(&kzClockFake);  // the 1 ms polls cost nothing
  works *w = l.w.get();
  SerialRx rx;
  for (int i = 0; i < 1499; i++) serialPoll(w, rx);
  EXPECT_FALSE(ExistError(w, 8));
  serialPoll(w, rx);
  EXPECT_TRUE(ExistError(w, 8));
  EXPECT_EQ(w->timeoutHoldoff.load(), 2000);
  DeleteErrore(w, 8);
  for (int i = 0; i < 1500; i++) serialPoll(w, rx);
  EXPECT_FALSE(ExistError(w, 8));  // held off
  w->timeoutHoldoff = 0;
  for (int i = 0; i < 1500; i++) serialPoll(w, rx);
  EXPECT_TRUE(ExistError(w, 8));
  EXPECT_EQ(log.count("---------------------------------------TIMEOUT serial 1\n"), 2);
  kzClockUse(&kzClockReal);
}

TEST(SerialLink, ThreadEndsInsideAMessageAndOnABadPort) {
  Xcvr x;
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  initSetup(w.get());
  SerParameters par{};
  w->serParams = &par;
  w->running = 1;
  snprintf(rec.SerPort, sizeof rec.SerPort, "%s", x.path.c_str());
  KzLogCapture log(0);
  std::thread th(Serial, w.get());
  ASSERT_TRUE(kzWaitFor([&] { return log.countContaining("OK works->serFD=") == 2; }, kWait));
  x.put(message(1, params(0, 1800000)));
  ASSERT_TRUE(kzWaitFor([&] {
    SerParameters now;
    getParameters(&now, w.get());
    return now.vfoAFreq != 0;
  }, kWait));
  // A message cut short, then the link switched off: the thread ends.
  x.put(message(1, params(0, 3600000)).substr(0, 10));
  kzSleepMs(50);
  std::atomic_ref<char>(rec.enaser).store('0');
  th.join();
  EXPECT_EQ(log.count("---------------------------------------Serial EXIT 30\n"), 1);
  EXPECT_EQ(w->serFD, -1);
  EXPECT_FALSE(SerialRunning());

  // No such port: a link failure; the program goes on.
  rec.enaser = '1';
  snprintf(rec.SerPort, sizeof rec.SerPort, "/nonexistent");
  std::thread bad(Serial, w.get());
  bad.join();
  EXPECT_EQ(log.count("Unable to open device /nonexistent"), 1);
  EXPECT_EQ(w->linkError.load(), 3);
  EXPECT_STREQ(w->linkErrorText, "Serial: Unable to open device /nonexistent\n");
  EXPECT_EQ(w->running.load(), 1u);
}

TEST(SerialLink, ParametersAndSpectrumReachTheRemoteUnit) {
  Xcvr x;
  KzLogCapture log(0);
  WsUnit server, client;
  snprintf(server.rec.SerPort, sizeof server.rec.SerPort, "%s", x.path.c_str());
  server.rec.enaser = '1';
  server.rec.EnableFFT2 = '0';
  server.w->running = 1;
  SerParameters serverPar{}, clientPar{};
  server.w->serParams = &serverPar;
  client.w->serParams = &clientPar;
  std::vector<float> trace(1024), aux(1024);
  SpectrumRec sp{trace.data(), aux.data(), {0}};
  client.w->spectrum = &sp;
  server.startServer();
  client.startClient(server.port);
  ASSERT_TRUE(kzWaitFor([&] { return server.w->wsConnected == 1 && client.w->wsConnected == 1; },
                        kWait));
  std::thread th(Serial, server.w.get());
  ASSERT_TRUE(kzWaitFor([&] { return log.countContaining("OK works->serFD=") == 2; }, kWait));

  x.put(message(1, params(0, 21074000, std::string(22, '\0'))));
  std::string spectrum(1024, '\0');
  for (int i = 0; i < 1024; i++) spectrum[size_t(i)] = char(i & 0xFF);
  x.put(message(0, spectrum));
  ASSERT_TRUE(kzWaitFor([&] { return sp.updates.load() >= 1; }, kWait));
  SerParameters got;
  getParameters(&got, client.w.get());
  EXPECT_EQ(got.vfoAFreq, 21074000);
  // On the transceiver interface the client's supervisor follows it and
  // tells its own amplifier.
  client.w->ModeWorkIdx = 1;
  kzTakeQueued(client.w.get());
  TimerFollowFrequency(client.w.get(), got);
  EXPECT_EQ(client.w->freqHz.load(), 21074000u);
  const std::vector<int> orders = kzTakeQueued(client.w.get());
  ASSERT_FALSE(orders.empty());
  EXPECT_EQ(orders.front(), 9);  // "FA%011lu;"
  // Start bin 85, then the plot skips 85 more: value k is byte 170 + k.
  {
    std::lock_guard<std::mutex> lk(client.w->serMut);
    EXPECT_TRUE(trace[0] == 170 - 192.0f && trace[100] == 14 - 192.0f);
    EXPECT_TRUE(trace[768] == 170 - 192.0f && trace[769] == KZ_FFT_FLOOR);
  }
  server.stop();
  th.join();
  client.stop();
}

// The links' wait on a silent port: it returns once bytes are waiting,
// counts the milliseconds it waited up to the rest of a time-out, does not
// spin on a hung-up port, and is one 1 ms step on the fake clock.
TEST(SerialWait, ReturnsOnInputCountsSilenceAndNeverSpins) {
  auto x = std::make_unique<Xcvr>();
  const int fd = kzSerialOpen(x->path.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(kzSerialConfigure(fd, B115200, 1, 0), 0);
  x->put("ST;");
  ASSERT_TRUE(kzWaitFor([&] { return kzSerialAvail(fd) == 3; }, kWait));
  EXPECT_LT(kzSerialWaitInput(fd, kWait), kWait);  // bytes waiting: no wait
  char b[3];
  ASSERT_EQ(kzSerialRead(fd, b, 3), 3);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    x->put("x");
  });
  EXPECT_LT(kzSerialWaitInput(fd, kWait), kWait);  // woken by the byte
  late.join();
  EXPECT_EQ(kzSerialAvail(fd), 1);
  ASSERT_EQ(kzSerialRead(fd, b, 1), 1);
  // Silent: the wait lasts the rest of the time-out (10 ms of 1500), and
  // at least 1 ms once the time-out is past.
  EXPECT_GE(kzSerialWaitSilence(fd, 1490, 1500), 10);
  EXPECT_GE(kzSerialWaitSilence(fd, 1600, 1500), 1);
  // The other end gone: poll answers at once, so the wait is slept out.
  x.reset();
  EXPECT_GE(kzSerialWaitInput(fd, 30), 30);
  kzClockUse(&kzClockFake);
  kzFakeClockSet(0);
  EXPECT_EQ(kzSerialWaitSilence(fd, 0, 1500), 1);
  EXPECT_EQ(kzNowMs(), 1);
  kzClockUse(&kzClockReal);
  kzSerialClose(fd);
}
