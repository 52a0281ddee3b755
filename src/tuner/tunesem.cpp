// Tuner value semaphore; see tunesem.h.
#include "tuner/tunesem.h"

#include <mutex>

static std::mutex gTunevalMut;

void WaitSemaforoTuneval(works *) { gTunevalMut.lock(); }
void StopSemaforoTuneval(works *) { gTunevalMut.unlock(); }
