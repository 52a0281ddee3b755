// CAT links of the transceiver side. VerifyCAT searches the transceiver's
// own text CAT port among "/dev/VORNCAT*" (asking "DT;", expecting
// "DT001;"); the network CAT link and the remote readiness check use it.
#pragma once

struct works;

// 0 and catFD set when a transceiver CAT port answers, else -1.
// The search is not part of this build: it logs so and answers -1.
int VerifyCAT(works *w);
