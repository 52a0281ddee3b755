// Simulated amplifier micro-controller: the tests talk to it over the PTY
// slave as the program would (framed commands, framed replies) and check
// the replies byte by byte.
#include "platform/serial.h"
#include "sim/amp_sim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

struct Line {
  SimAmp *amp = nullptr;
  int fd = -1;
  explicit Line(const SimAmpOptions &o = SimAmpOptions()) {
    amp = simAmpStart(o);
    if (!amp) return;
    fd = kzSerialOpen(simAmpSlavePath(amp));
    if (fd >= 0) kzSerialConfigure(fd, B115200, 1, 5);
  }
  ~Line() {
    kzSerialClose(fd);
    simAmpStop(amp);
  }
  void sendRaw(const std::string &bytes) const { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  void send(const std::string &text) const {
    char h[3];
    snprintf(h, sizeof h, "%02x", unsigned(simAmpCrc8(text.data(), text.size())));
    sendRaw(h + text);
  }
  // One frame up to ';' (checksum included), or "" after `ms` of silence.
  std::string readFrame(int ms = 300) const {
    std::string f;
    char c;
    while (f.empty() || f.back() != ';') {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0 || read(fd, &c, 1) != 1) return "";
      f += c;
    }
    return f;
  }
  // The next reply's text after checking its upper-case checksum; "" when
  // nothing came.
  std::string reply(int ms = 300) const {
    std::string f = readFrame(ms);
    if (f.empty()) return "";
    std::string body = f.substr(2);
    char h[3];
    snprintf(h, sizeof h, "%02X", unsigned(simAmpCrc8(body.data(), body.size())));
    EXPECT_EQ(f.substr(0, 2), h) << f;
    return body;
  }
  std::string ask(const std::string &text, int ms = 300) const {
    send(text);
    return reply(ms);
  }
};

struct Status {
  int d0 = -1, d1 = -1, in = 0, fwd = 0, refl = 0, cur = 0, t1 = 0, t2 = 0, fault = -1, peak = 0;
};

int num(const std::string &s, size_t at, size_t n) { return std::stoi(s.substr(at, n)); }
int hexd(char c) { return std::stoi(std::string(1, c), nullptr, 16); }

Status status(const Line &l) {
  std::string r = l.ask("ST;");
  Status s;
  EXPECT_EQ(r.size(), 37u) << r;
  if (r.size() != 37) return s;
  EXPECT_EQ(r.substr(0, 2), "ST");
  EXPECT_EQ(r.substr(30, 2), "00");
  EXPECT_EQ(r.back(), ';');
  s.d0 = hexd(r[2]);
  s.d1 = hexd(r[3]);
  s.in = num(r, 4, 4);
  s.fwd = num(r, 8, 4);
  s.refl = num(r, 12, 4);
  s.cur = num(r, 16, 4);
  s.t1 = num(r, 20, 4);
  s.t2 = num(r, 24, 4);
  s.fault = hexd(r[28]) + 16 * hexd(r[29]);
  s.peak = num(r, 32, 4);
  return s;
}

// The program's detector coefficients.
double inW(int raw) { return 5.5078103e-6 * raw * raw; }
double fwdW(int raw) { return 5.156579e-6 * raw * raw; }
double reflW(int raw) { return 3.3262754e-6 * raw * raw; }
double kohm(int raw) { return raw * 10.0 / (4095 - raw); }

}  // namespace

