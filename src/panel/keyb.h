// Service keyboard: a USB keyboard on the board gives the technician four
// keys (Print Screen: screenshot, F11: save the setup, F10: remote-service
// shell, F12: close the program). The thread looks for the keyboard until
// one opens, takes it for its own use so key presses do not reach the
// console, and acts on key-down events only.
#pragma once

struct works;

// Thread body: runs until the run flag drops (F12 drops it itself, and
// main then shuts the whole program down).
void keyb(works *w);

// Runs the board's remote-service shell and waits for it to return.
void RemoteConnection(works *w);
