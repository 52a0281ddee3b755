// Clock seam: monotonic milliseconds, wall seconds and sleeps. The real
// backend uses CLOCK_MONOTONIC and nanosleep; the fake one (tests of timing
// logic) holds a time that only moves when a test advances it or a caller
// sleeps, so hold-offs and time-outs are tested without waiting.
#pragma once
#include <cstdint>

struct KzClockBackend {
  int64_t (*nowMs)();
  void (*sleepUs)(int64_t us);
};

extern const KzClockBackend kzClockReal;
extern const KzClockBackend kzClockFake;

void kzClockUse(const KzClockBackend *backend);

int64_t kzNowMs();
// True while the real clock is in use (waits that block in the kernel, such
// as poll(), only agree with the clock seam then).
bool kzClockIsReal();
void kzSleepMs(int64_t ms);
void kzSleepUs(int64_t us);

// Fake clock controls.
void kzFakeClockSet(int64_t ms);
void kzFakeClockAdvance(int64_t ms);
