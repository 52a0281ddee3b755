// Start values of the state record and the globals kept for code without a
// works argument (meters, peak hold, long press, tuner step).
//
// InitGlobalVar runs twice at start: once from main right after the record
// is zeroed, and once more from initSetup before the setup file is read.
// It only writes the fields it lists, so everything else keeps its value.
// linearProcessStatus belongs to the amplifier link and is defined there.
#include "core/works.h"

works *staticworks = nullptr;

int number_ofStep_meter_FWD = 0;
int number_ofStep_meter_REFL = 0;
int number_ofStep_meter_SWR = 0;
int number_ofStep_meter_PW = 0;
double TIME_LONG_PRESS = 0.0;  // seconds
int fattoremedia = 0;
double PeakDecrement = 0.0;
int PeakDecrementTime = 0;
int TimerPeakSec = 0;
int StepTune1 = 0;  // set to 8 by main

void InitGlobalVar(works *w) {
  staticworks = w;

  // run control and links
  w->running = 1;
  w->ampBypass = 1;
  w->serFD = -1;
  w->timerPeriod = 10000;  // microseconds

  // radio state
  w->freqHz = 14070000;
  w->lastFreqHz = 14070000;
  w->plotSpan = 160000;
  w->freqPeriodTime = 10;

  // protection thresholds until the band table says otherwise
  w->tsThreshold[0] = 4095;
  w->tsThreshold[1] = 4095;
  w->tsThreshold[2] = 1500;
  w->tsThreshold[3] = 3700;
  w->tsRow = -1;

  w->panelCmd = 176;

  // front panel: the first main-screen layout, the background to load
  w->workScreenType = 1;
  w->backReload = 1;

  // thermal and power-supply settings
  w->maxTemperature = 60.0f;
  w->maxTemperature2 = 80.0f;
  w->maxTempAllowed = 60;
  w->psPar[0] = 1;
  w->psPar[1] = 1000;
  w->gmPar[0] = 2;
  w->gmPar[1] = 100;
  w->isteresi1 = 1;
  w->isteresi2 = 1;

  // errors are ignored until the amplifier answers "CP"
  w->errorsMuted = 1;

  w->ModeWorkIdx = -1;
  w->bandRowIdx = -1;
  w->numBanco = 1;
  w->maxBank = 20;

  // not reported by the amplifier yet
  w->ampRegion = 255;
  w->ampModel = 255;

  // audio and remote link
  w->frameLen = 240;
  w->audioFormat = 2;  // S16_LE
  w->sampleRate = 48000;
  w->tcpPort = 6666;
  w->audioBuffers = 20;

  // panel globals
  TIME_LONG_PRESS = 0.5;
  number_ofStep_meter_FWD = 60;
  number_ofStep_meter_REFL = 60;
  number_ofStep_meter_SWR = 60;
  number_ofStep_meter_PW = 60;
  fattoremedia = 2;
  PeakDecrement = 1.0;
  PeakDecrementTime = 1;
  TimerPeakSec = 3000;
}