TEST(SimAmpLink, ChecksumFramingAndResync) {
  EXPECT_EQ(simAmpCrc8("ST;", 3), 0x4D);
  EXPECT_EQ(simAmpCrc8("123456789", 9), 0xA1);
  Line l;
  ASSERT_GE(l.fd, 0);

  l.sendRaw("4dST;");  // the program's lower-case checksum
  std::string f = l.readFrame();
  ASSERT_EQ(f.size(), 39u) << f;
  EXPECT_EQ(f.substr(2, 2), "ST");
  l.sendRaw("4DST;");
  EXPECT_EQ(l.readFrame().size(), 39u);

  l.sendRaw("00ST;");
  EXPECT_EQ(l.reply(), "ST!;");  // wrong checksum
  EXPECT_EQ(l.ask("QQ;"), "QQ?;");
  EXPECT_EQ(l.ask("SA12;"), "SA&;");
  EXPECT_EQ(l.ask("FN1150;"), "FN&;");

  // Garbage, line noise and an over-long frame (dropped, so no "XX!;")
  // before a command.
  l.sendRaw("zz\x01g0;00" + std::string(700, 'X') + ";4dST;");
  EXPECT_EQ(l.reply().size(), 37u);
  // A command cut short and glued to the next one: the valid tail counts.
  simAmpClearReceived(l.amp);
  l.sendRaw("77SA10");
  l.sendRaw("4dST;");
  EXPECT_EQ(l.readFrame().size(), 39u);
  ASSERT_EQ(simAmpWaitReceived(l.amp, 1, 200), 1u);
  EXPECT_EQ(simAmpReceived(l.amp)[0], "ST;");
  EXPECT_EQ(simAmpReceivedRaw(l.amp)[0], "77SA104dST;");
  EXPECT_EQ(simAmpState(l.amp).antenna, 1);

  // The program closes and reopens its port: the line stays up.
  kzSerialClose(l.fd);
  l.fd = kzSerialOpen(simAmpSlavePath(l.amp));
  ASSERT_EQ(kzSerialConfigure(l.fd, B115200, 1, 5), 0);
  EXPECT_EQ(l.ask("MR0;"), "MR0;");
}

TEST(SimAmpStatus, PowersDecodeBackToTheDrive) {
  Line l;
  ASSERT_GE(l.fd, 0);
  Status s = status(l);
  EXPECT_EQ(s.d1 & 1, 0);  // no carrier
  EXPECT_EQ(s.in + s.fwd + s.refl, 0);
  EXPECT_NEAR(s.t1, 2048, 1);  // 25 C: 10 kOhm against 10 kOhm
  EXPECT_NEAR(s.t2, 2048, 1);
  EXPECT_EQ(l.ask("FM;"), "FM000000000000;");

  simAmpSetDrive(l.amp, 0.5, 14200000);
  s = status(l);
  EXPECT_EQ(s.d1 & 1, 1);
  EXPECT_NEAR(inW(s.in), 0.5, 0.015);
  EXPECT_NEAR(fwdW(s.fwd), 10.0, 0.3);  // 13 dB
  EXPECT_LE(s.refl, 1);
  EXPECT_EQ(s.peak, s.fwd);
  EXPECT_NEAR(s.cur * 14.05 / 4096, 0.3 + fwdW(s.fwd) / 0.55 / 48, 0.02);
  EXPECT_EQ(l.ask("FM;"), "FM000014200000;");

  simAmpSetLoad(l.amp, 0, {100, 0});  // |gamma|^2 = 1/9
  s = status(l);
  EXPECT_NEAR(reflW(s.refl), fwdW(s.fwd) / 9, 0.05);
  l.ask("SA2;");  // port 1 is still matched
  EXPECT_LE(status(l).refl, 1);

  l.ask("AT10;");
  s = status(l);
  EXPECT_EQ(s.d0, 8);
  EXPECT_NEAR(inW(s.in), 0.25, 0.01);
  l.ask("AT01;");
  s = status(l);
  EXPECT_EQ(s.d0, 4);
  EXPECT_NEAR(inW(s.in), 0.315, 0.01);
  l.ask("AT11;");
  l.ask("AN1;");
  EXPECT_EQ(status(l).d0, 0xD);

  l.ask("AT00;");
  l.ask("AB1;");  // bypass: the drive passes through
  s = status(l);
  EXPECT_EQ(s.d1 & 8, 8);
  EXPECT_NEAR(fwdW(s.fwd), 0.5, 0.015);

  l.ask("AB0;");
  simAmpSetDrive(l.amp, 10, 14200000);  // saturates below 70 W
  double w = fwdW(status(l).fwd);
  EXPECT_GT(w, 65);
  EXPECT_LT(w, 70.5);
}

