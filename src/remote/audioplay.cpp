// Remote audio, receiving side: th_scrivi keeps the playback device open
// and configured, and the transport thread plays every received "SO"
// through audioPlaySO with the fill guard. See audio.h.
//
// playBuf and pcmOut are shared by the two threads: th_scrivi sets
// playReady only once both exist, and holds playMut whenever it closes the
// device or frees the buffer; the transport thread holds playMut for one
// packet, so it never writes to a closed device or a freed buffer.
#include <alsa/asoundlib.h>
#include <opus/opus.h>

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "remote/audio.h"
#include "remote/ws.h"

static char flagOf(char &c) { return std::atomic_ref<char>(c).load(); }

// The fill guard of the playback device, under playMut. th_scrivi starts
// it afresh with every configured device: the counters describe that
// device's buffer (a smaller buffer after a settings change would
// otherwise read as a permanent fill and reset every packet).
static AudioGuard gGuard;

int audioGuardStep(AudioGuard *g, long freeFrames) {
  if (freeFrames > 0) {
    if (g->free1 <= 0) g->free1 = g->minfree = freeFrames;
    else if (freeFrames < g->minfree) g->minfree = freeFrames;
  }
  if (g->free1 - g->minfree < KZ_AUDIO_FILL_MAX + 1) return 1;
  g->minfree = g->free1;
  return 0;
}

static uint32_t be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

int audioDecodeSO(works *w, const uint8_t *payload, int len, uint8_t *out) {
  const int fl = w->frameLen;
  const size_t cap = 4 * size_t(fl);
  if (len < 4) return 0;
  // The length field never reaches past the frame that carries it.
  uint32_t n = be32(payload);
  if (n > uint32_t(len - 4)) n = uint32_t(len - 4);
  const uint8_t *data = payload + 4;
  if (w->audioBitrate == 0 || w->opusDec == nullptr) {
    // Raw sound: whole frames, never more than one packet.
    size_t bytes = n < cap ? n : cap;
    bytes -= bytes % 4;
    memcpy(out, data, bytes);
    return int(bytes / 4);
  }
  auto *pcm = reinterpret_cast<opus_int16 *>(out);  // playBuf: new[], aligned
  const int r = opus_decode(static_cast<OpusDecoder *>(w->opusDec), data, opus_int32(n), pcm, fl, 0);
  if (r < 0) {
    memset(out, 0, cap);
    return fl;
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (int i = 0; i < 2 * r; ++i) {  // Cost: per sample, big-endian boards only.
      const uint16_t v = uint16_t(pcm[i]);
      out[2 * i] = uint8_t(v);
      out[2 * i + 1] = uint8_t(v >> 8);
    }
  }
  return r;
}

static void eikSO(const char *what) {
  kzLog(KZ_LOG_INFO, "EIK, SO %s", what);
  kzTrace("EIK, SO %s\n", what);
}

int audioPlaySO(works *w, bool server, const uint8_t *payload, int len) {
  if (flagOf(w->setup->EnableWrite) != '1' || w->playReady.load() != 1) return 0;
  if (server) eikSO("01");
  std::lock_guard<std::mutex> lk(w->playMut);
  auto *pcm = static_cast<snd_pcm_t *>(w->pcmOut);
  if (w->playReady.load() != 1 || w->playBuf == nullptr || pcm == nullptr) return 0;
  const int frames = audioDecodeSO(w, payload, len, w->playBuf);
  if (server) eikSO("03");
  const snd_pcm_sframes_t freeFrames = snd_pcm_avail(pcm);
  if (!audioGuardStep(&gGuard, long(freeFrames))) {
    snd_pcm_drop(pcm);
    snd_pcm_prepare(pcm);
    return 0;
  }
  if (frames <= 0) return 0;
  snd_pcm_sframes_t r = snd_pcm_writei(pcm, w->playBuf, snd_pcm_uframes_t(frames));
  if (r == frames) return 0;
  kzTrace("write to output audio interface failed %d (%d - %s)\n", frames, int(r),
          r < 0 ? snd_strerror(int(r)) : "short write");
  if (r == -EPIPE) {
    // Under-run: the server plays the packet once more, the client only
    // makes the device ready for the next one.
    snd_pcm_prepare(pcm);
    if (server) snd_pcm_writei(pcm, w->playBuf, snd_pcm_uframes_t(frames));
    return 0;
  }
  return (r < 0 && !server) ? -1 : 0;
}

