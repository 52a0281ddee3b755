// Clock backends; see clock.h.
#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace {

int64_t realNowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void realSleepUs(int64_t us) {
  if (us <= 0) return;
  timespec ts{time_t(us / 1000000), long((us % 1000000) * 1000)};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

std::atomic<int64_t> gFakeUs{0};

int64_t fakeNowMs() { return gFakeUs.load() / 1000; }
void fakeSleepUs(int64_t us) {
  if (us > 0) gFakeUs += us;
}

const KzClockBackend *gClock = &kzClockReal;

}  // namespace

const KzClockBackend kzClockReal = {realNowMs, realSleepUs};
const KzClockBackend kzClockFake = {fakeNowMs, fakeSleepUs};

void kzClockUse(const KzClockBackend *backend) { gClock = backend; }
int64_t kzNowMs() { return gClock->nowMs(); }
bool kzClockIsReal() { return gClock == &kzClockReal; }
void kzSleepMs(int64_t ms) { gClock->sleepUs(ms * 1000); }
void kzSleepUs(int64_t us) { gClock->sleepUs(us); }
void kzFakeClockSet(int64_t ms) { gFakeUs = ms * 1000; }
void kzFakeClockAdvance(int64_t ms) { gFakeUs += ms * 1000; }
