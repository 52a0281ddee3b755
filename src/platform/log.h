// Logging: syslog with the program's fixed texts (priority 3 error, 6 info)
// and free-form traces on standard error. Technicians read both, so callers
// pass the texts exactly. Tests may install a hook that sees every line.
#pragma once
#include <functional>
#include <string>

enum { KZ_LOG_ERR = 3, KZ_LOG_INFO = 6 };

void kzLogOpen(const char *ident);
// syslog(prio, fmt, ...)
void kzLog(int prio, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// fprintf(stderr, fmt, ...)
void kzTrace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Hook that receives each syslog line (kind 'L') and trace (kind 'T').
// Tests use it to wait for a message; nullptr removes it.
void kzLogHook(std::function<void(char kind, const std::string &text)> hook);
// Silences the standard-error traces (the hook still sees them).
void kzTraceQuiet(bool quiet);
// Keeps syslog lines from the system log (fuzz targets: millions of lines).
void kzLogQuiet(bool quiet);
