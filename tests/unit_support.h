// A unit as the end-to-end tests run it: the setup, band and bank files of
// a root read as the program reads them at start, the amplifier link on a
// simulated amplifier's PTY, and the Linear and supervisor threads.
#pragma once
#include <cstdio>
#include <memory>
#include <thread>

#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/bandconf.h"
#include "core/setup.h"
#include "core/timer.h"
#include "core/works.h"
#include "sim/amp_sim.h"
#include "tuner/tunemem.h"
#include "tuner/tuneword.h"
#include <string>

struct KzRunningUnit {
  SetupRec rec{};
  std::unique_ptr<works> w = std::make_unique<works>();
  SimAmp *amp = nullptr;
  std::thread link, sup;

  // Reads the root's files (bank 1) with the link on `amp`'s PTY.
  explicit KzRunningUnit(SimAmp *a) : amp(a) {
    w->setup = &rec;
    readSetup(w.get());
    InitErrTable(w.get());
    w->errorsMuted = 0;
    ReadConfigFile(w.get());
    LoadAllBankTable(w.get(), 1);
    snprintf(rec.LinPort, sizeof rec.LinPort, "%s", simAmpSlavePath(amp));
  }
  // The link and the supervisor, with a key just pressed (no saver to wake).
  void start() {
    w->lastKeyTime = kzKeyClockSeconds();
    link = std::thread(Linear, w.get());
    sup = std::thread(timer, w.get());
  }
  // Both threads joined and the simulated amplifier stopped.
  void stop() {
    w->running = 0;
    if (sup.joinable()) sup.join();
    if (link.joinable()) link.join();
    if (amp) simAmpStop(amp);
    amp = nullptr;
  }
  ~KzRunningUnit() { stop(); }
  // The slot line a tune memory file holds for the tune in use at `freq`:
  // frequency, valid, mode, L, C.
  std::string storedLine(uint32_t freq) const {
    const uint32_t t = w->tuneWord.load();
    char line[64];
    snprintf(line, sizeof line, " %u 1 %d %d %d\n", unsigned(freq), DecodeModoFromTuneval(t),
             DecodeInduttanzaFromTuneval(t), DecodeCapacitaFromTuneval(t));
    return std::string(line);
  }
};
