// kz-remote: the technician's peer of a unit's remote link. It connects to
// a unit that serves the link (setup WebSocket: 1), opens the WebSocket
// with the protocol "chat", gives the password, prints every status the
// unit sends as one readable line and can send the unit a command ("ST"
// message, e.g. VORNBANK for the next bank). It can also put a picture on
// the unit's screen: a PNG (sent as raw screen pixels) or a JPEG file
// (sent as it is) in one chunked "FB" message.
//
// It is written from the wire format alone (RFC 6455 handshake, the unit's
// frame forms and the status text of tools/remote_status.h) and uses none
// of the program's code, so it checks a unit independently.
//
// Sections: 1 the connection (buffered reads with deadlines), 2 the
// handshake, 3 frames, 4 the command line and main.
//
// Design rules: everything read from the wire is bounded (the handshake to
// 8 KiB, a frame to 1 MiB); every wait has a deadline or watches Ctrl-C;
// each outcome is one line: status lines and messages on standard output,
// the reason for stopping on standard error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <png.h>
#include <openssl/sha.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tools/remote_status.h"

namespace {

volatile sig_atomic_t gInterrupted = 0;
void onSignal(int) { gInterrupted = 1; }

constexpr int kConnectMs = 10000;    // connect and handshake
constexpr size_t kMaxHandshake = 8192;
constexpr uint64_t kMaxFrame = 1 << 20;
const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ===========================================================================
// 1 the connection
// ===========================================================================

struct Conn {
  int fd = -1;
  std::string in;  // bytes read and not yet used (the handshake may read ahead)
  std::string why;  // the reason the connection ended or failed
};

// Reads more bytes into c.in. deadline < 0: no deadline, wait until bytes
// come, the peer closes or Ctrl-C. False with c.why set otherwise.
bool fill(Conn &c, int64_t deadline) {
  for (;;) {
    if (gInterrupted) {
      c.why = "interrupted";
      return false;
    }
    int wait = 200;
    if (deadline >= 0) {
      int64_t left = deadline - nowMs();
      if (left <= 0) {
        c.why = "no answer in time";
        return false;
      }
      if (left < wait) wait = int(left);
    }
    pollfd p{c.fd, POLLIN, 0};
    int r = poll(&p, 1, wait);
    if (r < 0 && errno != EINTR) {
      c.why = std::string("poll: ") + strerror(errno);
      return false;
    }
    if (r <= 0) continue;
    char buf[4096];
    ssize_t n = read(c.fd, buf, sizeof buf);
    if (n > 0) {
      c.in.append(buf, size_t(n));
      return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    c.why = n == 0 ? "the unit closed the connection" : std::string("read: ") + strerror(errno);
    return false;
  }
}

// Exactly n bytes from the connection into out.
bool readExact(Conn &c, size_t n, std::string &out, int64_t deadline) {
  while (c.in.size() < n)
    if (!fill(c, deadline)) return false;
  out.assign(c.in, 0, n);
  c.in.erase(0, n);
  return true;
}

bool writeAll(Conn &c, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = send(c.fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      c.why = std::string("write: ") + strerror(errno);
      return false;
    }
    p += n;
    len -= size_t(n);
  }
  return true;
}

// TCP connection to host:port within kConnectMs.
bool connectTo(Conn &c, const char *host, const char *port) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (int e = getaddrinfo(host, port, &hints, &res); e != 0) {
    c.why = std::string("no such host: ") + gai_strerror(e);
    return false;
  }
  c.why = "no address";
  for (addrinfo *a = res; a != nullptr; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = connect(fd, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int64_t end = nowMs() + kConnectMs;
      do {
        r = poll(&p, 1, 200);
      } while (r == 0 && !gInterrupted && nowMs() < end);
      int err = 0;
      socklen_t len = sizeof err;
      if (r > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
        r = 0;
      else
        errno = r > 0 ? err : ETIMEDOUT, r = -1;
    }
    if (r == 0) {
      fcntl(fd, F_SETFL, flags);
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      c.fd = fd;
      freeaddrinfo(res);
      return true;
    }
    c.why = std::string("connect: ") + strerror(errno);
    close(fd);
  }
  freeaddrinfo(res);
  return false;
}

// ===========================================================================
// 2 the handshake
// ===========================================================================

std::string base64(const unsigned char *data, size_t len) {
  std::vector<unsigned char> out(4 * ((len + 2) / 3) + 1);
  int n = EVP_EncodeBlock(out.data(), data, int(len));
  return std::string(reinterpret_cast<char *>(out.data()), size_t(n));
}

// The accept value the server must answer for `key`.
std::string acceptFor(const std::string &key) {
  std::string text = key + kGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
  return base64(digest, sizeof digest);
}

std::string randomKey() {
  unsigned char raw[16];
  std::random_device rd;
  for (unsigned char &b : raw) b = static_cast<unsigned char>(rd());
  return base64(raw, sizeof raw);
}

std::string lower(std::string s) {
  for (char &ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
  return s;
}

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The opening handshake. The request carries every header a conforming
// server needs, with the Connection line as the unit's own client writes it
// ("keep-alive, Upgrade" holds the Upgrade token). The answer must be 101
// with the accept value of our key; the protocol, when named, "chat".
bool handshake(Conn &c, const char *host, const char *port) {
  std::string key = randomKey();
  std::string req = std::string("GET /chat HTTP/1.1\r\n") + "Host: " + host + ":" + port + "\r\n" +
                    "Upgrade: websocket\r\n" + "Connection: keep-alive, Upgrade\r\n" +
                    "Sec-WebSocket-Key: " + key + "\r\n" + "Sec-WebSocket-Version: 13\r\n" +
                    "Sec-WebSocket-Protocol: chat\r\n\r\n";
  if (!writeAll(c, req.data(), req.size())) return false;
  int64_t deadline = nowMs() + kConnectMs;
  size_t end;
  while ((end = c.in.find("\r\n\r\n")) == std::string::npos) {
    if (c.in.size() > kMaxHandshake) {
      c.why = "the answer to the handshake is longer than 8 KiB";
      return false;
    }
    if (!fill(c, deadline)) {
      if (c.why == "no answer in time")
        c.why = "no answer to the handshake within 10 s (the unit serves one peer at a time: "
                "is another one connected?)";
      return false;
    }
  }
  std::string head = c.in.substr(0, end + 2);
  c.in.erase(0, end + 4);  // what follows is already the first frame
  std::string status = head.substr(0, head.find("\r\n"));
  if (status.compare(0, 12, "HTTP/1.1 101") != 0) {
    c.why = "the unit answered \"" + status + "\" instead of 101 Switching Protocols";
    return false;
  }
  std::string accept, protocol;
  bool hasProtocol = false;
  for (size_t pos = head.find("\r\n") + 2; pos < head.size();) {
    size_t eol = head.find("\r\n", pos);
    std::string line = head.substr(pos, eol - pos);
    pos = eol + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = lower(trim(line.substr(0, colon))), value = trim(line.substr(colon + 1));
    if (name == "sec-websocket-accept") accept = value;
    if (name == "sec-websocket-protocol") hasProtocol = true, protocol = value;
  }
  std::string want = acceptFor(key);
  if (accept != want) {
    c.why = "wrong accept value \"" + accept + "\" (expected \"" + want + "\")";
    return false;
  }
  if (hasProtocol && protocol != "chat") {
    c.why = "the unit chose the protocol \"" + protocol + "\" instead of chat";
    return false;
  }
  return true;
}

// ===========================================================================
// 3 frames
// ===========================================================================

// A final frame with the mask bit set, as a client sends: byte 0, the
// length (short form: every payload here is under 126 bytes), four key
// bytes and the payload XORed with them.
bool sendMasked(Conn &c, uint8_t byte0, const std::string &payload) {
  if (payload.size() > 125) {
    c.why = "a frame longer than 125 bytes";
    return false;
  }
  std::random_device rd;
  uint8_t key[4];
  for (uint8_t &k : key) k = static_cast<uint8_t>(rd());
  std::string f;
  f += char(byte0);
  f += char(0x80 | payload.size());
  f.append(reinterpret_cast<char *>(key), 4);
  for (size_t i = 0; i < payload.size(); i++) f += char(uint8_t(payload[i]) ^ key[i % 4]);
  return writeAll(c, f.data(), f.size());
}

struct Frame {
  uint8_t byte0 = 0;
  std::string payload;
};

// One frame as the unit writes it: byte 0, length code L (126: two-byte
// length, 127: eight-byte length), four key bytes when the mask bit is
// set and always for a text frame (the unit's text frames carry them),
// then the payload, unmasked here.
bool readFrame(Conn &c, Frame &f) {
  std::string h;
  if (!readExact(c, 2, h, -1)) return false;
  f.byte0 = uint8_t(h[0]);
  uint8_t code = uint8_t(h[1]);
  uint64_t len = code & 0x7f;
  if (len >= 126) {
    std::string ext;
    if (!readExact(c, len == 126 ? 2 : 8, ext, -1)) return false;
    len = 0;
    for (char b : ext) len = (len << 8) | uint8_t(b);
  }
  if (len > kMaxFrame) {
    c.why = "a frame of " + std::to_string(len) + " bytes (more than 1 MiB)";
    return false;
  }
  std::string key;
  if ((code & 0x80) || f.byte0 == 0x81)
    if (!readExact(c, 4, key, -1)) return false;
  if (!readExact(c, size_t(len), f.payload, -1)) return false;
  if (!key.empty())
    for (size_t i = 0; i < f.payload.size(); i++) f.payload[i] = char(f.payload[i] ^ key[i % 4]);
  return true;
}

// Printable text of a message, other bytes as \xNN.
std::string shown(const std::string &s, size_t from) {
  std::string out;
  for (size_t i = from; i < s.size() && out.size() < 200; i++) {
    uint8_t ch = uint8_t(s[i]);
    if (ch >= ' ' && ch <= '~') {
      out += char(ch);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", ch);
      out += hex;
    }
  }
  return out;
}

// A final frame with the mask bit set and the two-byte length form, as a
// client sends a chunk: 0x82, 0x80 | 126, the length, four key bytes, the
// payload XORed with them.
bool sendMaskedExt(Conn &c, const std::string &payload) {
  std::random_device rd;
  uint8_t key[4];
  for (uint8_t &k : key) k = static_cast<uint8_t>(rd());
  std::string f{char(0x82), char(0x80 | 126), char(payload.size() >> 8), char(payload.size() & 0xff)};
  f.append(reinterpret_cast<char *>(key), 4);
  for (size_t i = 0; i < payload.size(); i++) f += char(uint8_t(payload[i]) ^ key[i % 4]);
  return writeAll(c, f.data(), f.size());
}

// One "FB" message: chunks of the total length (4 bytes), the offset (4)
// and 512 data bytes (the last one padded with zeros).
bool sendScreenFrame(Conn &c, const std::string &data) {
  const uint32_t total = uint32_t(data.size());
  for (uint32_t off = 0; off < total; off += 512) {
    std::string p = "FB";
    for (uint32_t v : {total, off})
      for (int s = 24; s >= 0; s -= 8) p += char((v >> s) & 0xff);
    std::string chunk = data.substr(off, 512);
    chunk.resize(512, '\0');
    if (!sendMaskedExt(c, p + chunk)) return false;
  }
  return true;
}

// The bytes of a picture file as the unit takes them: a JPEG as it is (one
// byte longer when its size happens to be a whole screen, which the unit
// would take as raw pixels); a PNG as raw screen memory of xres x yres
// pixels of blue, green, red, 0, the picture centred on black and clipped
// when larger. Empty with `why` set when the file is neither.
std::string pictureBytes(const char *path, int xres, int yres, std::string &why) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    why = std::string("cannot read ") + path;
    return "";
  }
  std::string file((std::istreambuf_iterator<char>(f)), {});
  const size_t screenBytes = size_t(xres) * yres * 4;
  if (file.size() >= 2 && uint8_t(file[0]) == 0xFF && uint8_t(file[1]) == 0xD8) {
    if (file.size() > 2 * 1024 * 1024) {
      why = "a JPEG file of more than 2 MiB (the unit's receive buffer)";
      return "";
    }
    if (file.size() == screenBytes) file += '\0';
    return file;
  }
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, file.data(), file.size())) {
    why = std::string(path) + ": neither a JPEG nor a PNG file";
    return "";
  }
  img.format = PNG_FORMAT_BGRA;
  std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, px.data(), 0, nullptr)) {
    why = std::string(path) + ": " + img.message;
    return "";
  }
  std::string out(screenBytes, '\0');
  const int pw = int(img.width), ph = int(img.height);
  const int ox = (xres - pw) / 2, oy = (yres - ph) / 2;
  for (int y = 0; y < yres; y++) {
    const int sy = y - oy;
    if (sy < 0 || sy >= ph) continue;
    for (int x = 0; x < xres; x++) {
      const int sx = x - ox;
      if (sx < 0 || sx >= pw) continue;
      const uint8_t *s = &px[(size_t(sy) * pw + sx) * 4];
      char *d = &out[(size_t(y) * xres + x) * 4];
      d[0] = char(s[0]), d[1] = char(s[1]), d[2] = char(s[2]), d[3] = 0;
    }
  }
  return out;
}