// ---- th_scrivi -------------------------------------------------------------------

static int openPlayback(works *w, snd_pcm_t **pcm, const char *dev) {
  int rc = -ENODEV;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    rc = snd_pcm_open(pcm, dev, SND_PCM_STREAM_PLAYBACK, 0);
    if (rc >= 0) return rc;
    kzTrace("EIK 2 audio out %d (%i)\n", rc, attempt);
    if (w->running.load() == 0 || flagOf(w->setup->EnableWrite) != '1') break;
    kzSleepMs(100);
  }
  kzTrace("EIK 3 audio out\n");
  return rc;
}

static bool failedStep(int rc, const char *fmt) {
  if (rc >= 0) return false;
  audioStepFailed(fmt, rc);
  return true;
}

static bool configurePlayback(works *w, snd_pcm_t *pcm) {
  snd_pcm_hw_params_t *hw = nullptr;
  if (failedStep(snd_pcm_hw_params_malloc(&hw),
                 "cannot allocate playback hardware parameter structure (%s)\n"))
    return false;
  kzLog(KZ_LOG_INFO, "playback hw_params allocated");
  bool ok = false;
  unsigned rate = unsigned(w->sampleRate);
  unsigned periods = unsigned(w->audioBuffers > 0 ? w->audioBuffers : 1);
  snd_pcm_uframes_t bufSize = snd_pcm_uframes_t(2 * (256 * periods * 16 / 8));
  char fmt[80];
  do {
    if (failedStep(snd_pcm_hw_params_any(pcm, hw),
                   "cannot initialize playback hardware parameter structure (%s)\n"))
      break;
    kzLog(KZ_LOG_INFO, "playback hw_params initialized");
    if (failedStep(snd_pcm_hw_params_set_rate_resample(pcm, hw, 1),
                   "cannot set playback resample to yes (%s)\n"))
      break;
    if (failedStep(snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED),
                   "cannot set playback access type (%s)\n"))
      break;
    kzLog(KZ_LOG_INFO, "playback hw_params access SND_PCM_ACCESS_RW_INTERLEAVED set");
    if (failedStep(snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE),
                   "cannot set playback sample format (%s)\n"))
      break;
    kzLog(KZ_LOG_INFO, "playback hw_params SND_PCM_FORMAT_S16_LE format set ");
    if (failedStep(snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr),
                   "cannot set playback sample rate (%s)\n"))
      break;
    kzLog(KZ_LOG_INFO, "playback hw_params rate set to %d", int(rate));
    if (failedStep(snd_pcm_hw_params_set_channels(pcm, hw, 2),
                   "Cannot set playback channel count (%s)\n"))
      break;
    kzLog(KZ_LOG_INFO, "playback hw_params number of channels set to 2");
    // A board's device may round both to what it can do.
    snprintf(fmt, sizeof fmt, "Cannot set periods %d (%%s)", int(periods));
    if (failedStep(snd_pcm_hw_params_set_periods_near(pcm, hw, &periods, nullptr), fmt)) break;
    snprintf(fmt, sizeof fmt, "Cannot set buffersize %d (%%s)", int(bufSize));
    if (failedStep(snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &bufSize), fmt)) break;
    if (failedStep(snd_pcm_hw_params(pcm, hw), "cannot set playback parameters (%s)\n")) break;
    kzLog(KZ_LOG_INFO, "playback hw_params set");
    ok = true;
  } while (false);
  snd_pcm_hw_params_free(hw);
  if (ok) kzTrace("playback hw_params freed\n");
  return ok;
}

