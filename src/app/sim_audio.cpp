// kavzil-sim's sound; see sim_audio.h.
#include "app/sim_audio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "sim/alsaconf.h"

namespace {

constexpr size_t kMaxInput = 64u << 20;  // 64 MB: minutes of sound

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }

// The samples of an input file, interleaved, with their channels and rate.
std::string loadInput(const std::string &path, std::vector<int16_t> &samples, int &channels,
                      unsigned &rate) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "cannot be read (" + std::string(strerror(errno)) + ")";
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (b.size() > kMaxInput) return "is larger than 64 MB";
  const uint8_t *data = b.data();
  size_t bytes = b.size();
  channels = 1;
  rate = 48000;
  if (b.size() >= 12 && memcmp(data, "RIFF", 4) == 0 && memcmp(data + 8, "WAVE", 4) == 0) {
    bool fmt = false;
    const uint8_t *pcm = nullptr;
    // Cost: one step per chunk of the file's header.
    for (size_t pos = 12; pos + 8 <= b.size();) {
      const uint32_t size = le32(data + pos + 4);
      const size_t body = pos + 8, have = b.size() - body < size ? b.size() - body : size;
      if (memcmp(data + pos, "fmt ", 4) == 0 && have >= 16) {
        if (le16(data + body) != 1 || le16(data + body + 14) != 16)
          return "is not a 16-bit PCM WAV (sox FILE -b 16 -e signed out.wav converts it)";
        channels = le16(data + body + 2);
        rate = le32(data + body + 4);
        fmt = true;
      } else if (memcmp(data + pos, "data", 4) == 0) {
        pcm = data + body;
        bytes = have;
        break;
      }
      pos = body + size + (size & 1);
    }
    if (!fmt || pcm == nullptr) return "is a WAV without its format or data";
    if (channels < 1 || channels > 2) return "has neither one nor two channels";
    if (rate < 4000 || rate > 192000) return "has a sample rate outside 4000 to 192000 Hz";
    data = pcm;
  }
  samples.resize(bytes / 2);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(le16(data + 2 * i));
  if (samples.empty()) return "holds no sound";
  return "";
}

// Linear interpolation to 48000 Hz. Cost: one pass over the output.
std::vector<int16_t> to48k(const std::vector<int16_t> &in, int ch, unsigned rate) {
  if (rate == 48000) return in;
  const size_t frames = in.size() / size_t(ch);
  const size_t outFrames = size_t(double(frames) * 48000 / rate);
  std::vector<int16_t> out(outFrames * size_t(ch));
  for (size_t k = 0; k < outFrames; ++k) {
    const double t = double(k) * rate / 48000;
    const size_t i = size_t(t);
    const double f = t - double(i);
    for (int c = 0; c < ch; ++c) {
      const double a = in[i * size_t(ch) + size_t(c)];
      const double b = i + 1 < frames ? in[(i + 1) * size_t(ch) + size_t(c)] : a;
      out[k * size_t(ch) + size_t(c)] = int16_t(a + (b - a) * f);
    }
  }
  return out;
}

void putLe32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A 48 kHz stereo 16-bit WAV header for `bytes` of sound.
void wavHeader(uint8_t h[44], uint32_t bytes) {
  memcpy(h, "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x10\0data",
         40);
  putLe32(h + 4, 36 + bytes);
  putLe32(h + 40, bytes);
}

}  // namespace

struct SimAudio {
  std::string fifo;
  int rfd = -1, keepOpen = -1, out = -1;
  uint32_t bytes = 0;
  std::atomic<bool> stop{false};
  std::thread drain;
};

std::string simAudioCheckInput(const std::string &path, SimAudioIn &in) {
  std::vector<int16_t> s;
  unsigned rate = 0;
  std::string why = loadInput(path, s, in.channels, rate);
  in.path = path;
  return why;
}

// Moves what the playback device wrote into the WAV. Cost: one read and
// one write per 64 KB (about 0.3 s of sound).
static void drainOnce(SimAudio *a) {
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = read(a->rfd, buf, sizeof buf);
    if (n <= 0) return;
    if (write(a->out, buf, size_t(n)) != n) return;
    a->bytes += uint32_t(n);
    uint8_t h[44];
    wavHeader(h, a->bytes);
    if (pwrite(a->out, h, sizeof h, 0) != ssize_t(sizeof h)) return;
  }
}

SimAudio *simAudioStart(const std::string &root, const SimAudioIn &in, double startSeconds,
                        const std::string &outWav, std::string &why) {
  const std::string dir = root + "/alsa";
  mkdir(dir.c_str(), 0755);
  auto a = std::make_unique<SimAudio>();
  std::string capture;
  if (!in.path.empty()) {
    std::vector<int16_t> s;
    int ch = 1;
    unsigned rate = 48000;
    if (std::string e = loadInput(in.path, s, ch, rate); !e.empty()) {
      why = in.path + " " + e;
      return nullptr;
    }
    s = to48k(s, ch, rate);
    capture = dir + "/capture.raw";
    std::ofstream f(capture, std::ios::binary | std::ios::trunc);
    const std::vector<int16_t> lead(size_t(startSeconds * 48000) * size_t(ch), 0);
    f.write(reinterpret_cast<const char *>(lead.data()), std::streamsize(lead.size() * 2));
    f.write(reinterpret_cast<const char *>(s.data()), std::streamsize(s.size() * 2));
    if (!f) {
      why = "cannot write " + capture;
      return nullptr;
    }
  }
  if (!outWav.empty()) {
    a->fifo = dir + "/playback.fifo";
    unlink(a->fifo.c_str());
    a->out = open(outWav.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (mkfifo(a->fifo.c_str(), 0600) != 0 || a->out < 0 ||
        (a->rfd = open(a->fifo.c_str(), O_RDONLY | O_NONBLOCK)) < 0 ||
        // A writer of our own: the device closing between connections is
        // then no end of stream.
        (a->keepOpen = open(a->fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
      why = "cannot make " + a->fifo + " or " + outWav + " (" + strerror(errno) + ")";
      simAudioStop(a.release());
      return nullptr;
    }
    uint8_t h[44];
    wavHeader(h, 0);
    if (write(a->out, h, sizeof h) != ssize_t(sizeof h)) {
      why = "cannot write " + outWav;
      simAudioStop(a.release());
      return nullptr;
    }
    SimAudio *p = a.get();
    a->drain = std::thread([p] {
      while (!p->stop.load()) {
        pollfd pf{p->rfd, POLLIN, 0};
        if (poll(&pf, 1, 100) > 0) drainOnce(p);
      }
      drainOnce(p);
    });
  }
  if (simAlsaConfigure(dir + "/asound.conf", capture, a->fifo) != 0) {
    why = "cannot write " + dir + "/asound.conf";
    simAudioStop(a.release());
    return nullptr;
  }
  return a.release();
}

void simAudioStop(SimAudio *a) {
  if (a == nullptr) return;
  a->stop = true;
  if (a->drain.joinable()) a->drain.join();
  for (int fd : {a->rfd, a->keepOpen, a->out})
    if (fd >= 0) close(fd);
  if (!a->fifo.empty()) unlink(a->fifo.c_str());
  delete a;
}
