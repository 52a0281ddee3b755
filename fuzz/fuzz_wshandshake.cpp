// Fuzz target: the opening handshake readers. Byte 0 chooses the side:
// even, the server reads the bytes as a client's request (and answers into
// nothing); odd, the client reads them as the server's answer to its key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "remote/ws.h"
#include "ws_fuzz_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  works *w = wsFuzzUnit();
  auto c = std::make_unique<WsConn>();
  const bool client = (data[0] & 1) != 0;
  wsConnInit(c.get(), w, -1, client, data + 1, size - 1);
  int r;
  if (client)
    r = wsClientReadResponse(c.get(), "dGhlIHNhbXBsZSBub25jZQ==", 0);
  else
    r = wsServerHandshake(c.get(), 0);
  if (r < -1 || r > 1) std::abort();
  if (c->head > c->tail || c->tail > sizeof c->ahead) std::abort();
  return 0;
}
