// Error and warning registry; see errors.h.
//
// Sections:
//   1 the code table (kinds and the two button lines)
//   2 the list: add, remove, look-ups
//   3 the reset key and the recovery steps
//   4 restart of the remote thread group
//
// Design rules:
// - The list lives in works (errList/errCount, in the order raised). Every
//   change and every sweep runs under errMut (recursive, so a sweep may call
//   DeleteErrore), so a reader that takes the lock never sees a half-moved
//   list. The lock is never held while calling into another module (command
//   ring, thread starts): those take their own locks.
// - Each code is registered at most once and codes are 0..24, so the list
//   never holds more than its 25 places. Other codes are logged and ignored.
// - While bit 0 of errorsMuted is set (until the amplifier's first "CP"
//   reply) nothing is registered: such codes are lost, not deferred.
#include "amplifier/errors.h"

#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <mutex>

#include "amplifier/cmdring.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "platform/log.h"

namespace {

// ---------------------------------------------------------------------------
// 1 the code table
// ---------------------------------------------------------------------------

// Kind bits: 0 alarm (red button), 1 needs a protection reset, 2 temporary
// warning (removed by the reset key).
enum { ERR_KIND_ALARM = 1, ERR_KIND_PROT = 2, ERR_KIND_TEMP = 4 };

// errFlags bits.
enum { ERRF_PROT = 1, ERRF_ACK = 2, ERRF_TEMP = 4 };

struct ErrInit {
  uint8_t kind;
  const char *line1;
  const char *line2;
};

constexpr ErrInit kErrInit[KZ_ERR_CODES] = {
    {2, "1-High", "temperature"},    // 0  sensor 1 back below its limit
    {3, "HI SWR", "error"},          // 1  protection tripped
    {1, "1-High", "temperature"},    // 2  sensor 1 over maxTemperature
    {3, "PWR IN", "error"},          // 3  input power fault
    {4, "Comm", "warn "},            // 4  link gave up ("Err XY" at run time)
    {4, "Remote warn", "Usb"},       // 5  remote sample reader stopped
    {4, "Audio", "not found"},       // 6
    {4, "KAV mode", "not activated"},// 7
    {4, "KAV EXTIO", "warning"},     // 8  transceiver serial link
    {0, "Audio read", "warning"},    // 9  audio capture stopped
    {0, "Audio write", "warning"},   // 10 audio playback stopped
    {0, "Web socket", "warning"},    // 11
    {4, "Auto Tune", "timeout"},     // 12
    {4, "Auto Tune", "SWR warning"}, // 13
    {4, "Auto Tune", "KAV aborts"},  // 14
    {3, "Error", "---"},             // 15 amplifier fault (name at run time)
    {4, "Micro Reset", "warning"},   // 16
    {4, "CMD not", "available"},     // 17
    {4, "Auto Tune", "Max SWR"},     // 18
    {6, "Band warn", "StBy"},        // 19 band fault bit
    {4, "Remote warn", "Cat"},       // 20 CAT link stopped
    {2, "2-High", "temperature"},    // 21 sensor 2 back below its limit
    {1, "2-High", "temperature"},    // 22 sensor 2 over maxTemperature2
    {2, "2-Warning", "temperature"}, // 23 sensor 1 near its limit
    {2, "2-Warning", "temperature"}, // 24 sensor 2 near its limit
};

bool validCode(int code) { return code >= 0 && code < KZ_ERR_CODES; }

// Position of a code in the list, or -1. Caller holds errMut. O(count).
int findCode(const works *w, int code) {
  int n = w->errCount.load();
  for (int i = 0; i < n; i++)
    if (w->errList[i] == code) return i;
  return -1;
}

// Removes the entry at `pos`; later entries move up one place. Caller holds
// errMut and has checked pos.
void removeAt(works *w, int pos) {
  int n = w->errCount.load();
  int code = w->errList[pos];
  for (int i = pos; i < n - 1; i++) w->errList[i] = w->errList[i + 1];
  w->errList[n - 1] = 0;
  w->errCount = n - 1;
  kzTrace("Del ERROR: N: %i err:%i\n", n - 1, code);
}

// The status digit for a trace: a value 0..15 is shown as the hexadecimal
// digit it came from; anything else that is not printable as '?', so that a
// NUL never cuts the trace short.
char statusChar(uint8_t v) {
  static const char hex[] = "0123456789ABCDEF";
  if (v < 16) return hex[v];
  return std::isprint(v) ? char(v) : '?';
}

// Removes every registered code whose kind has any of `kindMask` set (all
// codes when kindMask is 0), printing one line per code. O(count^2) on at
// most 25 entries.
void sweep(works *w, uint8_t kindMask) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  int i = 0;
  while (i < w->errCount.load()) {
    int code = w->errList[i];
    bool hit = kindMask == 0 || (validCode(code) && (w->errTable[code].kind & kindMask) != 0);
    if (!hit) {
      i++;
      continue;
    }
    kzTrace("Del temp err: %i (%i , %i)\n", code, i, w->errCount.load());
    removeAt(w, i);  // the next entry moved into place i
  }
}

