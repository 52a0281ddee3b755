// Start-up and shutdown of the program, shared by the board program and the
// simulated unit: zero works, load the files, queue the amplifier start-up
// commands, start the threads, wait on the run flag, join in order.
#pragma once

struct works;

struct KavHooks {
  // Called once works exists with its start values (running is 1) and the
  // display is open (start-up step 4), on main's thread; the simulator
  // starts its watcher here.
  void (*opened)(works *w, void *ctx) = nullptr;
  // Called once the start-up is complete (after the supervisor started),
  // on main's thread; the simulator starts its own helpers here.
  void (*started)(works *w, void *ctx) = nullptr;
  // Called after every thread was joined, before main returns.
  void (*stopped)(works *w, void *ctx) = nullptr;
  void *ctx = nullptr;
};

// The whole start-up, the wait and the shutdown; returns the exit status 0.
int KavMain(const KavHooks *hooks);
