// Fuzz target: the frame reader, the dispatch of both sides and the chunk
// reassembly on a byte stream. Byte 0: bit 0 the side (client when set);
// bit 1 puts the password frame first, so the server's table after the
// password is reached too. The rest is the stream from the peer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remote/ws.h"
#include "ws_fuzz_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  works *w = wsFuzzUnit();
  std::string stream;
  if (data[0] & 2) {
    stream = std::string{char(0x81), 12, 0, 0, 0, 0} + "velocirapido";
  }
  stream.append(reinterpret_cast<const char *>(data + 1), size - 1);
  auto c = std::make_unique<WsConn>();
  const bool client = (data[0] & 1) != 0;
  wsConnInit(c.get(), w, -1, client, reinterpret_cast<const uint8_t *>(stream.data()),
             stream.size());
  if (client)
    wsClientSession(c.get());
  else
    wsServerSession(c.get(), 0);
  // Before the password the server acts on nothing: no command runs.
  if (!client && !c->loggedIn && !kzCmdRecorded().empty()) std::abort();
  if (c->frameLen > KZ_WS_FRAME_MAX) std::abort();
  return 0;
}