// Bounded copy into a button line; longer texts are cut, always terminated.
template <size_t N>
void copyLine(char (&dst)[N], const char *src) {
  std::snprintf(dst, N, "%s", src ? src : "");
}

}  // namespace

void InitErrTable(works *w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  for (int i = 0; i < KZ_ERR_CODES; i++) {
    w->errTable[i].kind = kErrInit[i].kind;
    copyLine(w->errTable[i].line1, kErrInit[i].line1);
    copyLine(w->errTable[i].line2, kErrInit[i].line2);
  }
}

// ---------------------------------------------------------------------------
// 2 the list
// ---------------------------------------------------------------------------

void AddErrore(works *w, int code) {
  if (w->errorsMuted.load() & 1) return;
  if (!validCode(code)) {
    kzLog(KZ_LOG_ERR, "AddErrore: unknown error code %d ignored", code);
    return;
  }
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  if (findCode(w, code) >= 0) return;
  int n = w->errCount.load();
  if (n >= KZ_ERR_CODES) return;  // cannot happen: one place per code
  w->errList[n] = code;
  w->errCount = n + 1;
  w->errRaised++;  // a new button: the screen saver keeps off until a key
  kzTrace("Add: N: %i err:%i\n", n + 1, code);

  uint8_t kind = w->errTable[code].kind;
  if ((kind & ERR_KIND_PROT) && !(w->errFlags.load() & ERRF_PROT)) {
    w->errFlags |= ERRF_PROT;
    kzTrace(" -->set protezione 0x%x\n", unsigned(w->errFlags.load()));
  }
  if ((kind & ERR_KIND_TEMP) && !(w->errFlags.load() & ERRF_TEMP)) {
    w->errFlags |= ERRF_TEMP;
    kzTrace(" -->tasto reset errore 0x%x\n", unsigned(w->errFlags.load()));
  }
}

void DeleteErrore(works *w, int code) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  int pos = findCode(w, code);
  if (pos >= 0) removeAt(w, pos);
}

int ExistError(works *w, int code) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  return findCode(w, code) >= 0 ? 1 : 0;
}

int ExistAnError(works *w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  return w->errCount.load() > 0 ? w->errList[0] : -1;
}

void SetErrLine2(works *w, int code, const char *text) {
  if (!validCode(code)) {
    kzLog(KZ_LOG_ERR, "SetErrLine2: unknown error code %d ignored", code);
    return;
  }
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  copyLine(w->errTable[code].line2, text);
}

// ---------------------------------------------------------------------------
// 3 the reset key and the recovery steps
// ---------------------------------------------------------------------------

int GPIO_Errori(works *w) {
  if (w->errFlags.load() != 0) {
    kzTrace("----------> 1- ERRORI!!\n");
    GestErrore(w);
    return 1;
  }
  if (w->errCount.load() > 0) {
    kzTrace("----------> 2- ERRORI!!\n");
    GestErroreRemote(w);
    // Sensor 1 over its limit: the amplifier is kept as it is.
    if (ExistAnError(w) == 2) return 0;
    VerificaEsistonoErrori(w);
    return 1;
  }
  return 0;
}

