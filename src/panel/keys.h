// Key dispatch and screen states: what each of the six soft keys does on
// each of the twelve screens (screenState 0-11). DecodeTasto runs on the
// button thread for every short press (on release) and every long press or
// repeat; it changes works, queues amplifier orders and starts tuner
// actions, and draws nothing but background pictures: the supervisor
// redraws labels and contents on its next cycle.
//
// Screen states: 0 main, 1 menu list, 2 editing a setting, 3 tune,
// 4 manual tuning, 5 link failure, 6 interface and bank, 7 bank-table
// editing, 8 save tuning values, 9 utilities, 10 copy bank, 11 reset bank.
#pragma once

struct works;

enum {
  KZ_SCR_MAIN = 0,
  KZ_SCR_MENU = 1,
  KZ_SCR_EDIT = 2,
  KZ_SCR_TUNE = 3,
  KZ_SCR_MANUAL = 4,
  KZ_SCR_LINKFAIL = 5,
  KZ_SCR_BANK = 6,
  KZ_SCR_BANKEDIT = 7,
  KZ_SCR_SAVETUNE = 8,
  KZ_SCR_UTIL = 9,
  KZ_SCR_COPY = 10,
  KZ_SCR_RESET = 11,
};

// key 1-6; longBits 0 for a short press, else the long-press bit set of
// the button thread (bit key - 1 set for this key). Non-zero only where a
// held key repeats.
int DecodeTasto(works *w, int key, int longBits);
// 1 when a long press of `key` has a second function on the current
// screen (main: keys 1 and 6; tune: key 6; manual tuning: key 1); held keys
// elsewhere either repeat or do nothing more.
int KeyHasLongPress(works *w, int key);
// 1 when the status overlay was open (it is closed now), else 0.
int EscFromStatus(works *w);
// Selects and loads the background of the current main-screen layout (and
// the plot geometry of layouts 4 and 5).
void SetWorkImg(works *w);
// Loads the background of the page now open: the bank screens' table, the
// status overlay, or the main-screen layout (after the screen saver).
void RestoreScreenImg(works *w);
// The manual-tuning labels (network mode, L and C codes); state 4 only.
void ImpostaLblManuale(works *w);
