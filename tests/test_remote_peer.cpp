// Two units on one machine and the technician's peer: setup keys given
// from outside the file, the status text as kz-remote reads it, and two
// simulated units joined over loopback with kz-remote looking at the
// server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio_support.h"
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

namespace {

// A TCP port from 20000 to 32767 (TcpPort is a signed 16-bit number) that
// nothing listens on or lingers on now.
int freePort() {
  std::mt19937 rng(std::random_device{}());
  for (int tries = 0; tries < 200; tries++) {
    int port = 20000 + int(rng() % 12000);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return port;
  }
  return -1;
}

// Runs `binary` with `args`, standard output into `outPath` and standard
// error into `errPath` (the same file when equal); returns the pid.
pid_t spawn(const char *binary, const std::vector<std::string> &args, const std::string &outPath,
            const std::string &errPath) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = errPath == outPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, 1);
  dup2(err, 2);
  kzExecProgram(binary, args);
}

// The exit status of `pid` once it has ended (SIGKILL after `ms`); -1
// when it did not end by itself.
int reap(pid_t pid, int ms) {
  int status = 0;
  if (!kzWaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool fileHas(const std::string &path, const std::string &text) {
  std::string s;
  return kzReadFile(path, s) == 0 && s.find(text) != std::string::npos;
}

std::string tail(const std::string &path) {
  std::string s;
  kzReadFile(path, s);
  return s.substr(s.size() > 3000 ? s.size() - 3000 : 0);
}

}  // namespace

// Two simulated units, server and client by their --setup keys, on a free
// port: the client logs the server's status; then the technician's peer
// gives the server a wrong password (refused), and the right one with a
// bank change that the unit carries out and the next status shows. Each
// wait is for an event, with a deadline far above a busy machine's
// start-up of about seven seconds.
TEST(TwoUnits, ClientLogsTheServersStatusAndThePeerDecodesItAndChangesTheBank) {
  KzTempRoot tmp("kz_pair");
  std::string a = tmp.dir + "/server", b = tmp.dir + "/client";
  int port = freePort();
  ASSERT_GT(port, 0);
  std::string p = std::to_string(port);
  std::vector<std::string> common = {"--headless", "--quiet", "--seconds", "600"};
  std::vector<std::string> server = common, client = common;
  server.insert(server.end(), {"--root", a, "--setup", "WebSocket=1", "--setup", "TcpPort=" + p});
  client.insert(client.end(), {"--root", b, "--setup", "WebSocket=2", "--setup",
                               "Server=127.0.0.1", "--setup", "TcpPort=" + p});
  std::string serverLog = tmp.dir + "/server.log", clientLog = tmp.dir + "/client.log";
  pid_t sp = spawn(KZ_SIM_BINARY, server, serverLog, serverLog);
  pid_t cp = spawn(KZ_SIM_BINARY, client, clientLog, clientLog);
  ASSERT_GT(sp, 0);
  ASSERT_GT(cp, 0);

  bool clientGotStatus = kzWaitFor([&] { return fileHas(clientLog, "BUFFER Wsocket : "); }, 60000);
  // The keys were written into each root's setup file before the start.
  EXPECT_TRUE(fileHas(a + "/opt/set/setup.txt", "\nWebSocket: 1\n"));
  EXPECT_TRUE(fileHas(a + "/opt/set/setup.txt", "\nTcpPort: " + p + "\n"));
  EXPECT_TRUE(fileHas(b + "/opt/set/setup.txt", "\nWebSocket: 2\n"));
  EXPECT_TRUE(fileHas(b + "/opt/set/setup.txt", "\nServer: 127.0.0.1\n"));
  // The server serves one peer at a time: the client unit goes first.
  kill(cp, SIGTERM);
  EXPECT_EQ(reap(cp, 60000), 0);
  EXPECT_TRUE(clientGotStatus) << tail(clientLog);

  std::string out = tmp.dir + "/peer.out", err = tmp.dir + "/peer.err";
  pid_t wrong = spawn(KZ_REMOTE_BINARY, {"127.0.0.1", p, "--password", "velocilento!", "--count", "1"},
                      out, err);
  EXPECT_EQ(reap(wrong, 60000), 1) << tail(err);
  EXPECT_TRUE(fileHas(err, "a wrong password is refused this way")) << tail(err);
  EXPECT_FALSE(fileHas(out, "status ")) << tail(out);

  pid_t peer = spawn(KZ_REMOTE_BINARY, {"127.0.0.1", p, "--send", "VORNBANK"}, out, err);
  bool decoded = kzWaitFor([&] { return fileHas(out, "status band "); }, 60000);
  bool bankShown = kzWaitFor([&] { return fileHas(out, "  bank 2  "); }, 60000);
  kill(peer, SIGINT);
  EXPECT_EQ(reap(peer, 60000), 0) << tail(err);
  kill(sp, SIGTERM);
  EXPECT_EQ(reap(sp, 60000), 0);
  EXPECT_TRUE(decoded) << tail(out) << tail(err);
  EXPECT_TRUE(bankShown) << tail(out) << tail(serverLog);
  EXPECT_TRUE(fileHas(serverLog, "ChangeBanco")) << tail(serverLog);
}

// Two simulated units carry sound: a 16 kHz tone file goes into the
// server's capture (brought to 48 kHz), through Opus to the client, whose
// playback lands in a WAV file with the tone's frequency; the file is a
// valid WAV once the unit has stopped.
TEST(TwoUnits, ToneFedIntoTheServerIsHeardInTheClientsWav) {
  KzTempRoot tmp("kz_pair_audio");
  std::string a = tmp.dir + "/server", b = tmp.dir + "/client";
  const std::string tone = tmp.dir + "/tone.wav", heard = tmp.dir + "/heard.wav";
  writeTone(tone, 700, 3.0, 16000, true);
  int port = freePort();
  ASSERT_GT(port, 0);
  std::string p = std::to_string(port);
  std::vector<std::string> common = {"--headless", "--quiet", "--seconds", "600"};
  std::vector<std::string> server = common, client = common;
  server.insert(server.end(), {"--root", a, "--setup", "WebSocket=1", "--setup", "TcpPort=" + p,
                               "--audio-in", tone});
  client.insert(client.end(), {"--root", b, "--setup", "WebSocket=2", "--setup",
                               "Server=127.0.0.1", "--setup", "TcpPort=" + p, "--audio-out", heard});
  std::string serverLog = tmp.dir + "/server.log", clientLog = tmp.dir + "/client.log";
  pid_t sp = spawn(KZ_SIM_BINARY, server, serverLog, serverLog);
  pid_t cp = spawn(KZ_SIM_BINARY, client, clientLog, clientLog);
  ASSERT_GT(sp, 0);
  ASSERT_GT(cp, 0);
  // The tone starts 8 s (--audio-start) after the server's capture
  // opens: time for the client to connect and ready its playback.
  const bool heardTone = kzWaitFor([&] { return leftFrequency(readSamples(heard, 44)) > 0; },
                                   90000);
  kill(cp, SIGTERM);
  kill(sp, SIGTERM);
  EXPECT_EQ(reap(cp, 60000), 0);
  EXPECT_EQ(reap(sp, 60000), 0);
  ASSERT_TRUE(heardTone) << tail(clientLog) << tail(serverLog);
  EXPECT_NEAR(leftFrequency(readSamples(heard, 44)), 700.0, 15.0);
  std::string wav;
  ASSERT_EQ(kzReadFile(heard, wav), 0);
  ASSERT_GT(wav.size(), 44u);
  uint32_t dataBytes = 0;
  memcpy(&dataBytes, wav.data() + 40, 4);
  EXPECT_EQ(dataBytes, wav.size() - 44);
  EXPECT_EQ(wav.compare(0, 4, "RIFF"), 0);
}
