// The WebSocket transport: one TCP connection between two units (or a unit
// and a standard WebSocket client) carrying the frames of the remote
// message set (messages.h).
//
// Sections:
//   1 thread bodies       Wsocket (server), Wclient (client)
//   2 the connection      WsConn: socket plus the one read-ahead buffer that
//                         both the handshake line reader and the frame
//                         reader take their bytes from
//   3 handshake pieces    accept value, request and response line matching
//   4 frames              header parsing, the frame reader, chunk reassembly
//   5 sessions            handshake, password and frame loop of each side,
//                         callable on any WsConn (tests, fuzz targets)
//
// Design rules: the transport thread is the only reader of the socket and
// the only one that opens or closes it. It sets wsFD and wsConnected under
// wsMut and clears wsConnected under wsMut before the socket is closed, so
// a sender holding wsMut never writes to a closed or reused descriptor.
// Every wait is a poll of at most 200 ms that re-checks `running`, so both
// threads end soon after the run flag drops. Every write uses MSG_NOSIGNAL.
//
// Frame layout (both directions): byte 0 is 0x82 (binary) or 0x81 (text),
// byte 1 the length code L (mask bit stripped). L below 126: L payload
// bytes; 126: two-byte length N, N bytes; 127: four-byte length M, M - 2
// bytes. Four key bytes follow the length when the mask bit is set or byte
// 0 has bit 0 set (text frames always carry them); the payload is XORed
// with them. A frame, header included, fits the 1024-byte buffer or the
// connection ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

struct works;

// ---- 1 thread bodies -------------------------------------------------------

// Server on tcpPort, client to serverHost:tcpPort. Both return when
// `running` drops to 0 or on the fatal conditions the log names.
void Wsocket(works *w);
void Wclient(works *w);

// The connection's start, for a thread that waits for a peer: the transport
// calls wsNotifyConnected right after it sets wsConnected to 1;
// wsWaitConnected blocks until wsConnected is non-zero or `ms` pass and
// returns whether it is (real time: a waiter that must also watch other
// flags wakes at least every `ms`).
void wsNotifyConnected();
bool wsWaitConnected(works *w, int ms);

// The pieces of the thread bodies, for callers that choose the port (tests,
// the benchmark). wsServerListen: a listening socket on `port` (0: any free
// port), -1 on failure (logged). wsServerLoop: the connection loop on it
// until `running` drops or a fatal error; closes `lfd`. wsClientLoop: the
// client's connect / handshake / frame loop to host:port with `key` (24
// Base64 characters) until `running` drops or a fatal error.
int wsServerListen(works *w, int port);
void wsServerLoop(works *w, int lfd);
void wsClientLoop(works *w, const char *host, int port, const char *key);

// Time allowed from accept to the accepted password (and for the client's
// handshake answer), milliseconds.
extern int kzWsLoginLimitMs;

// ---- 2 the connection ------------------------------------------------------

enum { KZ_WS_FRAME_MAX = 1024, KZ_WS_LINE_MAX = 1024, KZ_WS_SPECTRUM_BUF = 1024 };
// Screen frames: one raw 800 x 480 x 4-byte screen (1536000 bytes) or a
// JPEG file of up to this size.
constexpr uint32_t KZ_WS_FB_BUF = 2 * 1024 * 1024;

// Chunk reassembly buffer of one chunked type.
struct WsChunkBuf {
  uint8_t *buf;
  uint32_t cap;
  uint32_t total;  // total of the message being gathered, 0 none
};

struct WsConn {
  works *w;
  int fd;           // -1: bytes come from `mem` (tests, fuzz targets)
  const uint8_t *mem;
  size_t memLen, memPos;
  bool client;      // which side's texts and dispatch table
  bool skipCrLf;    // CR and LF before the first frame are skipped
  bool loggedIn;    // server: the password was accepted
  uint32_t onceLogged;  // bits of the lines logged once per connection
  // Read-ahead: bytes [head, tail) are received and not yet consumed.
  size_t head, tail;
  uint8_t ahead[4096];
  // The current frame, NUL-terminated after its last byte.
  uint8_t frame[KZ_WS_FRAME_MAX + 1];
  int frameLen;
  int hdrLen;      // payload starts here
  int payloadLen;
  uint8_t lengthCode;  // L, mask bit stripped
  bool masked;         // the mask bit was set
  // Reassembly: the client's spectrum, either side's screen frames.
  uint8_t spectrum[KZ_WS_SPECTRUM_BUF];
  WsChunkBuf sp;
  std::unique_ptr<uint8_t[]> fbStore;  // made at the first screen chunk
  WsChunkBuf fb;
};

