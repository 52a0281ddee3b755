// Simulated FT-817 on its CAT serial line.
//
// Sits on the master side of a PTY and knows only the FT-817's binary CAT
// frames as the amplifier uses them: a command is five bytes (four
// parameter bytes, then the opcode); to read-frequency-and-mode (opcode
// 0x03) it answers four bytes of packed decimal, the VFO frequency in
// 10 Hz units most significant first, then its mode byte. Other commands
// are counted and not answered. The VFO and the mode are set through the
// functions below (the simulator's transceiver controls, tests), as are a
// few faults of a real line: a late answer, a lost byte, non-decimal
// digits.
#pragma once
#include <cstddef>
#include <cstdint>

struct Ft817Sim;

// Starts the transceiver on a new PTY (VFO 14.200 MHz, mode 1); nullptr
// on failure.
Ft817Sim *ft817SimStart(uint32_t vfoHz = 14200000, uint8_t mode = 1);
void ft817SimStop(Ft817Sim *f);
// Path of the PTY slave, the program's CatSerialPort.
const char *ft817SimSlavePath(Ft817Sim *f);

// ---- operator controls ------------------------------------------------------
// The VFO frequency, Hz (answered in 10 Hz steps, up to 999 999 990 Hz).
void ft817SimSetVfo(Ft817Sim *f, uint32_t hz);
uint32_t ft817SimVfo(Ft817Sim *f);
// The mode byte of the answer (0 LSB, 1 USB, 2 CW, 3 CWR, 4 AM, 8 FM, ...).
void ft817SimSetMode(Ft817Sim *f, uint8_t mode);

// ---- faults (each for the answers from now on) --------------------------------
// Each answer waits `ms` before it is sent (0: at once).
void ft817SimSetDelay(Ft817Sim *f, int ms);
// The next `count` answers lose their third byte (four bytes go out).
void ft817SimDropByte(Ft817Sim *f, int count);
// The next `count` answers carry 0xA in the second byte's low digit.
void ft817SimBadDigits(Ft817Sim *f, int count);
// No answer at all while true.
void ft817SimSetSilent(Ft817Sim *f, bool silent);

// ---- what crossed the wire ------------------------------------------------------
// Read-frequency commands received, answered or not.
uint64_t ft817SimReads(Ft817Sim *f);
// Waits until `count` read-frequency commands have been received (or
// `timeoutMs` passed); returns the number received.
uint64_t ft817SimWaitReads(Ft817Sim *f, uint64_t count, int timeoutMs);
// Other commands (opcode not 0x03) received.
uint64_t ft817SimOthers(Ft817Sim *f);

// The five answer bytes for `hz` and `mode` (exposed for tests).
void ft817SimEncode(uint32_t hz, uint8_t mode, uint8_t out[5]);