TEST(SimAmpCommands, EchoesQueriesAndInformationBlocks) {
  SimAmpOptions o;
  o.model = '1';
  o.region = '1';
  Line l(o);
  ASSERT_GE(l.fd, 0);
  for (const char *c : {"SA3;", "FA00014200000;", "MT10001A2B3;", "FS11234;", "MP1;", "AB1;", "AN1;",
                        "TS0100020003000400;", "FN1075;", "PS0001100000020003;", "SF300002a;", "GM00020100;",
                        "GS0100000000;", "TU1;", "CPFFFF;"})
    EXPECT_EQ(l.ask(c), c);
  SimAmpState s = simAmpState(l.amp);
  EXPECT_EQ(s.antenna, 3);
  EXPECT_EQ(s.freqSet, 14200000u);
  EXPECT_EQ(s.tuneWord, 0x0001A2B3u);
  EXPECT_EQ(s.sensorMode, 1);
  EXPECT_EQ(s.sensorPeriod, 1234);
  EXPECT_TRUE(s.protection && s.bypass && s.tuneOn);
  EXPECT_EQ(s.anOutput, 1);
  EXPECT_EQ(s.thresholds[0], 100);
  EXPECT_EQ(s.thresholds[3], 400);
  EXPECT_EQ(s.fanPercent, 75);
  EXPECT_EQ(s.psPar[1], 1000);
  EXPECT_EQ(s.filterCode, 0x2a);
  EXPECT_EQ(s.gmPar[1], 100);
  EXPECT_EQ(s.generic, "0100000000");

  EXPECT_EQ(l.ask("TU;"), "TU1;");
  EXPECT_EQ(l.ask("MT;"), "MT10001A2B3;");
  EXPECT_EQ(l.ask("SF;"), "SF300002a;");
  EXPECT_EQ(l.ask("GS;"), "GS0100000000;");
  EXPECT_EQ(l.ask("MR0;"), "MR0;");
  std::string v = l.ask("VSM;");
  EXPECT_EQ(v.size(), 11u);
  EXPECT_EQ(v.substr(0, 3), "VSM");
  EXPECT_EQ(l.ask("ER0002;"), "ER00023131;");

  std::string e = l.ask("ER0000;");
  ASSERT_EQ(e.size(), 71u);
  std::string text;
  for (size_t i = 6; i < 70; i += 2) {
    EXPECT_TRUE(isxdigit(e[i]) && !islower(e[i]) && !islower(e[i + 1]));
    text += char(std::stoi(e.substr(i, 2), nullptr, 16));
  }
  EXPECT_EQ(text, std::string("KZ120-000123") + std::string(20, '\0'));
  EXPECT_EQ(l.ask("ER0001;").size(), 71u);
  EXPECT_EQ(l.ask("ER0003;"), "ER&;");
  EXPECT_EQ(l.ask("TS0100;"), "TS&;");
  EXPECT_EQ(l.ask("MT1XYZ00000;"), "MT&;");
  EXPECT_EQ(simAmpState(l.amp).tuneWord, 0x0001A2B3u);  // refused: unchanged
}

