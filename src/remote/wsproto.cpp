// The pure pieces of the WebSocket transport (ws.h): the accept value, the
// request and response lines of the handshake, the frame header, chunk
// reassembly and the "XY" text. No socket is touched here; the transport
// threads, the tests and the fuzz targets all call these.
#include <glib.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "platform/log.h"
#include "remote/ws.h"

static const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

void wsAcceptValue(const char *key, char out[29]) {
  char joined[128];
  const int n = snprintf(joined, sizeof joined, "%s%s", key, kGuid);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(joined),
       size_t(n < int(sizeof joined) ? n : int(sizeof joined) - 1), digest);
  gchar *b64 = g_base64_encode(digest, sizeof digest);
  snprintf(out, 29, "%s", b64);
  g_free(b64);
}

// ---- handshake lines ---------------------------------------------------------

// A header line "Name: value": true when the name is `name` (any case);
// `value` gets the value without leading blanks and trailing CR, LF, blanks.
static bool headerIs(const char *line, int len, const char *name, char *value, size_t cap) {
  const size_t nl = strlen(name);
  if (size_t(len) <= nl || strncasecmp(line, name, nl) != 0 || line[nl] != ':') return false;
  const char *v = line + nl + 1;
  const char *end = line + len;
  while (v < end && (*v == ' ' || *v == '\t')) ++v;
  while (end > v && (end[-1] == '\r' || end[-1] == '\n' || end[-1] == ' ' || end[-1] == '\t'))
    --end;
  size_t n = size_t(end - v);
  if (n >= cap) n = cap - 1;
  memcpy(value, v, n);
  value[n] = '\0';
  return true;
}

// True when the comma-separated list `value` holds `token` (any case).
static bool hasToken(const char *value, const char *token) {
  const size_t tl = strlen(token);
  const char *p = value;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    const char *s = p;
    while (*p != '\0' && *p != ',') ++p;
    const char *e = p;
    while (e > s && (e[-1] == ' ' || e[-1] == '\t')) --e;
    if (size_t(e - s) == tl && strncasecmp(s, token, tl) == 0) return true;
  }
  return false;
}

static void caught(int *counter, const char *header, int of) {
  ++*counter;
  kzLog(KZ_LOG_INFO, "Caught %s go to status %d/%d\n", header, *counter, of);
}

int wsRequestLine(WsRequest *r, const char *line, int len) {
  // A request is a few hundred bytes; more lines than this is no request.
  if (++r->lines > 100) {
    kzLog(KZ_LOG_INFO, "request of more than 100 lines: connection ended");
    return -1;
  }
  // Pieces of an over-long line (no newline at their end) are not examined.
  if (len <= 0 || line[len - 1] != '\n') return 0;
  kzLog(KZ_LOG_INFO, "Received %d bytes %s", len, line);
  if (len < 3) {
    ++r->counter;
    kzLog(KZ_LOG_INFO, "status advanced %d", r->counter);
    if (r->get && r->upgrade && r->connection && r->key[0] != '\0') {
      r->done = true;
      return 1;
    }
    kzLog(KZ_LOG_INFO, "not a WebSocket request: connection ended");
    return -1;
  }
  char v[256];
  if (strncmp(line, "GET ", 4) == 0) {
    r->get = true;
    caught(&r->counter, "GET ", 7);
  } else if (headerIs(line, len, "Host", v, sizeof v)) {
    caught(&r->counter, "Host: ", 7);
  } else if (headerIs(line, len, "Sec-WebSocket-Version", v, sizeof v)) {
    caught(&r->counter, "Sec-WebSocket-Version: ", 7);
  } else if (headerIs(line, len, "Sec-WebSocket-Protocol", v, sizeof v)) {
    caught(&r->counter, "Sec-WebSocket-Protocol: ", 7);
  } else if (headerIs(line, len, "Sec-WebSocket-Key", v, sizeof v)) {
    caught(&r->counter, "Sec-WebSocket-Key: ", 7);
    snprintf(r->key, sizeof r->key, "%s", v);
    kzLog(KZ_LOG_INFO, "Caught key %s", r->key);
  } else if (headerIs(line, len, "Connection", v, sizeof v)) {
    if (hasToken(v, "upgrade")) {
      r->connection = true;
      caught(&r->counter, "Connection: keep-alive, Upgrade", 7);
    }
  } else if (headerIs(line, len, "Upgrade", v, sizeof v)) {
    if (strcasecmp(v, "websocket") == 0) {
      r->upgrade = true;
      caught(&r->counter, "Upgrade: websocket", 7);
    }
  }
  return 0;
}

