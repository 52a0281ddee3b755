// The remote link without sockets: handshake lines, frame headers, chunk
// reassembly, and the dispatch of both sides over byte streams.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>

#include "ws_support.h"

namespace {

std::string shortBin(const char *type, const std::string &data) {
  return std::string{char(0x82), char(data.size() + 2)} + type + data;
}
std::string dialectText(const std::string &text) {
  return std::string{char(0x81), char(text.size())} + std::string(4, '\0') + text;
}
std::string chunk(const char *type, uint32_t total, uint32_t off, const std::string &data) {
  std::string f{char(0x82), char(126), char(0x02), char(0x0A)};
  f += type;
  for (uint32_t v : {total, off})
    for (int s = 24; s >= 0; s -= 8) f += char((v >> s) & 0xff);
  std::string d = data.substr(0, 512);
  d.resize(512, '\0');
  return f + d;
}
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char(i * 7 + 3);
  return s;
}

std::mutex gTapMut;
std::vector<std::tuple<std::string, std::string, int>> gTapped;
void tap(works *, const char *what, const uint8_t *data, int len, int total) {
  std::lock_guard<std::mutex> lk(gTapMut);
  gTapped.emplace_back(what, std::string(reinterpret_cast<const char *>(data), size_t(len)), total);
}

void runStream(works *w, bool client, const std::string &bytes) {
  auto c = std::make_unique<WsConn>();
  wsConnInit(c.get(), w, -1, client, reinterpret_cast<const uint8_t *>(bytes.data()),
             bytes.size());
  if (client) {
    wsClientSession(c.get());
  } else {
    wsServerSession(c.get(), 0);
  }
}

}  // namespace

TEST(WsProto, AcceptValueAndHandshakeLines) {
  KzLogCapture log(0);
  char acc[29];
  wsAcceptValue("dGhlIHNhbXBsZSBub25jZQ==", acc);
  EXPECT_STREQ(acc, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

  // Requests, fed line by line through the read-ahead buffer as they come
  // off the socket: the result of the last line that decided.
  auto request = [](const std::string &text) {
    auto c = std::make_unique<WsConn>();
    wsConnInit(c.get(), nullptr, -1, false, reinterpret_cast<const uint8_t *>(text.data()),
               text.size());
    WsRequest r{};
    char line[KZ_WS_LINE_MAX];
    int n, res = 0;
    while (res == 0 && (n = wsReadLine(c.get(), line, 0)) > 0) res = wsRequestLine(&r, line, n);
    return std::make_pair(res, std::string(r.key));
  };
  const std::string own =
      "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:6666\r\nUpgrade: websocket\r\n"
      "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: abc\r\nSec-WebSocket-Version: 13"
      "\r\n\r\n\r\n";
  EXPECT_EQ(request(own), std::make_pair(1, std::string("abc")));
  EXPECT_EQ(request(wsBrowserRequest(1)).first, 1);
  // A header line longer than the line buffer is read in pieces; only the
  // piece that ends in a newline is examined.
  EXPECT_EQ(request("GET / HTTP/1.1\r\nX-Long: " + std::string(3000, 'a') +
                    "\r\nUpgrade: websocket\r\nConnection: upgrade\r\nSec-WebSocket-Key: k\r\n\r\n")
                .first,
            1);
  for (const char *bad : {"GET / HTTP/1.1\r\nConnection: Upgrade\r\nSec-WebSocket-Key: k\r\n\r\n",
                          "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: keep-alive\r\n"
                          "Sec-WebSocket-Key: k\r\n\r\n",
                          "POST / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: k\r\n\r\n"})
    EXPECT_EQ(request(bad).first, -1) << bad;

  // The client's reading of the answer.
  auto response = [](const std::string &accept) {
    WsResponse r{};
    std::string text = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept +
                       "\r\nSec-WebSocket-Protocol: chat\r\n\r\n";
    size_t pos = 0;
    while (pos < text.size() && r.counter >= 0 && r.counter <= 5) {
      const size_t e = text.find('\n', pos) + 1;
      wsResponseLine(&r, text.substr(pos, e - pos).c_str(), int(e - pos), "dGhlIHNhbXBsZSBub25jZQ==");
      pos = e;
    }
    return r.counter;
  };
  EXPECT_EQ(response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), 6);
  EXPECT_EQ(response("s3pPLMBiTxaQ9kYGzzhZRbK+xOp="), -1);
  EXPECT_EQ(log.countContaining("keys not correct"), 1);
}

