// The tuner network word; see tuneword.h.
//
// Sections:
//   1 bit layout        the positions of the capacitor, inductor and mode bits
//   2 codes             SetC, SetI and the three decoders
//   3 network mode      SetMode, ReadTnePar
//   4 interface type    SetModeWorkIDX
//
// Every writer of tuneWord here does a load-modify-store of the atomic word;
// the callers that may race (key handlers and the link's network commands)
// hold the tuner value semaphore around the change (tunesem.h). Nothing here
// allocates or blocks.
#include "tuner/tuneword.h"

#include <atomic>
#include <cstring>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "platform/log.h"

const char MODEwork[3][8] = {"Generic", "PLMKAV", " FT-817"};
char ModeTuneDebug[6] = "";

// ---------------------------------------------------------------------------
// 1 bit layout
// ---------------------------------------------------------------------------

namespace {

// Bit of tuneWord for code bit 0..8.
constexpr int kCapBit[9] = {15, 2, 4, 6, 14, 12, 10, 8, 20};
constexpr int kIndBit[9] = {1, 3, 5, 7, 13, 11, 9, 19, 21};

constexpr uint32_t kModeCL = 1u << 23;
constexpr uint32_t kModeLC = 1u << 18;
constexpr uint32_t kModeBypass = 1u << 16;
constexpr uint32_t kModeMask = kModeCL | kModeLC | kModeBypass;

constexpr uint32_t maskOf(const int (&bits)[9]) {
  uint32_t m = 0;
  for (int b : bits) m |= 1u << b;
  return m;
}

// Bits cleared by a capacitor write (the code bits and bit 22), and by an
// inductor write (the code bits and bit 17).
constexpr uint32_t kCapClear = maskOf(kCapBit) | (1u << 22);
constexpr uint32_t kIndClear = maskOf(kIndBit) | (1u << 17);

uint32_t spread(int code, const int (&bits)[9]) {
  uint32_t v = 0;
  for (int i = 0; i < 9; ++i)
    if (code & (1 << i)) v |= 1u << bits[i];
  return v;
}

int gather(uint32_t word, const int (&bits)[9]) {
  int code = 0;
  for (int i = 0; i < 9; ++i)
    if (word & (1u << bits[i])) code |= 1 << i;
  return code;
}

}  // namespace

// ---------------------------------------------------------------------------
// 2 codes
// ---------------------------------------------------------------------------

void SetC(works *w, int code) {
  uint32_t word = w->tuneWord.load();
  word = (word & ~kCapClear) | spread(code & 0x1FF, kCapBit);
  w->tuneWord = word;
}

void SetI(works *w, int code) {
  uint32_t word = w->tuneWord.load();
  word = (word & ~kIndClear) | spread(code & 0x1FF, kIndBit);
  w->tuneWord = word;
}

int DecodeCapacitaFromTuneval(uint32_t word) { return gather(word, kCapBit); }

int DecodeInduttanzaFromTuneval(uint32_t word) { return gather(word, kIndBit); }

int DecodeModoFromTuneval(uint32_t word) {
  uint32_t m = word & kModeMask;
  switch (m) {
    case 0:
      return 0;
    case kModeCL:
      return 1;
    case kModeLC:
      return 2;
    case kModeBypass:
      return 3;
    default:
      kzTrace("DecodeModoFromTuneval -> tune: 0x%x \n", m);
      return 0;
  }
}

// ---------------------------------------------------------------------------
// 3 network mode
// ---------------------------------------------------------------------------

void SetMode(works *w, int mode) {
  // Only the four network modes exist; anything else would leave tuneMode
  // naming a mode the word does not hold, so it changes nothing.
  if (mode < 0 || mode > 3) return;
  w->tuneMode = mode;
  uint32_t bit = mode == 1 ? kModeCL : mode == 2 ? kModeLC : kModeBypass;
  uint32_t word = w->tuneWord.load();
  w->tuneWord = (word & ~kModeMask) | bit;
  w->atuBypass = (mode == 1 || mode == 2) ? 0 : 1;
  // The manual-tune screen shows the mode label ("CL", " LC", "ByP") from
  // tuneMode.
  if (w->enableDebug) {
    const char *text = mode == 1 ? "CL" : mode == 2 ? "LC" : "BP";
    std::memcpy(ModeTuneDebug, text, std::strlen(text) + 1);
  }
}

void ReadTnePar(works *w) {
  uint32_t word = w->tuneWord.load();
  w->valC = DecodeCapacitaFromTuneval(word);
  w->valI = DecodeInduttanzaFromTuneval(word);
  w->tuneMode = DecodeModoFromTuneval(word);
  if (w->tuneMode == 0) SetMode(w, 3);
}

// ---------------------------------------------------------------------------
// 4 interface type
// ---------------------------------------------------------------------------

// The run-flag bytes are polled by the link threads; write them as atomics.
static char runByte(char &b) { return std::atomic_ref<char>(b).load(); }
static void setRunByte(char &b, char v) { std::atomic_ref<char>(b).store(v); }

void SetModeWorkIDX(works *w) {
  SetupRec *s = w->setup;
  if (s != nullptr) {
    switch (w->ModeWorkIdx.load()) {
      case 0:  // "Generic": the amplifier measures the frequency itself
        if (runByte(s->enaser) == '1') {
          setRunByte(s->enaser, '0');
          DeleteErrore(w, 8);
        }
        if (runByte(s->enaCatSer) == '1') setRunByte(s->enaCatSer, '0');
        break;
      case 1:  // the KAV transceiver over its serial link
        if (runByte(s->enaser) == '0') {
          setRunByte(s->enaser, '1');
          StartThreadKAV(w);
        }
        if (runByte(s->enaCatSer) == '1') setRunByte(s->enaCatSer, '0');
        break;
      case 2:  // FT-817 CAT
        if (runByte(s->enaCatSer) == '0') {
          setRunByte(s->enaCatSer, '1');
          StartThreadCATserial(w);
        }
        if (runByte(s->enaser) == '1') {
          setRunByte(s->enaser, '0');
          DeleteErrore(w, 8);
        }
        break;
      default:  // no such interface: the links stay as they are
        break;
    }
  }
  IncPNTIn_CMDLinear(35, w);
}
