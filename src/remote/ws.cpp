// The WebSocket transport threads (ws.h): the connection and its read-ahead
// buffer, the frame reader, the handshake and password steps of both sides,
// and the server's and the client's connection loops.
//
// Sections: 1 reading  2 writing  3 frame reader  4 server  5 client
//
// Every blocking step is a poll of at most 200 ms followed by a look at
// `running`, so the thread ends soon after the run flag drops (main joins
// it at shutdown). The handshake and the password have kzWsLoginLimitMs
// between them: a peer that connects and stays silent does not hold the
// only connection slot.
#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "remote/ws.h"

int kzWsLoginLimitMs = 5000;

static constexpr int kPollMs = 200;

static bool stopped(const works *w) { return w->running.load() == 0; }

// Sleeps `ms` in short steps; false when `running` dropped meanwhile.
static bool napWhileRunning(works *w, int ms) {
  for (int left = ms; left > 0; left -= 100) {
    if (stopped(w)) return false;
    kzSleepMs(left < 100 ? left : 100);
  }
  return !stopped(w);
}

// Connection start: the waiter checks wsConnected under gConnWaitMut and
// the notifier takes that lock after its store, so no start is missed.
static std::mutex gConnWaitMut;
static std::condition_variable gConnWaitCv;

void wsNotifyConnected() {
  { std::lock_guard<std::mutex> lk(gConnWaitMut); }
  gConnWaitCv.notify_all();
}

bool wsWaitConnected(works *w, int ms) {
  std::unique_lock<std::mutex> lk(gConnWaitMut);
  return gConnWaitCv.wait_for(lk, std::chrono::milliseconds(ms),
                              [w] { return w->wsConnected.load() != 0; });
}

// ---- 1 reading -----------------------------------------------------------------

void wsConnInit(WsConn *c, works *w, int fd, bool client, const uint8_t *mem, size_t len) {
  c->w = w;
  c->fd = fd;
  c->mem = mem;
  c->memLen = len;
  c->memPos = 0;
  c->client = client;
  c->skipCrLf = false;
  c->loggedIn = false;
  c->onceLogged = 0;
  c->head = c->tail = 0;
  c->frameLen = c->hdrLen = c->payloadLen = 0;
  c->frame[0] = 0;
  c->sp = WsChunkBuf{c->spectrum, sizeof c->spectrum, 0};
  c->fb = WsChunkBuf{c->fbStore.get(), c->fbStore ? KZ_WS_FB_BUF : 0, 0};
}

// Moves more bytes into the read-ahead buffer. >0 bytes added, 0 end of
// stream, -1 read error (errno), -2 deadline or stop.
static int fill(WsConn *c, int64_t deadlineMs) {
  if (c->head == c->tail) c->head = c->tail = 0;
  if (c->tail == sizeof c->ahead) {
    memmove(c->ahead, c->ahead + c->head, c->tail - c->head);
    c->tail -= c->head;
    c->head = 0;
  }
  const size_t room = sizeof c->ahead - c->tail;
  if (c->fd < 0) {
    size_t n = c->memLen - c->memPos;
    if (n == 0) return 0;
    if (n > room) n = room;
    memcpy(c->ahead + c->tail, c->mem + c->memPos, n);
    c->memPos += n;
    c->tail += n;
    return int(n);
  }
  for (;;) {
    if (stopped(c->w)) return -2;
    int waitMs = kPollMs;
    if (deadlineMs > 0) {
      const int64_t left = deadlineMs - kzNowMs();
      if (left <= 0) return -2;
      if (left < waitMs) waitMs = int(left);
    }
    pollfd p{c->fd, POLLIN, 0};
    const int pr = poll(&p, 1, waitMs);
    if (pr < 0 && errno != EINTR) return -1;
    if (pr <= 0) continue;
    const ssize_t n = recv(c->fd, c->ahead + c->tail, room, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return n == 0 ? 0 : -1;
    c->tail += size_t(n);
    return int(n);
  }
}

int wsReadLine(WsConn *c, char *line, int64_t deadlineMs) {
  int n = 0;
  for (;;) {
    while (c->head < c->tail && n < KZ_WS_LINE_MAX - 1) {
      const char ch = char(c->ahead[c->head++]);
      line[n++] = ch;
      if (ch == '\n') {
        line[n] = '\0';
        return n;
      }
    }
    if (n == KZ_WS_LINE_MAX - 1) {
      line[n] = '\0';
      return n;
    }
    const int r = fill(c, deadlineMs);
    if (r <= 0) {
      line[n] = '\0';
      return r;
    }
  }
}

// Exactly `n` bytes into `dst`: 1, or what fill returned (0, -1, -2).
static int readExact(WsConn *c, uint8_t *dst, size_t n, int64_t deadlineMs) {
  while (n > 0) {
    if (c->head == c->tail) {
      const int r = fill(c, deadlineMs);
      if (r <= 0) return r;
    }
    size_t take = c->tail - c->head;
    if (take > n) take = n;
    memcpy(dst, c->ahead + c->head, take);
    c->head += take;
    dst += take;
    n -= take;
  }
  return 1;
}

// ---- 2 writing -----------------------------------------------------------------

int wsSendAll(int fd, const void *data, size_t len) {
  if (fd < 0) return -1;
  const auto *p = static_cast<const uint8_t *>(data);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = send(fd, p + done, len - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The socket gives up after its send time-out when the peer stopped
      // reading. Nothing of the frame written: only this frame is lost. A
      // part of it written, or any other error: the stream is broken, and
      // the shutdown makes the transport's reader end the connection.
      if (done > 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) shutdown(fd, SHUT_RDWR);
      return -1;
    }
    done += size_t(n);
  }
  return 0;
}

