// Remote audio: sound between the two units as "SO" messages.
//
// Sending side: th_leggi opens the ALSA capture device (AudioIn), and its
// handler MyCallback reads packets of frameLen frames, widens mono to
// stereo and hands each packet to th_leggi through a small bounded queue;
// th_leggi sends it (sendWebSockAudioFrame: raw, or one Opus packet).
// Receiving side: th_scrivi opens the playback device (AudioOut) and keeps
// it ready; the transport thread plays every received "SO" (audioPlaySO)
// with a fill guard that drops the queued sound when the delay grows past
// 100 ms. Both threads watch the USB sound device and give up through
// ExitAUDIOread / ExitAUDIOwrite (errors 9 and 10), after which the
// remote error handling starts them again.
//
// Design rules:
// - The handler runs in ALSA's signal context (SIGIO) on any thread,
//   perhaps one that holds wsMut: it takes no lock, allocates nothing and
//   logs nothing. It reads into a free queue slot and posts a semaphore;
//   encoding and the locked socket write happen in th_leggi. A full queue
//   drops the packet (counted; logged by th_leggi).
// - A capture device without asynchronous notification (ALSA's file and
//   null plugins, as the tests and the simulator use) is driven by
//   th_leggi itself through the same handler body, one packet per 5 ms
//   (frameLen frames) of the monotonic clock, because such a plugin has no
//   clock of its own.
// - No allocation per packet: the queue, the capture buffer and playBuf
//   are made when a thread opens its device; a frame is built on the stack
//   (it never exceeds the peer's 1024-byte receive buffer).
// - 48000 Hz, 16-bit little-endian, two interleaved channels on the wire.
#pragma once
#include <cstddef>
#include <cstdint>

struct works;
struct _snd_async_handler;

// USB ids of the sound device both threads watch.
constexpr uint16_t KZ_AUDIO_USB_VENDOR = 0x0d8c, KZ_AUDIO_USB_PRODUCT = 0x01af;
// "SO" frame: 0x82, 126, N (2), "SO", n (4), then n bytes of sound.
constexpr int KZ_SO_HEADER = 10;
// A fill of the playback device above this many frames (100 ms) resets it.
constexpr long KZ_AUDIO_FILL_MAX = 4800;
// Packets the capture queue holds between the handler and th_leggi.
constexpr int KZ_AUDIO_QUEUE = 16;

// ---- threads and their exits -------------------------------------------------

void th_leggi(works *w);
void th_scrivi(works *w);
void ExitAUDIOread(works *w);
void ExitAUDIOwrite(works *w);

// The asynchronous capture handler (private data: works).
void MyCallback(_snd_async_handler *handler);

// ---- codec (created by main) --------------------------------------------------

// With audioBitrate above 0: the Opus encoder and decoder for 48000 Hz,
// two channels; a failure is logged and leaves audioBitrate 0.
void AudioCodecCreate(works *w);
void AudioCodecDestroy(works *w);

// ---- sending --------------------------------------------------------------------

// Whether raw sound of `frameLen` frames fits one frame of the peer's
// 1024-byte receive buffer (Multiplier 1 only).
bool audioRawFits(int frameLen);
// Mono to stereo in place: the first `frames` samples of `buf` (which
// holds 2 x frames) become frames with both channels equal.
// Cost: one pass over the packet, from the last sample down.
void audioWiden(int16_t *buf, int frames);
// One "SO" message of one packet (frameLen stereo frames), raw or Opus,
// only while connected. 0 written; -1 dropped (not connected, lock,
// encoder error, raw packet too large for the peer, write failed).
int sendWebSockAudioFrame(works *w, const int16_t *packet);
// Builds the frame of one packet into `frame` (at most 1024 bytes): its
// length, or -1 (encoder error, raw packet too large). For the sender and
// the benchmark.
int audioBuildFrame(works *w, const int16_t *packet, uint8_t *frame);

// ---- playing ---------------------------------------------------------------------

// The sound of one "SO" payload (after the type letters: n, then n bytes;
// `len` bytes in all) into `out` (4 x frameLen bytes): raw bytes, or the
// Opus packet decoded; a bad packet gives one packet of silence. Returns
// the frames to play.
int audioDecodeSO(works *w, const uint8_t *payload, int len, uint8_t *out);
// Plays one received "SO" payload on the playback device (transport
// thread). 0 go on; -1 the connection ends (client, write error other
// than an under-run).
int audioPlaySO(works *w, bool server, const uint8_t *payload, int len);

// The fill guard: free space reported by the device, kept per playback
// device (th_scrivi resets it when it configures one).
struct AudioGuard {
  long free1;    // the first positive free space seen: the empty device
  long minfree;  // the least free space since then
};
// One packet's decision from the free space now: 1 play, 0 reset the
// device (the packet is dropped and minfree goes back to free1).
int audioGuardStep(AudioGuard *g, long freeFrames);

// A failed ALSA step: `fmt` (with "%s" for ALSA's text of `rc`) to
// standard error and, without its newline, to syslog at error priority.
void audioStepFailed(const char *fmt, int rc);

// ---- device check -----------------------------------------------------------------

// Whether the USB sound device is on the bus: asks the USB seam (no shell
// pipeline) at most every 100 ms per caller, the answer cached in `*state`
// (two ints, zeroed by the caller).
struct AudioCheck {
  int64_t lastMs;
  int present;
  bool asked;
};
bool AudioDevicePresent(AudioCheck *state);
