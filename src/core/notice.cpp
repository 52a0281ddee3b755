// The panel notice; see notice.h.
#include "core/notice.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/works.h"
#include "platform/clock.h"

void PanelNotice(works *w, const char *text, int seconds) {
  std::lock_guard<std::mutex> lock(w->noticeMut);
  snprintf(w->noticeText, sizeof w->noticeText, "%s", text ? text : "");
  w->noticeUntilMs = kzNowMs() + int64_t(seconds > 0 ? seconds : 0) * 1000;
}

int PanelNoticeText(works *w, char *out, size_t n) {
  std::lock_guard<std::mutex> lock(w->noticeMut);
  out[0] = '\0';
  if (w->noticeText[0] == '\0' || kzNowMs() >= w->noticeUntilMs) return 0;
  snprintf(out, n, "%s", w->noticeText);
  return 1;
}

void PanelNoticeClear(works *w) {
  std::lock_guard<std::mutex> lock(w->noticeMut);
  w->noticeText[0] = '\0';
  w->noticeUntilMs = 0;
}
