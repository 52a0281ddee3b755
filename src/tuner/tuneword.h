// The tuner network word: the complete relay state of the L network in one
// 32-bit word (tuneWord), sent to the amplifier as "MT1%08X;". Capacitor
// code C0-C8 on bits 15, 2, 4, 6, 14, 12, 10, 8, 20; inductor code L0-L8 on
// bits 1, 3, 5, 7, 13, 11, 9, 19, 21; mode bits 23 "CL", 18 "LC", 16
// bypass. Also the switch of the interface type (SetModeWorkIDX).
#pragma once
#include <cstdint>

struct works;

// Interface-type labels for ModeWorkIdx 0, 1, 2.
extern const char MODEwork[3][8];
// Mode text of the debug line ("CL", "LC", "BP").
extern char ModeTuneDebug[6];

void SetC(works *w, int code);
void SetI(works *w, int code);
int DecodeCapacitaFromTuneval(uint32_t word);
int DecodeInduttanzaFromTuneval(uint32_t word);
int DecodeModoFromTuneval(uint32_t word);
void SetMode(works *w, int mode);
void ReadTnePar(works *w);
void SetModeWorkIDX(works *w);
