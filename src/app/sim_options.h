// kavzil-sim's command line: one table of options, each with its value,
// its meaning (for --help) and what it allows (said when a value is bad),
// and the headless script of --keys and --script.
//
// Every value is checked whole before anything starts: numbers must parse
// to their last character and lie in their range, files must be writable
// where they are to go, directories must hold what the unit needs. A bad
// option is named on standard error with what is allowed.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// One step of the headless script, in the order it runs.
struct SimStep {
  double atSeconds = 0;  // after the start of the process
  int key = 0;           // 1-6: a front-panel key (0: not a key)
  bool longPress = false;
  int action = 0;   // a simulator control (SIMC_* of sim/window.h), or 0
  int service = 0;  // a service-keyboard key (linux/input.h code), or 0
  std::string text;  // the step as written, for messages
};

struct SimOptions {
  std::string root = "kavzil-root";
  std::string art;  // empty: the build's artwork directory
  std::string snapshot;
  std::string windowSnapshot;
  bool headless = false;
  bool builtinAmp = true;
  bool builtinXcvr = false;  // --xcvr builtin: the simulated transceiver on SerPort
  bool absentXcvr = false;   // --xcvr absent: SerPort a PTY nobody answers on
  bool builtinFt817 = false;    // --ft817 builtin
  bool builtinCatPort = false;  // --catport builtin
  bool quiet = false;
  double seconds = 0;  // 0: until Ctrl-C or the window is closed
  double driveW = 0;   // 0: carrier off
  uint32_t freqHz = 14070000;
  char model = '0';
  std::vector<SimStep> script;  // --keys and --script, ordered by time
  // --setup KEY=VALUE, in the order given: written into the root's setup
  // file before the unit starts (nothing is written without one).
  std::vector<std::pair<std::string, std::string>> setup;
  // --audio-in, --audio-start, --audio-out (app/sim_audio.h).
  std::string audioIn, audioOut;
  double audioStart = 8;
};

enum { SIM_OPTIONS_RUN = 0, SIM_OPTIONS_HELP = 1, SIM_OPTIONS_BAD = 2 };

// Parses and checks the command line into `o` (whose `art` holds the
// default artwork directory on entry). SIM_OPTIONS_RUN: go on;
// SIM_OPTIONS_HELP: --help was printed on standard output; SIM_OPTIONS_BAD:
// the bad option was named on standard error (the exit status is 2).
int simParseOptions(int argc, char **argv, SimOptions &o);
// Every option with its meaning, and the script's actions.
void simPrintHelp(FILE *out, const SimOptions &defaults);
