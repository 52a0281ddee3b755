// Dispatch of received frames (ws.h): the password step of the server, the
// control frames of standard WebSocket peers, and the message table of
// each side.
//
//   frame            server                         client
//   text             password, then "XY"            wrong type (short), ignored
//   short "CA"       trace, to catFD                to catFD
//   short "ST"       trace, remoteStatus, dispStat  remoteStatus, dispStat
//   short "SC"       trace, to serFD                wrong type
//   short "PA"       trace, to serFD                storeParameters
//   extended "SP"    ignored                        reassembly, storeFFT
//   extended "FB"    trace, reassembly, show        reassembly, show
//   extended "SO"    play (audioPlaySO)             play, a failed write ends
//   anything else    "wrong message type: %x"
//
// Until the server has the password nothing but the password text frame
// (and the close and ping of standard peers) is acted on: whoever reaches
// the port cannot reboot the unit, change banks or write to the
// transceiver without it. A forwarding descriptor that is not open (catFD
// 0, serFD -1) is never written: the message is dropped and logged.
//
// Cost: one pass over the frame; nothing is allocated but the screen
// reassembly buffer, once per connection at its first chunk.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "panel/text.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "radio/cat.h"
#include "radio/serparams.h"
#include "remote/audio.h"
#include "remote/screen.h"
#include "remote/ws.h"

KzWsTap kzWsReceiverTap = nullptr;

enum : uint32_t {
  ONCE_EARLY = 1u << 0,
  ONCE_NO_CAT = 1u << 1,
  ONCE_NO_SER = 1u << 2,
  ONCE_SP_CHUNK = 1u << 8,
  ONCE_FB_CHUNK = 1u << 9,
  ONCE_FB_BIG = 1u << 10,
};

// True the first time `bit` is asked for on this connection.
static bool firstTime(WsConn *c, uint32_t bit) {
  if (c->onceLogged & bit) return false;
  c->onceLogged |= bit;
  return true;
}

static uint32_t be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

static void eik(const char *type) {
  kzLog(KZ_LOG_INFO, "EIK, %s", type);
  kzTrace("EIK, %s\n", type);
}

static void wrongType(uint8_t b0) { kzLog(KZ_LOG_INFO, "wrong message type: %x", b0); }

// ---- receivers of the other parts of the program ------------------------------

