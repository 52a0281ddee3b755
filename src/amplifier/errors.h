// Error and warning registry: every fault or warning is one numbered code
// (0..24) in a short list in works, in the order raised. The main screen
// shows the list as buttons; the reset key runs the recovery here, which
// queues the amplifier's reset commands and clears what can be cleared.
#pragma once

struct works;

// Fills errTable with the kinds and texts of codes 0..24.
void InitErrTable(works *w);

void AddErrore(works *w, int code);
void DeleteErrore(works *w, int code);
int ExistError(works *w, int code);
int ExistAnError(works *w);
// Sets the second text line of a code (codes 4 and 15 are relabelled).
void SetErrLine2(works *w, int code, const char *text);

int GPIO_Errori(works *w);
void GestErrore(works *w);
void GestErroreRemote(works *w);
void GestErroreSerial(works *w);
void VerificaEsistonoErrori(works *w);
void ResetBiasCmd(works *w);
void ClearDisplayError(works *w);
void VerifyWarningTemporanei(works *w);
void VerifyWarningTemporaneiDopoResetBias(works *w);
