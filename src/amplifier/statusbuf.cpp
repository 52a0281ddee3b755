// Status buffer; see statusbuf.h.
//
// Each numeric field is formatted on its own and written at its position,
// in position order. A value too wide for its field (an SWR of 1000, a
// temperature of -10) runs on into the next field, which then overwrites
// it, as the remote side expects; nothing is ever written past the
// 52 characters, whatever the value (every later position is rewritten by
// a later field, so clipping at the end changes no byte).
// Cost: nine snprintf calls into a stack buffer; no allocation.
#include "amplifier/statusbuf.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "amplifier/decode.h"
#include "core/works.h"
#include "tuner/banktab.h"

namespace {

// Copies the `n` characters of a formatted field to `pos`, cut at the end
// of the text area (and at its own buffer of `cap` bytes).
void putText(char *out, int pos, const char *text, int n, int cap) {
  if (n < 0) return;
  if (n > cap - 1) n = cap - 1;
  if (n > KZ_STATUS_TEXT - pos) n = KZ_STATUS_TEXT - pos;
  memcpy(out + pos, text, size_t(n));
}

void putField(char *out, int pos, const char *fmt, double v) {
  char tmp[64];
  putText(out, pos, tmp, snprintf(tmp, sizeof tmp, fmt, v), int(sizeof tmp));
}

}  // namespace

void CreaBufferDiStato(works *w, char *out) {
  memset(out, '0', KZ_STATUS_TEXT);
  {
    std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
    const int row = BankRowOfFreq(w, w->freqHz.load());
    // The name field holds 7 characters at most; "%-4.4s" reads no more
    // than 4 of them.
    char name[5];
    snprintf(name, sizeof name, "%-4.4s", row >= 0 ? w->bandTab[row].name : "----");
    memcpy(out, name, 4);
  }
  const int mode = w->ModeWorkIdx.load();
  out[4] = mode == 1 ? '1' : (mode == 2 ? '2' : '0');
  out[5] = char('0' + w->attenuator.load());
  out[6] = char('0' + w->antenna.load());
  out[7] = w->ampBypass.load() ? '1' : '0';
  out[8] = w->tuneEnabled < 0 ? 'N' : (w->atuBypass.load() ? 'B' : 'T');
  out[9] = w->tuneState.load() != 0 ? '1' : '0';

  const float t1 = w->temp1.load(), t2 = w->temp2.load();
  putField(out, 10, "%06.02f", double(w->swr.load()));
  putField(out, 16, "%06.2f", double(w->pwrFwd.load()));
  putField(out, 22, "%06.02f", double(w->pwrIn.load()));
  putField(out, 28, "%04.01f", double(t1 > t2 ? t1 : t2));
  putField(out, 32, "%4.1f", double(CalvTensVadcAmp(w, w->panelReply[3].load())));
  putField(out, 36, "%04.01f", double(w->currentRaw.load()) / 4096.0 * 14.05);
  char bank[16];
  putText(out, 40, bank, snprintf(bank, sizeof bank, "%02d", w->numBanco.load()), int(sizeof bank));

  {
    std::lock_guard<std::recursive_mutex> errLock(w->errMut);
    const int count = w->errCount.load();
    out[42] = count > 0 && count <= KZ_ERR_CODES ? char(w->errList[count - 1] + 1) : '0';
  }
  memset(out + 43, '0', 8);
  out[51] = ';';
  out[52] = '\0';
}
