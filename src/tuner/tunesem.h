// The tuner value semaphore: a mutex around every read-modify-write of the
// tuner network word (tuneWord, valC, valI, tuneMode). Held by the key
// handlers around their change and by the link commands that rewrite the
// word before sending it (load from memory, bypass, reset).
#pragma once

struct works;

void WaitSemaforoTuneval(works *w);
void StopSemaforoTuneval(works *w);
