// Fuzz target for the network interfaces file reader and its rewrite: any
// bytes must leave the texts terminated within their 32 chars, and the
// rewrite must keep every line that does not begin with a keyword.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/lan.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (kzTraceQuiet(true), kzLogQuiet(true), true);
  (void)quiet;
  const char *text = reinterpret_cast<const char *>(data);
  parseLanText(text, size);
  for (const char *t : {IP, NetMask, Gateway, DNS, MAC})
    if (memchr(t, '\0', 32) == nullptr) std::abort();
  if ((Gateway_none == 1) != (Gateway[0] == '\0')) std::abort();
  if ((DNS_none == 1) != (DNS[0] == '\0')) std::abort();

  std::string out;
  if (lanRewriteText(std::string_view(text, size), out) == 0) {
    size_t lines = 0;
    for (size_t pos = 0; pos < size; ++lines) {
      const char *nl = static_cast<const char *>(memchr(text + pos, '\n', size - pos));
      pos = nl ? size_t(nl - text) + 1 : size;
    }
    size_t outLines = 0;
    for (char c : out) outLines += c == '\n';
    if (!out.empty() && out.back() != '\n') ++outLines;
    if (outLines != lines) std::abort();
  }
  return 0;
}
