// Main screen: everything the supervisor draws over the background picture
// on each cycle apart from the meters and the plot. LoadButtons is the
// entry: the key bar with its labels (from Novamenu, some rewritten here
// from works each cycle), then the contents of the current screen
// (DrawParameters: menu band, bank table or the two information bars), the
// error buttons, the status overlay and the transmit marker. Also the two
// readings the supervisor takes each cycle for these pages: the CPU/GPU
// temperatures ("my_temp") and the date-time text.
//
// Sections:
//   1 small helpers (bounded copies, colours)
//   2 run-time labels of Novamenu
//   3 key bar (LoadButtons)
//   4 menu band, bank table, information bars (DrawParameters)
//   5 error buttons (VerifyError, DrawError, DrawTastoErrore)
//   6 transmit marker and status overlay
//   7 readings: temperatures, date and time
//
// Design rule: this runs every 10 ms on the supervisor thread, so a frame
// allocates nothing: texts are built with snprintf into stack buffers.
// Fields of works and the Novamenu labels are written by other threads
// without locks; every text taken from them is copied with a bound before
// it is drawn, so a label caught mid-rewrite can never run past its field.
#include "panel/mainscreen.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "amplifier/decode.h"
#include "amplifier/errors.h"
#include "core/lan.h"
#include "core/notice.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/works.h"
#include "panel/fb.h"
#include "panel/keys.h"
#include "panel/menu.h"
#include "panel/text.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "tuner/banktab.h"
#include "tuner/tuneword.h"

// ===========================================================================
// 1 small helpers
// ===========================================================================

namespace {

constexpr int kOrR = 250, kOrG = 150, kOrB = 0;  // orange

// Copies at most n bytes of a fixed field into out (size > n) and ends it.
template <size_t N>
const char *bounded(char (&out)[N], const void *field, size_t n) {
  if (n >= N) n = N - 1;
  const char *src = static_cast<const char *>(field);
  size_t len = strnlen(src, n);
  memcpy(out, src, len);
  out[len] = '\0';
  return out;
}

void text(works *w, int font, int x, int y, const char *s, int r, int g, int b) {
  putString(font, x, y, s, r, g, b, w->fb);
}

void orange(works *w, int font, int x, int y, const char *s) {
  putString(font, x, y, s, kOrR, kOrG, kOrB, w->fb);
}

// Filled rectangle from horizontal lines: rows y0..y1, columns x0..x1 - 1.
void fill(works *w, int x0, int y0, int x1, int y1, int r, int g, int b) {
  fbFillRows(x0, y0, x1, y1, r, g, b, w->fb, 0);
}

// The attenuator label of step a ("0", "2", "3", "5", "StBy"); "" outside.
const char *attLabel(int a) { return (a >= 0 && a <= 4) ? AttVectStr[a] : ""; }

// The attenuator step the amplifier was last told: the operator's, or the
// one forced by the protection or a tune.
int attInAmplifier(works *w) {
  const int forced = w->attForced.load();
  return forced != 0 ? forced - 1 : w->attenuator.load();
}

// The screen state as a Novamenu index, or -1 when it has no labels.
int novaIndex(works *w) {
  int s = w->screenState.load();
  return (s >= 0 && s < KZ_NOVAMENU_STATES) ? s : -1;
}


float toShown(works *w, float celsius) {
  return w->tempMode == 1 ? ConversionCelsius_to_Fahrenheit(celsius) : celsius;
}

float amperes(works *w) { return w->currentRaw.load() / 4096.0f * 14.05f; }

}  // namespace

float ConversionCelsius_to_Fahrenheit(float celsius) { return celsius * 9.0f / 5.0f + 32.0f; }

int ReadingsStale(works *w) {
  if (w == nullptr) return 0;
  if (w->maintFlags.load() & 0x04) return 1;  // "MR1;": the micro is in its boot loader
  // The link polls "ST;" every few tens of milliseconds; a command and its
  // resends take at most about 4.5 s before the link gives up (error 4).
  constexpr int64_t kStaleMs = 3000;
  const int64_t last = w->lastStatusMs.load();
  return last != 0 && kzNowMs() - last > kStaleMs;
}

void GetLblInterface(int index, char *out) {
  if (out == nullptr || index < 0 || index > 2) return;
  std::lock_guard<std::mutex> lk(NovaLabelMut);  // out is a key label
  memcpy(out, MODEwork[index], sizeof MODEwork[index]);
}

// ===========================================================================
// 2 run-time labels (each acts only while its screen is current)
// ===========================================================================

void SetModeWorkLabel(works *w) {
  if (w->screenState.load() != KZ_SCR_MAIN) return;
  SetNovaLabel(KZ_SCR_MAIN, NovaLine2(1), "BANK%i", w->numBanco.load());
}

