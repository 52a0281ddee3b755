// Bank table: per band of the current bank, the antenna, tuner bypass,
// operate or standby, input attenuator and a power figure, plus the
// transceiver interface the bank works with ("!Gen", "!Kav", "!817").
// Files "/opt/set/antenna_b1.txt" .. "/opt/set/antenna_b19.txt", bank 0 and
// other numbers "/opt/set/antenna.txt".
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct works;

// Attenuator labels: 0, 2, 3, 5 dB and standby.
extern const char AttVectStr[5][8];

std::string BankTabFileName(int bank);
void InitTabAntenna(works *w, int keepSettings);
int LoadTabConfig(works *w, int bank);
// Body of LoadTabConfig over text in memory (also the fuzz target);
// returns the interface type.
// `fileName` names the file in the log and on the panel (nullptr:
// "antenna.txt").
int parseTabConfigText(works *w, const char *text, size_t len, const char *fileName = nullptr);
void SaveTabConfig(works *w, int bank);
void SaveToBank(works *w, int bank, int antenna);
// Edits the field under the cursors antTabRow / antTabCol; down 0 the
// increase key, 1 the decrease key.
void ModifytabAntenna(works *w, int down);
// The first row of the table in use whose edges hold `freqHz` (both
// included), or -1. The caller holds tabMut. Cost: at most 11 rows.
int BankRowOfFreq(const works *w, int64_t freqHz);
void ChangeBanco(works *w);
void ChangeInterfaceBanco(works *w);
