// Front-panel buttons and the panel supervisor chip: the GPIO thread polls
// the six buttons every 2 ms (debounce, long press, accelerating repeat)
// and calls the key dispatcher on its own thread; it also drives three
// outputs and bit-bangs one-byte orders to the supervisor chip, storing its
// replies (version, 12 V, 15 V, amplifier supply) in panelReply.
#pragma once

struct works;

// The key dispatcher: key 1-6, longBits 0 for a short press (sent on
// release) or the pending long-press bits with this key's bit. Non-zero:
// repeat while held; 0: done until the release.
using KzKeyDispatcher = int (*)(works *w, int key, int longBits);
// The dispatcher the thread calls (the panel's DecodeTasto when it is in
// the build; tests install a recording one).
void GpioSetDispatcher(KzKeyDispatcher d);

// What the thread has taken from a button, reported on its own thread to
// an observer (the simulator, which holds a scripted press until the
// thread has seen it): the debounced press, a long-press dispatch, and the
// debounced release once its dispatch (if any) has returned.
enum { GPIO_KEY_UP = 0, GPIO_KEY_DOWN = 1, GPIO_KEY_LONG = 2 };
using KzKeyObserver = void (*)(int key, int what);
void GpioSetKeyObserver(KzKeyObserver o);  // nullptr: none

void GPIO(works *w);

// The thread's two halves, for stepping it one pass at a time.
// GpioStart opens the current GPIO backend, programs the pins and resets
// the thread's button and timing state; 0, or the backend's open result.
// GpioPass is one pass of the loop without its 2000 us pause.
int GpioStart(works *w);
void GpioPass(works *w);
