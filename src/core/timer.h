// The periodic supervisor thread: once per cycle (a fixed pause plus the
// work) it follows the operating frequency of the selected interface and
// runs the per-frequency actions (filter, band thresholds and the bank
// table row: antenna, operate or standby, attenuator, stored tune), keeps the
// date text, and counts down the link hold-off and the temperature-log
// interval on the monotonic clock. The screen drawing, the tuning
// handshake and the status frame of a remote unit join it as the panel,
// the transceiver link and the remote link are built.
#pragma once
#include <cstdint>

struct works;

void timer(works *w);
// One cycle without its pause (frequency follow-up and its actions).
void TimerFollowFrequency(works *w);
// The counters of a cycle that took `elapsedMs`.
void TimerCountDown(works *w, int64_t elapsedMs);
