// Sound without a sound card: an ALSA configuration of the project's own,
// for the tests and the simulator. It defines two PCMs on ALSA's file and
// null plugins, so the program's real open, configure and stream code
// runs unchanged:
//   "kz_capture"   reads raw 16-bit samples from a file (silence after its
//                  end; only silence when no file is given)
//   "kz_playback"  writes what is played to a file as raw 16-bit samples
//                  (discards it when no file is given)
// The file is written where the caller says, and ALSA_CONFIG_PATH points
// to it for the rest of the process; the machine's own ALSA configuration
// is neither read nor touched.
#pragma once
#include <string>

constexpr const char *KZ_SIM_CAPTURE_PCM = "kz_capture";
constexpr const char *KZ_SIM_PLAYBACK_PCM = "kz_playback";

// 0, or -1 when the file cannot be written.
int simAlsaConfigure(const std::string &confPath, const std::string &captureFile,
                     const std::string &playbackFile);