void SetAttenuatorLabel(works *w) {
  if (w->screenState.load() != KZ_SCR_MAIN) return;
  if (w->ampBypass.load() == 1)
    SetNovaLabel(KZ_SCR_MAIN, NovaLine2(2), "  StBy");
  else
    SetNovaLabel(KZ_SCR_MAIN, NovaLine2(2), "  %sdB", attLabel(attInAmplifier(w)));
}

void LabelByPassATU(works *w) {
  if (w->screenState.load() != KZ_SCR_TUNE) return;
  SetNovaLabel(KZ_SCR_TUNE, NovaLine2(5), "%s", w->atuBypass.load() ? "   Bpy" : "   On");
}

void LblMenuAntenna(works *w) {
  if (w->screenState.load() != KZ_SCR_BANK) return;
  GetLblInterface(w->ModeWorkIdx.load(), Novamenu[KZ_SCR_BANK].lbl[NovaLine2(2)]);
}

void LabelSAVEATU(works *w) {
  if (w->screenState.load() != KZ_SCR_SAVETUNE) return;
  SetNovaLabel(KZ_SCR_SAVETUNE, NovaLine2(2), "   %i", w->saveBank.load());
  SetNovaLabel(KZ_SCR_SAVETUNE, NovaLine2(3), "     %i", w->saveAnt.load() + 1);
}

void LblCOPY(works *w) {
  if (w->screenState.load() != KZ_SCR_COPY) return;
  SetNovaLabel(KZ_SCR_COPY, NovaLine2(2), "    %i", w->copySrc.load());
  SetNovaLabel(KZ_SCR_COPY, NovaLine2(3), "    %i", w->copyDst.load());
}

void LblRESET(works *w) {
  if (w->screenState.load() != KZ_SCR_RESET) return;
  int bank = w->resetBank.load();
  if (bank == w->maxBank.load())
    SetNovaLabel(KZ_SCR_RESET, NovaLine2(2), "  ALL");
  else
    SetNovaLabel(KZ_SCR_RESET, NovaLine2(2), "    %i", bank);
}

namespace {

// The labels that follow works in the current state, in drawing order.
void refreshLabels(works *w) {
  const int state = w->screenState.load();
  if (state == KZ_SCR_TUNE) {
    const char *t = (w->tuneEnabled & 0x80) ? "NotInst"
                    : w->tuneState.load() != 0 ? "    On"
                                               : "   Off";
    SetNovaLabel(KZ_SCR_TUNE, NovaLine2(4), "%s", t);
  }
  if (state == KZ_SCR_MAIN) {
    SetModeWorkLabel(w);
    SetAttenuatorLabel(w);
    SetNovaLabel(KZ_SCR_MAIN, NovaLine2(3), "     %d", w->antenna.load() + 1);
    SetNovaLabel(KZ_SCR_MAIN, NovaLine2(6), "    %d", w->workScreenType.load());
  }
  LblCOPY(w);
  LblRESET(w);
  LabelSAVEATU(w);
  ImpostaLblManuale(w);
  LabelByPassATU(w);
  LblMenuAntenna(w);
}

}  // namespace

// ===========================================================================
// 3 key bar
// ===========================================================================