// A connection on socket `fd` (or, with fd -1, on `len` bytes at `mem`).
void wsConnInit(WsConn *c, works *w, int fd, bool client, const uint8_t *mem = nullptr,
                size_t len = 0);

// Reads one line of at most KZ_WS_LINE_MAX - 1 characters (ending at and
// including '\n', or cut at the limit) into `line`, NUL-terminated.
// Returns its length; 0 end of stream, -1 read error (errno), -2 deadline
// passed or `running` dropped. `deadlineMs` on the clock seam, 0 none.
int wsReadLine(WsConn *c, char *line, int64_t deadlineMs);

// Writes all of `data` to `fd` with MSG_NOSIGNAL: 0, or -1 (fd < 0, or the
// write failed; a frame cut in the middle also shuts the socket down, so
// the transport's reader ends the connection).
int wsSendAll(int fd, const void *data, size_t len);
// Writes all of `data` to `fd` under wsMut, whether or not wsConnected is
// set (handshake replies, the password, pong and close). 0 or -1.
int wsWriteLocked(works *w, int fd, const void *data, size_t len);

// ---- 3 handshake pieces ----------------------------------------------------

// The accept value of `key`: Base64 of the SHA-1 of key + the GUID (28
// characters and a NUL in `out`).
void wsAcceptValue(const char *key, char out[29]);

// Server side: the request, one line at a time.
struct WsRequest {
  int counter;        // header lines recognised, blank line included (logged)
  bool get, upgrade, connection, done;
  char key[64];
  int lines;
};
// Examines one line as read by wsReadLine. Returns 1 when the request is
// complete (the blank line after a valid request), 0 read on, -1 not a
// WebSocket request (logged).
int wsRequestLine(WsRequest *r, const char *line, int len);

// Client side: the response.
struct WsResponse {
  int counter;  // -1 wrong accept value; above 5 complete
};
int wsResponseLine(WsResponse *r, const char *line, int len, const char *ownKey);

// ---- 4 frames --------------------------------------------------------------

// Frame header from its first bytes. `have` bytes of `b` are known (at
// least 2). Returns the bytes of header needed so far (more than `have`:
// read that many and call again), filling `f` once `have` suffices.
struct WsHeader {
  int hdrLen;       // bytes before the payload, key included
  int64_t payload;  // payload length; -1 when the length field is invalid
  uint8_t code;     // L, mask bit stripped
  bool key;         // four key bytes precede the payload
  bool masked;
};
int wsParseHeader(const uint8_t *b, int have, WsHeader *f);

// Reads the next frame into c->frame. 1 a frame, 0 the connection ends
// (logged), -2 deadline passed or `running` dropped.
int wsReadFrame(WsConn *c, int64_t deadlineMs);

// Puts one chunk (payload after the type letters: total, offset, data, `n`
// bytes) into `cb`. Returns 1 when the message is complete (the chunk at or
// past total - 512), 0 stored, -1 dropped (bad length, total or offset, or
// beyond the buffer: logged once per connection by the caller). A dropped
// last chunk still completes: *complete is set apart from the result.
int wsChunkPut(WsChunkBuf *cb, const uint8_t *p, int n, bool *complete);

// "XY" text: x and y as five digits each after the letters. 0 or -1.
int wsParseXY(const char *text, int len, int *x, int *y);

// ---- 5 sessions ------------------------------------------------------------

// Server handshake: reads the request, answers it. 1 done, 0 the
// connection ends (logged).
int wsServerHandshake(WsConn *c, int64_t deadlineMs);
// Server after the handshake: password, then frames until the connection
// ends. Sets and clears wsConnected.
void wsServerSession(WsConn *c, int64_t loginDeadlineMs);
// Client: sends the request and checks the answer with `key`. 1 done, 0
// the connection ends, -1 wrong accept value.
int wsClientHandshake(WsConn *c, const char *host, int port, const char *key);
// Client: reads and checks the server's answer (after the request). 1
// complete, 0 no complete answer, -1 wrong accept value.
int wsClientReadResponse(WsConn *c, const char *key, int64_t deadlineMs);
// Client after the handshake: password frame, then frames until the
// connection ends.
void wsClientSession(WsConn *c);

// Acts on the frame in c->frame. Returns 0 go on, -1 end the connection.
int wsDispatch(WsConn *c);

// Tests may install a tap that sees what each receiver behind the
// dispatch (parameters, spectrum, screen frame, sound) is handed.
using KzWsTap = void (*)(works *w, const char *what, const uint8_t *data, int len, int total);
extern KzWsTap kzWsReceiverTap;
