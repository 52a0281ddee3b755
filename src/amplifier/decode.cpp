// Reply decoding: one reply of the amplifier into works, and the choice of
// the next link state. See decode.h.
//
// Sections: field helpers / identity blocks / status reply / dispatcher.
//
// Replies are NUL-terminated after their ';' in the receive buffer; every
// helper below stops at ';' or NUL, so a short reply never reads stale
// bytes of an earlier one.
#include "amplifier/decode.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "amplifier/thermal.h"
#include "core/bandconf.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "tuner/autotune.h"

// ---- field helpers -------------------------------------------------------

int charToInt(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decimal number of at most `n` digits at `p`, stopping at the first
// character that is not a digit (a malformed field reads as what it holds
// before that character, 0 when nothing).
static unsigned long decField(const char *p, int n) {
  unsigned long v = 0;
  for (int i = 0; i < n && p[i] >= '0' && p[i] <= '9'; i++) v = v * 10 + unsigned(p[i] - '0');
  return v;
}

// Length of the reply text up to and including its ';'.
static int replyLen(const char *text) {
  const char *semi = strchr(text, ';');
  return semi ? int(semi - text) + 1 : int(strlen(text));
}

// Byte from two hexadecimal characters, high nibble first; a character that
// is not hexadecimal decodes as -1, as the micro-controller's older
// firmware expects (all bits of that nibble set).
static uint8_t hexByte(const char *p) {
  return uint8_t(charToInt(p[0]) * 16 + charToInt(p[1]));
}

float CalvTensVadcAmp(works *w, int raw) {
  float k = w->ampModel.load() == '1' ? 348.0f : 118.0f;
  return float(raw) * 3.3f * k / 255.0f / 18.0f;
}

float CalcolaSWR(float fwd, float refl) {
  float swr = 0;
  if (fwd > 0.3f) {
    if (fwd < refl) {
      swr = 100;
    } else {
      double r = std::sqrt(double(refl) / double(fwd));
      swr = (r == 1.0) ? 100.0f : float((1 + r) / (1 - r));
    }
  } else if (refl > 0.5f) {
    swr = 100;
  }
  if (!(swr <= 100)) swr = 100;  // also catches NaN
  return swr;
}

void AttivaDisattivaProtezione(works *w, int on) {
  if (on == 1) {
    IncPNTIn_CMDLinear(18, w);
    IncPNTIn_CMDLinear(16, w);
    kzTrace("PROTEZIONE ON -------------\n");
  } else {
    IncPNTIn_CMDLinear(17, w);
    kzTrace("PROTEZIONE OFF -------------\n");
  }
}

// ---- identity blocks ("ER") ----------------------------------------------

static void decodeBlock(uint8_t *dst, const char *p) {
  memset(dst, 0, 32);
  for (int i = 0; i < 32; i++) {
    const char *h = p + 2 * i;
    if (h[0] == ';' || h[0] == 0 || h[1] == ';' || h[1] == 0) break;
    dst[i] = hexByte(h);
  }
}

static void decodeER(works *w, const char *text) {
  int len = replyLen(text);
  char block = len > 5 ? text[5] : 0;
  char shown[33];
  if (block == '0' || block == '1') {
    uint8_t *dst = block == '0' ? w->ampSerial : w->ampSerial2;
    decodeBlock(dst, len > 6 ? text + 6 : "");
    memcpy(shown, dst, 32);
    shown[32] = 0;
    kzTrace(block == '0' ? "EE0:%s\n" : "EE1:%s\n", shown);
  } else if (block == '2' && len >= 11) {
    w->ampRegion = hexByte(text + 6);
    w->ampModel = hexByte(text + 8);
    number_ofStep_meter_FWD = w->ampModel.load() == '1' ? 120 : 60;
    kzTrace("EE2: %x %x\n", w->ampRegion.load(), w->ampModel.load());
  }
  NextCmdPriority(w, 1);
  kzSleepMs(20);
}

// ---- status reply ("ST") -------------------------------------------------

// Follows the amplifier's own bypass and attenuator state while the link
// reports a communication error: what it reports is then the truth.
static void followAmplifierState(works *w) {
  uint8_t s0 = w->ampStatus0.load(), s1 = w->ampStatus1.load();
  uint8_t bypass = (s1 >> 3) & 1;
  if (bypass != w->ampBypass.load()) {
    w->ampBypass = bypass;
    kzTrace(bypass ? "STATE DA ERRORE : bypass on\n" : "STATE DA ERRORE : bypass off\n");
  }
  static const char *const texts[4] = {
      "STATE DA ERRORE : attenuatore 3dB=off 2dB=off\n",
      "STATE DA ERRORE : attenuatore 3dB=off 2dB=on\n",
      "STATE DA ERRORE : attenuatore 3dB=on 2dB=off\n",
      "STATE DA ERRORE : attenuatore 3dB=on 2dB=on\n",
  };
  uint8_t att = (s0 >> 2) & 3;  // bit 3 the 3 dB pad (value 2), bit 2 the 2 dB pad (1)
  if (att != w->attenuator.load()) {
    w->attenuator = att;
    w->attenuatorShown = att;
    w->attForced = 0;  // the step is what the amplifier reports
    kzTrace("%s", texts[att]);
  }
}

static void clearAckIfSet(works *w) {
  if (w->errFlags.load() & 2) w->errFlags &= uint8_t(~3);
}

static void decodeStatus(works *w, const char *text) {
  // 1. The reset commands have all gone out: finish the error handling.
  if (w->errResetState.load() == 2) {
    GestErroreSerial(w);
    kzTrace(">>> ERRORI: End Gest Errori!!\n");
    w->errResetState = 0;
  }

  // A good status reply ends the resends of whatever was in flight; its
  // time tells the panel that the readings below are current.
  w->retryCount = 0;
  const int64_t nowMs = kzNowMs();
  w->lastStatusMs = nowMs > 0 ? nowMs : 1;

  // 2. Status digits and fault byte (position 28 the low nibble).
  w->ampStatus0 = uint8_t(charToInt(text[2]));
  w->ampStatus1 = uint8_t(charToInt(text[3]));
  w->ampFault = uint8_t(charToInt(text[28]) + 16 * charToInt(text[29]));
  uint8_t s1 = w->ampStatus1.load(), fault = w->ampFault.load();

  // 3. Bypass follow-up of a requested change.
  if ((s1 & 8) && w->ampBypass.load() == 0 && w->ampBypassReq.load() == 1) {
    kzTrace("--------------- AMPL ERRORE : bypass on %s\n", text);
    w->ampBypass = 1;
  } else if (!(s1 & 8) && w->ampBypass.load() == 1 && w->ampBypassReq.load() == 0) {
    kzTrace("--------------- AMPL ERRORE : bypass off %s\n", text);
    w->ampBypass = 0;
  }

  // 4. With the link in error the amplifier's state wins.
  if (ExistError(w, 4)) followAmplifierState(w);

  // 5. Micro-controller restarted.
  if ((fault & 0x80) && w->microReset.load() == 1) AddErrore(w, 16);

  // 6. Fault bits; the highest of bits 0..5 names error 15. The input
  // power bit (5) gets its button like the others (error 3 below only
  // covers it while the AN output is on and no tune runs).
  if ((fault & 0x7F) == 0) {
    DeleteErrore(w, 15);
    clearAckIfSet(w);
  } else if (fault & 0x40) {
    AddErrore(w, 19);
  } else {
    static const char *const names[6] = {"I OUT", "REFL", "FWD", "SENS PW", "FILTER TX",
                                         "PWR IN"};
    const char *name = names[0];
    for (int b = 0; b < 6; b++)
      if (fault & (1 << b)) name = names[b];
    SetErrLine2(w, 15, name);
    AddErrore(w, 15);
  }

  // 7. Input-power fault while the AN output is on and no tune runs.
  if ((fault & 0x20) && w->anState.load() == 1 && w->tuneState.load() == 0 &&
      (w->autoTuneMode.load() & 0x1E) == 0)
    AddErrore(w, 3);

  // 8. Protection tripped.
  if (s1 & 2) {
    AddErrore(w, 1);
  } else {
    DeleteErrore(w, 1);
    clearAckIfSet(w);
  }

  // 9. An acknowledged display is released when the latch bit is clear.
  if (!(s1 & 4)) clearAckIfSet(w);

  // 10. First transmission with the temperature log on: a fresh log.
  if (w->enableLogTemp == 1 && (s1 & 1) && w->logRemoved.load() == 0) {
    kzTrace("REMOVE file LOG \n");
    LogTempFunction(w, -1);
    LogTempFunction(w, 0);
    w->logRemoved = 1;
  }

  // 11. Powers from the raw readings.
  w->rawIn = uint16_t(decField(text + 4, 4));
  w->rawFwd = uint16_t(decField(text + 8, 4));
  w->rawRefl = uint16_t(decField(text + 12, 4));
  w->rawCurrent = uint16_t(decField(text + 16, 4));
  w->rawTemp1 = uint16_t(decField(text + 20, 4));
  w->rawTemp2 = uint16_t(decField(text + 24, 4));
  w->rawPeak = uint16_t(decField(text + 32, 4));
  float rin = w->rawIn, rfwd = w->rawFwd, rrefl = w->rawRefl;
  w->pwrIn = SearchK(w, 2) * rin * rin;
  float fwd = SearchK(w, 0) * rfwd * rfwd;
  w->pwrFwd = fwd;
  float refl = SearchK(w, 1) * rrefl * rrefl + SearchK(w, 3) * fwd;
  if (refl < 0) refl = 0;
  w->pwrRefl = refl;

  // 12. SWR.
  w->swr = CalcolaSWR(fwd, refl);

  // 13-14. Current and the smoothed temperatures.
  w->currentRaw = float(w->rawCurrent);
  float t = CalcolaTemp(w->rawTemp1);
  float old = w->temp1.load();
  w->temp1 = old == 0.0f ? t : (9 * old + t) / 10;
  t = CalcolaTemp(w->rawTemp2);
  old = w->temp2.load();
  w->temp2 = old == 0.0f ? t : (9 * old + t) / 10;

  // 15. Peak power.
  if (w->enablePwrPeak == 1) {
    float rp = w->rawPeak;
    float peak = SearchK(w, 0) * rp * rp;
    float limit = w->ampModel.load() == '1' ? 130.0f : 70.0f;
    w->pwrPeak = peak > limit ? limit : peak;
  }

  // 16. Fan and temperature supervision.
  searchPercentVentola(w);
  GestTemperatureFunction(w, 2, 0, 23, w->temp1.load(), w->maxTemperature);
  GestTemperatureFunction(w, 22, 21, 24, w->temp2.load(), w->maxTemperature2);

  // 17. What the link sends next.
  switch (w->tuneState.load()) {
    case 0: {
      int next = TakeNextCmd(w);
      linearProcessStatus = next >= 0 ? next : 8;
      break;
    }
    case 1:
      // One step of the auto-tune per status reply, then its network word.
      TuneTask(w);
      linearProcessStatus = 11;
      break;
    // 2 and 3 return to tuning only if nobody ended the tune meanwhile
    // (the tune key and the supervisor end it from their threads).
    case 2: {
      uint8_t seen = 2;
      w->tuneState.compare_exchange_strong(seen, 1);
      linearProcessStatus = 13;
      break;
    }
    case 3: {
      uint8_t seen = 3;
      w->tuneState.compare_exchange_strong(seen, 1);
      linearProcessStatus = 1;
      break;
    }
    default:
      // No such state: the link polls on as when idle.
      kzLog(KZ_LOG_ERR, "unknown tune state %d", int(w->tuneState.load()));
      w->tuneState = 0;
      linearProcessStatus = 8;
      break;
  }
  kzSleepMs(10);
}

// ---- dispatcher ----------------------------------------------------------------

static void done(works *w) {
  NextCmdPriority(w, 1);
  kzSleepMs(20);
}

static void retry(works *w) {
  GestRetrayCMD(w);
  kzSleepMs(20);
}

void DecodeCatCmd(works *w, const char *text, int count) {
  if (count < 3) return;
  int len = replyLen(text);
  if (len < 3) {
    // Nothing after the code but its ';' (or not even that).
    kzTrace("---------------------------------------cmd non riconosciuto:%s\n", text);
    retry(w);
    return;
  }
  char third = text[2];
  if (third == '?' || third == '!' || third == '&') {
    kzTrace("---------------------------------------CMD Errato:%s\n", text);
    retry(w);
    return;
  }
  char a = text[0], b = text[1];
  auto is = [&](const char *code) { return a == code[0] && b == code[1]; };

  if (is("ST")) {
    // A status reply shorter than its layout is incomplete: its missing
    // positions must not be taken from an earlier reply.
    if (len < ST_REPLY_MIN + 1) {
      kzLog(KZ_LOG_ERR, "incomplete status reply (%d characters): %s", len, text);
      kzTrace("---------------------------------------ST incompleto:%s\n", text);
      retry(w);
      return;
    }
    decodeStatus(w, text);
    return;
  }
  if (is("ER")) {
    decodeER(w, text);
    return;
  }
  if (is("VS")) {
    // The 7 characters after "VSM".
    int n = 0;
    if (len > 3)
      for (; n < 7 && text[3 + n] != ';' && text[3 + n] != 0; n++) w->fwVersion[n] = text[3 + n];
    w->fwVersion[n] = 0;
  } else if (is("TU")) {
    w->tuneReply = text[2] - '0';
  } else if (is("SA")) {
    // Only a real antenna number is taken; anything else would index the
    // tune memory out of range.
    if (text[2] >= '1' && text[2] <= '3')
      w->antenna = text[2] - '0' - 1;
    else
      kzLog(KZ_LOG_ERR, "bad antenna in reply %s", text);
  } else if (is("FM")) {
    unsigned long f = len > 3 ? decField(text + 3, 11) : 0;
    if (f > 0 && f <= 0x7FFFFFFFul) w->freqMeasured = int(f);
  } else if (is("FA") || is("MT") || is("FS") || is("AT") || is("MP") || is("TS") ||
             is("FN")) {
    // Confirmations: no change.
  } else if (is("CP")) {
    w->errorsMuted &= uint8_t(~1);
  } else if (is("AB")) {
    kzTrace(">> ByPass Ampl: %s\n", text);
    w->ampBypass = text[2] == '1' ? 1 : 0;
  } else if (is("AN")) {
    if (text[2] >= '0' && text[2] <= '9')
      w->anState = text[2] - '0';
    else
      kzLog(KZ_LOG_ERR, "bad AN state in reply %s", text);
    if (w->txKeyFlags.load() & 0x10) w->txKeyFlags |= 0x20;
  } else if (is("PS")) {
    kzTrace("Protezioni automatiche setted : %s\n", text);
  } else if (is("SF")) {
    kzTrace("Pilotaggio Relè : %s\n", text);
  } else if (is("SE")) {
    kzTrace("SERVICE ATTIVO!! : %s\n", text);
  } else if (is("MR")) {
    kzTrace("RESET MICRO: %s\n", text);
    if (text[2] == '0') w->microReset = 1;
    kzTrace("RESET MICRO ----------------------------------  %x\n", w->microReset.load());
  } else if (is("GM")) {
    kzTrace("Impostazioni Generic mode : %s\n", text);
  } else if (is("GS")) {
    int n = 0;
    bool stopped = false;
    for (; n < 10; n++) {
      char c = text[2 + n];
      if (c == ';' || c == 0) {
        stopped = true;
        break;
      }
      w->genericSettings[n] = c;
    }
    w->genericSettings[n] = 0;
    if (stopped) kzTrace("ERRORE!! Impostazioni Generali\n");
    kzTrace("Impostazioni Generali : %s (%s)\n", w->genericSettings, text);
  } else {
    kzTrace("---------------------------------------cmd non riconosciuto:%s\n", text);
    retry(w);
    return;
  }
  done(w);
}