int wsWriteLocked(works *w, int fd, const void *data, size_t len) {
  std::lock_guard<std::mutex> lk(w->wsMut);
  return wsSendAll(fd, data, len);
}

// The connection is over: no sender may write to it from now on. A sender
// blocked in its write is released first by the shutdown, so the lock is
// free for us.
static void markClosed(WsConn *c) {
  if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
  std::lock_guard<std::mutex> lk(c->w->wsMut);
  c->w->wsConnected = 0;
  c->w->wsFD = -1;
}

// ---- 3 frame reader ------------------------------------------------------------

static void readError(WsConn *c, int which, int r) {
  static const char *const kServer[6] = {"TCP read Error 1a %d", "TCP read Error 2a %d",
                                         "TCP read Error 3a %d", "TCP read Error 4a %d",
                                         "TCP read Error 5a %d", "TCP read Error 6a %d"};
  static const char *const kClient[6] = {"TCP read Error 1A %d", "TCP read Error 2A %d",
                                         "TCP read Error 3a %d", "TCP read Error 4a %d",
                                         "TCP read Error 5a %d", "TCP read Error 6A %d"};
  const char *fmt = (c->client ? kClient : kServer)[which];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  kzLog(KZ_LOG_INFO, fmt, r < 0 ? errno : 0);
#pragma GCC diagnostic pop
}

int wsReadFrame(WsConn *c, int64_t deadlineMs) {
  // The client of this system ends its request with two blank lines: what
  // is left of them comes before the first frame. No frame starts with CR
  // or LF, so they are skipped there.
  while (c->skipCrLf) {
    if (c->head == c->tail) {
      const int r = fill(c, deadlineMs);
      if (r <= 0) {
        if (r != -2) readError(c, 0, r);
        return r == -2 ? -2 : 0;
      }
    }
    if (c->ahead[c->head] != '\r' && c->ahead[c->head] != '\n')
      c->skipCrLf = false;
    else
      ++c->head;
  }
  uint8_t *f = c->frame;
  int have = 0;
  WsHeader h{};
  // Header: two bytes, then the length field and the key as the form needs.
  int need = 2;
  while (have < need) {
    const int r = readExact(c, f + have, size_t(need - have), deadlineMs);
    if (r <= 0) {
      if (r != -2) readError(c, have == 0 ? 0 : (f[1] & 0x7f) == 127 ? 3 : 5, r);
      return r == -2 ? -2 : 0;
    }
    have = need;
    need = wsParseHeader(f, have, &h);
  }
  if (h.payload < 0 || h.hdrLen + h.payload > KZ_WS_FRAME_MAX) {
    kzLog(KZ_LOG_INFO, "frame of length code %d and %lld bytes does not fit the %d-byte buffer: "
          "connection ended", h.code, (long long)h.payload, KZ_WS_FRAME_MAX);
    return 0;
  }
  const int r = readExact(c, f + h.hdrLen, size_t(h.payload), deadlineMs);
  if (r <= 0) {
    if (r != -2) readError(c, h.code < 126 ? 1 : h.code == 126 ? 2 : 4, r);
    return r == -2 ? -2 : 0;
  }
  // Key bytes (masked frames, text frames): the payload is XORed with them.
  if (h.key) {
    const uint8_t *k = f + h.hdrLen - 4;
    for (int64_t i = 0; i < h.payload; i++) f[h.hdrLen + i] ^= k[i & 3];
  }
  c->hdrLen = h.hdrLen;
  c->payloadLen = int(h.payload);
  c->frameLen = h.hdrLen + int(h.payload);
  c->lengthCode = h.code;
  c->masked = h.masked;
  f[c->frameLen] = 0;
  return 1;
}

