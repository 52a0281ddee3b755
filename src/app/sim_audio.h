// kavzil-sim's sound: the unit's capture and playback devices on ALSA's
// plugins (sim/alsaconf.h), so the program's real audio code runs without
// a sound card and never reaches the machine's own devices.
//
// --audio-in FILE feeds a WAV (16-bit PCM, mono or stereo, any rate: it is
// brought to 48000 Hz) or raw 16-bit 48 kHz mono file into the capture
// device, after --audio-start seconds of silence counted from the moment
// the device opens (the peer needs that long to connect and get its
// playback ready). --audio-out FILE.wav receives everything the playback
// device plays, as a 48 kHz stereo WAV kept valid while it grows; it goes
// through a FIFO that the simulator drains, so a reconnection (which
// closes and reopens the device) loses nothing.
#pragma once
#include <string>

struct SimAudioIn {
  std::string path;
  int channels = 1;
};

// Checks an --audio-in file: "" or why it cannot be used.
std::string simAudioCheckInput(const std::string &path, SimAudioIn &in);

struct SimAudio;
// Writes the capture sound and the ALSA configuration under `root`/alsa
// and starts the playback drain when `outWav` is set. nullptr on failure
// (`why` says it).
SimAudio *simAudioStart(const std::string &root, const SimAudioIn &in, double startSeconds,
                        const std::string &outWav, std::string &why);
// After the unit has stopped: the last of the playback into the WAV.
void simAudioStop(SimAudio *a);
