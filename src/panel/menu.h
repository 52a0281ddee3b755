// Settings menus: the flat list of 32 settings (menuPar), the key-label
// table of every screen (Novamenu), the editing rules of each setting and
// the value text shown beside it. Values live in works or in globals and
// reach setup.txt through writeSetup when an entry is confirmed.
#pragma once
#include <cstdint>
#include <mutex>

struct works;

enum { KZ_MENU_ENTRIES = 32, KZ_NOVAMENU_STATES = 16 };

struct MenuSubItem {
  char label[20];
  uint8_t kind;  // 0 editable (every entry)
  uint8_t flag;  // 1 address entry: "<" and ">" are shown
};

struct MenuEntry {
  int32_t number;   // shown before the title
  char title[21];   // "SCREEN SAVER TIMEOUT" needs all 20 characters
  MenuSubItem sub[10];
  int32_t subCount;  // 1 for every entry
};

// Key labels of one screen state: key n's first line is lbl[2(n-1)], its
// second line lbl[2n-1]; flags bit 0 underlines key 1, bit 5 key 6.
struct NovamenuEntry {
  char lbl[12][12];
  uint8_t flags;
};

// Label indices of key 1..6: its first and its second line.
constexpr int NovaLine1(int key) { return 2 * (key - 1); }
constexpr int NovaLine2(int key) { return 2 * key - 1; }
// Formats one label of Novamenu, cut to its 11 characters. The labels are
// written on the button thread and the supervisor's and drawn by the
// supervisor: every write and every read for drawing holds NovaLabelMut.
extern std::mutex NovaLabelMut;
void SetNovaLabel(int state, int lbl, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

extern MenuEntry menuPar[KZ_MENU_ENTRIES];
extern NovamenuEntry Novamenu[KZ_NOVAMENU_STATES];

// Screen-saver minutes and their labels, indexed by saveScreenIdx.
extern const int SaveScreen[5];
extern const char SaveScreenVal[5][8];
// (The auto-tune time-out labels SWRTimeout are in tuner/autotune.h.)
// The address being shown by LoadParameterMenu (octets and cursor), for the
// three-piece drawing of the menu band.
extern uint8_t LAN_vect[4];
extern int LAN_idx;
// Factory-reset confirmation ("Set Default").
extern uint8_t factoryConfirm;

// Fills menuPar, Novamenu (with the first run-time labels of states 0 and
// 8) and sets menuCount to 32. Called once by main.
void InitMenuNova(works *w);
// key 0 ENTER, 1 "-", 2 "+", 3 "<", 4 ">"; acts on entry menuIdx. 1 where a
// held key repeats, else 0.
int ModifyParameter(works *w, int key);
// key 1 octet - 1, 2 octet + 1 (both wrap 0..255), 3 cursor - 1, 4 cursor
// + 1 (both wrap 0..3); returns the new cursor.
int ModifyIP(int key, int cursor, uint8_t *octets);
// Value text of entry `index` into out (at least 32 bytes).
void LoadParameterMenu(works *w, char *out, int index, int sub);
// The plot's scale and offset as the menu leaves them, copied while no
// edit is under way (the supervisor draws while the button thread edits).
struct PlotScale {
  int refLevel, refPos, pointDiv;
  double offset;
};
PlotScale MenuPlotScale(const works *w);
