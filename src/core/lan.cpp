// LAN settings; see lan.h.
//
// Sections: globals, address texts, reader, rewrite, save.
//
// Design rules: a value is the rest of its line after the blank that ends
// the keyword, without the line end ('\n', then one '\r'); a last line
// without a line end keeps all its characters. Every copy into a 32-char
// text is bounded. The save never cuts the file: it is rebuilt whole in
// memory and replaces the old one through a temporary file and a rename,
// so a power cut leaves the old file or the new one.
#include "core/lan.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/textlines.h"

// ---- globals ---------------------------------------------------------------

char IP[32];
char NetMask[32];
char Gateway[32];
char DNS[32];
char MAC[32];
uint8_t IP_v[4];
uint8_t NetMask_v[4];
uint8_t Gateway_v[4];
uint8_t DNS_v[4];
uint8_t Gateway_none;
uint8_t DNS_none;
int CntIP;
int CntNetMask;
int CntGateway;
int CntDNS;

namespace {

const char *const kLanFile = "/etc/network/interfaces";

// ---- address texts ---------------------------------------------------------

// An empty value (a keyword alone on its line) may have no data pointer at
// all: nothing is copied then.
void copyText(char (&dst)[32], std::string_view src) {
  size_t n = src.size() < sizeof dst - 1 ? src.size() : sizeof dst - 1;
  if (n > 0) memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int SplitAddr(const char *text, uint8_t *bytes) {
  // Cost: O(length of text).
  memset(bytes, 0, 4);
  if (text == nullptr || *text == '\0') return 0;
  int parts = 0;
  const char *p = text;
  for (;;) {
    while (isBlank(*p)) ++p;
    unsigned v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + unsigned(*p - '0');
      if (v > 255) v = 256;  // saturates; stays small whatever the digits
      ++p;
    }
    if (parts < 4) bytes[parts] = uint8_t(v > 255 ? 255 : v);
    ++parts;
    while (*p != '\0' && *p != '.') ++p;
    if (*p == '\0') break;
    ++p;  // past the '.'
  }
  return parts;
}

void SplitAddrInv(char *text, const uint8_t *bytes) {
  snprintf(text, 16, "%i.%i.%i.%i", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// ---- reader ----------------------------------------------------------------

void parseLanText(const char *text, size_t len) {
  IP[0] = NetMask[0] = Gateway[0] = DNS[0] = MAC[0] = '\0';
  int traced = 0;  // a file of repeated keywords cannot flood standard error
  kzForEachLine(std::string_view(text, len), KZ_LAN_LINE_MAX,
                [&traced](std::string_view line, bool) {
    size_t i = 0;
    while (i < line.size() && isBlank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    std::string_view word = line.substr(start, i - start);
    // The value starts after the one blank that ends the word.
    std::string_view value = i < line.size() ? line.substr(i + 1) : std::string_view();
    if (word == "address") {
      copyText(IP, value);
      if (traced++ < KZ_TRACED_ROWS) kzTrace("ip: %s\n", IP);
    } else if (word == "netmask") {
      copyText(NetMask, value);
      if (traced++ < KZ_TRACED_ROWS) kzTrace("NetMask: %s\n", NetMask);
    } else if (word == "gateway") {
      copyText(Gateway, value);
    } else if (word == "nameserver") {
      copyText(DNS, value);
    }
    return true;
  });
  SplitAddr(IP, IP_v);
  SplitAddr(NetMask, NetMask_v);
  if (Gateway[0] != '\0') {
    SplitAddr(Gateway, Gateway_v);
    kzTrace("gateway: %s\n", Gateway);
    Gateway_none = 0;
  } else {
    Gateway_none = 1;
  }
  if (DNS[0] != '\0') {
    SplitAddr(DNS, DNS_v);
    kzTrace("DNS: %s\n", DNS);
    DNS_none = 0;
  } else {
    DNS_none = 1;
  }
  kzTrace("ReadLanParam DNS_none=%d Gateway_none=%d\n", DNS_none, Gateway_none);
}

int ReadLanParam() {
  std::string data;
  if (kzReadFile(kzPath(kLanFile), data, KZ_LAN_MAX_BYTES) != 0) {
    // The globals keep what they held: a half-cleared set would show an
    // empty gateway that is still marked present.
    kzTrace("Error opening network connection configuration file. CODE: %d\n", errno);
    return -1;
  }
  parseLanText(data.data(), data.size());
  return 0;
}

// ---- rewrite ---------------------------------------------------------------

namespace {

bool startsWith(std::string_view line, std::string_view key) {
  return line.size() >= key.size() && line.compare(0, key.size(), key) == 0;
}

void addrLine(std::string &out, const char *key, const uint8_t *v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s %d.%d.%d.%d\n", key, v[0], v[1], v[2], v[3]);
  out.append(buf);
}

}  // namespace

int lanRewriteText(std::string_view in, std::string &out) {
  // Cost: O(length of the file).
  if (in.size() > KZ_LAN_MAX_BYTES) return -1;
  size_t lines = 0;
  for (size_t pos = 0; pos < in.size(); ++lines) {
    size_t end = in.find('\n', pos);
    pos = end == std::string_view::npos ? in.size() : end + 1;
  }
  if (lines > KZ_LAN_MAX_LINES) return -1;

  std::string res;
  res.reserve(in.size() + 64);
  size_t pos = 0;
  while (pos < in.size()) {
    size_t end = in.find('\n', pos);
    size_t next = end == std::string_view::npos ? in.size() : end + 1;
    std::string_view line = in.substr(pos, next - pos);  // with its line end
    pos = next;
    if (startsWith(line, "address")) {
      size_t at = res.size();
      addrLine(res, "address", IP_v);
      kzTrace("--->new ip: %s \n", res.c_str() + at);
    } else if (startsWith(line, "netmask")) {
      addrLine(res, "netmask", NetMask_v);
    } else if (startsWith(line, "gateway")) {
      if (Gateway_none == 1) res.append("gateway \n");
      else addrLine(res, "gateway", Gateway_v);
    } else if (startsWith(line, "nameserver")) {
      if (DNS_none == 1) res.append("nameserver \n");
      else addrLine(res, "nameserver", DNS_v);
    } else {
      res.append(line);
    }
  }
  out.swap(res);
  return 0;
}

// ---- save ------------------------------------------------------------------

int SaveLanParam() {
  if (kzRunCommand("mount -o remount defaults,rw /") != 0) {
    int e = errno;
    kzLog(KZ_LOG_ERR, "can't mount rw / %d", e);
    kzTrace("can't mount rw / %d\n", e);
    return -1;
  }
  std::string path = kzPath(kLanFile);
  std::string data;
  // A file over the limit is not read at all; the rewrite refuses one
  // with too many lines. Either is refused whole: cutting it would lose the
  // board's other settings.
  bool tooLong = false;
  if (kzReadFile(path, data, KZ_LAN_MAX_BYTES) != 0) {
    if (errno != EFBIG) {
      kzTrace("Error opening network connection configuration file. CODE: %d\n", errno);
      return -1;
    }
    tooLong = true;
  }
  std::string out;
  if (tooLong || lanRewriteText(data, out) != 0) {
    kzLog(KZ_LOG_ERR, "network configuration file too long, not saved");
    kzTrace("network configuration file too long, not saved\n");
    return -1;
  }
  if (kzSaveFileAtomic(path, out) != 0) {
    int e = errno;
    kzLog(KZ_LOG_ERR, "can't write network configuration file %d", e);
    kzTrace("Error opening network connection configuration file. CODE: %d\n", e);
    return -1;
  }
  return kzRunCommand("sudo ifdown --exclude=lo -a && sudo ifup --exclude=lo -a");
}
