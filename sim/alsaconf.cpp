// The project's ALSA configuration; see alsaconf.h.
#include "sim/alsaconf.h"

#include <cstdio>
#include <cstdlib>

// ALSA strings are double-quoted; a path with a quote or a backslash would
// break the file, and is refused.
static bool plainPath(const std::string &p) {
  return p.find_first_of("\"\\\n") == std::string::npos;
}

int simAlsaConfigure(const std::string &confPath, const std::string &captureFile,
                     const std::string &playbackFile) {
  if (!plainPath(captureFile) || !plainPath(playbackFile)) return -1;
  FILE *f = fopen(confPath.c_str(), "w");
  if (f == nullptr) return -1;
  fprintf(f, "# Written by KAV ZIL for its tests and simulator: sound on ALSA plugins.\n");
  if (captureFile.empty())
    fprintf(f, "pcm.%s { type null }\n", KZ_SIM_CAPTURE_PCM);
  else
    fprintf(f,
            "pcm.%s {\n  type file\n  slave.pcm { type null }\n  file \"/dev/null\"\n"
            "  infile \"%s\"\n  format \"raw\"\n}\n",
            KZ_SIM_CAPTURE_PCM, captureFile.c_str());
  if (playbackFile.empty())
    fprintf(f, "pcm.%s { type null }\n", KZ_SIM_PLAYBACK_PCM);
  else
    fprintf(f,
            "pcm.%s {\n  type file\n  slave.pcm { type null }\n  file \"%s\"\n"
            "  format \"raw\"\n}\n",
            KZ_SIM_PLAYBACK_PCM, playbackFile.c_str());
  const bool ok = fclose(f) == 0;
  if (!ok) return -1;
  setenv("ALSA_CONFIG_PATH", confPath.c_str(), 1);
  return 0;
}