TEST(WsProto, FrameHeadersChunksAndXY) {
  WsHeader h{};
  const uint8_t text[] = {0x81, 12}, masked[] = {0x82, 0x80 | 33}, ext[] = {0x82, 126, 2, 10},
                maskedExt[] = {0x82, 0xFE, 0, 200}, lng[] = {0x82, 127, 0, 0, 1, 0},
                bad[] = {0x82, 127, 0, 0, 0, 1};
  ASSERT_EQ(wsParseHeader(text, 2, &h), 6);
  EXPECT_TRUE(h.key && !h.masked && h.payload == 12);
  ASSERT_EQ(wsParseHeader(masked, 2, &h), 6);
  EXPECT_TRUE(h.key && h.masked && h.payload == 33);
  EXPECT_EQ(wsParseHeader(ext, 2, &h), 4);  // the length field first
  ASSERT_EQ(wsParseHeader(ext, 4, &h), 4);
  EXPECT_EQ(h.payload, 522);
  ASSERT_EQ(wsParseHeader(maskedExt, 4, &h), 8);
  EXPECT_EQ(h.payload, 200);
  ASSERT_EQ(wsParseHeader(lng, 6, &h), 6);
  EXPECT_EQ(h.payload, 256 - 2);
  wsParseHeader(bad, 6, &h);
  EXPECT_EQ(h.payload, -1);

  // An 854-byte spectrum: two chunks, the second copies 342 bytes only.
  uint8_t buf[1024];
  memset(buf, 0xEE, sizeof buf);
  WsChunkBuf cb{buf, sizeof buf, 0};
  const std::string data = pattern(1706);
  auto put = [&](uint32_t total, uint32_t off, bool *complete) {
    const std::string f = chunk("SP", total, off, data.substr(off < data.size() ? off : 0));
    return wsChunkPut(&cb, reinterpret_cast<const uint8_t *>(f.data()) + 6, 520, complete);
  };
  bool done = true;
  EXPECT_EQ(put(854, 0, &done), 0);
  EXPECT_FALSE(done);
  EXPECT_EQ(put(854, 512, &done), 1);
  EXPECT_TRUE(done);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 854), data.substr(0, 854));
  EXPECT_EQ(buf[854], 0xEE);
  EXPECT_EQ(buf[1023], 0xEE);
  // Bad totals and offsets are dropped without touching the buffer; 1706
  // points: the chunks past the buffer are dropped, the last one completes.
  memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(put(854, 854, &done), -1);
  EXPECT_EQ(put(0, 0, &done), -1);
  EXPECT_EQ(put(854, 512, &done), -1);  // no message begun
  EXPECT_EQ(wsChunkPut(&cb, buf, 519, &done), -1);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(put(1706, 0, &done), 0);
  EXPECT_EQ(put(1706, 512, &done), 0);
  EXPECT_EQ(put(1706, 1024, &done), -1);
  EXPECT_FALSE(done);
  EXPECT_EQ(put(1706, 1536, &done), -1);
  EXPECT_TRUE(done);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 1024), data.substr(0, 1024));
  EXPECT_EQ(put(0xffffffffu, 0, &done), 0);
  EXPECT_EQ(put(0xffffffffu, 0xfffffe00u, &done), -1);  // far past the buffer
  EXPECT_TRUE(done);

  int x = 0, y = 0;
  EXPECT_EQ(wsParseXY("XY0012300456", 12, &x, &y), 0);
  EXPECT_EQ(std::make_pair(x, y), std::make_pair(123, 456));
  EXPECT_EQ(wsParseXY("XY00123", 7, &x, &y), -1);
}

