// kavzil-sim's command line; see sim_options.h.
//
// Sections: 1 value readers (numbers, paths, script steps), 2 the option
// table, 3 checks over the whole line, 4 help and parsing.
//
// Design rules: one table row per option holds its name, its value's
// name, its meaning and what it allows, and the function that reads the
// value; help and error texts come from the same row, so they cannot
// drift apart. A reader answers "" for a good value or the reason it is
// bad. Nothing is started and nothing is written before every option
// has been read (a writable directory is tried with a file created and
// removed at once: the rules of a read-only mount or of a special file
// system are not in the mode bits).
#include "app/sim_options.h"

#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/setup.h"
#include "app/sim_audio.h"
#include "core/works.h"
#include "sim/alsaconf.h"
#include "sim/window.h"

namespace {

// ===========================================================================
// 1 value readers
// ===========================================================================

constexpr double kMaxSeconds = 1e6;
static_assert(kSimFreqLowHz == 1800000 && kSimFreqHighHz == 54000000,
              "the frequency range is spelt out in the option table");
static_assert(kSimDriveMinW == 0.1 && kSimDriveMaxW == 10.0,
              "the drive range is spelt out in the option table");

// A decimal number written whole ("2.5", "1e3"): no sign of trouble left
// over, finite.
bool readNumber(const char *v, double &out) {
  if (v == nullptr || *v == 0 || isspace((unsigned char)*v)) return false;
  char *end = nullptr;
  errno = 0;
  double x = strtod(v, &end);
  if (end == v || *end != 0 || errno == ERANGE || !std::isfinite(x)) return false;
  out = x;
  return true;
}

// Digits only, at most `max`.
bool readWhole(const char *v, uint64_t max, uint64_t &out) {
  if (v == nullptr || *v == 0) return false;
  uint64_t x = 0;
  for (const char *p = v; *p; p++) {
    if (*p < '0' || *p > '9') return false;
    x = x * 10 + uint64_t(*p - '0');
    if (x > max) return false;
  }
  out = x;
  return true;
}

std::string parentOf(const std::string &path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool isDir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// 0 when a file can be created in directory `dir`, else the errno.
int tryWrite(const std::string &dir) {
  std::string probe = dir + "/.kavzil-sim-XXXXXX";
  int fd = mkstemp(probe.data());
  if (fd < 0) return errno;
  close(fd);
  unlink(probe.c_str());
  return 0;
}

// A picture file to be written: its directory exists and takes files.
std::string checkOutputFile(const char *v) {
  std::string path = v;
  if (path.empty()) return "no file named";
  if (isDir(path)) return "that is a directory, not a file";
  std::string dir = parentOf(path);
  if (!isDir(dir)) return "there is no directory " + dir;
  if (int e = tryWrite(dir)) return "cannot write in " + dir + " (" + strerror(e) + ")";
  return "";
}

// ---- script steps ------------------------------------------------------------

struct ServiceWord {
  const char *word, *key;
  int code;
  const char *meaning;
};
const ServiceWord kServiceWords[] = {
    {"shell", "F10", KEY_F10, "the service keyboard's remote-service shell (recorded)"},
    {"save-setup", "F11", KEY_F11, "the service keyboard's save of the setup"},
    {"close", "F12", KEY_F12, "the service keyboard's close key: the unit stops"},
    {"screenshot", "PrtSc", KEY_SYSRQ, "a screenshot, saved as ROOT/tmp/screen.png"},
};

// "SECONDS:WHAT[:long]" into a step; "" or why it is bad. Only front-panel
// keys when `keysOnly`.
std::string readStep(const std::string &item, bool keysOnly, SimStep &step) {
  step = SimStep();
  step.text = item;
  size_t c1 = item.find(':');
  if (c1 == std::string::npos) return "step " + item + " has no ':' after its time";
  size_t c2 = item.find(':', c1 + 1);
  std::string at = item.substr(0, c1);
  std::string what = item.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
  std::string tail = c2 == std::string::npos ? "" : item.substr(c2 + 1);
  if (!readNumber(at.c_str(), step.atSeconds) || step.atSeconds < 0 ||
      step.atSeconds > kMaxSeconds)
    return "step " + item + ": the time " + at + " is not a number of seconds from 0";
  if (what.size() == 1 && what[0] >= '1' && what[0] <= '6') {
    step.key = what[0] - '0';
  } else if (keysOnly) {
    return "step " + item + ": the key " + what + " is not one of 1 to 6";
  } else if (int a = simControlsByWord(what.c_str())) {
    step.action = a;
  } else {
    for (const ServiceWord &s : kServiceWords)
      if (what == s.word) step.service = s.code;
    if (step.service == 0) return "step " + item + ": " + what + " is no key and no action";
  }
  if (c2 != std::string::npos) {
    if (tail != "long") return "step " + item + ": after the key only :long may follow";
    if (step.key == 0) return "step " + item + ": only a front-panel key can be held long";
    step.longPress = true;
  }
  return "";
}

std::string readSteps(SimOptions &o, const char *v, bool keysOnly) {
  std::string s = v;
  if (s.empty()) return "the list is empty";
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    SimStep step;
    std::string why = readStep(s.substr(pos, end - pos), keysOnly, step);
    if (!why.empty()) return why;
    o.script.push_back(step);
    pos = end + 1;
  }
  return "";
}

// ---- setup keys --------------------------------------------------------------

// "KEY=VALUE" for the setup file, checked by the program's own setup reader
// on a scratch record: a key of the file, a value it takes whole.
std::string readSetupKey(SimOptions &o, const char *v) {
  const char *eq = strchr(v, '=');
  if (eq == nullptr || eq == v) return "not KEY=VALUE";
  std::string key(v, size_t(eq - v)), value(eq + 1), why;
  auto w = std::make_unique<works>();
  SetupRec rec;
  w->setup = &rec;
  initSetup(w.get());
  if (setupSetKey(w.get(), key.c_str(), value.c_str(), why) != 0) return key + ": " + why;
  o.setup.emplace_back(key, value);
  return "";
}

// ---- sound ------------------------------------------------------------------

// --audio-in and --audio-out switch the unit's capture or playback on; the
// devices are set once the line is read (audioDefaults).
std::string readAudioIn(SimOptions &o, const char *v) {
  SimAudioIn in;
  if (std::string why = simAudioCheckInput(v, in); !why.empty()) return why;
  o.audioIn = v;
  const std::string channels = "InChannels=" + std::to_string(in.channels);
  for (const std::string &kv : {std::string("EnableRead=1"), channels})
    if (std::string why = readSetupKey(o, kv.c_str()); !why.empty()) return why;
  return "";
}

std::string readAudioOut(SimOptions &o, const char *v) {
  if (std::string why = checkOutputFile(v); !why.empty()) return why;
  o.audioOut = v;
  for (const std::string &kv : {std::string("EnableWrite=1")})
    if (std::string why = readSetupKey(o, kv.c_str()); !why.empty()) return why;
  return "";
}

// ===========================================================================
// 2 the option table
// ===========================================================================

using Take = std::string (*)(SimOptions &o, const char *v);

struct OptionSpec {
  const char *name;
  const char *arg;  // the value's name; nullptr: a flag
  const char *meaning;
  const char *allowed;  // what a value may be (empty for a flag)
  Take take;            // reads the value
  bool SimOptions::*flag = nullptr;  // a flag sets this; neither: --help
};

const OptionSpec kOptions[] = {
    {"--root", "DIR",
     "directory standing for / (the settings are in DIR/opt/set; made when missing)",
     "a directory you can write in, or a new one in such a directory",
     [](SimOptions &o, const char *v) -> std::string {
       if (*v == 0) return "no directory named";
       o.root = v;
       return "";  // checked with the other paths once the line is read
     }},
    {"--amp", "builtin|external",
     "builtin: start the simulated amplifier and write its PTY into LinPort (default); "
     "external: keep LinPort of DIR/opt/set/setup.txt, for an outside amplifier peer",
     "builtin or external",
     [](SimOptions &o, const char *v) -> std::string {
       if (strcmp(v, "builtin") != 0 && strcmp(v, "external") != 0) return "unknown amplifier";
       o.builtinAmp = strcmp(v, "builtin") == 0;
       return "";
     }},
    {"--xcvr", "builtin|absent|external",
     "builtin: start the simulated transceiver and write its PTY into SerPort (the carrier "
     "controls then steer the transceiver, which drives the amplifier); absent: SerPort is a "
     "line with no transceiver on it (a remote client unit on the transceiver interface, fed "
     "by its server); external (default): keep SerPort of DIR/opt/set/setup.txt, for an "
     "outside transceiver peer",
     "builtin, absent or external",
     [](SimOptions &o, const char *v) -> std::string {
       if (strcmp(v, "builtin") != 0 && strcmp(v, "absent") != 0 && strcmp(v, "external") != 0)
         return "unknown transceiver";
       o.builtinXcvr = strcmp(v, "builtin") == 0;
       o.absentXcvr = strcmp(v, "absent") == 0;
       return "";
     }},
    {"--ft817", "builtin|external",
     "builtin: start a simulated FT-817 on a PTY (its VFO on --freq) and write its slave "
     "path into CatSerialPort; external (default): keep CatSerialPort of the setup file",
     "builtin or external",
     [](SimOptions &o, const char *v) -> std::string {
       if (strcmp(v, "builtin") != 0 && strcmp(v, "external") != 0) return "unknown FT-817";
       o.builtinFt817 = strcmp(v, "builtin") == 0;
       return "";
     }},
    {"--catport", "builtin|external",
     "builtin: start the simulated CAT port of the KAV transceiver on a PTY, linked as "
     "DIR/dev/VORNCAT0 (answers DT; FA; IF; ...); external (default): DIR/dev/VORNCAT* as "
     "they stand",
     "builtin or external",
     [](SimOptions &o, const char *v) -> std::string {
       if (strcmp(v, "builtin") != 0 && strcmp(v, "external") != 0) return "unknown CAT port";
       o.builtinCatPort = strcmp(v, "builtin") == 0;
       return "";
     }},
    {"--seconds", "N",
     "stop N seconds after the start (the start-up takes about 7 s), and never before the "
     "script is done, through the normal shutdown; exit status 0",
     "a number of seconds above 0, at most 1000000",
     [](SimOptions &o, const char *v) -> std::string {
       double s = 0;
       if (!readNumber(v, s)) return "not a number";
       if (!(s > 0) || s > kMaxSeconds) return "out of range";
       o.seconds = s;
       return "";
     }},
    {"--drive", "W",
     "carrier power at the amplifier's input, W (0: no carrier; the controls switch it on "
     "at 2.5 W)",
     "0 (no carrier) or a number of W from 0.1 to 10",
     [](SimOptions &o, const char *v) -> std::string {
       double d = 0;
       if (!readNumber(v, d)) return "not a number";
       if (d != 0 && (d < kSimDriveMinW || d > kSimDriveMaxW)) return "out of range";
       o.driveW = d;
       return "";
     }},
    {"--freq", "HZ", "frequency of the carrier; the amplifier's frequency counter reads it "
                     "(default 14070000)",
     "a whole number of Hz from 1800000 to 54000000 (160 m to 6 m)",
     [](SimOptions &o, const char *v) -> std::string {
       uint64_t f = 0;
       if (!readWhole(v, UINT32_MAX, f)) return "not a whole number of Hz";
       if (f < kSimFreqLowHz || f > kSimFreqHighHz) return "out of range";
       o.freqHz = uint32_t(f);
       return "";
     }},
    {"--model", "0|1", "the simulated amplifier reports the 60 W (0, default) or 120 W (1) model",
     "0 or 1",
     [](SimOptions &o, const char *v) -> std::string {
       if (strcmp(v, "0") != 0 && strcmp(v, "1") != 0) return "no such model";
       o.model = v[0];
       return "";
     }},
    {"--quiet", nullptr, "no status lines on standard output", "", nullptr, &SimOptions::quiet},
    {"--headless", nullptr, "no window, even with a display (automatic without one)", "",
     nullptr, &SimOptions::headless},
    {"--snapshot", "FILE.png",
     "save the 800 x 480 screen as PNG every second and when the unit is asked to stop "
     "(written whole, then renamed over the last)",
     "a file in an existing directory you can write in",
     [](SimOptions &o, const char *v) -> std::string {
       o.snapshot = v;
       return checkOutputFile(v);
     }},
    {"--window-snapshot", "FILE.png",
     "save the whole window (screen, buttons, controls) every second and at exit",
     "a file in an existing directory you can write in",
     [](SimOptions &o, const char *v) -> std::string {
       o.windowSnapshot = v;
       return checkOutputFile(v);
     }},
    {"--keys", "'SECONDS:KEY[:long],...'",
     "press front-panel keys 1 to 6 at those seconds after the start (:long holds the key "
     "past the long-press time); the same as --script with keys only",
     "a comma-separated list of SECONDS:KEY or SECONDS:KEY:long, KEY 1 to 6",
     [](SimOptions &o, const char *v) { return readSteps(o, v, true); }},
    {"--script", "'SECONDS:ACTION,...'",
     "run actions at those seconds after the start: front-panel keys (as --keys) and the "
     "window's controls by name (below)",
     "a comma-separated list of SECONDS:ACTION, ACTION a key 1 to 6 (with an optional :long) "
     "or an action named by --help",
     [](SimOptions &o, const char *v) { return readSteps(o, v, false); }},
    {"--setup", "KEY=VALUE",
     "write KEY: VALUE into DIR/opt/set/setup.txt before the unit starts (repeatable; "
     "without it the file is used as it is), e.g. --setup WebSocket=2 --setup "
     "Server=127.0.0.1 --setup TcpPort=6700 for a client of a unit on port 6700",
     "a key of setup.txt and a value it takes whole: flags 0 or 1 (WebSocket 0 off, 1 server, "
     "2 client), digits, whole numbers in range (TcpPort 1 to 32767), texts that fit their "
     "field (Server 15 characters); not LinPort with --amp builtin",
     readSetupKey},
    {"--audio-in", "FILE",
     "feed FILE into this unit's sound capture (EnableRead 1), which a connected peer plays: "
     "a WAV of 16-bit samples (mono or stereo, any rate, brought to 48000 Hz) or raw 16-bit "
     "48 kHz mono; e.g. espeak-ng -w hello.wav 'Hello'",
     "a readable 16-bit PCM WAV or raw file of at most 64 MB", readAudioIn},
    {"--audio-start", "SECONDS",
     "seconds of silence before the --audio-in sound, from the moment the capture opens "
     "(default 8: time for the peer to connect and ready its playback)",
     "a number of seconds from 0 to 600",
     [](SimOptions &o, const char *v) -> std::string {
       double s = 0;
       if (!readNumber(v, s)) return "not a number";
       if (s < 0 || s > 600) return "out of range";
       o.audioStart = s;
       return "";
     }},
    {"--audio-out", "FILE.wav",
     "write what this unit's sound playback plays (EnableWrite 1) into FILE.wav, 48 kHz "
     "stereo, valid while it grows; listen with aplay or play",
     "a file in an existing directory you can write in", readAudioOut},
    {"--art", "DIR", "directory of the background pictures (default: the build's artwork)",
     "a directory holding the pictures the build draws (start.png, statusB.png, ...)",
     [](SimOptions &o, const char *v) -> std::string {
       o.art = v;
       return "";  // checked once the line is read
     }},
    {"--help", nullptr, "print this help on standard output and exit 0", "", nullptr},
};

const OptionSpec *findOption(const char *name) {
  for (const OptionSpec &s : kOptions)
    if (strcmp(s.name, name) == 0) return &s;
  return nullptr;
}

int bad(const char *option, const std::string &value, const std::string &why) {
  const OptionSpec *s = findOption(option);
  fprintf(stderr, "kavzil-sim: %s%s%s: %s", option, value.empty() ? "" : " ", value.c_str(),
          why.c_str());
  if (s && s->allowed[0]) fprintf(stderr, "; allowed: %s", s->allowed);
  fprintf(stderr, "\n");
  return SIM_OPTIONS_BAD;
}

// ===========================================================================
// 3 checks over the whole line
// ===========================================================================

const char *const kPictures[] = {"start",  "start120", "statusB", "status", "img1",
                                 "img1b", "img3",     "img3b",   "m5a"};

std::string checkArt(const std::string &dir) {
  if (!isDir(dir)) return "there is no directory " + dir;
  std::string missing;
  for (const char *p : kPictures) {
    std::string file = dir + "/" + p + ".png";
    if (access(file.c_str(), R_OK) != 0) missing += std::string(missing.empty() ? "" : ", ") + p + ".png";
  }
  return missing.empty() ? "" : "it does not hold " + missing;
}

// The unit writes under its root (settings, links to the fonts, the
// screenshot): where the root already goes, down to DIR/opt/set, it must
// take files; what is missing is made from the nearest existing part.
std::string checkRoot(const std::string &root) {
  struct stat st;
  if (stat(root.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return "that is not a directory";
  std::string p = root + "/opt/set";
  while (!isDir(p)) {
    if (stat(p.c_str(), &st) == 0) return p + " is not a directory";
    std::string up = parentOf(p);
    if (up == p) break;
    p = up;
  }
  if (int e = tryWrite(p))
    return "cannot write in " + p + " (" + strerror(e) +
           "): the unit keeps its settings under DIR/opt/set";
  return "";
}

// With sound asked for, both of the unit's devices are the simulator's,
// and the sound travels as Opus (raw sound of Multiplier 2 does not fit a
// frame): what --setup gives itself is kept.
void audioDefaults(SimOptions &o) {
  if (o.audioIn.empty() && o.audioOut.empty()) return;
  const std::pair<std::string, std::string> wanted[] = {
      {"AudioIn", KZ_SIM_CAPTURE_PCM}, {"AudioOut", KZ_SIM_PLAYBACK_PCM},
      {"AudioCompress", "64000"}};
  for (const auto &kv : wanted) {
    const bool given = std::any_of(o.setup.begin(), o.setup.end(),
                                   [&](const auto &s) { return s.first == kv.first; });
    if (!given) o.setup.insert(o.setup.begin(), kv);
  }
}

int checkLine(SimOptions &o) {
  audioDefaults(o);
  if (std::string why = checkRoot(o.root); !why.empty()) return bad("--root", o.root, why);
  if (std::string why = checkArt(o.art); !why.empty()) return bad("--art", o.art, why);
  std::stable_sort(o.script.begin(), o.script.end(), [](const SimStep &a, const SimStep &b) {
    return a.atSeconds < b.atSeconds;
  });
  for (const auto &[key, value] : o.setup) {
    if (key == "LinPort" && o.builtinAmp)
      return bad("--setup", key + "=" + value,
                 "the built-in amplifier's PTY goes into LinPort (--amp external keeps it)");
    if (key == "SerPort" && (o.builtinXcvr || o.absentXcvr))
      return bad("--setup", key + "=" + value,
                 "the simulator's PTY goes into SerPort (--xcvr external keeps it)");
    if (key == "CatSerialPort" && o.builtinFt817)
      return bad("--setup", key + "=" + value,
                 "the built-in FT-817's PTY goes into CatSerialPort (--ft817 external keeps it)");
  }
  for (const SimStep &s : o.script) {
    const char *opt = s.action || s.service ? "--script" : "--keys";
    if (o.seconds > 0 && s.atSeconds > o.seconds) {
      char stop[48];
      snprintf(stop, sizeof stop, "comes after --seconds %g (the unit stops then)", o.seconds);
      return bad(opt, s.text, stop);
    }
    const bool xcvrAction = s.action == SIMC_MODE || s.action == SIMC_VFO;
    if (s.action == SIMC_MODE && !o.builtinXcvr && !o.builtinFt817)
      return bad(opt, s.text,
                 "the control steers the built-in transceiver or FT-817 only (--xcvr or --ft817 builtin)");
    if (s.action == SIMC_VFO && !o.builtinXcvr)
      return bad(opt, s.text, "the control steers the built-in transceiver only (--xcvr builtin)");
    if (s.action && !xcvrAction && !o.builtinAmp)
      return bad(opt, s.text, "the controls steer the built-in amplifier only (--amp builtin)");
  }
  return SIM_OPTIONS_RUN;
}

// `text` after `indent` spaces, broken at spaces before column 79.
void printWrapped(FILE *out, int indent, const char *text) {
  const int width = 79 - indent;
  while (*text) {
    int n = int(strlen(text));
    if (n > width) {
      n = width;
      while (n > 0 && text[n] != ' ') n--;
      if (n == 0) n = width;
    }
    fprintf(out, "%*s%.*s\n", indent, "", n, text);
    text += n;
    while (*text == ' ') text++;
  }
}

}  // namespace

// ===========================================================================
// 4 help and parsing
// ===========================================================================

void simPrintHelp(FILE *out, const SimOptions &defaults) {
  fprintf(out,
          "usage: kavzil-sim [OPTION]...\n"
          "The simulated KAV ZIL unit: the real program against a simulated amplifier,\n"
          "panel and display, its files under a root directory. Exit status: 0 after a\n"
          "normal stop, 2 for a bad option, 1 when the unit cannot start.\n\n"
          "Options:\n");
  for (const OptionSpec &s : kOptions) {
    char head[64];
    snprintf(head, sizeof head, "%s%s%s", s.name, s.arg ? " " : "", s.arg ? s.arg : "");
    fprintf(out, "  %s\n", head);
    printWrapped(out, 6, s.meaning);
    if (s.allowed[0]) printWrapped(out, 6, (std::string("allowed: ") + s.allowed).c_str());
  }
  fprintf(out, "  (the artwork directory of this build: %s)\n\n", defaults.art.c_str());
  fprintf(out,
          "Script actions (--script; the window's key in brackets):\n"
          "  1 ... 6, K:long       front-panel key K, held past the long-press time with :long\n");
  const SimControlInfo *t = simControlsTable();
  for (int i = 0; i < SIMC_ACTIONS - 1; i++) {
    char head[40];
    snprintf(head, sizeof head, "%s (%s)", t[i].word, t[i].key);
    fprintf(out, "  %-21s %s\n", head, t[i].meaning);
  }
  for (const ServiceWord &s : kServiceWords) {
    char head[40];
    snprintf(head, sizeof head, "%s (%s)", s.word, s.key);
    fprintf(out, "  %-21s %s\n", head, s.meaning);
  }
  fprintf(out,
          "A step runs at its time, after the step before it is done; a front-panel key\n"
          "waits for the end of the start-up and is held until the button thread has\n"
          "taken it, so no press is lost on a busy machine.\n");
}

int simParseOptions(int argc, char **argv, SimOptions &o) {
  const SimOptions defaults = o;
  for (int i = 1; i < argc; i++) {
    const char *name = argv[i];
    if (strcmp(name, "-h") == 0) name = "--help";
    const OptionSpec *s = findOption(name);
    if (s == nullptr) {
      fprintf(stderr, "kavzil-sim: %s: no such option (kavzil-sim --help lists the options)\n",
              argv[i]);
      return SIM_OPTIONS_BAD;
    }
    if (s->flag) {
      o.*(s->flag) = true;
      continue;
    }
    if (s->take == nullptr) {
      simPrintHelp(stdout, defaults);
      return SIM_OPTIONS_HELP;
    }
    const char *v = nullptr;
    if (s->arg) {
      if (i + 1 >= argc) return bad(s->name, "", "needs a value");
      v = argv[++i];
    }
    std::string why = s->take(o, v);
    if (!why.empty()) return bad(s->name, v ? v : "", why);
  }
  return checkLine(o);
}
