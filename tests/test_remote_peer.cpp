// Two units on one machine and the technician's peer: setup keys given
// from outside the file, the status text as kz-remote reads it, and two
// simulated units joined over loopback with kz-remote looking at the
// server.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/setup.h"
#include "core/works.h"
#include "platform/files.h"
#include "support.h"
#include "tools/remote_status.h"

TEST(SetupKeyFromOutside, TakesOnlyKeysOfTheFileWithValuesTheyHoldWhole) {
  auto w = std::make_unique<works>();
  SetupRec rec;
  w->setup = &rec;
  initSetup(w.get());
  std::string why;
  auto set = [&](const char *k, const char *v) {
    why.clear();
    return setupSetKey(w.get(), k, v, why);
  };
  EXPECT_EQ(set("WebSocket", "2"), 0);
  EXPECT_EQ(rec.WebSocket, '2');
  EXPECT_EQ(set("TcpPort", "6700"), 0);
  EXPECT_EQ(w->tcpPort, 6700);
  EXPECT_EQ(set("Server", "192.168.100.200"), 0);  // 15 characters: the whole field
  EXPECT_STREQ(w->serverHost, "192.168.100.200");
  EXPECT_EQ(set("NumAntenna", "3"), 0);
  EXPECT_EQ(w->antenna.load(), 2);

  // Refused values leave record and mirrors as they were.
  SetupRec before = rec;
  struct Bad {
    const char *key, *value, *why;
  } bad[] = {
      {"WebSocket", "3", "not 0 (off), 1 (server) or 2 (client)"},
      {"WebSocket", "12", "not 0 (off), 1 (server) or 2 (client)"},
      {"EnableKeyb", "2", "not 0 or 1"},
      {"EnableKeyb", "", "not 0 or 1"},
      {"NumAntenna", "4", "out of range"},
      {"TcpPort", "32768", "out of range"},
      {"TcpPort", "0", "out of range"},
      {"TcpPort", "67x", "not a whole number"},
      {"TcpPort", "", "not a whole number"},
      {"Server", "192.168.100.2000", "longer than the 15 characters the field holds"},
      {"Tcpport", "6700", "no such key in setup.txt"},
      {"enaser", "1", "no such key in setup.txt"},  // a start byte, not a key of the file
  };
  for (const Bad &b : bad) {
    EXPECT_EQ(set(b.key, b.value), -1) << b.key << "=" << b.value;
    EXPECT_EQ(why, b.why) << b.key << "=" << b.value;
  }
  EXPECT_EQ(memcmp(&before, &rec, sizeof rec), 0);
  EXPECT_EQ(w->tcpPort, 6700);
  EXPECT_EQ(w->antenna.load(), 2);
}

namespace {

// The status text as a unit builds it, position by position.
std::string statusText(const char *band, const char *swr, const char *temp, char error) {
  std::string s = band;  // 0-3
  s += "1";              // mode: KAV transceiver
  s += "2";              // attenuator step 2
  s += "1";              // antenna index 1: ANT2
  s += "0";              // amplifier operating
  s += "B";              // tuner bypassed
  s += "1";              // auto-tune running
  s += swr;              // 10-15
  s += "042.95";         // 16-21
  s += "002.50";         // 22-27
  s += temp;             // 28-31
  s += "13.8";           // 32-35
  s += "01.2";           // 36-39
  s += "07";             // 40-41
  s += error;            // 42
  s += "0";              // 43
  return s;
}

}  // namespace

TEST(RemoteStatusText, EveryPositionReadsBackAsTheTechnicianSeesIt) {
  KzrStatus st;
  std::string t = statusText("20m ", "001.07", "30.7", '0');
  ASSERT_EQ(t.size(), KZR_STATUS_LEN);
  ASSERT_TRUE(kzrDecodeStatus(reinterpret_cast<const uint8_t *>(t.data()), t.size(), st));
  EXPECT_EQ(kzrFormatStatus(st),
            "band 20m  mode 1 (KAV)  att 2  ANT2  amp operate  tuner bypass  autotune on  "
            "SWR 1.07  fwd 42.95 W  in 2.50 W  temp 30.7 C  supply 13.8 V  current 1.2 A  "
            "bank 7  error none");

  // Error 4 registered last travels as the raw byte 5; an SWR of 100; a
  // temperature of -10 cut by the supply field; no band for the frequency.
  t = statusText("----", "100.00", "-10.", char(5));
  ASSERT_TRUE(kzrDecodeStatus(reinterpret_cast<const uint8_t *>(t.data()), t.size(), st));
  EXPECT_EQ(st.error, 4);
  EXPECT_DOUBLE_EQ(st.swr, 100.0);
  EXPECT_DOUBLE_EQ(st.tempC, -10.0);
  std::string line = kzrFormatStatus(st);
  EXPECT_NE(line.find("band ----"), std::string::npos) << line;
  EXPECT_NE(line.find("error 4"), std::string::npos) << line;
  EXPECT_NE(line.find("temp -10.0 C"), std::string::npos) << line;

  // A field that is no number shows as "?", a control byte in the name too.
  t = statusText("2\x01m ", "1x1.07", "30.7", '0');
  ASSERT_TRUE(kzrDecodeStatus(reinterpret_cast<const uint8_t *>(t.data()), t.size(), st));
  EXPECT_TRUE(std::isnan(st.swr));
  line = kzrFormatStatus(st);
  EXPECT_NE(line.find("band 2?m  "), std::string::npos) << line;
  EXPECT_NE(line.find("SWR ?  "), std::string::npos) << line;

  // Not status texts: a command and a short text.
  std::string cmd = "VORNBANK" + std::string(40, ' ');
  EXPECT_FALSE(kzrDecodeStatus(reinterpret_cast<const uint8_t *>(cmd.data()), cmd.size(), st));
  t.pop_back();
  EXPECT_FALSE(kzrDecodeStatus(reinterpret_cast<const uint8_t *>(t.data()), t.size(), st));
}
