// Shared by the WebSocket fuzz targets: one quiet unit (works record with
// its setup) under a scratch root, the command runner recording, the fake
// clock, so a byte stream can go through the transport's readers and the
// dispatch without a socket, a shell command or a real pause.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/paths.h"

inline works *wsFuzzUnit() {
  static SetupRec rec{};
  static std::unique_ptr<works> w = [] {
    kzClockUse(&kzClockFake);
    kzTraceQuiet(true);
    kzLogQuiet(true);
    kzCmdUse(&kzCmdRecorder);
    static char tmpl[] = "/tmp/kz_fuzz_ws_XXXXXX";
    const char *dir = mkdtemp(tmpl);
    kzSetRoot(dir != nullptr ? dir : "/tmp");
    if (dir != nullptr)
      std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(tmpl, ec);
      });
    auto u = std::make_unique<works>();
    u->setup = &rec;
    InitGlobalVar(u.get());
    InitErrTable(u.get());
    initSetup(u.get());
    return u;
  }();
  w->running = 1;
  w->wsConnected = 0;
  w->catFD = 0;  // no port: nothing is ever written to standard input
  w->serFD = -1;
  kzCmdClearRecorded();
  return w.get();
}
