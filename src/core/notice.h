// The panel notice: a short text that any thread can put on the main
// screen's message line for the operator (why a key did nothing, a file
// that could not be read, ...). One notice at a time: a new one replaces
// the old. The supervisor draws it while it lasts, below the key-driven
// messages of the line (the long-press hint and the refused save).
#pragma once

#include <cstddef>

struct works;

// Shows text (cut to 63 bytes) for the given seconds from now (monotonic).
void PanelNotice(works *w, const char *text, int seconds);
// Copies the notice in force into out (n bytes, n > 0); returns 1 when one
// is in force, 0 (and an empty out) when none is.
int PanelNoticeText(works *w, char *out, size_t n);
// Removes the notice in force, if any.
void PanelNoticeClear(works *w);
