// Maintenance actions: the good-start confirmation that removes the update
// marker "/opt/good" about 30 s after start, and the two update requests of
// the settings menu (amplifier firmware, user interface). The board's update
// scripts are outside the program; only their command lines are run, always
// through the command runner.
#pragma once

struct works;

// Thread body (started once at start-up, never joined): waits 30 s in 1 s
// steps, then remounts /opt/set writable, removes the marker and remounts
// it read-only. Ends early, running nothing, when the run flag drops.
void AggFWThread(works *w);

// Firmware update of the amplifier's micro-controller: queues amplifier
// command 30 ("MR1;"); the link then stops talking to the amplifier.
// Returns the queue result (30, or -1 when the ring is full).
int AggFwUpdate(works *w);

// User-interface update: runs the board's update script and returns its
// exit status.
int AggUiUpdate(works *w);
