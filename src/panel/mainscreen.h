// Main screen: everything on the panel that is not the background picture
// or the meters and plot: the bar of six key labels, the information bars,
// the menu band, the bank-table screen, the error buttons, the transmit
// marker and the status overlay. LoadButtons draws into the drawing buffer
// between the supervisor's fbSetBack and fbRealize; it never shows a frame.
#pragma once
#include "radio/serparams.h"

struct works;

void LoadButtons(works *w, SerParameters par);
void DrawParameters(works *w);
void ViewStatusInfo(works *w, const SerParameters &par);
void ViewStatusTX(works *w);
void DrawError(works *w);
void DrawTastoErrore(works *w, int x0, int x1, int slot);
// True when the error list holds a code other than 2, 22, 23 and 24.
int VerifyError(works *w);
// True when key 1 is the error reset key ("RESET" / " Error "): on the main
// screen only, while VerifyError holds. On every other screen key 1 keeps
// its way back, so an alarm that persists never locks the operator in.
int ResetKeyShown(works *w);
float ConversionCelsius_to_Fahrenheit(float celsius);
// True while the amplifier's readings (powers, SWR, current, temperatures,
// transmit state) are not current: a firmware update was started, or the
// link has had no status reply for 3 s after having had one. The panel
// then shows the needles at rest, "---" for the values and no TX marker.
int ReadingsStale(works *w);
// CPU and GPU temperatures from "my_temp" (through the command runner).
void ReadCPUTemp(works *w);
// dateTimeStr, at most once per wall-clock second.
void ReadDataOra(works *w);
// Copies MODEwork[index] into out (at least 8 bytes); other indices: nothing.
void GetLblInterface(int index, char *out);

// Run-time labels of Novamenu; each acts only in its own screen state.
void SetModeWorkLabel(works *w);
void SetAttenuatorLabel(works *w);
void LabelByPassATU(works *w);
void LblMenuAntenna(works *w);
void LabelSAVEATU(works *w);
void LblCOPY(works *w);
void LblRESET(works *w);
