// The remote message set: typed messages over the WebSocket connection
// (ws.h). Every message is named by two upper-case letters at the start of
// the frame payload:
//   "CA" CAT text            short binary   sendWebSockCatFrame
//   "ST" status or command   short binary   sendWebSockStatusFrame
//   "SC" raw transceiver     short binary   (peers only)
//   "PA" transceiver params  short binary   sendWebSockSerParFrame
//   "SP" spectrum            chunked        sendWebSockSerSpectrFrame
//   "FB" screen frame        chunked        (peers only)
//   "SO" sound               extended       (remote audio)
//   "XY" pointer event       text           (peers only)
// Senders run in the producing threads; each writes one whole frame under
// wsMut and only while wsConnected is 1 (a message is dropped silently
// otherwise). Receivers run in the transport thread (wsDispatch).
#pragma once
#include <cstddef>
#include <cstdint>

struct works;

// Largest data of a short binary message (length code below 126).
constexpr int KZ_WS_SHORT_MAX = 123;
// Chunked messages: 522-byte payload = type (2), total (4), offset (4), 512 data.
constexpr int KZ_WS_CHUNK_DATA = 512;
constexpr int KZ_WS_CHUNK_FRAME = 526;

// One short binary frame of type "CA", "ST", "PA"; `len` at most 123 (a
// longer message is not sent, and logged). Return 0 when the frame was
// written, -1 when it was dropped (not connected, too long, write failed).
int sendWebSockCatFrame(works *w, const void *data, int len);
int sendWebSockStatusFrame(works *w, const void *data, int len);
int sendWebSockSerParFrame(works *w, const void *data, int len);
// Chunk frames of type "SP" for `total` bytes of `data`.
int sendWebSockSerSpectrFrame(works *w, const void *data, int total);

// The common writer: one whole frame under wsMut, only while connected.
// 0 written, -1 dropped or failed. Used by every sender above.
int wsSendFrame(works *w, const void *frame, size_t len);
