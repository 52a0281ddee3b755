// LAN settings: reading the interfaces file, the in-place rewrite, the
// remount and restart commands, the dotted address helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/lan.h"
#include "support.h"

namespace {

struct LanRoot : KzTempRoot {
  std::string path;
  LanRoot() : KzTempRoot("kzlan"), path(dir + "/etc/network/interfaces") {
    std::filesystem::create_directories(dir + "/etc/network");
  }
  void put(const std::string &text) { std::ofstream(path, std::ios::binary) << text; }
  std::string get() const {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
};

const char *kRestart = "sudo ifdown --exclude=lo -a && sudo ifup --exclude=lo -a";

}  // namespace

TEST(LanFile, ReadsValuesAndRewritesOnlyLinesStartingWithKeyword) {
  LanRoot root;
  KzLogCapture log;
  root.put("auto eth0\niface eth0 inet static\n    address 10.0.0.5\nnetmask 255.255.255.0\n"
           "gateway \nnameserver 8.8.4.4\r\n");
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "10.0.0.5");
  EXPECT_EQ(IP_v[3], 5);
  EXPECT_STREQ(NetMask, "255.255.255.0");
  EXPECT_STREQ(Gateway, "");
  EXPECT_EQ(Gateway_none, 1);
  EXPECT_STREQ(DNS, "8.8.4.4");
  EXPECT_EQ(DNS_none, 0);
  EXPECT_EQ(log.count("ReadLanParam DNS_none=0 Gateway_none=1\n"), 1);

  NetMask_v[2] = 0;
  DNS_v[0] = 1;
  EXPECT_EQ(SaveLanParam(), 0);
  EXPECT_EQ(root.get(), "auto eth0\niface eth0 inet static\n    address 10.0.0.5\n"
                        "netmask 255.255.0.0\ngateway \nnameserver 1.8.4.4\n");
  EXPECT_EQ(kzCmdRecorded(),
            (std::vector<std::string>{"mount -o remount defaults,rw /", kRestart}));

  // No gateway line: none read, none added; a last line without its line
  // end keeps all its characters.
  root.put("address 192.168.1.10\nnetmask 255.255.255.0");
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(NetMask, "255.255.255.0");
  EXPECT_EQ(Gateway_none, 1);
  EXPECT_EQ(SaveLanParam(), 0);
  EXPECT_EQ(root.get(), "address 192.168.1.10\nnetmask 255.255.255.0\n");
  EXPECT_EQ(log.count("--->new ip: address 192.168.1.10\n \n"), 1);
}

TEST(LanFile, MissingFileKeepsValues) {
  LanRoot root;
  KzLogCapture log;
  root.put("address 172.16.0.1\ngateway 172.16.0.254\n");
  ASSERT_EQ(ReadLanParam(), 0);
  std::filesystem::remove(root.path);
  EXPECT_EQ(ReadLanParam(), -1);
  EXPECT_STREQ(Gateway, "172.16.0.254");
  EXPECT_EQ(Gateway_none, 0);
  EXPECT_EQ(log.countContaining("Error opening network connection configuration file. CODE: "), 1);
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_FALSE(std::filesystem::exists(root.path));
}

TEST(LanSave, RemountFailureLeavesFileUntouched) {
  LanRoot root;
  KzLogCapture log('L');
  root.put("address 10.1.1.1\n");
  ASSERT_EQ(ReadLanParam(), 0);
  IP_v[0] = 99;
  kzCmdScript("mount", 1);
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_EQ(root.get(), "address 10.1.1.1\n");
  EXPECT_EQ(kzCmdRecorded(), (std::vector<std::string>{"mount -o remount defaults,rw /"}));
  EXPECT_EQ(log.countContaining("can't mount rw / "), 1);
}

TEST(LanSave, LongFileKeptWholeAndOverLimitRefused) {
  LanRoot root;
  KzLogCapture log;
  std::string text = "# " + std::string(300, 'x') + " address 1.2.3.4\n";
  for (size_t i = 1; i < KZ_LAN_MAX_LINES - 1; ++i) text += "# line " + std::to_string(i) + "\n";
  text += "address 10.0.0.1\n";
  root.put(text);
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "10.0.0.1");
  IP_v[3] = 2;
  EXPECT_EQ(SaveLanParam(), 0);
  std::string want = text.substr(0, text.size() - 2) + "2\n";
  EXPECT_EQ(root.get(), want);

  std::string over = want + "# one line too many\n";
  root.put(over);
  kzCmdClearRecorded();
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_EQ(root.get(), over);
  EXPECT_EQ(kzCmdRecorded().size(), 1u);  // the remount, no restart
  EXPECT_EQ(log.countContaining("not saved"), 1);
}

TEST(LanAddr, SplitAndJoin) {
  char text[32];
  uint8_t v[4] = {192, 168, 1, 10};
  SplitAddrInv(text, v);
  EXPECT_STREQ(text, "192.168.1.10");

  uint8_t guard[8];
  memset(guard, 0xAA, sizeof guard);
  EXPECT_EQ(SplitAddr("1.2.3.4.5.6", guard), 6);
  EXPECT_EQ((std::vector<int>(guard, guard + 8)),
            (std::vector<int>{1, 2, 3, 4, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(SplitAddr("300.99999999999999999.7", guard), 3);
  EXPECT_EQ((std::vector<int>(guard, guard + 4)), (std::vector<int>{255, 255, 7, 0}));
}

// A keyword alone on its line has an empty value with no characters behind
// it: it reads as an empty text (the sanitizer build checks that no null
// pointer reaches memcpy on the way).
TEST(LanFile, KeywordWithoutValueReadsEmpty) {
  KzLogCapture log;
  const char text[] = "iface eth0 inet static\naddress\n";
  parseLanText(text, sizeof text - 1);
  EXPECT_STREQ(IP, "");
  const char gw[] = "address 10.0.0.2\ngateway";
  parseLanText(gw, sizeof gw - 1);
  EXPECT_STREQ(IP, "10.0.0.2");
  EXPECT_EQ(Gateway_none, 1);
}
