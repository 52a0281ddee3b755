// Logging to syslog and standard error; see log.h.
#include "platform/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace {
std::mutex gHookMut;
std::function<void(char, const std::string &)> gHook;
std::atomic<bool> gHasHook{false};
std::atomic<bool> gQuiet{false};
std::atomic<bool> gLogQuiet{false};

void toHook(char kind, const char *text) {
  if (!gHasHook.load()) return;
  std::lock_guard<std::mutex> lk(gHookMut);
  if (gHook) gHook(kind, text);
}
}  // namespace

void kzLogOpen(const char *ident) { openlog(ident, LOG_PID, LOG_USER); }

void kzLog(int prio, const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (!gLogQuiet.load()) syslog(prio, "%s", buf);
  toHook('L', buf);
}

void kzTrace(const char *fmt, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (!gQuiet.load()) fputs(buf, stderr);
  toHook('T', buf);
}

void kzLogHook(std::function<void(char, const std::string &)> hook) {
  std::lock_guard<std::mutex> lk(gHookMut);
  gHook = std::move(hook);
  gHasHook = static_cast<bool>(gHook);
}

void kzTraceQuiet(bool quiet) { gQuiet = quiet; }
void kzLogQuiet(bool quiet) { gLogQuiet = quiet; }
