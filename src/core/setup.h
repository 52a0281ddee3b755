// The setup file "/opt/set/setup.txt": every operator setting, one
// "Key: value" line each, 65 keys (the 64 of the first version and
// AutoTuneSearch after them). At start readSetup fills the text record
// and the numeric mirrors in works; afterwards the mirrors are the truth
// and writeSetup rebuilds the text fields from them and rewrites the file.
#pragma once
#include <cstddef>
#include <string>

struct works;

// The 291-byte text record, fields in their order; widths include the
// terminator. Flags are one character ('0'/'1', WebSocket also '2').
struct SetupRec {
  char EnableKeyb, EnableSpi, EnableTouch, DelayedTouch;
  char EnableRead, EnableWrite, EnableCAT;
  char enaser;  // serial-link start byte, no key in the file
  char EnableLinear, EnableTime, EnableGPIO, WebSocket;
  char Pitch[10];
  char Quality[4];
  char AudioIn[20];
  char EnableFFT;
  char EnableFFT2;  // second FFT byte, no key in the file
  char Enable1600;
  char Divide[3];
  char InChannels[2];
  char AudioCompress[10];
  char Multiplier[3];
  char AudioOut[20];
  char Server[16];
  char CatPort[13];
  char SerPort[13];
  char LinPort[13];
  char NumAntenna, EnablePwrPeak, TempMode, FreqSensIn;
  char FreqPeriodTime[5];
  char Attenuator, AttenuatorTune;
  char SWRescAutoTune[6];
  char ViewTimeStr, ViewTemp;
  char MaxTemperature[6];
  char MaxTemperature2[6];
  char AutoTuneMaxCicli, PowerUnits, SaveScreenIdx, AutoTuneMode;
  char MaxTempAllowed[6];
  char PSpar1[6], PSpar2[6], PSpar3[6], PSpar4[6];
  char Isteresi1, Isteresi2;
  char OffsetPlot[6];
  char enaCatSer;  // CAT-serial start byte, no key in the file
  char CatSerialPort[13];
  char TUNEenabled[4];
  char NumBanco[4];
  char GMpar1[6], GMpar2[6];
  char Peak_media[6], Peak_ValDec[6], Peak_TimeDec[6], Peak_Time[6];
  char MAXbank[4];
  char BTN_longpress_Time[6];
  char EnableDebug, EnableLOGTemp;
  char AudioBuffers[6];
};
static_assert(sizeof(SetupRec) == 291, "the setup record is 291 bytes");

// InitGlobalVar, the pass phrase, 290 of the 291 bytes set to '1', then the
// start texts.
void initSetup(works *w);
// initSetup, then read the file (a missing file is rebuilt with defaults).
void readSetup(works *w);
// Refresh the text fields from the mirrors and rewrite the file; returns 0.
int writeSetup(works *w);

// Parses setup text already in memory (the body of readSetup, without
// initSetup and without the file); used by readSetup and the fuzz target.
void parseSetupText(works *w, const char *text, size_t len);

// Sets one key from outside the file (a command line), as reading a line
// "KEY: VALUE" would, but only when the value is taken whole: the key is
// one of the file's, a flag is one character ('0' or '1', WebSocket also
// '2', a digit its mirror takes for the digit settings), a text fits its
// field, a number is written whole (an optional sign and digits) and its
// mirror takes it. Returns 0, or -1 with the reason in `why` (the record
// and the mirrors are then unchanged).
int setupSetKey(works *w, const char *key, const char *value, std::string &why);
