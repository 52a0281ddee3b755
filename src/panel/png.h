// Background pictures: "%s.png" with works' imgName, relative to the
// working directory, decoded with libpng into the background buffer
// (toBack non-zero) or the drawing buffer (then shown at once). Only 8-bit
// RGBA (colour type 6) pictures no larger than the screen are taken;
// every failure is logged and leaves the buffers as they were. The
// background belongs to the thread that composes the screen: other threads
// ask for it by name (SetBackground, ScreenTakeRequest).
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
// Called by a thread that does not own the screen (below), it only asks
// for the picture: the owner loads it at the start of its next frame.
void SetBackground(works *w, const char *name);

// One thread composes the screen at a time: main during the start-up, the
// supervisor while it runs, main again for the closing screen once the
// supervisor's last frame is done. The owner's SetBackground loads at
// once; any other thread's becomes a request (the latest wins) that the
// owner carries out at the start of its next frame, before it copies the
// background (ScreenTakeRequest). Once the closing screen has begun no
// thread cycles any more and requests are dropped. Without an owner (the
// key dispatcher driven directly by a test) every load happens at once.
//
// The calling thread owns the screen from now on. With `closing` it takes
// the screen for the closing screen; without, it is refused (-1) once the
// closing screen has begun. Returns 0 when the screen is the caller's.
int ScreenOwnerTake(works *w, bool closing);
// The owner's last frame is done: nobody owns the screen and, since no
// thread will cycle again, requests are dropped from now on.
void ScreenOwnerEnd(works *w);
// The owner at the start of a frame: loads the background asked for, if
// any, and returns 1; 0 when none waits (one atomic read).
int ScreenTakeRequest(works *w);
// The decoder over a file that is already open (also the fuzz target):
// returns 0 when the picture was copied into `dest`.
int getPngFile(const char *name, FILE *f, FbScreen *fb, uint8_t *dest);
