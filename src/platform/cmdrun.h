// Command runner: the one way the program runs a shell command (remount,
// rm, ifdown/ifup, reboot, fbgrab, lsusb pipelines, my_temp, the update
// scripts). On the board the backend calls system() and popen(). In tests
// and in the simulator the recorder backend keeps every command line and
// answers from a script; none of the board's commands ever runs there.
#pragma once
#include <string>
#include <vector>

struct KzCmdBackend {
  // Runs a command, returns its exit status as system() would (0 = success,
  // -1 = could not be started).
  int (*run)(const char *cmdLine);
  // Runs a command and collects its standard output; returns 0 when the
  // command could be started (output filled), -1 otherwise.
  int (*runRead)(const char *cmdLine, std::string &output);
};

extern const KzCmdBackend kzCmdBoard;     // system() / popen()
extern const KzCmdBackend kzCmdRecorder;  // records, answers from the script

void kzCmdUse(const KzCmdBackend *backend);
bool kzCmdIsRecorder();

int kzRunCommand(const char *cmdLine);
int kzRunCommandRead(const char *cmdLine, std::string &output);

// Recorder: scripted answers and the record of command lines.
// A rule matches a command line that starts with `prefix`; the newest
// matching rule wins. Without a rule the command succeeds with no output.
void kzCmdScript(const std::string &prefix, int status, const std::string &output = "");
void kzCmdClearScript();
std::vector<std::string> kzCmdRecorded();
void kzCmdClearRecorded();
