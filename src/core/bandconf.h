// Band configuration files: "/opt/set/config.txt" (per band: power-detector
// calibration, protection thresholds, tune parameters) and
// "/opt/set/filter.txt" (frequency ranges of up to eight low-pass
// filters). Both are read once at start; the row in force follows freqHz.
#pragma once
#include <cstddef>

struct works;

void ReadConfigFile(works *w);
void LoadTabFiltri(works *w);
// Bodies of the two readers over text in memory (also the fuzz targets).
void parseConfigText(works *w, const char *text, size_t len);
void parseFilterText(works *w, const char *text, size_t len);

// Chooses the filter for freqHz; queues command 28 when it changes.
void SetFilterFromfreq(works *w);
// Chooses the band row for freqHz; queues command 22 when it changes.
void SearchCambioSoglie_TS(works *w);
// Coefficient for the status decoder: kind 0 forward, 1 reflected, 2 input
// (W per raw unit squared), 3 reflected-power correction.
float SearchK(works *w, int kind);
// Index of the row in force for a frequency: row i with
// row[i].low <= f < row[i+1].low (the last row only bounds the one before);
// -1 when none.
int ConfRowForFreq(const works *w, unsigned long freq);
