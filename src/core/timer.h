// The periodic supervisor thread: once per cycle (a fixed pause plus the
// work) it redraws the whole main screen from the background (key labels,
// information bars, date text, meters or spectrum plot), shows the link
// failure screen, starts the screen saver, follows the operating frequency
// of the selected interface and runs the per-frequency actions (filter,
// band thresholds and the bank table row: antenna, operate or standby,
// attenuator, stored tune), sends the status frame ("ST") to a connected
// remote unit, and counts down the link hold-off, the peak hold and the
// temperature-log interval on the monotonic clock.
//
// The cycle is split so that a test can run it step by step without the
// thread and without sleeping: TimerStart, then TimerCycle and
// TimerCountDown as often as wanted. Outside interface 1 the transmit state
// follows the amplifier's input power; on interface 1 it is the
// transceiver's flag, and the supervisor runs the transceiver side of the
// automatic tuning handshake.
#pragma once
#include <cstdint>

struct works;
struct SerParameters;

// Seconds on the clock of the key time (lastKeyTime) and the screen saver:
// wall-clock seconds taken once, carried on by the monotonic clock seam, so
// that a wall-clock step (the board sets its clock from the network after
// boot) neither starts nor holds off the saver, and tests move it with the
// fake clock. Every writer of lastKeyTime uses it.
int64_t kzKeyClockSeconds();

// Thread body: TimerStart, then cycles until running drops to 0.
void timer(works *w);
// True while the supervisor thread runs (main waits for its last frame
// before it draws the closing screen).
bool TimerRunning();

// What the thread does once before its first cycle: the peak needles are
// cleared, the start is logged, the plot geometry is set.
void TimerStart(works *w);
// The supervisor's own handshake counters (cycles).
struct TimerHandshake {
  int hsTicks = 0;
  int hsMark = 0;
};

// One cycle without its pause and without the counters: background, link
// failure screen, screen saver, frequency follow-up, the screen, the status
// frame while a remote unit is connected (wsConnected), shown.
// `par` is the transceiver parameter copy of the thread: refreshed on
// interface 1, kept (zeroed at first) on the others, handed to the key bar.
void TimerCycle(works *w, SerParameters &par, TimerHandshake &hs);
// The frequency of the selected interface and, when it changed (or the
// band row is to be applied again), the per-frequency actions.
void TimerFollowFrequency(works *w, SerParameters &par);
// Outside interface 1: txActive from the amplifier's input power, on at
// 0.25 W, off below 0.10 W (interface 1 takes the transceiver's flag).
void TimerTransmitFromInput(works *w);
// Interface 1 only: txActive from the transceiver's transmit flag, the AN
// output from its antenna flag, and the tuning handshake (autoTuneMode
// bits 1-6, rxDelay, error 14 when an ordered carrier never comes).
void TimerTransceiver(works *w, const SerParameters &par, TimerHandshake &hs);
// The screen saver: starts it when the keys have been idle long enough.
// Returns 1 when it started in this call.
int TimerScreenSaver(works *w);
// The counters of a cycle that took `elapsedMs`: link hold-off, peak hold,
// temperature-log interval.
void TimerCountDown(works *w, int64_t elapsedMs);