// ---- 4 server ------------------------------------------------------------------

int wsServerListen(works *w, int port) {
  (void)w;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    kzLog(KZ_LOG_ERR, "Socket open error %d", errno);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(uint16_t(port));
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
    kzLog(KZ_LOG_ERR, "Binding error %d", errno);
    close(fd);
    return -1;
  }
  if (listen(fd, 1) < 0) {
    kzLog(KZ_LOG_ERR, "Listening error %d", errno);
    close(fd);
    return -1;
  }
  socklen_t al = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &al);
  kzLog(KZ_LOG_INFO, "Listening on port %d", ntohs(a.sin_port));
  return fd;
}

// Options of a connected socket: frames leave at once (they are small and
// each is written whole), and a peer that stops reading holds a sender for
// at most a second.
static void tuneSocket(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

static void responseLine(WsConn *c, const char *text, const char *logText) {
  const int r = wsSendAll(c->fd, text, strlen(text));
  kzLog(KZ_LOG_INFO, "sent %d bytes error %d", r == 0 ? int(strlen(text)) : -1,
        r == 0 ? 0 : errno);
  kzLog(KZ_LOG_INFO, "%s", logText);
}

int wsServerHandshake(WsConn *c, int64_t deadlineMs) {
  WsRequest req{};
  char line[KZ_WS_LINE_MAX];
  for (;;) {
    const int n = wsReadLine(c, line, deadlineMs);
    if (n == -2) {
      if (!stopped(c->w))
        kzLog(KZ_LOG_INFO, "no handshake within %d ms: connection ended", kzWsLoginLimitMs);
      return 0;
    }
    if (n == 0) {
      kzLog(KZ_LOG_INFO, "connection closed during the handshake");
      return 0;
    }
    if (n < 0) {
      kzLog(KZ_LOG_INFO, "TCP read error %d", errno);
      return 0;
    }
    const int r = wsRequestLine(&req, line, n);
    if (r < 0) return 0;
    if (r == 1) break;
  }
  char accept[29], text[80];
  wsAcceptValue(req.key, accept);
  responseLine(c, "HTTP/1.1 101 Switching Protocols\r\n", "HTTP/1.1 101 Switching Protocols\r\n");
  responseLine(c, "Upgrade: websocket\r\n", "Upgrade: websocket\r\n");
  responseLine(c, "Connection: Upgrade\r\n", "Connection: Upgrade\r\n");
  snprintf(text, sizeof text, "Sec-WebSocket-Accept: %s\r\n", accept);
  char logText[80];
  snprintf(logText, sizeof logText, "Sec-WebSocket-Accept: %s", accept);
  responseLine(c, text, logText);
  responseLine(c, "Sec-WebSocket-Protocol: chat\r\n\r\n", "Sec-WebSocket-Protocol: chat\r\n\r\n");
  return 1;
}

void wsServerSession(WsConn *c, int64_t loginDeadlineMs) {
  works *w = c->w;
  {
    std::lock_guard<std::mutex> lk(w->wsMut);
    w->wsFD = c->fd;
  }
  c->skipCrLf = true;
  while (!stopped(w)) {
    const int r = wsReadFrame(c, c->loggedIn ? 0 : loginDeadlineMs);
    if (r == -2 && !stopped(w))
      kzLog(KZ_LOG_INFO, "no password within %d ms: connection ended", kzWsLoginLimitMs);
    if (r <= 0 || wsDispatch(c) < 0) break;
  }
}

// Ends the accepted connection: false when the socket cannot be closed
// (the thread ends).
static bool endConnection(WsConn *c) {
  kzLog(KZ_LOG_INFO, "TCP exiting");
  markClosed(c);
  if (close(c->fd) < 0) {
    kzLog(KZ_LOG_ERR, "TCP close Error");
    return false;
  }
  kzLog(KZ_LOG_INFO, "TCP closed");
  return true;
}

void wsServerLoop(works *w, int lfd) {
  auto c = std::make_unique<WsConn>();
  while (!stopped(w)) {
    w->wsConnected = 0;
    pollfd p{lfd, POLLIN, 0};
    const int pr = poll(&p, 1, kPollMs);
    if (pr <= 0) {
      if (pr < 0 && errno != EINTR) {
        kzLog(KZ_LOG_ERR, "Accept-ing error %d", errno);
        break;
      }
      continue;
    }
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    const int fd = accept4(lfd, reinterpret_cast<sockaddr *>(&peer), &pl, SOCK_CLOEXEC);
    if (fd < 0) {
      // A peer that gave up before we took it, or a passing shortage of
      // descriptors, does not end the server.
      if (errno == ECONNABORTED || errno == EINTR || errno == EAGAIN || errno == EPROTO ||
          errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        napWhileRunning(w, 100);
        continue;
      }
      kzLog(KZ_LOG_ERR, "Accept-ing error %d", errno);
      break;
    }
    tuneSocket(fd);
    char addr[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr) == nullptr) {
      kzLog(KZ_LOG_ERR, "inet_ntoa error %d", errno);
      close(fd);
      continue;
    }
    kzLog(KZ_LOG_INFO, "Connected by %s", addr);
    wsConnInit(c.get(), w, fd, false);
    const int64_t deadline = kzNowMs() + kzWsLoginLimitMs;
    if (wsServerHandshake(c.get(), deadline) == 1) wsServerSession(c.get(), deadline);
    if (!endConnection(c.get())) break;
  }
  close(lfd);
}

