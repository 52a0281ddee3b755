// The settings partition "/opt/set" is mounted read-only; every file under
// it is written only between the two remount commands below, which go
// through the command runner. Each save is whole-file and atomic
// (platform/files.h).
#pragma once
#include <string>

// Runs "mount -o remount defaults,rw /opt/set". On failure logs
// "can't mount rw /opt/set/ error %d" (errno) at error level, also on
// standard error when `alsoTrace`, and returns -1; else 0.
int OptSetRemountRw(bool alsoTrace = false);

// Runs "mount -v -n -o remount -r /opt/set"; on failure logs
// "can't mount ro /opt/set/ error %d". Returns 0 or -1.
int OptSetRemountRo();

// Remount rw, atomic save of `data` to the fixed path (mapped under the
// root), remount ro. Returns 0, -1 when the remount failed (nothing
// written), -2 when the save failed (old file kept, partition remounted ro).
// `alsoTrace` puts the remount-rw failure on standard error too.
int OptSetSaveFile(const char *fixedPath, const std::string &data, bool alsoTrace = false);

struct works;

// Tells the operator, once per file and run, that the settings file `name`
// (a base name such as "filter.txt") is damaged or could not be read: the
// panel's message line names it, with the other files reported in this
// run, for a minute. The reader logs the details.
void OptSetFileDamaged(works *w, const char *name);

// Removes what a save cut by a power loss left behind: the program's own
// temporary files in /opt/set ("setup.txt.tmp", "atu_ant1_b2.txt.tmp",
// "antenna_b2.txt.tmp", ...), between the two remount commands (run only
// when there is one). Called once at start. Returns the number removed.
int OptSetRemoveStaleTemps();