namespace {

// Key n's label columns: first line, second line.
constexpr int kLblX[6][2] = {{20, 30}, {143, 153}, {276, 286}, {409, 419}, {542, 552}, {675, 695}};
constexpr int kLine1Y = 445, kLine2Y = 472;

void drawKeyBar(works *w, int state) {
  static const int bg[6][2] = {{0, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 799}};
  // Key by key (the keys do not overlap, so the order of the rows does not
  // matter): each a filled box, one entry of the frame log.
  for (const auto &s : bg) fbFillRows(s[0], 420, s[1], 479, 40, 40, 40, w->fb, 0);

  const uint8_t flags = state >= 0 ? Novamenu[state].flags : 0;
  if (flags & 0x01) fbFillRows(2, 478, 128, 479, kOrR, kOrG, kOrB, w->fb, 0);
  if (flags & 0x20) fbFillRows(667, 478, 797, 479, kOrR, kOrG, kOrB, w->fb, 0);

  static const int top[6][2] = {{1, 130}, {134, 263}, {267, 396}, {400, 530}, {533, 663}, {666, 799}};
  for (const auto &s : top) DrawHorizontalLine(s[0], 420, s[1], 120, 120, 120, w->fb, 0);
  for (int x : {130, 263, 396, 529, 662, 799}) DrawLine(x, 420, x, 479, 120, 120, 120, w->fb, 0);
}

void drawLabel(works *w, int font, int x, int y, const char *lbl) {
  char buf[13];
  {
    std::lock_guard<std::mutex> lk(NovaLabelMut);  // a key may be writing it
    bounded(buf, lbl, sizeof Novamenu[0].lbl[0]);
  }
  orange(w, font, x, y, buf);
}

void drawKeyLabels(works *w, int state) {
  if (ResetKeyShown(w)) {
    orange(w, 0, kLblX[0][0], kLine1Y, "RESET");
    orange(w, 1, kLblX[0][1], kLine2Y, " Error ");
  } else if (state >= 0) {
    drawLabel(w, 0, kLblX[0][0], kLine1Y, Novamenu[state].lbl[NovaLine1(1)]);
    drawLabel(w, 1, kLblX[0][1], kLine2Y, Novamenu[state].lbl[NovaLine2(1)]);
  }
  if (state < 0) return;

  // "<" and ">" only while an address is being edited.
  bool hideArrows = false;
  if (state == KZ_SCR_EDIT) {
    int idx = w->menuIdx.load(), sub = w->menuSub.load();
    hideArrows = idx < 0 || idx >= KZ_MENU_ENTRIES || sub < 0 || sub >= 10 ||
                 menuPar[idx].sub[sub].flag == 0;
  }
  bool hideEnter = false;
  if (state == KZ_SCR_MENU) {
    int idx = w->menuIdx.load(), sub = w->menuSub.load();
    hideEnter = idx >= 0 && idx < KZ_MENU_ENTRIES && sub >= 0 && sub < 10 &&
                menuPar[idx].sub[sub].kind == 1;
  }

  for (int key = 2; key <= 6; ++key) {
    if (hideArrows && (key == 2 || key == 3)) {
      orange(w, 0, key == 2 ? 143 : 286, kLine1Y, " ");
      orange(w, 1, key == 2 ? 143 : 286, kLine2Y, " ");
      continue;
    }
    if (hideEnter && key == 6) {
      orange(w, 0, 685, kLine1Y, " ");
      orange(w, 1, 715, kLine2Y, " ");
      continue;
    }
    drawLabel(w, 0, kLblX[key - 1][0], kLine1Y, Novamenu[state].lbl[NovaLine1(key)]);
    drawLabel(w, 1, kLblX[key - 1][1], kLine2Y, Novamenu[state].lbl[NovaLine2(key)]);
  }
}

}  // namespace

void LoadButtons(works *w, SerParameters par) {
  if (w == nullptr || w->fb == nullptr) return;
  const int state = novaIndex(w);
  drawKeyBar(w, state);
  refreshLabels(w);
  drawKeyLabels(w, state);
  DrawParameters(w);
  DrawError(w);
  ViewStatusInfo(w, par);
  ViewStatusTX(w);
}

// ===========================================================================
// 4 menu band, bank table, information bars
// ===========================================================================

