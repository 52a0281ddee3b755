// Band automation: when the operating frequency changes, apply the bank
// table row of the new frequency: antenna, operate or standby, attenuator,
// and either the tuner bypass or the stored tune of the frequency.
#pragma once

struct works;

void GestioneAntennaAutomatica(works *w);
void GestioneLoadTuneVal(works *w, int resetFlag);