void GestErrore(works *w) {
  kzTrace(">>> ERRORI: GestErrore\n");
  uint8_t flags = w->errFlags.load();
  if (flags & ERRF_PROT) {
    kzTrace(">>> ERRORI: ResetBiasCmd\n");
    ResetBiasCmd(w);
    // The reset commands go out back to back; errResetState then moves on
    // to 2 and the next status reply runs GestErroreSerial.
    // errResetState first: the link may empty the ring as soon as
    // tuneCmdPending is set, and must then see the reset under way.
    w->errResetState = 1;
    w->tuneCmdPending = 1;
  } else if (flags & ERRF_TEMP) {
    VerifyWarningTemporanei(w);
    w->errFlags &= uint8_t(~ERRF_TEMP);
  } else if (w->errCount.load() > 0) {
    kzTrace(">>> ERRORI2: VerificaEsistonoErrori\n");
    VerificaEsistonoErrori(w);
  }
  GestErroreRemote(w);
}

void ResetBiasCmd(works *w) {
  uint8_t fault = w->ampFault.load();
  if (fault != 0 || (w->ampStatus1.load() & 2)) {
    IncPNTIn_CMDLinear(13, w);  // "CPFFFF;"
    kzTrace(">>> ERRORI: RESET Protezione AMPL!\n");
  }
  if (fault & 0x80) InitMicroCmd(w);  // micro-controller restarted
  IncPNTIn_CMDLinear(17, w);          // "MP0;"
  IncPNTIn_CMDLinear(w->ampBypass.load() == 1 ? 20 : 19, w);
  IncPNTIn_CMDLinear(14, w);  // the attenuator setting
}

void GestErroreSerial(works *w) {
  ClearDisplayError(w);
  if (w->errFlags.load() & ERRF_PROT) VerifyWarningTemporaneiDopoResetBias(w);
  if (w->errFlags.load() & ERRF_TEMP) {
    VerifyWarningTemporanei(w);
    w->errFlags &= uint8_t(~ERRF_TEMP);
  }
  if (w->errCount.load() > 0) VerificaEsistonoErrori(w);
}

void ClearDisplayError(works *w) {
  w->errFlags |= ERRF_ACK;
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    DeleteErrore(w, 12);
    DeleteErrore(w, 13);
    DeleteErrore(w, 14);
  }
  kzTrace(" -->reset protezione %c\n", statusChar(w->ampStatus1.load()));
}

void VerificaEsistonoErrori(works *w) {
  int first = ExistAnError(w);
  if (first < 0) return;
  kzTrace("FOUND ERR: %d \n", first);
  ResetBiasCmd(w);
  VerifyWarningTemporaneiDopoResetBias(w);
}

void VerifyWarningTemporanei(works *w) { sweep(w, ERR_KIND_TEMP); }

void VerifyWarningTemporaneiDopoResetBias(works *w) { sweep(w, 0); }

// ---------------------------------------------------------------------------
// 4 restart of the remote thread group
// ---------------------------------------------------------------------------

void GestErroreRemote(works *w) {
  SetupRec *s = w->setup;
  if (s == nullptr) {
    kzLog(KZ_LOG_ERR, "GestErroreRemote: no setup record");
    return;
  }
  kzTrace(">>> RESTART REMOTE: %i %i audio %x %x\n", int(w->remoteActive),
          int(w->remoteRestart.load()),
          unsigned(static_cast<unsigned char>(std::atomic_ref<char>(s->EnableWrite).load())),
          unsigned(static_cast<unsigned char>(std::atomic_ref<char>(s->EnableRead).load())));
  if (w->remoteActive != 1 || w->remoteRestart.load() != 1) return;
  kzTrace(">>> RESTART REMOTE!\n");
  w->remoteRestart = 0;
  // The audio threads' run flags, which they clear themselves: atomically.
  if (std::atomic_ref<char>(s->EnableWrite).load() == '0') {
    kzTrace("start audio write\n");
    std::atomic_ref<char>(s->EnableWrite).store('1');
    StartThreadAudioWrite(w);
  }
  if (std::atomic_ref<char>(s->EnableRead).load() == '0') {
    kzTrace("start audio read\n");
    std::atomic_ref<char>(s->EnableRead).store('1');
    StartThreadAudioRead(w);
  }
  if (std::atomic_ref<char>(s->EnableCAT).load() == '0') {
    std::atomic_ref<char>(s->EnableCAT).store('1');  // the CAT thread's run flag
    StartThreadCAT(w);
  }
  if (s->EnableFFT == '0') {
    s->EnableFFT = '1';
    StartKavReadFFT(w);
  }
}