namespace {

constexpr int kValueRight = 790;

int menuEntries(works *w) {
  int n = w->menuCount;
  return (n >= 1 && n <= KZ_MENU_ENTRIES) ? n : KZ_MENU_ENTRIES;
}

// Number, title and sub-item label of one entry, left of the value text
// that starts at valueLeft. The number ends at x 62 whatever its digits;
// the label sits at x 350, or after a long title; when the two do not fit
// before the value they are set in smaller fonts inside their columns.
void drawEntryTexts(works *w, int idx, int sub, int y, int font, int valueLeft, int r, int g,
                    int b) {
  const MenuEntry &e = menuPar[idx];
  char num[16], title[sizeof e.title + 1], label[sizeof e.sub[0].label + 1];
  snprintf(num, sizeof num, "%d -", int(e.number));
  text(w, font, 62 - getStringSpace(font, num), y, num, r, g, b);
  if (sub < 0 || sub >= 10) sub = 0;
  bounded(title, e.title, sizeof e.title);
  bounded(label, e.sub[sub].label, sizeof e.sub[sub].label);
  const int tw = getStringSpace(font, title), lw = getStringSpace(font, label);
  int labelX = 70 + tw + 14;
  if (labelX < 350) labelX = 350;
  if (labelX + lw <= valueLeft - 12) {
    text(w, font, 70, y, title, r, g, b);
    text(w, font, labelX, y, label, r, g, b);
    return;
  }
  const int fonts[] = {font, 10, 6};
  putStringBox(fonts, 3, 70, 340, y, 1, 0, title, r, g, b, w->fb);
  putStringBox(fonts, 3, 350, valueLeft - 12, y, 1, 0, label, r, g, b, w->fb);
}

void drawRight(works *w, int font, int y, const char *s, int r, int g, int b) {
  text(w, font, kValueRight - getStringSpace(font, s), y, s, r, g, b);
}

// The address under edit in three pieces: the octets before the cursor,
// the one under it (highlighted), the ones after; the whole ends at 790.
void drawAddress(works *w, int y) {
  uint8_t v[4];
  memcpy(v, LAN_vect, sizeof v);
  int cur = LAN_idx;
  if (cur < 0 || cur > 3) cur = 0;
  char before[20] = "", mid[8], after[20] = "";
  size_t n = 0;
  for (int i = 0; i < cur; ++i)
    n += snprintf(before + n, sizeof before - n, "%d.", int(v[i]));
  if (cur == 0) snprintf(before, sizeof before, " ");
  snprintf(mid, sizeof mid, "%d", int(v[cur]));
  n = 0;
  for (int i = cur + 1; i < 4; ++i)
    n += snprintf(after + n, sizeof after - n, ".%d", int(v[i]));
  if (cur == 3) snprintf(after, sizeof after, " ");
  const int w1 = getStringSpace(7, before), w2 = getStringSpace(7, mid),
            w3 = getStringSpace(7, after);
  const int x1 = kValueRight - (w1 + w2 + w3);
  orange(w, 7, x1, y, before);
  text(w, 7, x1 + w1, y, mid, 250, 250, 250);
  orange(w, 7, x1 + w1 + w2, y, after);
}

void drawMenuBand(works *w, int state) {
  const int dy = (w->statusFlags.load() & 1) ? 50 : 0;
  fill(w, 1, 285 + dy, 799, 364 + dy, 40, 40, 40);
  fill(w, 1, 311 + dy, 799, 339 + dy, 80, 80, 80);

  const int count = menuEntries(w);
  int idx = w->menuIdx.load();
  if (idx < 0 || idx >= count) idx = 0;
  const int prev = idx == 0 ? count - 1 : idx - 1;
  const int next = idx + 1 >= count ? 0 : idx + 1;

  char value[64];
  for (int e : {prev, next}) {
    const int y = (e == prev ? 305 : 360) + dy;
    value[0] = '\0';
    LoadParameterMenu(w, value, e, 0);
    drawRight(w, 11, y, value, kOrR, kOrG, kOrB);
    drawEntryTexts(w, e, 0, y, 1, kValueRight - getStringSpace(11, value), kOrR, kOrG, kOrB);
  }

  // The current entry last, so that an address leaves its octets and cursor
  // in LAN_vect / LAN_idx for the three-piece drawing.
  const int y = 335 + dy;
  const int sub = w->menuSub.load();
  value[0] = '\0';
  LoadParameterMenu(w, value, idx, sub);
  const int valueFont = state == KZ_SCR_MENU ? 0 : 7;
  if (state == KZ_SCR_MENU)
    drawRight(w, 0, y, value, 255, 255, 255);
  else if (idx >= 9 && idx <= 12)
    drawAddress(w, y);
  else
    drawRight(w, 7, y, value, 250, 250, 250);
  drawEntryTexts(w, idx, sub, y, 7, kValueRight - getStringSpace(valueFont, value), 255, 255,
                 255);
}

// A copy of the bank table in use, taken under tabMut: the button thread
// loads, edits and switches the table while the supervisor draws it. The
// lock is held for the copy only (11 rows), never while drawing.
int copyBankTable(works *w, BandRow (&out)[KZ_BAND_ROWS]) {
  std::lock_guard<std::recursive_mutex> tabLock(w->tabMut);
  int rows = w->bandCount;
  if (rows < 0) rows = 0;
  if (rows > KZ_BAND_ROWS) rows = KZ_BAND_ROWS;
  for (int i = 0; i < rows; ++i) out[i] = w->bandTab[i];
  return rows;
}

void drawBankTable(works *w) {
  char buf[96], iface[12] = "";
  GetLblInterface(w->ModeWorkIdx.load(), iface);
  snprintf(buf, sizeof buf, " Memory Table Bank %i - Interface: %s", w->numBanco.load(), iface);
  orange(w, 0, 100, 50, buf);
  text(w, 8, 50, 100, "N     Band     Pwr    Att(dB)  AmpEnable    Ant       Atu", 250, 250,
       250);

  BandRow tab[KZ_BAND_ROWS];
  const int rows = copyBankTable(w, tab);
  const int curRow = w->antTabRow, curCol = w->antTabCol;
  static const int colX[5] = {170, 250, 350, 470, 540};
  for (int i = 0; i < rows; ++i) {
    const BandRow &b = tab[i];
    const int y = 22 * i + 130;
    const bool cur = i == curRow;
    const int r = cur ? kOrR : 250, g = cur ? kOrG : 250, bl = cur ? kOrB : 250;
    snprintf(buf, sizeof buf, "%d", i + 1);
    text(w, 8, 50, y, buf, r, g, bl);
    char name[9];
    text(w, 8, 90, y, bounded(name, b.name, sizeof b.name), r, g, bl);
    for (int c = 0; c < 5; ++c) {
      switch (c) {
        case 0: snprintf(buf, sizeof buf, "%2.1f", double(b.pwr)); break;
        case 1: snprintf(buf, sizeof buf, "%s", attLabel(b.attIdx)); break;
        case 2: snprintf(buf, sizeof buf, "%s", b.ampEnable == 1 ? "On" : "Off"); break;
        case 3: snprintf(buf, sizeof buf, "%x", unsigned(b.ant)); break;
        default: snprintf(buf, sizeof buf, "%s", b.atuOff == 1 ? "Off" : "On"); break;
      }
      if (cur && c == curCol && w->screenState.load() == KZ_SCR_BANKEDIT)  // red while editing
        text(w, 7, colX[c], y, buf, 255, 0, 0);
      else
        text(w, 8, colX[c], y, buf, r, g, bl);
    }
  }
}

// The band of freqHz for the information bar.
void bandText(works *w, char *out, size_t n) {
  const uint32_t f = w->freqHz.load();
  if (f >= 26000000u && f <= 28000000u) {
    snprintf(out, n, "NOPA");
    return;
  }
  int found = -1;
  BandRow tab[KZ_BAND_ROWS];
  const int rows = copyBankTable(w, tab);
  for (int i = 0; i < rows; ++i) {
    const BandRow &b = tab[i];
    if (int64_t(b.lowHz) <= int64_t(f) && int64_t(f) <= int64_t(b.highHz)) found = i;
  }
  if (found < 0) {
    snprintf(out, n, "Band:---");
    return;
  }
  char name[9];
  snprintf(out, n, "Band:%s", bounded(name, tab[found].name, sizeof name - 1));
}

void drawMainBars(works *w) {
  char buf[96];
  // Message line.
  if (w->enableDebug) {
    snprintf(buf, sizeof buf, "PW %04d FWD %04d REFL %04d SWR %03.02f (%X)", int(w->rawIn),
             int(w->rawFwd), int(w->rawRefl), double(w->swr.load()),
             unsigned(w->panelReply[3].load()));
    text(w, 8, 5, 350, buf, 250, 250, 0);
    char mode[sizeof ModeTuneDebug + 1];
    snprintf(buf, sizeof buf, "freq %lu L%i,C%i,%s", (unsigned long)w->freqHz.load(), w->valI,
             w->valC, bounded(mode, ModeTuneDebug, sizeof ModeTuneDebug));
    text(w, 8, 500, 350, buf, 250, 250, 0);
  } else if (w->keyFlags.load() & 1) {
    text(w, 8, 5, 350, "Entering second function...", 250, 250, 250);
  } else if (w->keyFlags.load() & 2) {
    text(w, 8, 5, 350, "ATU ByPass not saved!", 250, 250, 250);
  } else if (PanelNoticeText(w, buf, sizeof buf)) {
    text(w, 8, 5, 350, buf, 250, 250, 250);
  }

  // Information bar.
  static const int box[7][3] = {{1, 110, 10},   {115, 260, 125}, {265, 400, 275}, {405, 520, 415},
                                {525, 600, 535}, {605, 710, 615}, {715, 799, 725}};
  for (const auto &b : box) DrawRect(w, b[0], 278, b[1], 303, 200, 200, 200);
  // Each text inside its box: font 8, or a smaller one where it is too wide.
  static const int infoFonts[] = {8, 10, 6};
  auto info = [&](int i, const char *s, int r = 0, int g = 200, int bl = 255) {
    putStringBox(infoFonts, 3, box[i][2], box[i][1] - 2, 298, 1, 0, s, r, g, bl, w->fb);
  };
  char iface[12] = "";
  GetLblInterface(w->ModeWorkIdx.load(), iface);
  info(0, iface);
  info(1, (w->ampStatus0.load() & 1) ? "Coax:RX+TX" : "  Coax:RTX");
  bandText(w, buf, sizeof buf);
  info(2, buf);
  if (w->ampBypass.load() == 1)
    snprintf(buf, sizeof buf, "Att %s", "StBy");
  else
    snprintf(buf, sizeof buf, "Att %sdB", attLabel(attInAmplifier(w)));
  info(3, buf);
  snprintf(buf, sizeof buf, "Ant %d", w->antenna.load() + 1);
  info(4, buf);
  info(5, w->atuBypass.load() ? "Atu: Bpy" : "Atu: On");
  if (w->remoteActive == 1) {
    if (w->remoteRestart.load() == 1)
      info(6, "Remote", 250, 0, 0);
    else
      info(6, "Remote");
  } else {
    info(6, "Local");
  }

  // Second bar: temperatures, supply and current.
  DrawRect(w, 1, 307, 400, 332, 100, 100, 100);
  DrawRect(w, 405, 307, 799, 332, 100, 100, 100);
  // Readings that are no longer current are not shown as numbers; the
  // supply voltage comes from the panel's own supervisor chip and stays.
  const bool stale = ReadingsStale(w);
  const char *unit = w->tempMode == 1 ? "°F" : "°C";
  if (stale)
    snprintf(buf, sizeof buf, "PA Temp1: ---%s      Temp2: ---%s", unit, unit);
  else
    snprintf(buf, sizeof buf, "PA Temp1: %04.01f%s      Temp2: %04.01f%s",
             double(toShown(w, w->temp1.load())), unit, double(toShown(w, w->temp2.load())),
             unit);
  text(w, 8, 10, 327, buf, 0, 200, 0);
  const float volts = CalvTensVadcAmp(w, w->panelReply[3].load());
  char amps[16];
  if (stale)
    snprintf(amps, sizeof amps, "--.-A");
  else
    snprintf(amps, sizeof amps, "%04.01fA", double(amperes(w)));
  if (w->ampModel.load() != '1' && volts > 20.0f)
    snprintf(buf, sizeof buf, "PA Voltage: -----       Current: %s", amps);
  else
    snprintf(buf, sizeof buf, "PA Voltage: %04.01fV       Current: %s", double(volts), amps);
  text(w, 8, 415, 327, buf, 0, 200, 0);
}

}  // namespace