// ===========================================================================
// 4 the command line and main
// ===========================================================================

void usage(FILE *out) {
  fprintf(out,
          "usage: kz-remote HOST PORT [--password P] [--send TEXT]... [--count N]\n"
          "Connects to the remote link of a KAV ZIL unit that serves it (setup WebSocket: 1,\n"
          "TcpPort: PORT), opens the WebSocket (protocol chat), gives the password and\n"
          "prints each status the unit sends as one line (band, mode, attenuator, antenna,\n"
          "amplifier, tuner, auto-tune, SWR, powers, temperature, supply, current, bank,\n"
          "last error); other messages as their type and length.\n\n"
          "  --password P   the unit's remote password (default velocirapido)\n"
          "  --send TEXT    after the password, send TEXT as an \"ST\" command, e.g.\n"
          "                 VORNBANK (next bank), VORNFT00/01/02 (spectrum off / 854 /\n"
          "                 1706 points), VORNFD<n> (divider n); at most 123 characters;\n"
          "                 repeatable, sent in order\n"
          "  --count N      stop after N status lines (default: until Ctrl-C or the end\n"
          "                 of the connection)\n"
          "  --frame FILE   after the password, show FILE on the unit's screen (an \"FB\"\n"
          "                 message): a PNG goes as raw screen pixels, centred on black\n"
          "                 (clipped when larger than the screen); a JPEG goes as it\n"
          "                 is and the unit decodes and centres it. Without --count\n"
          "                 kz-remote then ends\n"
          "  --screen WxH   the unit's screen for --frame (default 800x480)\n"
          "  --help         this help\n\n"
          "Exit status: 0 when it received what it was asked for (N status lines, or\n"
          "Ctrl-C without --count), 1 when the handshake fails or the connection ends\n"
          "first (the reason on standard error), 2 for a bad command line.\n"
          "The unit serves one peer at a time: while another unit is connected to it,\n"
          "kz-remote waits and gives up after 10 s.\n");
}

