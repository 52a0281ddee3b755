// Service keyboard: a USB keyboard on the board gives the technician four
// keys (Print Screen: screenshot, F11: save the setup, F10: remote-service
// shell, F12: close the program). The thread looks for the keyboard until
// one opens, takes it for its own use so key presses do not reach the
// console, and acts on key-down events only.
#pragma once
#include <linux/input.h>

#include <cstddef>

struct works;

// Thread body: runs until the run flag drops (F12 drops it itself, and
// main then shuts the whole program down).
void keyb(works *w);

// Acts on one key-down of the service keyboard as the thread does; `code`
// is a linux/input.h key code (KEY_SYSRQ, KEY_F10, KEY_F11, KEY_F12; other
// codes do nothing). Returns true when the key closes the program (F12: the
// run flag is down).
bool KeybAct(works *w, int code);

// Runs the board's remote-service shell and waits for it to return.
void RemoteConnection(works *w);

// Puts input_event records together from the bytes read, which may come in
// any pieces (also the fuzz target's way in).
struct KeybReader {
  unsigned char rec[sizeof(input_event)];
  size_t fill;
};
// Takes bytes from `data` (n of them) until the record in hand is complete;
// returns how many it took. *code is the key code of a completed key-down
// record (type 1, value 1), else -1 (incomplete, a release, a repeat,
// another event type).
size_t KeybFeed(KeybReader *r, const unsigned char *data, size_t n, int *code);