void DrawParameters(works *w) {
  if (w == nullptr || w->fb == nullptr) return;
  if (w->linkError.load() > 0) return;  // the failure screen owns the display
  const int state = w->screenState.load();
  const uint8_t sf = w->statusFlags.load();
  if (state == KZ_SCR_MENU || state == KZ_SCR_EDIT) {
    drawMenuBand(w, state);
  } else if (w->maintFlags.load() & 0x04) {
    // On the message line, where the error buttons that the silent link
    // raises (row 370 on) cannot cover it.
    static const int fonts[] = {8, 10};
    putStringBox(fonts, 2, 20, 780, 350, 1, 1,
                 "FW UPDATE: please update fw with FlashMagic and then Reset HW", 250, 250, 250,
                 w->fb);
  } else if (sf & 0x02) {
    drawBankTable(w);
  } else if (sf & 0x01) {
    // the status overlay owns the screen
  } else {
    drawMainBars(w);
  }
}

// ===========================================================================
// 5 error buttons
// ===========================================================================

namespace {

// What one error button shows, copied out of the registry.
struct ErrShown {
  uint8_t kind;
  char line1[31];
  char line2[31];
};

// Copies the descriptor of `code` (caller holds errMut); false for a code
// outside the table.
bool copyDesc(works *w, int code, ErrShown &out) {
  if (code < 0 || code >= KZ_ERR_CODES) return false;
  const ErrDesc &d = w->errTable[code];
  out.kind = d.kind;
  bounded(out.line1, d.line1, sizeof d.line1);
  bounded(out.line2, d.line2, sizeof d.line2);
  return true;
}

void drawErrBox(works *w, int x0, int x1, const ErrShown &e) {
  if (e.kind & 1)
    fill(w, x0, 370, x1, 414, 255, 30, 0);
  else
    fill(w, x0, 370, x1, 414, kOrR, kOrG, kOrB);
  DrawLine(x0, 370, x0, 415, 255, 255, 255, w->fb, 0);
  DrawLine(x1, 370, x1, 415, 255, 255, 255, w->fb, 0);
  DrawHorizontalLine(x0 + 1, 370, x1, 255, 255, 255, w->fb, 0);
  DrawHorizontalLine(x0 + 1, 415, x1, 255, 255, 255, w->fb, 0);
  // Inside the button: font 10, or 6 for a line too wide (a relabelled
  // second line such as a fault name).
  static const int fonts[] = {10, 6};
  putStringBox(fonts, 2, x0 + 4, x1 - 2, 390, 1, 0, e.line1, 250, 250, 250, w->fb);
  putStringBox(fonts, 2, x0 + 4, x1 - 2, 410, 1, 0, e.line2, 250, 250, 250, w->fb);
}

constexpr int kErrBoxX[6][2] = {{5, 130},   {133, 263}, {266, 396},
                                {399, 529}, {532, 662}, {665, 795}};

}  // namespace

