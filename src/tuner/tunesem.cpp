// Tuner value semaphore; see tunesem.h. A real mutex stands for the busy
// flag; semTuneval mirrors it for whoever wants to show or test it.
#include "tuner/tunesem.h"

#include <mutex>

#include "core/works.h"

static std::mutex gTunevalMut;

void WaitSemaforoTuneval(works *w) {
  gTunevalMut.lock();
  w->semTuneval = 1;
}

void StopSemaforoTuneval(works *w) {
  w->semTuneval = 0;
  gTunevalMut.unlock();
}
