// Senders of the remote message set; see messages.h.
//
// Every frame is built whole on the stack and written with one locked
// write loop, so frames of different producers never interleave on the
// socket (wsSendAll, MSG_NOSIGNAL: a peer that went away gives an error,
// not SIGPIPE).
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "remote/messages.h"
#include "remote/ws.h"

int wsSendFrame(works *w, const void *frame, size_t len) {
  if (w->wsConnected.load() != 1) return -1;
  kzSleepUs(10);
  std::lock_guard<std::mutex> lk(w->wsMut);
  // The transport clears wsConnected under this lock before it closes the
  // socket: the descriptor read here is the live connection's.
  if (w->wsConnected.load() != 1) return -1;
  return wsSendAll(w->wsFD.load(), frame, len);
}

static int sendShort(works *w, const char type[2], const void *data, int len) {
  if (w->wsConnected.load() != 1) return -1;
  if (len < 0 || len > KZ_WS_SHORT_MAX) {
    kzLog(KZ_LOG_INFO, "%c%c message of %d bytes is too long for one frame, not sent", type[0],
          type[1], len);
    return -1;
  }
  uint8_t frame[4 + KZ_WS_SHORT_MAX];
  frame[0] = 0x82;
  frame[1] = uint8_t(len + 2);
  frame[2] = uint8_t(type[0]);
  frame[3] = uint8_t(type[1]);
  if (len > 0) memcpy(frame + 4, data, size_t(len));
  return wsSendFrame(w, frame, size_t(len) + 4);
}

int sendWebSockCatFrame(works *w, const void *data, int len) { return sendShort(w, "CA", data, len); }
int sendWebSockStatusFrame(works *w, const void *data, int len) {
  return sendShort(w, "ST", data, len);
}
int sendWebSockSerParFrame(works *w, const void *data, int len) {
  return sendShort(w, "PA", data, len);
}

static void put32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

int sendWebSockSerSpectrFrame(works *w, const void *data, int total) {
  if (w->wsConnected.load() != 1 || total <= 0) return -1;
  const auto *src = static_cast<const uint8_t *>(data);
  uint8_t frame[KZ_WS_CHUNK_FRAME];
  frame[0] = 0x82;
  frame[1] = 126;
  frame[2] = uint8_t((KZ_WS_CHUNK_FRAME - 4) >> 8);
  frame[3] = uint8_t((KZ_WS_CHUNK_FRAME - 4) & 0xff);
  frame[4] = 'S';
  frame[5] = 'P';
  put32(frame + 6, uint32_t(total));
  // Cost: one 526-byte frame per 512 bytes of data.
  for (int off = 0; off < total; off += KZ_WS_CHUNK_DATA) {
    put32(frame + 10, uint32_t(off));
    const int n = total - off < KZ_WS_CHUNK_DATA ? total - off : KZ_WS_CHUNK_DATA;
    memcpy(frame + 14, src + off, size_t(n));
    // The last chunk's filler beyond the total: zeros, ignored by the receiver.
    if (n < KZ_WS_CHUNK_DATA) memset(frame + 14 + n, 0, size_t(KZ_WS_CHUNK_DATA - n));
    if (wsSendFrame(w, frame, sizeof frame) != 0) return -1;
  }
  return 0;
}