int VerifyError(works *w) {
  if (w == nullptr) return 0;
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  int n = w->errCount.load();
  if (n > KZ_ERR_CODES) n = KZ_ERR_CODES;
  for (int i = 0; i < n; ++i) {
    const int c = w->errList[i];
    if (c != 2 && c != 22 && c != 23 && c != 24) return 1;
  }
  return 0;
}

int ResetKeyShown(works *w) {
  if (w == nullptr || w->screenState.load() != KZ_SCR_MAIN) return 0;
  return VerifyError(w);
}

void DrawTastoErrore(works *w, int x0, int x1, int slot) {
  if (w == nullptr || w->fb == nullptr) return;
  ErrShown e;
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    if (slot < 0 || slot >= w->errCount.load() || slot >= KZ_ERR_CODES) return;
    if (!copyDesc(w, w->errList[slot], e)) return;
  }
  drawErrBox(w, x0, x1, e);
}

// The newest six errors over the keys, oldest on the left. The list is
// copied under errMut and drawn after it is released, so the amplifier link
// never waits on the text renderer.
void DrawError(works *w) {
  if (w == nullptr || w->fb == nullptr) return;
  if (w->statusFlags.load() != 0) return;
  ErrShown shown[6];
  bool ok[6] = {};
  int m = 0;
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    int n = w->errCount.load();
    if (n > KZ_ERR_CODES) n = KZ_ERR_CODES;
    if (n <= 0) return;
    m = n < 6 ? n : 6;
    for (int k = 0; k < m; ++k) ok[k] = copyDesc(w, w->errList[n - m + k], shown[k]);
  }
  for (int k = 0; k < m; ++k)
    if (ok[k]) drawErrBox(w, kErrBoxX[k][0], kErrBoxX[k][1], shown[k]);
}