void Wsocket(works *w) {
  kzLog(KZ_LOG_INFO, "Wsocket on port %d mode %c", w->tcpPort, w->setup->WebSocket);
  // On standard error with the other traces: standard output belongs to
  // the simulated unit's status lines.
  kzTrace("wsocket\n");
  if (!napWhileRunning(w, 2000)) return;
  const int lfd = wsServerListen(w, w->tcpPort);
  if (lfd < 0) return;
  wsServerLoop(w, lfd);
}

// ---- 5 client ------------------------------------------------------------------

static bool clientWrite(WsConn *c, const char *text) {
  if (wsSendAll(c->fd, text, strlen(text)) != 0) {
    kzLog(KZ_LOG_INFO, "TCP write Error");
    return false;
  }
  kzLog(KZ_LOG_INFO, "TCP write %d bytes\n", int(strlen(text)));
  return true;
}

int wsClientReadResponse(WsConn *c, const char *key, int64_t deadlineMs) {
  WsResponse resp{};
  char line[KZ_WS_LINE_MAX];
  while (resp.counter >= 0 && resp.counter <= 5) {
    const int n = wsReadLine(c, line, deadlineMs);
    if (n <= 0) {
      // No complete answer: nothing is sent on this connection.
      if (!stopped(c->w)) kzLog(KZ_LOG_INFO, "TCP read error 1 %d", n < 0 ? errno : 0);
      return 0;
    }
    wsResponseLine(&resp, line, n, key);
  }
  return resp.counter < 0 ? -1 : 1;
}

int wsClientHandshake(WsConn *c, const char *host, int port, const char *key) {
  char text[200];
  if (!clientWrite(c, "GET /chat HTTP/1.1\r\n")) return 0;
  snprintf(text, sizeof text, "Host: %s:%d\r\n", host, port);
  if (!clientWrite(c, text)) return 0;
  if (!clientWrite(c, "Upgrade: websocket\r\n")) return 0;
  if (!clientWrite(c, "Connection: keep-alive, Upgrade\r\n")) return 0;
  snprintf(text, sizeof text, "Sec-WebSocket-Key: %s\r\n", key);
  if (!clientWrite(c, text)) return 0;
  if (!clientWrite(c, "Sec-WebSocket-Version: 13\r\n\r\n\r\n")) return 0;
  return wsClientReadResponse(c, key, kzNowMs() + kzWsLoginLimitMs);
}