TEST(WsDispatch, ServerActsOnlyAfterThePassword) {
  KzTempRoot root("kz_ws_srv");
  KzLogCapture log(0);
  kzCmdUse(&kzCmdRecorder);
  WsUnit u;
  works *w = u.w.get();
  w->divide = 1;
  memset(w->remoteStatus, 'x', sizeof w->remoteStatus - 1);
  // Before the password: every binary type, a wrong text is not yet read.
  std::string early = "\r\n" + shortBin("ST", "VORNRB") + shortBin("ST", "VORNBANK") +
                      shortBin("CA", "FA;") + shortBin("SC", "x") + shortBin("PA", "p") +
                      chunk("FB", 10, 0, "jpeg") + chunk("SO", 10, 0, "snd");
  const std::string status44 = "B" + std::string(43, '7');
  int pipeFd[2];
  ASSERT_EQ(pipe(pipeFd), 0);
  w->catFD = pipeFd[1];
  runStream(w, false,
            early + dialectText("velocirapido") + shortBin("ST", "VORNFT01") +
                shortBin("ST", "VORNFD7") + shortBin("ST", "VORNBANK") + shortBin("ST", "VORNRB") +
                std::string{char(0x88), 2, 'a', 'b'} + shortBin("CA", "FA;") +
                shortBin("SC", "raw") + dialectText("XY0001000020") + shortBin("ST", status44));
  EXPECT_EQ(log.countContaining("before the password dropped"), 1);
  EXPECT_EQ(log.count("required >velocirapido< equals to >velocirapido<"), 1);
  auto reboots = [] {
    const auto r = kzCmdRecorded();
    return std::count(r.begin(), r.end(), "reboot");
  };
  EXPECT_EQ(reboots(), 1);
  EXPECT_EQ(w->numBanco.load(), 2);
  EXPECT_EQ(u.rec.EnableFFT2, '1');
  EXPECT_EQ(w->divide, 7);
  EXPECT_EQ(log.count("wrong message type: 88"), 1);
  EXPECT_EQ(log.count("EIK, CA\n"), 1);
  char got[8] = {};
  EXPECT_EQ(read(pipeFd[0], got, sizeof got), 3);
  EXPECT_STREQ(got, "FA;");
  // serFD -1: "SC" dropped, the connection goes on to the last status.
  EXPECT_EQ(log.countContaining("no transceiver port open"), 1);
  EXPECT_EQ(std::string(w->remoteStatus), status44);
  EXPECT_EQ(std::string(w->remoteStatus + 44, sizeof w->remoteStatus - 44),
            std::string(sizeof w->remoteStatus - 44, '\0'));
  EXPECT_EQ(w->wsConnected.load(), 1);

  // A forward that fails ends the connection; a wrong password too.
  w->serFD = open("/dev/null", O_RDONLY);
  runStream(w, false, dialectText("velocirapido") + shortBin("PA", "par") + shortBin("ST", "VORNRB"));
  EXPECT_EQ(log.countContaining("TCP read Error 8a"), 1);
  runStream(w, false, dialectText("velocirapid0") + shortBin("ST", "VORNRB"));
  EXPECT_EQ(log.count("required >velocirapido< differ from >velocirapid0<"), 1);
  EXPECT_EQ(reboots(), 1);
  // A failed CAT forward also stops the network CAT link: port closed,
  // EnableCAT '0', error 20, a restart asked for; the connection ends.
  u.rec.EnableCAT = '1';
  w->errorsMuted = 0;  // as once the amplifier has reported
  w->catFD = open("/dev/null", O_RDONLY);
  runStream(w, false, dialectText("velocirapido") + shortBin("CA", "FA;") + shortBin("ST", "VORNRB"));
  EXPECT_EQ(log.countContaining("TCP read Error 7a"), 1);
  EXPECT_EQ(w->catFD, 0);
  EXPECT_EQ(u.rec.EnableCAT, '0');
  EXPECT_TRUE(w->remoteRestart.load() == 1 && ExistError(w, 20));
  EXPECT_EQ(reboots(), 1);
  close(w->serFD);
  close(pipeFd[0]);
  close(pipeFd[1]);
}

TEST(WsDispatch, ClientTableAndReassembly) {
  KzTempRoot root("kz_ws_cli");
  KzLogCapture log(0);
  WsUnit u;
  works *w = u.w.get();
  kzWsReceiverTap = tap;
  gTapped.clear();
  std::vector<float> trace(1024), aux(1024);
  SpectrumRec sp{trace.data(), aux.data(), {0}};
  w->spectrum = &sp;
  const std::string params = pattern(31), spectrum = pattern(1706);
  std::string s = shortBin("SC", "x") + dialectText("hello") + shortBin("PA", params);
  for (uint32_t off : {0u, 512u}) s += chunk("SP", 854, off, spectrum.substr(off));
  s += chunk("SP", 854, 900, "bad");
  for (uint32_t off : {0u, 512u, 1024u, 1536u}) s += chunk("SP", 1706, off, spectrum.substr(off));
  s += shortBin("ST", "VORNFD9");
  runStream(w, true, s);
  kzWsReceiverTap = nullptr;
  EXPECT_EQ(log.count("wrong message type: 82"), 1);
  EXPECT_EQ(log.count("wrong message type: 81"), 1);
  ASSERT_EQ(gTapped.size(), 3u);
  EXPECT_EQ(gTapped[0], std::make_tuple(std::string("storeParameters"), params, 31));
  EXPECT_EQ(gTapped[1], std::make_tuple(std::string("storeFFT"), spectrum.substr(0, 854), 854));
  EXPECT_EQ(gTapped[2], std::make_tuple(std::string("storeFFT"), spectrum.substr(0, 1024), 1706));
  EXPECT_EQ(sp.updates.load(), 2u);  // both spectra reached the plot's trace
  EXPECT_EQ(trace[0], float(uint8_t(spectrum[85])) - 192.0f);
  EXPECT_EQ(log.countContaining("spectrum chunk of 520 bytes"), 1);  // once per connection
  EXPECT_EQ(w->divide, 9);
  EXPECT_EQ(w->wsConnected.load(), 0);  // the stream ended: not connected
}

// A thread waiting for a peer is woken by the connection's start, and
// otherwise gives up after its own time.
TEST(WsConnWait, WokenByTheStartElseTimesOut) {
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  w->wsConnected = 0;
  EXPECT_FALSE(wsWaitConnected(w.get(), 10));
  bool woken = false;
  std::thread waiter([&] { woken = wsWaitConnected(w.get(), 600000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // mostly waiting by now
  w->wsConnected = 1;
  wsNotifyConnected();
  waiter.join();  // would hang for ten minutes without the wake-up
  EXPECT_TRUE(woken);
}