// ===========================================================================
// 6 transmit marker and status overlay
// ===========================================================================

void ViewStatusTX(works *w) {
  if (w == nullptr || w->fb == nullptr) return;
  if (w->statusFlags.load() == 1 || (w->ampStatus1.load() & 1) == 0) return;
  if (ReadingsStale(w)) return;  // the last transmit state is no longer known
  // Between the meters; on the bank screens at the right end of the title
  // band, over the plot layouts above the plot beside the frequency, so
  // that it covers no table row and no part of the spectrum.
  int x0 = 375, y0 = 175;
  const int layout = w->workScreenType.load();
  if (w->statusFlags.load() & 2)
    x0 = 725, y0 = 22;
  else if (layout == 4 || layout == 5)
    x0 = 560, y0 = 22;
  fill(w, x0, y0, x0 + 55, y0 + 34, 250, 0, 0);
  text(w, 8, x0 + 15, y0 + 25, "TX", 255, 255, 255);
}

void ViewStatusInfo(works *w, const SerParameters &par) {
  if (w == nullptr || w->fb == nullptr) return;
  if (w->statusFlags.load() != 1) return;

  // The overlay shows the transceiver link's readings: make sure it runs.
  char run = 0;
  if (w->setup) {
    std::atomic_ref<char> enaser(w->setup->enaser);
    if (enaser.load() == '0') {
      enaser.store('1');
      StartThreadKAV(w);
    }
    run = enaser.load();
  }

  auto head = [&](int y, const char *s) { text(w, 8, 5, y, s, 255, 255, 255); };
  // A value that does not fit in font 8 up to the screen's edge is set in
  // a smaller font.
  static const int valFonts[] = {8, 10, 6};
  auto val = [&](int y, const char *s) {
    putStringBox(valFonts, 3, 180, 795, y, 1, 0, s, 255, 255, 255, w->fb);
  };
  char buf[160], a[33], b[33], c[33];

  head(110, "VERSION");
  snprintf(buf, sizeof buf, "SW ver. %s, FW ver. %s", bounded(a, w->swVersion, sizeof w->swVersion),
           bounded(b, w->fwVersion, sizeof w->fwVersion));
  val(110, buf);

  head(132, "SN");
  const uint8_t region = w->ampRegion.load(), model = w->ampModel.load();
  snprintf(buf, sizeof buf, "%s (%s), TYPE: %s, MAXPOWER: %s",
           bounded(a, w->ampSerial, sizeof w->ampSerial),
           bounded(b, w->ampSerial2, sizeof w->ampSerial2),
           region == '0' ? "EU" : region == '1' ? "USA" : "",
           model == '0' ? "60W" : model == '1' ? "120W" : "");
  val(132, buf);

  const bool stale = ReadingsStale(w);
  head(154, "POWER");
  if (stale)
    snprintf(buf, sizeof buf, "FWD:---, RFL:--- , PW:---, SWR:---");
  else
    snprintf(buf, sizeof buf, "FWD:%02.01f, RFL:%02.01f , PW:%02.01f, SWR:%02.01f",
             double(w->pwrFwd.load()), double(w->pwrRefl.load()), double(w->pwrIn.load()),
             double(w->swr.load()));
  val(154, buf);

  head(176, "FREQUENCY");
  const long freq = run == '1' ? long(w->freqHz.load()) : long(w->freqMeasured.load());
  snprintf(buf, sizeof buf, "%ldHz(%ld)", freq, long(par.curFreq));
  val(176, buf);

  head(198, "TEMPERATURE");
  const bool fahr = w->tempMode == 1;
  const char *unit = fahr ? "°F" : "°C";
  if (stale)
    snprintf(buf, sizeof buf, "Current:---A (---), Tbrd:---%s, Thsk:---%s", unit, unit);
  else
    snprintf(buf, sizeof buf, "Current:%05.01fA (%05.01f), Tbrd:%04.02f%s, Thsk:%04.02f%s",
             double(amperes(w)), double(w->currentRaw.load()),
             double(toShown(w, w->temp1.load())), unit, double(toShown(w, w->temp2.load())), unit);
  val(198, buf);
  if (fahr) {
    snprintf(buf, sizeof buf, "CPU:%4.01f°F, GPU:%4.01f°F", double(toShown(w, w->cpuTemp.load())),
             double(toShown(w, w->gpuTemp.load())));
    val(220, buf);
    snprintf(buf, sizeof buf, "Set Point Alarm %4.01f°F", double(toShown(w, w->maxTemperature)));
  } else {
    snprintf(buf, sizeof buf, "CPU:%2.01f°C, GPU:%2.01f°C", double(w->cpuTemp.load()),
             double(w->gpuTemp.load()));
    val(220, buf);
    snprintf(buf, sizeof buf, "Set Point Alarm %04.02f°C", double(w->maxTemperature));
  }
  val(242, buf);

  head(264, "LAN");
  snprintf(buf, sizeof buf, "IP:%s, NetMask:%s ", bounded(a, IP, sizeof IP),
           bounded(b, NetMask, sizeof NetMask));
  val(264, buf);
  snprintf(buf, sizeof buf, "Gateway:%s, DNS:%s ", bounded(a, Gateway, sizeof Gateway),
           bounded(c, DNS, sizeof DNS));
  val(286, buf);

  head(308, "STATUS");
  snprintf(buf, sizeof buf, "State 0x%02x 0x%02x,ES:%d,ER:%d", unsigned(w->ampStatus0.load()),
           unsigned(w->ampStatus1.load()), w->retryTotal.load(), w->restartCount.load());
  val(308, buf);
  val(330, ExistError(w, 8) ? "No EXT IO data" : "EXT IO connected");

  head(352, "AMPL");
  snprintf(buf, sizeof buf, "ver. %x, V12: %02.01fV, V15: %02.01fV, Vamp: %02.01fV",
           unsigned(w->panelReply[0].load()), double(CalvTensVadcAmp(w, w->panelReply[1].load())),
           double(CalvTensVadcAmp(w, w->panelReply[2].load())),
           double(CalvTensVadcAmp(w, w->panelReply[3].load())));
  val(352, buf);

  if (w->screenState.load() == KZ_SCR_MAIN)
    text(w, 8, 300, 400, bounded(a, w->dateTimeStr, sizeof w->dateTimeStr), 255, 255, 255);
}