void wsClientSession(WsConn *c) {
  works *w = c->w;
  // The password goes out before wsConnected is set: no other writer yet.
  uint8_t pw[6 + sizeof w->wsPassword];
  const size_t n = strnlen(w->wsPassword, sizeof w->wsPassword - 1);
  pw[0] = 0x81;
  pw[1] = uint8_t(n);
  memset(pw + 2, 0, 4);
  memcpy(pw + 6, w->wsPassword, n);
  wsWriteLocked(w, c->fd, pw, n + 6);
  {
    std::lock_guard<std::mutex> lk(w->wsMut);
    w->wsFD = c->fd;
    w->wsConnected = 1;
  }
  wsNotifyConnected();
  kzSleepMs(20);
  kzLog(KZ_LOG_INFO, "Websocket Connected");
  while (w->wsConnected.load() == 1 && !stopped(w)) {
    if (wsReadFrame(c, 0) <= 0 || wsDispatch(c) < 0) break;
  }
  markClosed(c);
}

static int newSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) kzLog(KZ_LOG_ERR, "Socket error %d", errno);
  return fd;
}

// Connects `fd` to `addr` within 5 s, looking at `running` every poll.
static bool connectWithin(works *w, int fd, const sockaddr_in &addr) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
  if (rc < 0 && errno == EINPROGRESS) {
    for (int waited = 0; waited < 5000 && !stopped(w); waited += kPollMs) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, kPollMs) > 0) {
        int err = 0;
        socklen_t el = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el);
        rc = err == 0 ? 0 : -1;
        break;
      }
    }
  }
  fcntl(fd, F_SETFL, flags);
  return rc == 0;
}

void wsClientLoop(works *w, const char *host, int port, const char *key) {
  {
    std::lock_guard<std::mutex> lk(w->wsMut);
    w->wsConnected = 0;
  }
  auto c = std::make_unique<WsConn>();
  while (!stopped(w)) {
    int fd = newSocket();
    if (fd < 0) return;
    kzLog(KZ_LOG_INFO, "Socket for TCP created");
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) {
      kzLog(KZ_LOG_ERR, "ERROR, no such host as %s\n", host);
      close(fd);
      return;
    }
    sockaddr_in addr = *reinterpret_cast<sockaddr_in *>(res->ai_addr);
    freeaddrinfo(res);
    addr.sin_port = htons(uint16_t(port));
    kzLog(KZ_LOG_INFO, "server ok");
    kzLog(KZ_LOG_INFO, "TCP bound");
    // A socket whose connection failed is not used again: a fresh one for
    // each try.
    while (!connectWithin(w, fd, addr)) {
      close(fd);
      if (stopped(w)) return;
      kzLog(KZ_LOG_INFO, "Connect Error\n");
      w->wsConnected = 0;
      if (!napWhileRunning(w, 2000) || (fd = newSocket()) < 0) return;
    }
    tuneSocket(fd);
    kzLog(KZ_LOG_INFO, "TCP connected\n");
    wsConnInit(c.get(), w, fd, true);
    const int hs = wsClientHandshake(c.get(), host, port, key);
    if (hs < 0) {
      close(fd);
      kzSleepMs(1000);
      w->running = 0;
      return;
    }
    if (hs == 1) wsClientSession(c.get());
    markClosed(c.get());
    kzLog(KZ_LOG_INFO, "reconnecting");
    close(fd);
    if (!napWhileRunning(w, 100)) return;
  }
}

void Wclient(works *w) {
  kzLog(KZ_LOG_INFO, "Wclient to server %s on port %d mode %c", w->serverHost, w->tcpPort,
        w->setup->WebSocket);
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    kzLog(KZ_LOG_ERR, "/dev/urandom error %d", errno);
    return;
  }
  uint8_t raw[16];
  const ssize_t n = read(fd, raw, sizeof raw);
  const int err = errno;
  close(fd);
  if (n != 16) {
    kzLog(KZ_LOG_ERR, "/dev/urandom read %d instead of 16, error=%d", int(n), err);
    return;
  }
  gchar *b64 = g_base64_encode(raw, sizeof raw);
  char key[32];
  snprintf(key, sizeof key, "%s", b64);
  g_free(b64);
  wsClientLoop(w, w->serverHost, w->tcpPort, key);
}
