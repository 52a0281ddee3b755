// The link failure text; see linkerr.h.
#include "core/linkerr.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/works.h"

void SetLinkError(works *w, int code, const char *fmt, ...) {
  char text[sizeof w->linkErrorText];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  {
    std::lock_guard<std::mutex> lk(w->linkErrMut);
    memcpy(w->linkErrorText, text, sizeof text);
  }
  w->linkError = code;
}

void GetLinkErrorText(works *w, char *out, size_t n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> lk(w->linkErrMut);
  const size_t len = strnlen(w->linkErrorText, sizeof w->linkErrorText);
  const size_t k = len < n - 1 ? len : n - 1;
  memcpy(out, w->linkErrorText, k);
  out[k] = 0;
}
