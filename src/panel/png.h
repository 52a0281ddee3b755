// Background pictures: "%s.png" with works' imgName, relative to the
// working directory, decoded with libpng into the background buffer
// (toBack non-zero) or the drawing buffer (then shown at once). Only 8-bit
// RGBA (colour type 6) pictures no larger than the screen are taken;
// every failure is logged and leaves the buffers as they were.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct works;
struct FbScreen;

void getPng(works *w, int toBack);
// imgName = name (cut to its 8 characters).
void SetImgName(works *w, const char *name);
// imgName = name, the picture decoded into the background buffer and
// copied into the drawing buffer; without a display only the name is set.
void SetBackground(works *w, const char *name);
// The decoder over a file that is already open (also the fuzz target):
// returns 0 when the picture was copied into `dest`.
int getPngFile(const char *name, FILE *f, FbScreen *fb, uint8_t *dest);
