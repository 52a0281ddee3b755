// The amateur bands the simulator's controls step through (160 m to 6 m):
// edges, and the frequency a band step lands on first.
#pragma once
#include <cstdint>

struct SimBand {
  const char *name;
  uint32_t low, high, home;
};
inline constexpr SimBand kSimBands[] = {
    {"160m", 1800000, 2000000, 1840000},    {"80m", 3500000, 4000000, 3650000},
    {"60m", 5330500, 5450000, 5357000},     {"40m", 7000000, 7300000, 7100000},
    {"30m", 10100000, 10150000, 10120000},  {"20m", 14000000, 14350000, 14200000},
    {"17m", 18068000, 18168000, 18120000},  {"15m", 21000000, 21450000, 21200000},
    {"12m", 24890000, 24990000, 24940000},  {"10m", 28000000, 29700000, 28500000},
    {"6m", 50000000, 54000000, 50150000},
};
inline constexpr int kSimBandCount = int(sizeof kSimBands / sizeof kSimBands[0]);

// Index of the band holding `hz` (edges included), -1 outside them all.
inline int simBandOf(uint32_t hz) {
  for (int i = 0; i < kSimBandCount; i++)
    if (hz >= kSimBands[i].low && hz <= kSimBands[i].high) return i;
  return -1;
}
