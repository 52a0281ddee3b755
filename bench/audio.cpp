// bench_audio: one sound packet along the whole remote audio path in one
// process: read from the capture device (ALSA's file plugin on a tone, the
// project's configuration, no sound card), widened to stereo, encoded and
// framed as "SO" (audioBuildFrame), written to a loopback TCP socket, read
// back whole and decoded into one packet of playback buffer
// (audioDecodeSO).
//
//   bench_audio [--packets N]
//
// Printed for Opus at the default bit rate (64000 bit/s) and for raw sound,
// with 240-frame packets (5 ms of sound, Multiplier 1):
//  - median and 99th percentile of the time of one packet along the path,
//    each as a ratio to the packet's own duration (5 ms);
//  - CPU time of the process per second of sound carried, as a ratio (the
//    share of one core the path takes).
#include <alsa/asoundlib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"
#include "remote/audio.h"
#include "remote/ws.h"
#include "sim/alsaconf.h"

namespace {

constexpr int kFrameLen = 240;
constexpr double kPacketMs = 1000.0 * kFrameLen / 48000;

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + t.tv_nsec / 1e9;
}

// A connected pair of loopback TCP sockets.
bool loopbackPair(int &a, int &b) {
  int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(l, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(l, 1) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    return false;
  a = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(a, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return false;
  b = accept(l, nullptr, nullptr);
  close(l);
  int one = 1;
  setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return b >= 0;
}

bool readAll(int fd, uint8_t *p, size_t n) {
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

struct Result {
  double medianMs, p99Ms, cpuPerSecond;
};

int runPath(works *w, int packets, Result &out) {
  snd_pcm_t *pcm = nullptr;
  if (snd_pcm_open(&pcm, KZ_SIM_CAPTURE_PCM, SND_PCM_STREAM_CAPTURE, 0) < 0 ||
      snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 48000, 0,
                         100000) < 0) {
    fprintf(stderr, "bench_audio: the capture plugin does not open\n");
    return -1;
  }
  int tx = -1, rx = -1;
  if (!loopbackPair(tx, rx)) {
    fprintf(stderr, "bench_audio: no loopback socket\n");
    return -1;
  }
  std::vector<int16_t> packet(2 * kFrameLen);
  std::vector<uint8_t> frame(KZ_WS_FRAME_MAX), in(KZ_WS_FRAME_MAX);
  std::unique_ptr<uint8_t[]> playBuf(new uint8_t[4 * kFrameLen]());
  std::vector<double> ms;
  ms.reserve(size_t(packets));
  snd_pcm_start(pcm);
  const double cpu0 = cpuSeconds();
  // Cost: one packet per pass, the path under measure.
  for (int i = 0; i < packets; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (snd_pcm_readi(pcm, packet.data(), kFrameLen) != kFrameLen) snd_pcm_prepare(pcm);
    audioWiden(packet.data(), kFrameLen);
    const int len = audioBuildFrame(w, packet.data(), frame.data());
    if (len < 0 || send(tx, frame.data(), size_t(len), MSG_NOSIGNAL) != len) return -1;
    if (!readAll(rx, in.data(), 4)) return -1;
    const int n = in[2] << 8 | in[3];
    if (!readAll(rx, in.data() + 4, size_t(n))) return -1;
    if (audioDecodeSO(w, in.data() + 6, n - 2, playBuf.get()) != kFrameLen) return -1;
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                     .count());
  }
  const double cpu = cpuSeconds() - cpu0;
  snd_pcm_close(pcm);
  close(tx);
  close(rx);
  std::sort(ms.begin(), ms.end());
  out.medianMs = ms[ms.size() / 2];
  out.p99Ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  out.cpuPerSecond = cpu / (packets * kPacketMs / 1000);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int packets = 4000;
  for (int i = 1; i + 1 < argc; i += 2)
    if (strcmp(argv[i], "--packets") == 0) packets = std::max(100, atoi(argv[i + 1]));
  kzTraceQuiet(true);
  kzLogQuiet(true);
  const std::string dir = std::filesystem::temp_directory_path() / "kz_bench_audio";
  std::filesystem::create_directories(dir);
  {
    // A second of a 1 kHz tone; the plugin gives silence after its end.
    std::ofstream f(dir + "/tone.raw", std::ios::binary);
    for (int i = 0; i < 48000; ++i) {
      const int16_t v = int16_t(8000 * std::sin(2 * M_PI * 1000 * i / 48000));
      f.write(reinterpret_cast<const char *>(&v), 2);
    }
  }
  if (simAlsaConfigure(dir + "/asound.conf", dir + "/tone.raw", "") != 0) return 1;

  SetupRec rec{};
  auto w = std::make_unique<works>();
  w->setup = &rec;
  w->frameLen = kFrameLen;
  w->sampleRate = 48000;
  printf("one %d-frame packet (%.1f ms of sound): capture read, widening, encode and frame,\n"
         "loopback TCP, frame read, decode into the playback buffer; %d packets each\n",
         kFrameLen, kPacketMs, packets);
  for (int bitrate : {64000, 0}) {
    w->audioBitrate = bitrate;
    AudioCodecCreate(w.get());
    Result r{};
    if (runPath(w.get(), packets, r) != 0) {
      fprintf(stderr, "bench_audio: the path failed\n");
      return 1;
    }
    AudioCodecDestroy(w.get());
    const char *name = bitrate ? "Opus 64 kbit/s" : "raw          ";
    printf("%s  median %.3f ms (%.3f x packet)  p99 %.3f ms (%.3f x packet)  "
           "CPU %.3f s per s of sound (%.1f %% of a core)\n",
           name, r.medianMs, r.medianMs / kPacketMs, r.p99Ms, r.p99Ms / kPacketMs,
           r.cpuPerSecond, 100 * r.cpuPerSecond);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
