// Simulated transceiver: the tests read its stream over the PTY slave as
// the amplifier would, decode it with a minimal reader of the message
// framing, and send it the amplifier's commands.
#include "platform/serial.h"
#include "sim/xcvr_sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Msg {
  int type = -1;
  std::string body;
  // Parameter fields (type 1).
  uint32_t hz() const {
    uint32_t v = 0;
    for (int i = 1; i <= 8; i++) v = v * 16 + ((uint8_t(body[i]) | 0x30) - 0x30);
    return v;
  }
  int dataVfoB() const { return (uint8_t(body[0]) >> 4) & 1; }
  int mode() const { return uint8_t(body[9]) & 0xF; }
  int tx() const { return (uint8_t(body[9]) >> 6) & 1; }
};

struct Link {
  XcvrSim *x = nullptr;
  int fd = -1;
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<double, uint32_t>> carrier;  // hook calls

  Link() {
    x = xcvrSimStart();
    if (!x) return;
    xcvrSimSetCarrierHook(x, [this](double w, uint32_t hz) {
      std::lock_guard<std::mutex> lk(m);
      carrier.emplace_back(w, hz);
      cv.notify_all();
    });
    fd = kzSerialOpen(xcvrSimSlavePath(x));
    if (fd >= 0) kzSerialConfigure(fd, B115200, 1, 0);
  }
  ~Link() {
    kzSerialClose(fd);
    xcvrSimStop(x);
  }
  int byte(int ms) const {
    uint8_t c;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0 || read(fd, &c, 1) != 1) return -1;
    return c;
  }
  // The next message: a type byte 0..14, the type character, four length
  // characters (least significant digit first), the body. false after
  // `ms` of silence.
  bool next(Msg &out, int ms = 3000) const {
    int t;
    do {
      if ((t = byte(ms)) < 0) return false;
    } while (t > 14);
    int ch = byte(ms);
    if (ch != '0' + t) return false;
    int len = 0;
    for (int i = 0; i < 4; i++) {
      int c = byte(ms);
      if (c < 0x30 || c > 0x3F) return false;
      len |= (c - 0x30) << (4 * i);
    }
    out.type = t;
    out.body.clear();
    while (int(out.body.size()) < len) {
      int c = byte(ms);
      if (c < 0) return false;
      out.body += char(c);
    }
    return true;
  }
  // Reads until a message satisfies `ok` (a generous deadline).
  template <class F>
  bool until(F ok, Msg &m, int seconds = 20) const {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end)
      if (next(m) && ok(m)) return true;
    return false;
  }
  bool param(uint32_t hz, int vfoB, int mode, int tx, Msg &m) const {
    return until([&](const Msg &p) { return p.type == 1 && p.dataVfoB() == vfoB && p.hz() == hz && p.mode() == mode && p.tx() == tx; }, m);
  }
  bool hookSaw(double w, uint32_t hz) {
    std::unique_lock<std::mutex> lk(m);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return !carrier.empty() && carrier.back() == std::make_pair(w, hz); });
  }
  void send(const std::string &s) const { ASSERT_EQ(write(fd, s.data(), s.size()), ssize_t(s.size())); }
};

}  // namespace

