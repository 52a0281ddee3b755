// Simulated GPIO block of the panel board, with the panel's supervisor chip.
//
// A register model of the BCM2835 GPIO words the panel uses: function
// select (three bits per pin), output set and clear writing an output
// latch, the level register (the latch for output pins; for input pins the
// line: a pressed button pulls it low, otherwise the programmed pull gives
// its level, and a line with no pull reads low), and the pull-up/down
// control clocked into the pins by the pull clock register. Other words
// keep what is written to them.
//
// The supervisor chip sits on GPIO4 (data) and GPIO6 (clock) and knows only
// the pins. It shifts an 8-bit order in, most significant bit first, taking
// the data line on each falling edge of the clock, then answers with 12
// bits, most significant first: on each of the next 12 falling edges it
// puts one bit on the data line (seen while GPIO4 is an input) and lets
// the line go on the rising edge after the last. A clock that rests for
// more than 100 ms starts a new order, so an abandoned exchange does not
// leave the chip out of step.
//
// The chip answers every order with the value of its class (order & 3):
//   0  its version, 12 bits (0x012 by default; order 176 asks for it)
//   1  the 12 V rail                          (order 209)
//   2  the 15 V rail                          (order 210)
//   3  the amplifier supply                   (order 211)
// Readings are raw 8-bit converter values in the low byte, with the chip's
// status nibble (0 by default) above them. Orders of other meaning (power
// off, remote operation start and stop: 133, 149, 165) get the reading of
// their class and are recorded like every order.
//
// Converter scales (the chip's resistor dividers):
//   rails:  raw = volts x 255 / (3.3 x 6)           (1:6 divider, 3.3 V ref)
//   supply: raw = volts x 255 x 18 / (3.3 x k)      (k = 118 on the 60 W model,
//                                                    348 on the 120 W one)
// The defaults are 12.0 V, 15.0 V and a 13.8 V supply (60 W model): raw
// 155, 193 and 163.
//
// One block per process; every call may come from any thread.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/gpio.h"

extern const KzGpioBackend simGpioBackend;

// Back to power-on: every pin an input with no pull, latch clear, buttons
// released, the chip idle with its default version and readings, no
// orders recorded, open succeeding.
void simGpioReset();
// What the backend's open answers (0 = usable; tests try the failures).
void simGpioSetOpenResult(int rc);

// ---- buttons -------------------------------------------------------------
// Button n (1-6, on GPIO21 + n) pressed or released.
void simGpioSetButton(int n, bool pressed);

// ---- scripted presses ---------------------------------------------------------
// A press that the button thread cannot miss, however busy the machine: no
// wall-clock hold is guessed. Button n goes down and stays down until the
// thread reports (simGpioButtonTaken) that its debounce took the press, or
// for a long press that it dispatched the long press; the block lets the
// button go within that report, on the thread's own pass, so a presser
// that is not scheduled for a while cannot turn a tap into a long press.
// The call returns once the thread has taken the release (and dispatched
// a short press). The hold is then as short as the debounce allows: six
// passes of the thread, about 12 ms.
// Returns 0 when done; -1 when the thread took nothing for `timeoutMs`
// at one stage (the button is let go; a thread that does not run, or
// another button held meanwhile); -2 when cancelled.
enum { SIMGPIO_TAKEN_UP = 0, SIMGPIO_TAKEN_DOWN = 1, SIMGPIO_TAKEN_LONG = 2 };
int simGpioPress(int n, bool longPress, int timeoutMs);
// The button thread's report for button n (what: SIMGPIO_TAKEN_*, the
// same numbers as the button thread's own, so it can be its observer).
void simGpioButtonTaken(int n, int what);
// A waiting press returns -2 now, and so does every later one until
// simGpioReset (the unit is stopping).
void simGpioCancelPresses();

// ---- pin views -----------------------------------------------------------
int simGpioFunction(int pin);  // 0 input, 1 output, others alternate
int simGpioPull(int pin);      // 0 none, 1 down, 2 up
int simGpioLevel(int pin);     // as the level register reports it

// ---- supervisor chip -------------------------------------------------------
void simGpioSetVersion(uint16_t version12);
// Raw converter value of class 1 (12 V), 2 (15 V) or 3 (supply).
void simGpioSetRaw(int cls, uint8_t raw);
void simGpioSetStatusNibble(uint8_t nibble);
uint8_t simGpioRailRaw(double volts);
uint8_t simGpioSupplyRaw(double volts, int k = 118);
// Orders received, oldest first.
std::vector<int> simGpioOrders();
void simGpioClearOrders();
