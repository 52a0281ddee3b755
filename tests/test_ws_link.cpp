// The remote link over loopback with real sockets and threads: this
// system's client against its server, standard (masked) peers, the limits,
// the thread's end at shutdown, and the Python and Node WebSocket clients.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "core/threads.h"
#include "ws_support.h"

namespace {

constexpr int kWait = 30000;  // generous: the machine is shared

std::mutex gTapMut;
std::vector<std::pair<std::string, std::string>> gTapped;
void tap(works *, const char *what, const uint8_t *data, int len, int) {
  std::lock_guard<std::mutex> lk(gTapMut);
  gTapped.emplace_back(what, std::string(reinterpret_cast<const char *>(data), size_t(len)));
}
size_t tapped() {
  std::lock_guard<std::mutex> lk(gTapMut);
  return gTapped.size();
}

bool seen(KzLogCapture &log, const std::string &needle, int times = 1) {
  return kzWaitFor([&] { return log.countContaining(needle) >= times; }, kWait);
}

// Reads the server's answer to an opening request up to its blank line.
std::string answer(const WsRawPeer &p) {
  std::string a;
  while (a.find("\r\n\r\n") == std::string::npos) {
    const std::string b = p.get(1);
    if (b.empty()) break;
    a += b;
  }
  return a;
}

}  // namespace

TEST(WsLink, OwnClientAndServer) {
  KzTempRoot root("kz_ws_pair");
  KzLogCapture log(0);
  kzCmdUse(&kzCmdRecorder);
  kzWsReceiverTap = tap;
  WsUnit server, client;
  server.w->divide = 1;
  server.startServer();
  client.startClient(server.port);
  ASSERT_TRUE(kzWaitFor([&] { return server.w->wsConnected == 1 && client.w->wsConnected == 1; },
                        kWait));
  EXPECT_EQ(log.count("required >velocirapido< equals to >velocirapido<"), 1);
  EXPECT_TRUE(seen(log, "Websocket Connected"));

  // Server to client: status, a dialect close frame (a wrong type, the
  // loop goes on), "SC" (wrong type at a client), parameters, spectrum.
  const std::string status = "S" + std::string(43, '5');
  const uint8_t dialectClose[] = {0x88, 2, 'o', 'k'}, sc[] = {0x82, 3, 'S', 'C', 1};
  ASSERT_EQ(wsSendFrame(server.w.get(), dialectClose, sizeof dialectClose), 0);
  ASSERT_EQ(wsSendFrame(server.w.get(), sc, sizeof sc), 0);
  ASSERT_EQ(sendWebSockStatusFrame(server.w.get(), status.data(), int(status.size())), 0);
  // The status display traces what it acts on: after that line the
  // transport thread has written remoteStatus.
  ASSERT_TRUE(seen(log, "BUFFER Wsocket : " + status));
  EXPECT_EQ(std::string(client.w->remoteStatus), status);
  EXPECT_EQ(log.count("wrong message type: 88"), 1);
  EXPECT_EQ(log.count("wrong message type: 82"), 1);
  std::string params(31, 'p'), spectrum(854, 's');
  spectrum[853] = 'e';
  ASSERT_EQ(sendWebSockSerParFrame(server.w.get(), params.data(), 31), 0);
  ASSERT_EQ(sendWebSockSerSpectrFrame(server.w.get(), spectrum.data(), 854), 0);
  ASSERT_TRUE(kzWaitFor([] { return tapped() >= 2; }, kWait));
  {
    std::lock_guard<std::mutex> lk(gTapMut);
    EXPECT_EQ(gTapped[0], std::make_pair(std::string("storeParameters"), params));
    EXPECT_EQ(gTapped[1], std::make_pair(std::string("storeFFT"), spectrum));
  }
  // Client to server: a command.
  // (the display traces a status before it acts on it: the one after it
  // shows that the command is done)
  ASSERT_EQ(sendWebSockStatusFrame(client.w.get(), "VORNFD7", 7), 0);
  ASSERT_EQ(sendWebSockStatusFrame(client.w.get(), "next", 4), 0);
  ASSERT_TRUE(seen(log, "BUFFER Wsocket : next"));
  EXPECT_EQ(server.w->divide, 7);
  EXPECT_EQ(log.count("EIK, ST\n"), 2);

  // Both end when the run flag drops, the server while connected.
  server.stop();
  client.stop();
  kzWsReceiverTap = nullptr;
  EXPECT_EQ(server.w->wsConnected.load(), 0);
  EXPECT_EQ(client.w->wsConnected.load(), 0);
}

