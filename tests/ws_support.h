// Shared pieces of the remote-link suites: a unit (works record with its
// setup) running the server or the client transport on loopback, and a raw
// TCP peer that speaks standard (masked) WebSocket frames.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support.h"
#include "remote/messages.h"
#include "remote/ws.h"

// One unit of the pair. start...() runs its transport thread; the
// destructor drops `running` and joins it.
struct WsUnit {
  SetupRec rec{};
  std::unique_ptr<works> w;
  std::thread th;
  int port = 0;
  WsUnit() {
    w = kzTestWorks(rec);
    initSetup(w.get());
    w->numBanco = 1;
    w->maxBank = 20;
  }
  ~WsUnit() { stop(); }
  void startServer() {
    const int lfd = wsServerListen(w.get(), 0);
    sockaddr_in a{};
    socklen_t al = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &al);
    port = ntohs(a.sin_port);
    th = std::thread(wsServerLoop, w.get(), lfd);
  }
  void startClient(int serverPort) {
    th = std::thread(wsClientLoop, w.get(), "127.0.0.1", serverPort, "dGhlIHNhbXBsZSBub25jZQ==");
  }
  void stop() {
    w->running = 0;
    if (th.joinable()) th.join();
  }
};

// A plain TCP peer on loopback.
struct WsRawPeer {
  int fd = -1;
  explicit WsRawPeer(int port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~WsRawPeer() {
    if (fd >= 0) close(fd);
  }
  void put(const std::string &s) const { (void)!send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
  // Reads until `n` bytes came, the stream ended or `timeoutMs` passed.
  std::string get(size_t n, int timeoutMs = 20000) const {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[2048];
      const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) break;
      out.append(buf, size_t(r));
    }
    return out;
  }
  // True when the server closed the stream (without sending anything more).
  bool closedByServer(int timeoutMs = 20000) const {
    return get(1, timeoutMs).empty();
  }
};

// A standard client frame: masked with key 1 2 3 4, short or extended form.
inline std::string wsMasked(uint8_t op, const std::string &payload) {
  std::string f(1, char(op));
  if (payload.size() < 126) {
    f += char(0x80 | payload.size());
  } else {
    f += char(0x80 | 126);
    f += char(payload.size() >> 8);
    f += char(payload.size() & 0xff);
  }
  const char key[4] = {1, 2, 3, 4};
  f.append(key, 4);
  for (size_t i = 0; i < payload.size(); i++) f += char(payload[i] ^ key[i & 3]);
  return f;
}

// A browser-style opening request with the protocol "chat".
inline std::string wsBrowserRequest(int port) {
  return "GET /chat HTTP/1.1\r\nhost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUser-Agent: test\r\nsec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Connection: Upgrade\r\nUPGRADE: WebSocket\r\nOrigin: http://localhost\r\n"
         "Sec-WebSocket-Protocol: chat\r\nSec-WebSocket-Version: 13\r\n\r\n";
}