TEST(SimXcvr, StreamsParametersAndSpectrumAndFollowsTheOperator) {
  Link l;
  ASSERT_GE(l.fd, 0);
  Msg m;
  // Both VFOs, with the full parameter body; every body byte stays above
  // the message-start values.
  ASSERT_TRUE(l.param(14200000, 0, 1, 0, m));
  EXPECT_EQ(m.body.size(), 31u);
  for (char c : m.body) EXPECT_GT(uint8_t(c), 14);
  ASSERT_TRUE(l.param(7100000, 1, 1, 0, m));
  ASSERT_TRUE(l.until([](const Msg &p) { return p.type == 0; }, m));
  ASSERT_EQ(m.body.size(), 1024u);
  int strong = 0;
  for (char c : m.body) {
    EXPECT_GT(uint8_t(c), 14);
    strong += uint8_t(c) > 95;  // carriers stand above the noise
  }
  EXPECT_GT(strong, 0);

  // Operator controls: frequency, mode, band steps with a band memory.
  xcvrSimSetVfo(l.x, 0, 14074000);
  xcvrSimSetMode(l.x, 4);
  ASSERT_TRUE(l.param(14074000, 0, 4, 0, m));
  xcvrSimBandStep(l.x, 1);
  ASSERT_TRUE(l.param(18120000, 0, 4, 0, m));
  xcvrSimBandStep(l.x, -1);
  ASSERT_TRUE(l.param(14074000, 0, 4, 0, m));
  EXPECT_STREQ(xcvrSimBandName(xcvrSimState(l.x).band), "20m");
  xcvrSimBandStep(l.x, -1);
  xcvrSimBandStep(l.x, -1);  // 30 m, then 40 m's remembered start
  ASSERT_TRUE(l.param(7100000, 0, 4, 0, m));

  // Level fields: pitch and a negative tune offset as hex digits.
  XcvrSimLevels lv;
  lv.pitchHz = 600;
  lv.tuneOffsetHz = -524288;
  lv.squelch = 7;
  xcvrSimSetLevels(l.x, lv);
  ASSERT_TRUE(l.until([](const Msg &p) { return p.type == 1 && (uint8_t(p.body[11]) & 0xF) == 7; }, m));
  EXPECT_EQ(m.body.substr(23, 8), std::string("258\x38\x30\x30\x30\x30"));
}

TEST(SimXcvr, ObeysTransmitAndReceiveCommands) {
  Link l;
  ASSERT_GE(l.fd, 0);
  Msg m;
  ASSERT_TRUE(l.param(14200000, 0, 1, 0, m));
  l.send("TU120;TX2;");
  ASSERT_EQ(xcvrSimWaitReceived(l.x, 2, 20000), 2u);
  EXPECT_EQ(xcvrSimReceived(l.x), (std::vector<std::string>{"TU120;", "TX2;"}));
  ASSERT_TRUE(l.param(14200000, 0, 1, 1, m));
  EXPECT_TRUE(l.hookSaw(2.5, 14200000));
  // The own carrier in the middle of the spectrum.
  ASSERT_TRUE(l.until([](const Msg &p) { return p.type == 0 && uint8_t(p.body[597]) >= 170; }, m));
  // Moving the VFO while transmitting moves the carrier.
  xcvrSimTune(l.x, 1000);
  EXPECT_TRUE(l.hookSaw(2.5, 14201000));

  l.send("R");  // a command split across writes
  l.send("X;");
  ASSERT_TRUE(l.param(14201000, 0, 1, 0, m));
  EXPECT_TRUE(l.hookSaw(0, 14201000));

  // The operator keys the transmitter; "RX;" releases it too.
  xcvrSimSetDrive(l.x, 5);
  xcvrSimSetTransmit(l.x, true);
  ASSERT_TRUE(l.param(14201000, 0, 1, 1, m));
  EXPECT_TRUE(l.hookSaw(5, 14201000));
  l.send("RX;");
  ASSERT_TRUE(l.param(14201000, 0, 1, 0, m));
  EXPECT_EQ(xcvrSimReceived(l.x).back(), "RX;");
}

TEST(SimXcvr, SilenceStopsTheStreamAndIgnoresCommands) {
  Link l;
  ASSERT_GE(l.fd, 0);
  Msg m;
  ASSERT_TRUE(l.next(m));
  xcvrSimSetSilent(l.x, true);
  while (l.next(m, 1000)) {
  }  // what was already on its way
  EXPECT_FALSE(l.next(m, 500));
  l.send("TX2;");
  ASSERT_EQ(xcvrSimWaitReceived(l.x, 1, 20000), 1u);
  EXPECT_FALSE(xcvrSimState(l.x).transmit);
  xcvrSimSetSilent(l.x, false);
  ASSERT_TRUE(l.param(14200000, 0, 1, 0, m));
}