// Client "PA": the transceiver parameters of the server's transceiver.
static void storeParametersRemote(WsConn *c, const uint8_t *data, int len) {
  if (kzWsReceiverTap) kzWsReceiverTap(c->w, "storeParameters", data, len, len);
  storeParameters(c->w, len, data);
}
// Client "SP" complete: the spectrum buffer (the first 1024 bytes of it).
static void storeFFTRemote(WsConn *c, uint32_t total, const uint8_t *buf) {
  const int held = total < KZ_WS_SPECTRUM_BUF ? int(total) : KZ_WS_SPECTRUM_BUF;
  if (kzWsReceiverTap) kzWsReceiverTap(c->w, "storeFFT", buf, held, int(total));
  storeFFT(c->w, held, buf);
}
// "FB" complete: one screen frame (raw screen memory or JPEG) to show
// (screen.h), from the connection's own receive buffer.
static void showScreenRemote(WsConn *c, uint32_t total, const uint8_t *buf) {
  if (kzWsReceiverTap) kzWsReceiverTap(c->w, "screen frame display", buf, int(total), int(total));
  screenFrameShow(c->w, buf, total);
}
// "SO": sound to play (remote/audio.h). 0 go on, -1 end the connection.
static int playSoundRemote(WsConn *c, const uint8_t *data, int len) {
  if (kzWsReceiverTap) kzWsReceiverTap(c->w, "sound playback", data, len, len);
  return audioPlaySO(c->w, !c->client, data, len);
}
// CAT text from the peer to the transceiver's CAT port (radio/cat.h: the
// write shares its lock with the port's close). 1 written, 0 no port
// (dropped, logged once), -1 the write failed.
static int forwardCat(WsConn *c, const uint8_t *data, int n) {
  if (n > KZ_CAT_CMD_MAX) n = KZ_CAT_CMD_MAX;
  const int r = catWrite(c->w, data, n);
  if (r == 0 && firstTime(c, ONCE_NO_CAT))
    kzLog(KZ_LOG_INFO, "no CAT port open: messages for it are dropped");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// ---- message actions ----------------------------------------------------------

// Writes `n` forwarded bytes to a port: 1 written, 0 no port (dropped,
// logged once), -1 the write failed (errno set).
// The transceiver port's descriptor: the link thread opens and closes it
// while these threads read it.
static int serPortFd(works *w) { return std::atomic_ref<int>(w->serFD).load(); }

static int forward(WsConn *c, int fd, const uint8_t *data, int n, const char *port,
                   uint32_t bit) {
  if (fd <= 0) {
    if (firstTime(c, bit))
      kzLog(KZ_LOG_INFO, "no %s port open: messages for it are dropped", port);
    return 0;
  }
  uint8_t buf[200] = {};
  if (n > int(sizeof buf)) n = int(sizeof buf);
  memcpy(buf, data, size_t(n));
  ssize_t r;
  do r = write(fd, buf, size_t(n));
  while (r < 0 && errno == EINTR);
  if (r <= 0) {
    if (r == 0) errno = 0;
    return -1;
  }
  return 1;
}

static void statusIn(works *w, const uint8_t *data, int n) {
  memset(w->remoteStatus, 0, sizeof w->remoteStatus);
  if (n > int(sizeof w->remoteStatus) - 1) n = int(sizeof w->remoteStatus) - 1;
  memcpy(w->remoteStatus, data, size_t(n));
  dispStatText(w, w->remoteStatus);
}

static void spectrumChunk(WsConn *c, const uint8_t *data, int n) {
  bool complete = false;
  if (wsChunkPut(&c->sp, data, n, &complete) < 0 && firstTime(c, ONCE_SP_CHUNK))
    kzLog(KZ_LOG_INFO, "spectrum chunk of %d bytes (total %u, offset %u) dropped: outside the "
          "%d-byte buffer or out of order", n, n >= 8 ? be32(data) : 0, n >= 8 ? be32(data + 4) : 0,
          KZ_WS_SPECTRUM_BUF);
  if (complete) storeFFTRemote(c, be32(data), c->sp.buf);
}

static void screenChunk(WsConn *c, const uint8_t *data, int n) {
  if (!c->fbStore) {
    c->fbStore.reset(new uint8_t[KZ_WS_FB_BUF]);
    c->fb = WsChunkBuf{c->fbStore.get(), KZ_WS_FB_BUF, 0};
  }
  bool complete = false;
  if (wsChunkPut(&c->fb, data, n, &complete) < 0 && firstTime(c, ONCE_FB_CHUNK))
    kzLog(KZ_LOG_INFO, "screen chunk of %d bytes (total %u, offset %u) dropped: outside the "
          "%u-byte buffer or out of order", n, n >= 8 ? be32(data) : 0, n >= 8 ? be32(data + 4) : 0,
          KZ_WS_FB_BUF);
  if (!complete) return;
  const uint32_t total = be32(data);
  if (total > KZ_WS_FB_BUF) {
    if (firstTime(c, ONCE_FB_BIG))
      kzLog(KZ_LOG_INFO, "screen frame of %u bytes is larger than its %u-byte buffer: dropped",
            total, KZ_WS_FB_BUF);
    return;
  }
  showScreenRemote(c, total, c->fb.buf);
}

// Constant time in the text: every byte position up to the longest text is
// compared, whatever the first difference.
static bool samePassword(const char *want, const uint8_t *got, int n) {
  const int wl = int(strnlen(want, 12));
  unsigned diff = n != wl;
  for (int i = 0; i < 126; i++) {
    const uint8_t a = i < wl ? uint8_t(want[i]) : 0;
    const uint8_t b = i < n ? got[i] : 0;
    diff |= unsigned(a ^ b);
  }
  return diff == 0;
}

static int wrongLength(WsConn *c) {
  kzLog(KZ_LOG_INFO, "wrong message length: is %d instead of %d", c->lengthCode, c->payloadLen);
  return -1;
}

// ---- control frames of standard peers ------------------------------------------

// A close (mask bit set: a standard peer) is answered and ends the
// connection; a ping is answered with a pong carrying its data; a pong is
// ignored. Frames written by a client are masked (with a zero key).
static void controlReply(WsConn *c, uint8_t op, const uint8_t *data, int n) {
  uint8_t out[2 + 4 + 125];
  int len = 0;
  out[len++] = op;
  out[len++] = uint8_t(n | (c->client ? 0x80 : 0));
  if (c->client) {
    memset(out + len, 0, 4);
    len += 4;
  }
  memcpy(out + len, data, size_t(n));
  wsWriteLocked(c->w, c->fd, out, size_t(len + n));
}

// 1 handled and go on, -1 handled and end, 0 not a control frame.
static int controlFrame(WsConn *c, uint8_t b0, const uint8_t *pl, int n) {
  if (b0 == 0x88 && c->masked) {
    kzLog(KZ_LOG_INFO, "close frame from the peer: connection ended");
    controlReply(c, 0x88, pl, n >= 2 ? 2 : 0);
    return -1;
  }
  if (b0 == 0x89) {
    if (n <= 125) controlReply(c, 0x8A, pl, n);
    return 1;
  }
  return b0 == 0x8A ? 1 : 0;
}

// ---- the password step -----------------------------------------------------------

static int passwordStep(WsConn *c, uint8_t b0, const uint8_t *pl, int n) {
  works *w = c->w;
  if (b0 != 0x81) {
    if (firstTime(c, ONCE_EARLY))
      kzLog(KZ_LOG_INFO, "frame %x before the password dropped (further ones are not logged)",
            b0);
    return 0;
  }
  if (c->lengthCode >= 126) return wrongLength(c);
  if (!samePassword(w->wsPassword, pl, n)) {
    kzLog(KZ_LOG_INFO, "required >%s< differ from >%s<", w->wsPassword,
          reinterpret_cast<const char *>(pl));
    return -1;
  }
  kzLog(KZ_LOG_INFO, "required >%s< equals to >%s<", w->wsPassword,
        reinterpret_cast<const char *>(pl));
  {
    std::lock_guard<std::mutex> conn(w->wsConnMut);
    {
      std::lock_guard<std::mutex> send(w->wsMut);
      w->wsConnected = 1;
    }
    wsNotifyConnected();
    kzTrace("connected\n");
    kzSleepMs(1);
  }
  c->loggedIn = true;
  kzLog(KZ_LOG_INFO, "Receiving data");
  return 0;
}

// ---- the two tables --------------------------------------------------------------
//
// Each action gets the data after the type letters. 0 go on, -1 end the
// connection.

static int srvCat(WsConn *c, const uint8_t *data, int n) {
  eik("CA");
  if (forwardCat(c, data, n) >= 0) return 0;
  kzLog(KZ_LOG_INFO, "TCP read Error 7a %d", errno);
  // The network CAT link stops: its thread sees EnableCAT '0' (and its
  // port closed) within one wait and ends.
  ExitCAT(c->w);
  return -1;
}
static int srvStatus(WsConn *c, const uint8_t *data, int n) {
  eik("ST");
  statusIn(c->w, data, n);
  return 0;
}
static int srvRaw(WsConn *c, const uint8_t *data, int n) {
  eik("SC");
  if (forward(c, serPortFd(c->w), data, n, "transceiver", ONCE_NO_SER) >= 0) return 0;
  kzLog(KZ_LOG_INFO, "TCP read Error 7a %d", errno);
  return -1;
}
static int srvParams(WsConn *c, const uint8_t *data, int n) {
  kzTrace("S BUFFER WEB SERVER : %s\n", reinterpret_cast<const char *>(data - 2));
  eik("PA");
  if (forward(c, serPortFd(c->w), data, n, "transceiver", ONCE_NO_SER) >= 0) return 0;
  kzLog(KZ_LOG_INFO, "TCP read Error 8a %d", errno);
  return -1;
}
static int srvScreen(WsConn *c, const uint8_t *data, int n) {
  eik("FB");
  screenChunk(c, data, n);
  return 0;
}
static int ignored(WsConn *, const uint8_t *, int) { return 0; }
static int cliCat(WsConn *c, const uint8_t *data, int n) {
  forwardCat(c, data, n);
  return 0;
}
static int cliStatus(WsConn *c, const uint8_t *data, int n) {
  statusIn(c->w, data, n);
  return 0;
}
static int cliParams(WsConn *c, const uint8_t *data, int n) {
  storeParametersRemote(c, data, n);
  return 0;
}
static int cliSpectrum(WsConn *c, const uint8_t *data, int n) {
  spectrumChunk(c, data, n);
  return 0;
}
static int cliScreen(WsConn *c, const uint8_t *data, int n) {
  screenChunk(c, data, n);
  return 0;
}
static int sound(WsConn *c, const uint8_t *data, int n) { return playSoundRemote(c, data, n); }

struct WsAction {
  bool extended;  // L = 126; otherwise L below 126
  char type[3];
  int (*act)(WsConn *c, const uint8_t *data, int n);
};
static const WsAction kServerTable[] = {{false, "CA", srvCat},   {false, "ST", srvStatus},
                                        {false, "SC", srvRaw},   {false, "PA", srvParams},
                                        {true, "SP", ignored},   {true, "FB", srvScreen},
                                        {true, "SO", sound}};
static const WsAction kClientTable[] = {{false, "CA", cliCat},     {false, "ST", cliStatus},
                                        {false, "PA", cliParams},  {true, "SP", cliSpectrum},
                                        {true, "FB", cliScreen},   {true, "SO", sound}};

// A binary frame through a table: the form and both letters must match.
template <size_t N>
static int binaryFrame(WsConn *c, const WsAction (&table)[N], uint8_t b0, const uint8_t *pl,
                       int n) {
  if (b0 == 0x82 && n >= 2 && c->lengthCode <= 126) {
    for (const WsAction &a : table)
      if (a.extended == (c->lengthCode == 126) && pl[0] == a.type[0] && pl[1] == a.type[1])
        return a.act(c, pl + 2, n - 2);
  }
  wrongType(b0);
  return 0;
}

static int serverFrame(WsConn *c, uint8_t b0, const uint8_t *pl, int n) {
  if (b0 != 0x81) return binaryFrame(c, kServerTable, b0, pl, n);
  if (c->lengthCode >= 126) return wrongLength(c);
  int x, y;
  if (n >= 2 && pl[0] == 'X' && pl[1] == 'Y')
    wsParseXY(reinterpret_cast<const char *>(pl), n, &x, &y);  // no use for them here
  return 0;
}

static int clientFrame(WsConn *c, uint8_t b0, const uint8_t *pl, int n) {
  if (b0 != 0x81) return binaryFrame(c, kClientTable, b0, pl, n);
  if (c->lengthCode < 126) wrongType(b0);  // the client reads no text
  return 0;
}

int wsDispatch(WsConn *c) {
  const uint8_t b0 = c->frame[0];
  const uint8_t *pl = c->frame + c->hdrLen;
  const int n = c->payloadLen;
  const int ctl = controlFrame(c, b0, pl, n);
  if (ctl != 0) return ctl < 0 ? -1 : 0;
  if (c->client) return clientFrame(c, b0, pl, n);
  if (!c->loggedIn) return passwordStep(c, b0, pl, n);
  return serverFrame(c, b0, pl, n);
}
