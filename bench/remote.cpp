// bench_remote: two units' WebSocket transports over loopback in one
// process (server and client threads, no simulator).
//
//   bench_remote [--seconds S] [--rounds N]
//
// Printed:
//  - status frames per second the client receives while the server sends
//    one 44-byte "ST" frame per 10 ms supervisor cycle (S seconds, default 3);
//  - median and 99th percentile of the latency of one "ST" frame, from
//    sendWebSockStatusFrame on the server to its dispatch on the client
//    (the client's status display call), over N rounds (default 2000);
//  - the same for an 854-byte spectrum (two 526-byte chunk frames) up to
//    the client's hand-over of the reassembled spectrum;
//  - what the senders' 10 us pause before each frame costs here;
//  - each latency against a plain TCP exchange of the same bytes over
//    loopback in the same run (one write per frame, a reader thread that
//    reads them all and signals), and their ratio.
//
// The command runner is the recorder and the files live under a scratch
// root: nothing of the board runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "remote/messages.h"
#include "remote/ws.h"

namespace {

using BenchClock = std::chrono::steady_clock;

std::atomic<uint64_t> gStatusSeen{0}, gSpectrumSeen{0};

void countSpectrum(works *, const char *what, const uint8_t *, int, int) {
  if (strcmp(what, "storeFFT") == 0) gSpectrumSeen++;
}

struct Unit {
  SetupRec rec{};
  std::unique_ptr<works> w = std::make_unique<works>();
  std::thread th;
  Unit() {
    w->setup = &rec;
    InitGlobalVar(w.get());
    InitErrTable(w.get());
    initSetup(w.get());
  }
};

// Waits (spinning, yielding) until `counter` passes `before`; false after 5 s.
bool waitPast(const std::atomic<uint64_t> &counter, uint64_t before) {
  const auto end = BenchClock::now() + std::chrono::seconds(5);
  while (counter.load() <= before) {
    if (BenchClock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

struct Stats {
  double median, p99;
};
Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return {0, 0};
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

double usSince(BenchClock::time_point t0) {
  return std::chrono::duration<double, std::micro>(BenchClock::now() - t0).count();
}

// Latency of `send` until `counter` moves, `rounds` times.
template <class F>
std::vector<double> timeRounds(int rounds, const std::atomic<uint64_t> &counter, F send) {
  std::vector<double> us;
  us.reserve(size_t(rounds));
  for (int i = 0; i < rounds; i++) {
    const uint64_t before = counter.load();
    const auto t0 = BenchClock::now();
    send();
    if (!waitPast(counter, before)) break;
    us.push_back(usSince(t0));
  }
  return us;
}

// The baseline: a plain TCP connection over loopback; a reader thread reads
// `perMessage` bytes per message and bumps a counter.
struct PlainTcp {
  int tx = -1, rx = -1;
  std::atomic<uint64_t> seen{0};
  std::atomic<bool> stop{false};
  std::thread reader;
  size_t perMessage = 0;
  explicit PlainTcp(size_t bytes) : perMessage(bytes) {
    const int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(l, 1);
    socklen_t al = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr *>(&a), &al);
    tx = socket(AF_INET, SOCK_STREAM, 0);
    connect(tx, reinterpret_cast<sockaddr *>(&a), sizeof a);
    rx = accept(l, nullptr, nullptr);
    close(l);
    const int one = 1;
    setsockopt(tx, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    reader = std::thread([this] {
      std::vector<uint8_t> buf(perMessage);
      while (!stop) {
        size_t got = 0;
        while (got < perMessage) {
          const ssize_t n = recv(rx, buf.data() + got, perMessage - got, 0);
          if (n <= 0) return;
          got += size_t(n);
        }
        seen++;
      }
    });
  }
  ~PlainTcp() {
    stop = true;
    shutdown(tx, SHUT_RDWR);
    reader.join();
    close(tx);
    close(rx);
  }
};

}  // namespace

int main(int argc, char **argv) {
  int seconds = 3, rounds = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--seconds") == 0) seconds = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
  }
  char tmpl[] = "/tmp/kz_bench_remote_XXXXXX";
  const char *root = mkdtemp(tmpl);
  if (root == nullptr) return 1;
  std::filesystem::create_directories(std::string(root) + "/opt/set");
  kzSetRoot(root);
  kzCmdUse(&kzCmdRecorder);
  kzTraceQuiet(true);
  kzLogQuiet(true);
  // The client's status display traces each status it acts on: counted here.
  kzLogHook([](char kind, const std::string &text) {
    if (kind == 'T' && text.compare(0, 17, "BUFFER Wsocket : ") == 0) gStatusSeen++;
  });
  kzWsReceiverTap = countSpectrum;

  Unit server, client;
  const int lfd = wsServerListen(server.w.get(), 0);
  sockaddr_in a{};
  socklen_t al = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &al);
  server.th = std::thread(wsServerLoop, server.w.get(), lfd);
  client.th = std::thread(wsClientLoop, client.w.get(), "127.0.0.1", int(ntohs(a.sin_port)),
                          "dGhlIHNhbXBsZSBub25jZQ==");
  const auto end = BenchClock::now() + std::chrono::seconds(20);
  while (server.w->wsConnected.load() != 1 || client.w->wsConnected.load() != 1) {
    if (BenchClock::now() > end) {
      fprintf(stderr, "bench_remote: the units did not connect\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  uint8_t status[44];
  for (int i = 0; i < 44; i++) status[i] = uint8_t('0' + i % 10);
  uint8_t spectrum[854];
  for (int i = 0; i < 854; i++) spectrum[i] = uint8_t(i);

  // 1. Status frames per second at one per 10 ms cycle.
  const uint64_t before = gStatusSeen.load();
  const auto t0 = BenchClock::now();
  int sent = 0;
  for (auto next = t0; BenchClock::now() - t0 < std::chrono::seconds(seconds); sent++) {
    sendWebSockStatusFrame(server.w.get(), status, sizeof status);
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double secs = usSince(t0) / 1e6;
  const uint64_t got = gStatusSeen.load() - before;
  printf("status frames: sent %d in %.2f s, received %llu: %.1f per second (%.1f %% of sent)\n",
         sent, secs, (unsigned long long)got, double(got) / secs, 100.0 * double(got) / sent);

  // 2. and 3. Latencies against plain TCP with the same bytes.
  const auto st = stats(timeRounds(rounds, gStatusSeen, [&] {
    sendWebSockStatusFrame(server.w.get(), status, sizeof status);
  }));
  const auto sp = stats(timeRounds(rounds, gSpectrumSeen, [&] {
    sendWebSockSerSpectrFrame(server.w.get(), spectrum, sizeof spectrum);
  }));
  Stats stBase, spBase;
  {
    PlainTcp tcp(4 + sizeof status);
    uint8_t frame[4 + sizeof status] = {0x82, 46, 'S', 'T'};
    memcpy(frame + 4, status, sizeof status);
    stBase = stats(timeRounds(rounds, tcp.seen, [&] {
      (void)!send(tcp.tx, frame, sizeof frame, MSG_NOSIGNAL);
    }));
  }
  {
    PlainTcp tcp(2 * KZ_WS_CHUNK_FRAME);
    uint8_t chunk[KZ_WS_CHUNK_FRAME] = {};
    spBase = stats(timeRounds(rounds, tcp.seen, [&] {
      (void)!send(tcp.tx, chunk, sizeof chunk, MSG_NOSIGNAL);
      (void)!send(tcp.tx, chunk, sizeof chunk, MSG_NOSIGNAL);
    }));
  }
  auto line = [](const char *what, Stats ws, Stats tcp) {
    printf("%-28s median %8.1f us  p99 %8.1f us | plain TCP median %7.1f us  p99 %7.1f us | "
           "ratio median %.2f  p99 %.2f\n",
           what, ws.median, ws.p99, tcp.median, tcp.p99, tcp.median > 0 ? ws.median / tcp.median : 0,
           tcp.p99 > 0 ? ws.p99 / tcp.p99 : 0);
  };
  // Every sender pauses 10 us before it takes the lock (once per frame):
  // what that pause really costs on this machine, for reading the figures.
  std::vector<double> pause;
  for (int i = 0; i < rounds; i++) {
    const auto p0 = BenchClock::now();
    kzSleepUs(10);
    pause.push_back(usSince(p0));
  }
  const Stats ps = stats(pause);
  printf("latency over %d rounds, send to dispatch on the other side:\n", rounds);
  line("\"ST\" 44 bytes (48 on wire)", st, stBase);
  line("spectrum 854 (2 x 526)", sp, spBase);
  printf("(the senders' 10 us pause, once per frame, takes median %.1f us, p99 %.1f us here)\n",
         ps.median, ps.p99);

  server.w->running = 0;
  client.w->running = 0;
  server.th.join();
  client.th.join();
  kzLogHook(nullptr);
  kzSetRoot("");
  std::filesystem::remove_all(root);
  return 0;
}