int badLine(const char *what) {
  fprintf(stderr, "kz-remote: %s (kz-remote --help)\n", what);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  const char *host = nullptr, *port = nullptr;
  std::string password = "velocirapido";
  std::vector<std::string> sends;
  long count = 0;
  const char *frameFile = nullptr;
  int xres = 800, yres = 480;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    bool hasValue = i + 1 < argc;
    if (a == "--frame" || a == "--screen") {
      if (!hasValue) return badLine((a + " needs a value").c_str());
      if (a == "--frame") {
        frameFile = argv[++i];
      } else if (sscanf(argv[++i], "%dx%d", &xres, &yres) != 2 || xres < 1 || yres < 1 ||
                 xres > 4096 || yres > 4096) {
        return badLine("--screen: WIDTHxHEIGHT, e.g. 800x480");
      }
      continue;
    }
    if (a == "--password" || a == "--send" || a == "--count") {
      if (!hasValue) return badLine((a + " needs a value").c_str());
      std::string v = argv[++i];
      if (a == "--password") {
        if (v.empty() || v.size() > 125) return badLine("--password: 1 to 125 characters");
        password = v;
      } else if (a == "--send") {
        if (v.empty() || v.size() > 123) return badLine("--send: 1 to 123 characters");
        sends.push_back(v);
      } else {
        char *end = nullptr;
        count = strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || count < 1 || count > 1000000000)
          return badLine("--count: a whole number from 1");
      }
    } else if (a.size() > 1 && a[0] == '-') {
      return badLine((a + ": no such option").c_str());
    } else if (host == nullptr) {
      host = argv[i];
    } else if (port == nullptr) {
      port = argv[i];
    } else {
      return badLine((a + ": one host and one port only").c_str());
    }
  }
  if (host == nullptr || port == nullptr) return badLine("HOST and PORT are needed");
  char *end = nullptr;
  long p = strtol(port, &end, 10);
  if (*port == '\0' || *end != '\0' || p < 1 || p > 65535) return badLine("PORT: 1 to 65535");

  std::string picture;
  if (frameFile != nullptr) {
    std::string why;
    picture = pictureBytes(frameFile, xres, yres, why);
    if (picture.empty()) {
      fprintf(stderr, "kz-remote: %s\n", why.c_str());
      return 1;
    }
  }

  struct sigaction sa{};
  sa.sa_handler = onSignal;  // no SA_RESTART: a wait ends at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Conn c;
  if (!connectTo(c, host, port)) {
    fprintf(stderr, "kz-remote: cannot connect to %s port %s: %s\n", host, port, c.why.c_str());
    return 1;
  }
  if (!handshake(c, host, port)) {
    fprintf(stderr, "kz-remote: handshake with %s port %s failed: %s\n", host, port, c.why.c_str());
    close(c.fd);
    return 1;
  }
  // The password is the first text frame; a unit that refuses it closes
  // the connection without a word.
  bool ok = sendMasked(c, 0x81, password);
  for (size_t i = 0; ok && i < sends.size(); i++) ok = sendMasked(c, 0x82, "ST" + sends[i]);
  if (ok && !picture.empty()) ok = sendScreenFrame(c, picture);
  if (!ok) {
    fprintf(stderr, "kz-remote: %s\n", c.why.c_str());
    close(c.fd);
    return 1;
  }
  fprintf(stderr, "kz-remote: connected to %s port %s, password given%s%s\n", host, port,
          sends.empty() ? "" : ", commands sent",
          picture.empty() ? "" : (", picture sent (" + std::to_string(picture.size()) + " bytes)").c_str());
  if (!picture.empty() && count == 0) {
    // Let the unit read the whole message before the connection ends.
    shutdown(c.fd, SHUT_WR);
    const int64_t until = nowMs() + 2000;
    while (nowMs() < until && c.in.size() < (1u << 20) && fill(c, until)) c.in.clear();
    close(c.fd);
    return 0;
  }

  long statuses = 0, frames = 0;
  Frame f;
  while (count == 0 || statuses < count) {
    if (!readFrame(c, f)) break;
    frames++;
    int op = f.byte0 & 0x0f;
    KzrStatus st;
    if (op == 2 && f.payload.size() >= 2 && f.payload.compare(0, 2, "ST") == 0 &&
        kzrDecodeStatus(reinterpret_cast<const uint8_t *>(f.payload.data()) + 2,
                        f.payload.size() - 2, st)) {
      printf("status %s\n", kzrFormatStatus(st).c_str());
      statuses++;
    } else if (op == 2 && f.payload.size() >= 2 && f.payload.compare(0, 2, "ST") == 0) {
      printf("ST command %s\n", shown(f.payload, 2).c_str());
    } else if (op == 2 && f.payload.size() >= 2) {
      printf("%s message, %zu bytes\n", shown(f.payload.substr(0, 2), 0).c_str(),
             f.payload.size());
    } else if (op == 1) {
      printf("text message, %zu bytes: %s\n", f.payload.size(), shown(f.payload, 0).c_str());
    } else if (op == 8) {
      c.why = "the unit closed the WebSocket";
      break;
    } else if (op == 9) {
      if (!sendMasked(c, 0x8A, f.payload.substr(0, 125))) break;
    } else if (op != 10) {
      printf("frame 0x%02x, %zu bytes\n", f.byte0, f.payload.size());
    }
    fflush(stdout);
  }
  fflush(stdout);
  close(c.fd);
  if (count > 0 && statuses >= count) return 0;
  if (gInterrupted && count == 0) return 0;
  char got[64];
  if (count > 0)
    snprintf(got, sizeof got, "%ld of %ld status lines", statuses, count);
  else
    snprintf(got, sizeof got, "%ld status lines", statuses);
  // A unit that refuses the password closes the connection without a word.
  bool silent = frames == 0 && c.why == "the unit closed the connection";
  fprintf(stderr, "kz-remote: %s after %s (%ld frames)%s\n", c.why.c_str(), got, frames,
          silent ? ": a wrong password is refused this way" : "");
  return 1;
}
