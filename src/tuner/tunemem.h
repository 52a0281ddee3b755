// Tune memory: per antenna and bank, the network setting that matched the
// antenna in each frequency slot. The HF range is cut into fixed slots whose
// width depends on the segment (tabAtuStep); the three tables of the current
// bank are in works and mirrored in one text file per antenna and bank.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct works;
struct TuneVal;

// {start frequency Hz, slot width Hz}; the last row has width -1.
extern const int32_t tabAtuStep[23][2];

// Slot index of `freq`, with its segment's start and end frequency and
// first and end slot index (first + count).
int AtuIdxSearch(uint32_t freq, uint32_t *segStart, uint32_t *segEnd, int *first, int *end);
uint32_t AtuFreqfromIdx(int idx);

void SaveTuneValsuTabRam(TuneVal tv, int idx, int antenna, works *w);
TuneVal LoadTuneValFromTabRam(int idx, int antenna, works *w);
int SearchBestTune(works *w, int idx, int first, int end, int antenna);
int EsisteTuneValInTabRam(works *w, int idx, int first, int end, int antenna);
void LoadTuneFromMEM(works *w, int antenna);
void InsertTuneToMem(works *w, int bank, int antenna);

// File of antenna 0-2 of a bank ("/opt/set/atu_ant1_b1.txt" ...; bank 0 and
// banks above 19 use "/opt/set/atu_ant1.txt" ...), as a fixed path.
std::string AtuFileName(int bank, int antenna);
void LoadTabAtu(works *w, int bank, int antenna);
// Body of LoadTabAtu over text in memory (also the fuzz target).
// `fileName` names the file in the log and on the panel (nullptr: the
// antenna's bank-0 file name).
void parseTabAtuText(works *w, int antenna, const char *text, size_t len,
                     const char *fileName = nullptr);
void SaveTabAtu(works *w, int bank, int antenna);
// file number 0-2: tune file of antenna 1-3; 3: the bank-table file.
void DeleteFileConf(works *w, int bank, int fileNumber);
void LoadAllBankTable(works *w, int bank);