TEST(WsLink, WrongPasswordAndStandardPeer) {
  KzTempRoot root("kz_ws_std");
  KzLogCapture log(0);
  kzCmdUse(&kzCmdRecorder);
  WsUnit server, client;
  server.startServer();
  // This system's client with a wrong password: closed, and it retries.
  memcpy(client.w->wsPassword, "wrongpasswrd", 13);
  client.startClient(server.port);
  EXPECT_TRUE(seen(log, "required >velocirapido< differ from >wrongpasswrd<", 2));
  EXPECT_TRUE(seen(log, "reconnecting"));
  client.stop();

  // A standard peer: a wrong password gets no frame, only the close.
  {
    WsRawPeer p(server.port);
    p.put(wsBrowserRequest(server.port));
    EXPECT_NE(answer(p).find("Sec-WebSocket-Protocol: chat\r\n\r\n"), std::string::npos);
    p.put(wsMasked(0x81, "velocirapid"));
    EXPECT_TRUE(p.closedByServer());
  }
  // The right one: masked frames unmasked, binary frames before the
  // password dropped, ping answered, status frames received, close.
  WsRawPeer p(server.port);
  p.put(wsBrowserRequest(server.port));
  const std::string a = answer(p);
  EXPECT_EQ(a.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u);
  EXPECT_NE(a.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"), std::string::npos);
  p.put(wsMasked(0x82, "STVORNRB") + wsMasked(0x82, "STVORNBANK"));
  p.put(wsMasked(0x81, "velocirapido"));
  ASSERT_TRUE(kzWaitFor([&] { return server.w->wsConnected == 1; }, kWait));
  EXPECT_EQ(log.countContaining("frame 82 before the password dropped"), 1);
  EXPECT_TRUE(kzCmdRecorded().empty());
  EXPECT_EQ(server.w->numBanco.load(), 1);
  p.put(wsMasked(0x89, "hi"));
  EXPECT_EQ(p.get(4), std::string("\x8a\x02hi"));
  ASSERT_EQ(sendWebSockStatusFrame(server.w.get(), "0123", 4), 0);
  EXPECT_EQ(p.get(8), std::string("\x82\x06ST0123"));
  // 31 bytes of parameters: one 35-byte frame, length code 33.
  ASSERT_EQ(sendWebSockSerParFrame(server.w.get(), std::string(31, 'q').data(), 31), 0);
  EXPECT_EQ(p.get(35), std::string("\x82\x21PA") + std::string(31, 'q'));
  p.put(wsMasked(0x82, "STVORNRB"));
  EXPECT_TRUE(kzWaitFor([] { return kzCmdRecorded() == std::vector<std::string>{"reboot"}; },
                        kWait));
  p.put(wsMasked(0x88, "\x03\xe8"));
  EXPECT_EQ(p.get(4), std::string("\x88\x02\x03\xe8"));
  EXPECT_TRUE(p.closedByServer());
  EXPECT_EQ(log.count("close frame from the peer: connection ended"), 1);
}

TEST(WsLink, LimitsOfTheServer) {
  KzTempRoot root("kz_ws_lim");
  KzLogCapture log(0);
  kzWsLoginLimitMs = 1500;
  WsUnit server;
  server.startServer();
  {
    WsRawPeer silent(server.port);
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_EQ(log.countContaining("no handshake within 1500 ms"), 1);
  }
  {
    WsRawPeer mute(server.port);
    mute.put(wsBrowserRequest(server.port));
    answer(mute);
    EXPECT_TRUE(mute.closedByServer());
    EXPECT_EQ(log.countContaining("no password within 1500 ms"), 1);
  }
  // Lengths past the 1024-byte buffer end the connection, in every form.
  const std::string tooLong[] = {std::string("\x82\xfe\x07\xd0", 4),  // masked, N = 2000
                                 std::string("\x82\x7f\x00\x10\x00\x00", 6),
                                 std::string("\x82\x7f\x00\x00\x00\x01", 6)};
  for (const std::string &f : tooLong) {
    WsRawPeer p(server.port);
    p.put(wsBrowserRequest(server.port));
    answer(p);
    p.put(wsMasked(0x81, "velocirapido"));
    p.put(f + std::string(64, 'z'));
    EXPECT_TRUE(p.closedByServer());
  }
  EXPECT_EQ(log.countContaining("does not fit the 1024-byte buffer: connection ended"), 3);
  server.stop();
  kzWsLoginLimitMs = 5000;
}

TEST(WsLink, ThreadsEndWhenTheRunFlagDrops) {
  KzTempRoot root("kz_ws_thr");
  KzLogCapture log(0);
  WsUnit u;
  // Wsocket binds tcpPort (a signed 16-bit number): find a free one below
  // 32768 by trying.
  int port = 0;
  for (int p = 20000 + getpid() % 10000; port == 0 && p < 32768; p += 7) {
    const int fd = wsServerListen(u.w.get(), p);
    if (fd >= 0) {
      close(fd);
      port = p;
    }
  }
  ASSERT_NE(port, 0);
  u.w->tcpPort = int16_t(port);
  u.rec.WebSocket = '1';
  StartThreadSoket(u.w.get());
  // (the search above logged it once already)
  ASSERT_TRUE(seen(log, "Listening on port " + std::to_string(port), 2));
  WsRawPeer silent(port);  // in the handshake when the flag drops
  ASSERT_TRUE(seen(log, "Connected by 127.0.0.1"));
  u.w->running = 0;
  JoinAllThreads();
  // The client retrying a port where nobody listens.
  u.w->running = 1;
  u.rec.WebSocket = '2';
  snprintf(u.w->serverHost, sizeof u.w->serverHost, "127.0.0.1");
  StartThreadSoket(u.w.get());
  EXPECT_TRUE(seen(log, "Connect Error"));
  u.w->running = 0;
  JoinAllThreads();
  EXPECT_EQ(log.count("Communicator joined Wsocket end"), 2);
}

// Standard WebSocket clients: Python's websockets and Node's ws, each
// driven by a short script under tests/interop that connects with the
// protocol "chat", gives the password and waits for two status frames.
TEST(WsLink, PythonAndNodeClients) {
  KzTempRoot root("kz_ws_interop");
  KzLogCapture log(0);
  WsUnit server;
  server.startServer();
  // What the supervisor does: one status frame per cycle while connected.
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    while (feeding) {
      sendWebSockStatusFrame(server.w.get(), "0123456789", 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "interop";
  struct Client {
    const char *name, *probe, *run;
  };
  const Client clients[] = {
      {"python3-websockets", "/usr/bin/python3 -c 'import websockets' 2>/dev/null",
       "/usr/bin/python3 '%s/ws_client.py' %d 2>&1"},
      {"node-ws", "NODE_PATH=/usr/share/nodejs node -e \"require('ws')\" 2>/dev/null",
       "NODE_PATH=/usr/share/nodejs node '%s/ws_client.js' %d 2>&1"}};
  std::vector<std::string> missing;
  for (const Client &c : clients) {
    SCOPED_TRACE(c.name);
    if (std::system(c.probe) != 0) {
      missing.push_back(c.name);
      continue;
    }
    char cmd[1024];
    snprintf(cmd, sizeof cmd, c.run, dir.c_str(), server.port);
    FILE *f = popen(cmd, "r");
    ASSERT_NE(f, nullptr);
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, f)) out += buf;
    const int st = pclose(f);
    EXPECT_EQ(WEXITSTATUS(st), 0) << out;
    EXPECT_NE(out.find("protocol chat"), std::string::npos) << out;
    EXPECT_NE(out.find("ST 0123456789"), std::string::npos) << out;
  }
  feeding = false;
  feeder.join();
  if (!missing.empty())
    GTEST_SKIP() << "not installed (scripts/install-deps.sh installs them): " << missing[0]
                 << (missing.size() > 1 ? " and " + missing[1] : "");
}
