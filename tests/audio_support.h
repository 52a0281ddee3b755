// Shared pieces of the sound tests: a test tone, the samples of a played
// file, and the frequency of what arrived.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// `seconds` of a 16-bit mono sine at `hz` sampled at `rate`: raw, or a WAV
// file with its 44-byte header.
inline void writeTone(const std::string &path, double hz, double seconds, unsigned rate,
                      bool wav) {
  std::ofstream f(path, std::ios::binary);
  const uint32_t n = uint32_t(rate * seconds);
  if (wav) {
    uint8_t h[44];
    auto le = [&](int at, uint32_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) h[at + i] = uint8_t(v >> (8 * i));
    };
    memcpy(h, "RIFF....WAVEfmt ", 16);
    le(4, 36 + 2 * n, 4);
    le(16, 16, 4);
    le(20, 1, 2);  // PCM
    le(22, 1, 2);  // mono
    le(24, rate, 4);
    le(28, rate * 2, 4);
    le(32, 2, 2);
    le(34, 16, 2);
    memcpy(h + 36, "data", 4);
    le(40, 2 * n, 4);
    f.write(reinterpret_cast<const char *>(h), sizeof h);
  }
  for (uint32_t i = 0; i < n; ++i) {
    const int16_t v = int16_t(8000 * std::sin(2 * M_PI * hz * i / rate));
    f.write(reinterpret_cast<const char *>(&v), 2);
  }
}

// The 16-bit samples of a file from byte `skip` on.
inline std::vector<int16_t> readSamples(const std::string &path, size_t skip = 0) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (b.size() < skip) return {};
  std::vector<int16_t> s((b.size() - skip) / 2);
  if (!s.empty()) memcpy(s.data(), b.data() + skip, s.size() * 2);
  return s;
}

// The frequency of the left channel of 48 kHz stereo `s`, by its rising
// zero crossings over 0.5 s that start 0.1 s after the sound does; 0 when
// there is not that much sound.
inline double leftFrequency(const std::vector<int16_t> &s) {
  size_t start = 0;
  while (start < s.size() / 2 && std::abs(s[2 * start]) < 1000) ++start;
  start += 4800;
  const size_t n = 24000;
  if (start + n + 1 > s.size() / 2) return 0;
  int rising = 0;
  for (size_t i = start; i < start + n; ++i)
    if (s[2 * i] < 0 && s[2 * i + 2] >= 0) ++rising;
  return rising * 48000.0 / double(n);
}