// The device check of steps 6 and 8: false when the sound device is gone
// (the thread has given up then).
static bool stillThere(works *w, AudioCheck *check) {
  if (AudioDevicePresent(check)) return true;
  ExitAUDIOwrite(w);
  return false;
}

static bool playing(works *w) {
  return w->running.load() != 0 && flagOf(w->setup->EnableWrite) == '1';
}

void th_scrivi(works *w) {
  SetupRec *st = w->setup;
  char dev[sizeof st->AudioOut + 1];
  snprintf(dev, sizeof dev, "%.*s", int(sizeof st->AudioOut), st->AudioOut);
  AudioCheck check{};
  w->playReady = 0;
  // Step 1's pause of 3 s, cut short when the unit stops.
  for (int i = 0; i < 30 && playing(w); ++i) kzSleepMs(100);
  for (;;) {
    if (!playing(w)) {
      kzTrace("output audio interface closed\n");
      kzLog(KZ_LOG_INFO, "output audio interface closed");
      if (w->running.load() != 0) std::atomic_ref<char>(st->EnableWrite).store('0');
      kzTrace("th_scrivi END\n");
      return;
    }
    snd_pcm_t *pcm = nullptr;
    int rc = openPlayback(w, &pcm, dev);
    if (rc < 0) {
      if (!playing(w)) continue;
      kzLog(KZ_LOG_ERR, "cannot open output audio device %s (%s)", dev, snd_strerror(rc));
      kzTrace("cannot open output audio device %s (%s)\n", dev, snd_strerror(rc));
      ExitAUDIOwrite(w);
      return;
    }
    {
      std::lock_guard<std::mutex> lk(w->playMut);
      w->pcmOut = pcm;
    }
    kzLog(KZ_LOG_INFO, "output audio interface %s opened", dev);
    if (!configurePlayback(w, pcm)) {
      ExitAUDIOwrite(w);
      return;
    }
    const size_t bytes = 4 * size_t(w->frameLen);
    uint8_t *buf = new (std::nothrow) uint8_t[bytes]();
    if (buf == nullptr) {
      kzTrace("playback buffer not allocated\n");
      kzLog(KZ_LOG_ERR, "playback buffer not allocated");
      ExitAUDIOwrite(w);
      return;
    }
    {
      std::lock_guard<std::mutex> lk(w->playMut);
      w->playBuf = buf;
      gGuard = AudioGuard{};
      w->playReady = 1;
    }
    kzLog(KZ_LOG_INFO, "playback buffer allocated (%d)", int(bytes));

    // Step 6: waiting for a connection, woken by its start (as soon as a
    // 1 ms poll would have seen it) and every 100 ms for the run flags and
    // the device check.
    while (w->wsConnected.load() == 0 && playing(w)) {
      if (!stillThere(w, &check)) return;
      wsWaitConnected(w, 100);
    }
    if (playing(w)) {
      {
        std::lock_guard<std::mutex> lk(w->playMut);
        rc = snd_pcm_prepare(pcm);
      }
      if (rc < 0) {
        kzLog(KZ_LOG_ERR, "cannot prepare output audio interface for use (%s)", snd_strerror(rc));
        ExitAUDIOwrite(w);
        return;
      }
      kzLog(KZ_LOG_INFO, "output audio interface prepared");
      // Step 8: the transport thread plays meanwhile.
      while (w->wsConnected.load() != 0 && playing(w)) {
        if (!stillThere(w, &check)) return;
        kzSleepMs(10);
      }
    }

    // Step 9.
    kzLog(KZ_LOG_INFO, "output audio interface to be stopped");
    std::lock_guard<std::mutex> lk(w->playMut);
    w->playReady = 0;
    if ((rc = snd_pcm_drain(pcm)) < 0)
      kzLog(KZ_LOG_ERR, "cannot drain playback pcm handler (%s)", snd_strerror(rc));
    delete[] w->playBuf;
    w->playBuf = nullptr;
    kzLog(KZ_LOG_INFO, "playback buffer freed");
    snd_pcm_close(pcm);
    w->pcmOut = nullptr;
  }
}