int wsResponseLine(WsResponse *r, const char *line, int len, const char *ownKey) {
  if (len <= 0 || line[len - 1] != '\n') return r->counter;
  kzLog(KZ_LOG_INFO, "Received %d bytes %s", len, line);
  if (len < 3) {
    ++r->counter;
    kzLog(KZ_LOG_INFO, "status advanced %d", r->counter);
    return r->counter;
  }
  static const char *const kHeaders[5] = {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket",
                                          "Connection: Upgrade", "Sec-WebSocket-Accept:",
                                          "Sec-WebSocket-Protocol: chat"};
  static const char kAccept[] = "Sec-WebSocket-Accept: ";
  if (strncmp(line, kAccept, sizeof kAccept - 1) == 0) {
    char got[128];
    snprintf(got, sizeof got, "%s", line + sizeof kAccept - 1);
    for (int i = 0; i < 2; i++) {
      const size_t n = strlen(got);
      if (n > 0 && (got[n - 1] == '\r' || got[n - 1] == '\n')) got[n - 1] = '\0';
    }
    kzLog(KZ_LOG_INFO, "Caught key %s", got);
    char want[29];
    wsAcceptValue(ownKey, want);
    if (strcmp(want, got) == 0) {
      kzLog(KZ_LOG_INFO, "keys correct %s %s", want, got);
      caught(&r->counter, kHeaders[3], 5);
    } else {
      kzLog(KZ_LOG_INFO, "keys not correct %s %s", want, got);
      r->counter = -1;
    }
    return r->counter;
  }
  for (const char *h : kHeaders) {
    if (strncmp(line, h, strlen(h)) == 0) caught(&r->counter, h, 5);
  }
  return r->counter;
}

// ---- frames ------------------------------------------------------------------

static uint32_t be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

int wsParseHeader(const uint8_t *b, int have, WsHeader *f) {
  const uint8_t code = b[1] & 0x7f;
  const int base = code < 126 ? 2 : code == 126 ? 4 : 6;
  if (have < base) return base;
  f->code = code;
  f->masked = (b[1] & 0x80) != 0;
  f->key = f->masked || (b[0] & 1) != 0;
  f->hdrLen = base + (f->key ? 4 : 0);
  if (code < 126)
    f->payload = code;
  else if (code == 126)
    f->payload = int64_t(b[2]) << 8 | b[3];
  else
    f->payload = be32(b + 2) >= 2 ? int64_t(be32(b + 2)) - 2 : -1;
  return f->hdrLen;
}

int wsChunkPut(WsChunkBuf *cb, const uint8_t *p, int n, bool *complete) {
  *complete = false;
  if (n != 8 + 512) return -1;
  const uint32_t total = be32(p), off = be32(p + 4);
  if (total == 0 || off >= total) return -1;
  // Offset 0 starts a message; a later chunk must belong to the one begun.
  if (off == 0)
    cb->total = total;
  else if (total != cb->total)
    return -1;
  const uint32_t count = total - off < 512 ? total - off : 512;
  *complete = total - off <= 512;
  if (*complete) cb->total = 0;
  if (off > cb->cap || count > cb->cap - off) return -1;
  memcpy(cb->buf + off, p + 8, count);
  return *complete ? 1 : 0;
}

int wsParseXY(const char *text, int len, int *x, int *y) {
  if (len < 12 || text[0] != 'X' || text[1] != 'Y') return -1;
  char a[6], b[6];
  memcpy(a, text + 2, 5);
  memcpy(b, text + 7, 5);
  a[5] = b[5] = '\0';
  return sscanf(a, "%5d", x) == 1 && sscanf(b, "%5d", y) == 1 ? 0 : -1;
}
