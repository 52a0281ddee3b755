// Auto-tune: a step-per-measurement search over the inductor and capacitor
// codes in the "CL" and "LC" networks for the lowest SWR, one step per
// status reply while the transmitter sends a carrier. A good result is
// stored in the tune memory.
#pragma once
#include <cstdint>

struct works;

struct TunePoint {
  float swr;
  float pwr;  // forward power, W
  int ind;
  int cap;
  uint32_t word;  // the network word
};

extern TunePoint tuneParam;          // point just measured (best after TuneEnd)
extern TunePoint miglioretuneParam;  // best point of the running tune
extern TunePoint vTuneParam[10];     // history, newest first
extern int cnttune;                  // measurements in this tune
extern int cnttunefine;              // fine steps in the current phase
extern const int SWRTimeoutCICLI[5];  // step limits 600 ... 100
extern const char SWRTimeout[5][8];   // "25sec" ... "5sec"

void GoTune(works *w);
void StartAutotune(works *w);
void TuneTask(works *w);
int TuneStep(works *w);
void CtrlNuovoTune();
void TuneEnd(works *w);
void Clr_vTuneParam(works *w);
void EscAutoTune(works *w, int save);
