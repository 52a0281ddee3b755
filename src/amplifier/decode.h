// Reply decoding: one received reply of the amplifier becomes changes of
// works; the status reply "ST" yields powers, SWR, current, temperatures,
// fault bits, bypass and attenuator state and drives the error registry,
// the thermal logic and, during an auto-tune, the tuner step. The decoder
// also chooses what the link sends next.
#pragma once

struct works;

enum { ST_REPLY_MIN = 36 };  // a status reply has positions 0..35 before ';'

// `text` starts at the reply code; `count` counts the received characters
// including the two checksum characters.
void DecodeCatCmd(works *w, const char *text, int count);
int charToInt(char c);
void AttivaDisattivaProtezione(works *w, int on);
float CalvTensVadcAmp(works *w, int raw);
// SWR from forward and reflected power, limited to 100.
float CalcolaSWR(float fwd, float refl);