// ===========================================================================
// 7 readings
// ===========================================================================

namespace {

// Decimal value at the start of s (leading blanks allowed); false when no
// number is there.
bool parseFloat(const char *s, float &out) {
  char *end = nullptr;
  float v = strtof(s, &end);
  if (end == s || !std::isfinite(v)) return false;  // "nan", "inf": no reading
  out = v;
  return true;
}

}  // namespace

// The board's "my_temp" prints the CPU temperature on its first line and
// the GPU temperature in characters 5 to 8 of its second ("temp=45.1'C").
// A line that holds no number leaves its reading as it was.
void ReadCPUTemp(works *w) {
  if (w == nullptr) return;
  // Kept between calls so that the per-cycle reading reuses its buffer.
  thread_local std::string out;
  out.clear();
  if (kzRunCommandRead("my_temp", out) != 0) {
    if (!kzCmdIsRecorder()) {
      kzLog(KZ_LOG_ERR, "ReadCPUTemp: cannot run my_temp");
      exit(1);
    }
    return;
  }
  size_t pos = 0;
  for (int line = 0; line < 2 && pos < out.size(); ++line) {
    size_t nl = out.find('\n', pos);
    size_t len = (nl == std::string::npos ? out.size() : nl) - pos;
    char buf[32];
    if (len > sizeof buf - 1) len = sizeof buf - 1;
    memcpy(buf, out.data() + pos, len);
    buf[len] = '\0';
    float v;
    if (line == 0) {
      if (parseFloat(buf, v)) w->cpuTemp = v;
    } else if (len > 5) {
      char part[5];
      bounded(part, buf + 5, 4);
      if (parseFloat(part, v)) w->gpuTemp = v;
    }
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
}

void ReadDataOra(works *w) {
  if (w == nullptr) return;
  // The last second written and the record it went to (only the supervisor
  // thread calls this).
  static long long lastSecond = -1;
  static const works *lastWorks = nullptr;
  const time_t now = time(nullptr);
  // A record without a date yet always gets one (a new record may sit
  // where the last one was).
  if ((long long)now == lastSecond && w == lastWorks && w->dateTimeStr[0] != 0) return;
  lastSecond = (long long)now;
  lastWorks = w;
  struct tm tmv;
  if (localtime_r(&now, &tmv) == nullptr) return;
  char buf[sizeof w->dateTimeStr];
  if (strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv) == 0) return;
  memcpy(w->dateTimeStr, buf, sizeof buf);
}
