// The second auto-tune search ("Fast", setup key AutoTuneSearch 1): a coarse
// look at both networks followed by a shrinking pattern search around the
// best points. It runs inside the auto-tune step machine (autotune.h): the
// same start, carrier wait, booking (TuneStep), target, step limit, abort,
// protection handling and storing; only the choice of the next network word
// is its own. The design is stated at the top of autotune_fast.cpp.
#pragma once

struct works;

// tuneStep of the machine while this search runs (the walk uses 0..12).
enum { KZ_TUNE_STEP_FAST = 100 };

// Fresh state for a new search; called by the machine when the carrier is
// there, right before the first step. The word on the relays ("CL", both
// codes 0) is the first point measured.
void FastTuneStart(works *w);
// One step: books the point just measured and leaves the next word in
// tuneWord, or ends the tune on the best point (stored when good).
void FastTuneStep(works *w);