TEST(SimAmpFaults, InjectedReplyFaults) {
  Line l;
  ASSERT_GE(l.fd, 0);
  simAmpRefuse(l.amp, "ST", '?', 2);
  EXPECT_EQ(l.ask("ST;"), "ST?;");
  EXPECT_EQ(l.ask("ST;"), "ST?;");
  EXPECT_EQ(l.ask("ST;").size(), 37u);
  simAmpRefuse(l.amp, "SA", '&', -1);
  EXPECT_EQ(l.ask("SA2;"), "SA&;");
  EXPECT_EQ(l.ask("SA2;"), "SA&;");
  EXPECT_EQ(simAmpState(l.amp).antenna, 1);
  simAmpRefuse(l.amp, "SA", '&', 0);
  EXPECT_EQ(l.ask("SA2;"), "SA2;");

  char good[3], lower[3];
  snprintf(good, sizeof good, "%02X", unsigned(simAmpCrc8("MR0;", 4)));
  snprintf(lower, sizeof lower, "%02x", unsigned(simAmpCrc8("MR0;", 4)));
  simAmpBadChecksum(l.amp, 1);
  l.send("MR0;");
  std::string f = l.readFrame();
  EXPECT_EQ(f.substr(2), "MR0;");
  EXPECT_NE(f.substr(0, 2), good);
  EXPECT_TRUE(isxdigit(f[0]) && isxdigit(f[1]) && !islower(f[0]) && !islower(f[1]));
  simAmpLowerCaseChecksum(l.amp, 1);
  l.send("MR0;");
  EXPECT_EQ(l.readFrame(), std::string(lower) + "MR0;");
  l.send("MR0;");
  EXPECT_EQ(l.readFrame(), std::string(good) + "MR0;");

  simAmpReplyOnce(l.amp, "ST", "ST&;");
  EXPECT_EQ(l.ask("ST;"), "ST&;");
  EXPECT_EQ(l.ask("ST;").size(), 37u);

  simAmpIgnore(l.amp, "FM");
  EXPECT_EQ(l.ask("FM;", 100), "");
  EXPECT_EQ(l.ask("ST;").size(), 37u);
  simAmpIgnore(l.amp, "");
  EXPECT_EQ(l.ask("FM;"), "FM000000000000;");

  simAmpClearReceived(l.amp);
  simAmpSetSilent(l.amp, true);
  EXPECT_EQ(l.ask("AB1;", 100), "");
  EXPECT_EQ(simAmpWaitReceived(l.amp, 1, 100), 1u);  // heard on the wire, not acted on
  EXPECT_FALSE(simAmpState(l.amp).bypass);
  simAmpSetSilent(l.amp, false);
  EXPECT_EQ(l.ask("AB1;"), "AB1;");

  simAmpSendRaw(l.amp, "12XY;");
  EXPECT_EQ(l.readFrame(), "12XY;");
}

TEST(SimAmpFaults, UpdateModeAndMicroRestart) {
  Line l;
  ASSERT_GE(l.fd, 0);
  Status s = status(l);
  EXPECT_EQ(s.fault, 0x80);  // powered up: restart bit until "CPFFFF;"
  EXPECT_EQ(s.d1 & 4, 0);
  EXPECT_EQ(l.ask("CPFFFF;"), "CPFFFF;");
  EXPECT_EQ(status(l).fault, 0);

  for (const char *c : {"SA3;", "AB1;", "FN1050;", "MT100010000;", "MP1;", "TS0001000100010001;"}) l.ask(c);
  EXPECT_EQ(l.ask("MR1;", 100), "");  // boot loader: no reply ...
  EXPECT_EQ(l.ask("ST;", 100), "");   // ... and nothing more
  EXPECT_TRUE(simAmpState(l.amp).inUpdate);

  simAmpMicroRestart(l.amp);
  s = status(l);
  EXPECT_EQ(s.fault, 0x80);
  EXPECT_EQ(s.d1, 0);
  SimAmpState st = simAmpState(l.amp);
  EXPECT_FALSE(st.inUpdate || st.bypass || st.protection || st.tripped);
  EXPECT_EQ(st.antenna, 1);
  EXPECT_EQ(st.fanPercent, 0);
  EXPECT_EQ(st.tuneWord, 0u);
  EXPECT_EQ(st.thresholds[2], 4095);
  l.ask("CPFFFF;");
  EXPECT_EQ(status(l).fault, 0);

  simAmpSetFaultBits(l.amp, 0x11);  // I OUT + FILTER TX: low nibble first
  l.send("ST;");
  std::string f = l.readFrame();
  ASSERT_EQ(f.size(), 39u);
  EXPECT_EQ(f.substr(30, 2), "11");
  EXPECT_EQ(hexd(f[5]) & 4, 4);  // alarm latch
  simAmpSetFaultBits(l.amp, 0x01);
  EXPECT_EQ(l.ask("ST;").substr(28, 2), "10");
  l.ask("CPFFFF;");
  EXPECT_EQ(status(l).fault, 0x01);  // a present fault outlives the reset
}

TEST(SimAmpProtection, TripsOnMismatchUntilCleared) {
  Line l;
  ASSERT_GE(l.fd, 0);
  l.ask("CPFFFF;");
  simAmpSetLoad(l.amp, 0, {150, 0});  // |gamma|^2 = 1/4
  simAmpSetDrive(l.amp, 1.0, 7100000);
  l.ask("TS4095409503004095;");
  Status s = status(l);
  EXPECT_EQ(s.d1 & 2, 0);  // protection mode off: no trip
  EXPECT_NEAR(reflW(s.refl), fwdW(s.fwd) / 4, 0.2);

  l.ask("MP1;");
  s = status(l);
  EXPECT_EQ(s.d1 & 6, 6);
  EXPECT_EQ(s.fault, 0x02);  // REFL
  EXPECT_NEAR(fwdW(s.fwd), 1.0, 0.03);  // passes the drive through
  l.ask("CPFFFF;");
  EXPECT_EQ(status(l).d1 & 2, 2);  // the cause persists: trips again

  simAmpSetDrive(l.amp, 0, 0);
  l.ask("CPFFFF;");
  s = status(l);
  EXPECT_EQ(s.d1, 0);
  EXPECT_EQ(s.fault, 0);

  simAmpSetLoad(l.amp, 0, {50, 0});
  l.ask("TS0100409540954095;");
  simAmpSetDrive(l.amp, 1.0, 7100000);
  s = status(l);
  EXPECT_EQ(s.fault, 0x20);  // input power
  EXPECT_EQ(s.d1 & 2, 2);

  simAmpSetDrive(l.amp, 0, 0);
  l.ask("MP0;");
  l.ask("CPFFFF;");
  simAmpTripProtection(l.amp);
  s = status(l);
  EXPECT_EQ(s.d1 & 2, 2);
  EXPECT_EQ(s.fault, 0x02);
}

TEST(SimAmpThermal, HeatsWithDissipationCoolsWithFan) {
  SimAmpOptions o;
  o.thermalSpeed = 1e5;  // 30 ms real = 50 min simulated: settled
  Line l(o);
  ASSERT_GE(l.fd, 0);
  auto settled = [&] {
    usleep(30000);
    return simAmpState(l.amp);
  };
  simAmpSetDrive(l.amp, 2.0, 14000000);
  SimAmpState hot = settled();
  EXPECT_GT(hot.temp2, 45);
  EXPECT_GT(hot.temp1, 30);
  EXPECT_LT(hot.temp1, hot.temp2);
  Status s = status(l);
  EXPECT_LT(s.t2, s.t1);  // NTC: hotter reads lower
  EXPECT_LT(s.t1, 2048);

  l.ask("FN1100;");
  SimAmpState cooled = settled();
  EXPECT_LT(cooled.temp2 - 25, (hot.temp2 - 25) / 2);

  simAmpSetDrive(l.amp, 0, 0);
  EXPECT_NEAR(settled().temp2, 25, 0.2);

  simAmpForceTemps(l.amp, 50, NAN);
  s = status(l);
  EXPECT_NEAR(kohm(s.t1), 3.635, 0.04);
  EXPECT_NEAR(kohm(s.t2), 10.0, 0.05);
}
