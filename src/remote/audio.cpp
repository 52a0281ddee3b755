// Remote audio, sending side and shared pieces: the codec, the capture
// thread th_leggi with its handler MyCallback and hand-over queue, the
// "SO" sender, the exits of both threads and the device check. The
// playback side is in audioplay.cpp. See audio.h for the design rules.
//
// Sections:
//   1 small helpers       setup bytes, logged ALSA steps, device check
//   2 codec               AudioCodecCreate / AudioCodecDestroy
//   3 sending             widening, frame building, sendWebSockAudioFrame
//   4 capture queue       the handler's slots, MyCallback
//   5 th_leggi            open, configure, run, end
//   6 exits               ExitAUDIOread / ExitAUDIOwrite
#include "remote/audio.h"

#include <alsa/asoundlib.h>
#include <opus/opus.h>
#include <semaphore.h>

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/usb.h"
#include "remote/messages.h"
#include "remote/ws.h"

// ---- 1 small helpers -------------------------------------------------------------

// The run bytes are switched by the menu, the error handling and the
// threads themselves while the audio threads poll them.
static char flagOf(char &c) { return std::atomic_ref<char>(c).load(); }
static void setFlag(char &c, char v) { std::atomic_ref<char>(c).store(v); }

// A failed ALSA step: the text (with "%s" for the error) to standard error
// and, without its newline, to syslog.
void audioStepFailed(const char *fmt, int rc) {
  char text[200];
  snprintf(text, sizeof text, fmt, snd_strerror(rc));
  kzTrace("%s", text);
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = 0;
  kzLog(KZ_LOG_ERR, "%s", text);
}

bool AudioDevicePresent(AudioCheck *s) {
  const int64_t now = kzNowMs();
  if (!s->asked || now - s->lastMs >= 100) {
    s->present = kzUsbFindDevice(KZ_AUDIO_USB_VENDOR, KZ_AUDIO_USB_PRODUCT) == 1;
    s->lastMs = now;
    s->asked = true;
  }
  return s->present != 0;
}

// ---- 2 codec ---------------------------------------------------------------------

void AudioCodecCreate(works *w) {
  if (w->audioBitrate <= 0) return;
  int err = 0;
  OpusEncoder *enc = opus_encoder_create(w->sampleRate, 2, OPUS_APPLICATION_AUDIO, &err);
  if (err != OPUS_OK || enc == nullptr) {
    kzLog(KZ_LOG_ERR, "failed to create an encoder: %s", opus_strerror(err));
    w->audioBitrate = 0;
    return;
  }
  err = opus_encoder_ctl(enc, OPUS_SET_BITRATE(w->audioBitrate));
  if (err < 0) {
    kzLog(KZ_LOG_ERR, "failed to set bitrate: %s", opus_strerror(err));
    opus_encoder_destroy(enc);
    w->audioBitrate = 0;
    return;
  }
  OpusDecoder *dec = opus_decoder_create(w->sampleRate, 2, &err);
  if (err != OPUS_OK || dec == nullptr) {
    kzLog(KZ_LOG_ERR, "failed to create decoder: %s", opus_strerror(err));
    opus_encoder_destroy(enc);
    w->audioBitrate = 0;
    return;
  }
  w->opusEnc = enc;
  w->opusDec = dec;
}

void AudioCodecDestroy(works *w) {
  if (w->opusEnc) opus_encoder_destroy(static_cast<OpusEncoder *>(w->opusEnc));
  if (w->opusDec) opus_decoder_destroy(static_cast<OpusDecoder *>(w->opusDec));
  w->opusEnc = w->opusDec = nullptr;
}

// ---- 3 sending -------------------------------------------------------------------

bool audioRawFits(int frameLen) {
  return frameLen > 0 && KZ_SO_HEADER + 4 * frameLen <= KZ_WS_FRAME_MAX;
}

void audioWiden(int16_t *buf, int frames) {
  // Cost: one pass per packet; from the end, so no sample is overwritten
  // before it is read.
  for (int k = frames - 1; k >= 0; --k) buf[2 * k] = buf[2 * k + 1] = buf[k];
}

int audioBuildFrame(works *w, const int16_t *packet, uint8_t *frame) {
  const int fl = w->frameLen;
  int n;
  if (w->audioBitrate == 0 || w->opusEnc == nullptr) {
    if (!audioRawFits(fl)) return -1;
    n = 4 * fl;
    if constexpr (std::endian::native == std::endian::little) {
      memcpy(frame + KZ_SO_HEADER, packet, size_t(n));
    } else {
      for (int i = 0; i < 2 * fl; ++i) {  // Cost: per sample, big-endian boards only.
        frame[KZ_SO_HEADER + 2 * i] = uint8_t(packet[i]);
        frame[KZ_SO_HEADER + 2 * i + 1] = uint8_t(uint16_t(packet[i]) >> 8);
      }
    }
  } else {
    // At most 4 x frameLen bytes, and never more than the frame can carry.
    int cap = 4 * fl;
    if (cap > KZ_WS_FRAME_MAX - KZ_SO_HEADER) cap = KZ_WS_FRAME_MAX - KZ_SO_HEADER;
    n = opus_encode(static_cast<OpusEncoder *>(w->opusEnc), packet, fl, frame + KZ_SO_HEADER,
                    cap);
    if (n < 0) {
      kzTrace("encode failed: %s\n", opus_strerror(n));
      return -1;
    }
  }
  frame[0] = 0x82;
  frame[1] = 126;
  frame[2] = uint8_t((n + 6) >> 8);
  frame[3] = uint8_t(n + 6);
  frame[4] = 'S';
  frame[5] = 'O';
  frame[6] = uint8_t(uint32_t(n) >> 24);
  frame[7] = uint8_t(uint32_t(n) >> 16);
  frame[8] = uint8_t(uint32_t(n) >> 8);
  frame[9] = uint8_t(n);
  return n + KZ_SO_HEADER;
}

int sendWebSockAudioFrame(works *w, const int16_t *packet) {
  if (w->wsConnected.load() != 1) return -1;
  uint8_t frame[KZ_WS_FRAME_MAX];
  const int len = audioBuildFrame(w, packet, frame);
  if (len < 0) return -1;
  // The common writer sleeps 10 us, takes wsMut and writes the frame whole.
  if (wsSendFrame(w, frame, size_t(len)) != 0) {
    if (w->wsConnected.load() == 1) kzLog(KZ_LOG_INFO, "rc(%d) != length+10(%d)", -1, len);
    return -1;
  }
  return 0;
}

// ---- 4 capture queue ------------------------------------------------------------
//
// One producer (the handler, or th_leggi in the polled mode), one consumer
// (th_leggi). Slot i holds 2 x frameLen samples; `in` and `out` count
// packets. The handler only touches atomics, the slots and the semaphore.

struct CaptureState {
  works *w;
  snd_pcm_t *pcm;
  int frameLen;
  int16_t *scratch;                 // the capture buffer: packets nobody takes
  std::unique_ptr<int16_t[]> store;  // the queue's slots
  std::unique_ptr<int16_t[]> scratchStore;
  std::atomic<uint32_t> in{0}, out{0};
  std::atomic<uint32_t> dropped{0};
  std::atomic<int> readError{0};
  sem_t ready;
};

// The state of the running capture (the handler's private data is works;
// there is one capture per process).
static std::atomic<CaptureState *> gCapture{nullptr};
static std::atomic<int> gInHandler{0};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "the handler needs lock-free counters");

// Reads the packets the device holds, at most `limit`. Returns the number
// read. Signal-safe: no lock, no allocation, no log.
static int captureDrain(CaptureState *s, int limit) {
  works *w = s->w;
  const int fl = s->frameLen;
  int got = 0;
  // Cost: per packet one read and one widening pass; at most `limit`.
  while (got < limit) {
    snd_pcm_sframes_t avail = snd_pcm_avail_update(s->pcm);
    if (avail < 0) {
      // An over-run: start again from now.
      s->readError.store(int(avail));
      if (snd_pcm_prepare(s->pcm) < 0 || snd_pcm_start(s->pcm) < 0) break;
      continue;
    }
    if (avail < fl) break;
    const uint32_t in = s->in.load(std::memory_order_relaxed);
    const bool take = w->wsConnected.load() == 1 &&
                      in - s->out.load(std::memory_order_acquire) < uint32_t(KZ_AUDIO_QUEUE);
    int16_t *dst = take ? s->store.get() + size_t(in % KZ_AUDIO_QUEUE) * 2 * size_t(fl)
                        : s->scratch;
    const snd_pcm_sframes_t r = snd_pcm_readi(s->pcm, dst, snd_pcm_uframes_t(fl));
    if (r < 0) {
      s->readError.store(int(r));
      if (snd_pcm_prepare(s->pcm) < 0 || snd_pcm_start(s->pcm) < 0) break;
      continue;
    }
    ++got;
    if (r != fl) continue;  // a short read is not a packet
    if (w->inChannels == 1) audioWiden(dst, fl);
    if (!take) {
      if (w->wsConnected.load() == 1) s->dropped.fetch_add(1);
      continue;
    }
    s->in.store(in + 1, std::memory_order_release);
    sem_post(&s->ready);
  }
  return got;
}

void MyCallback(snd_async_handler_t *handler) {
  gInHandler.fetch_add(1);
  CaptureState *s = gCapture.load();
  // The device may signal once more while th_leggi closes it: the state
  // is gone then, and nothing is read.
  if (s != nullptr && snd_async_handler_get_pcm(handler) == s->pcm) captureDrain(s, 1 << 20);
  gInHandler.fetch_sub(1);
}

// ---- 5 th_leggi --------------------------------------------------------------------

// Open with retries; 0 or the last error.
static int openCapture(works *w, snd_pcm_t **pcm, const char *dev) {
  int rc = -ENODEV;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    rc = snd_pcm_open(pcm, dev, SND_PCM_STREAM_CAPTURE, 0);
    if (rc >= 0) break;
    kzTrace("EIK 2 audio in %s (%i)\n", dev, attempt);
    if (w->running.load() == 0 || flagOf(w->setup->EnableRead) != '1') return rc;
    kzSleepMs(100);
  }
  if (rc >= 0) kzTrace("EIK 3 audio in %s\n", dev);
  return rc;
}

// The configuration of step 3; false when a step failed (logged).
static bool configureCapture(works *w, snd_pcm_t *pcm) {
  snd_pcm_hw_params_t *hw = nullptr;
  int rc = snd_pcm_hw_params_malloc(&hw);
  if (rc < 0) {
    audioStepFailed("cannot allocate capture hardware parameter structure (%s)\n", rc);
    return false;
  }
  kzLog(KZ_LOG_INFO, "capture hw_params allocated");
  bool ok = false;
  unsigned rate = unsigned(w->sampleRate);
  do {
    if ((rc = snd_pcm_hw_params_any(pcm, hw)) < 0) {
      audioStepFailed("cannot initialize capture hardware parameter structure (%s)\n", rc);
      break;
    }
    kzLog(KZ_LOG_INFO, "capture hw_params initialized");
    if ((rc = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
      audioStepFailed("cannot set capture access type (%s)\n", rc);
      break;
    }
    kzLog(KZ_LOG_INFO, "capture hw_params access SND_PCM_ACCESS_RW_INTERLEAVED set");
    if ((rc = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0) {
      audioStepFailed("cannot set capture sample format (%s)\n", rc);
      break;
    }
    kzLog(KZ_LOG_INFO, "capture hw_params SND_PCM_FORMAT_S16_LE format set");
    if ((rc = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr)) < 0) {
      audioStepFailed("cannot set capture sample rate (%s)\n", rc);
      break;
    }
    kzLog(KZ_LOG_INFO, "capture hw_params rate set to %d", int(rate));
    if ((rc = snd_pcm_hw_params_set_channels(pcm, hw, unsigned(w->inChannels))) < 0) {
      audioStepFailed("cannot set capture channel count (%s)\n", rc);
      break;
    }
    kzLog(KZ_LOG_INFO, "capture hw_params number of channels set to %d", w->inChannels);
    if ((rc = snd_pcm_hw_params(pcm, hw)) < 0) {
      audioStepFailed("cannot set capture parameters (%s)\n", rc);
      break;
    }
    kzLog(KZ_LOG_INFO, "capture hw_params set");
    ok = true;
  } while (false);
  snd_pcm_hw_params_free(hw);
  if (!ok) return false;
  kzLog(KZ_LOG_INFO, "capture hw_params freed");
  if ((rc = snd_pcm_prepare(pcm)) < 0) {
    audioStepFailed("cannot prepare capture audio interface for use (%s)\n", rc);
    return false;
  }
  kzLog(KZ_LOG_INFO, "capture audio interface prepared");
  return true;
}

// Sends every packet the queue holds. Cost: one frame per packet.
static void sendQueued(CaptureState *s) {
  uint32_t out = s->out.load(std::memory_order_relaxed);
  while (out != s->in.load(std::memory_order_acquire)) {
    const int16_t *p = s->store.get() + size_t(out % KZ_AUDIO_QUEUE) * 2 * size_t(s->frameLen);
    sendWebSockAudioFrame(s->w, p);
    s->out.store(++out, std::memory_order_release);
  }
}

// Ends the capture state: no handler reads from it once this returns.
static void captureRetire(CaptureState *s, snd_async_handler_t *handler) {
  gCapture.store(nullptr);
  if (handler) snd_async_del_handler(handler);
  while (gInHandler.load() != 0) kzSleepMs(1);
  sem_destroy(&s->ready);
}

void th_leggi(works *w) {
  SetupRec *st = w->setup;
  char dev[sizeof st->AudioIn + 1];
  snprintf(dev, sizeof dev, "%.*s", int(sizeof st->AudioIn), st->AudioIn);
  w->inChannels = st->InChannels[0] == '2' ? 2 : 1;

  snd_pcm_t *pcm = nullptr;
  int rc = w->running.load() != 0 ? openCapture(w, &pcm, dev) : -ECANCELED;
  if (rc < 0 && w->running.load() == 0) {
    kzTrace("th_leggi END\n");  // the unit stops: not a device failure
    return;
  }
  if (rc < 0) {
    kzLog(KZ_LOG_ERR, "cannot open capture audio device '%s' (%s) after %d/10\"", dev,
          snd_strerror(rc), 100);
    kzTrace("cannot open capture audio device '%s' (%s)\n", dev, snd_strerror(rc));
    ExitAUDIOread(w);
    return;
  }
  w->pcmIn = pcm;
  kzLog(KZ_LOG_INFO, "capture audio interface %s opened", dev);
  if (!configureCapture(w, pcm)) {
    ExitAUDIOread(w);
    return;
  }
  // Raw sound of more than 253 frames does not fit the peer's 1024-byte
  // receive buffer: such packets are not sent at all (the peer would drop
  // them and end the connection).
  if (w->audioBitrate == 0 && !audioRawFits(w->frameLen)) {
    kzLog(KZ_LOG_ERR, "raw sound of %d frames per packet does not fit a %d-byte frame: set "
          "Multiplier 1 or AudioCompress, nothing is sent", w->frameLen, KZ_WS_FRAME_MAX);
    kzTrace("raw sound of %d frames per packet does not fit a %d-byte frame: nothing is sent\n",
            w->frameLen, KZ_WS_FRAME_MAX);
  }

  auto s = std::make_unique<CaptureState>();
  s->w = w;
  s->pcm = pcm;
  s->frameLen = w->frameLen;
  const size_t packet = 2 * size_t(w->frameLen);
  s->store.reset(new (std::nothrow) int16_t[packet * KZ_AUDIO_QUEUE]);
  s->scratchStore.reset(new (std::nothrow) int16_t[packet]);
  if (!s->store || !s->scratchStore) {
    kzTrace("capture buffer not allocated\n");
    kzLog(KZ_LOG_ERR, "capture buffer not allocated");
    ExitAUDIOread(w);
    return;
  }
  s->scratch = s->scratchStore.get();
  kzLog(KZ_LOG_INFO, "capture buffer allocated (%d)", int(packet * 2));
  sem_init(&s->ready, 0, 0);
  gCapture.store(s.get());

  snd_async_handler_t *handler = nullptr;
  rc = snd_async_add_pcm_handler(&handler, pcm, MyCallback, w);
  const bool polled = rc == -ENOSYS;
  if (polled) {
    kzLog(KZ_LOG_INFO, "capture device %s has no asynchronous handler: read by th_leggi", dev);
    handler = nullptr;
  } else if (rc < 0) {
    audioStepFailed("cannot add capture pcm handler (%s)\n", rc);
    captureRetire(s.get(), nullptr);
    ExitAUDIOread(w);
    return;
  }
  if ((rc = snd_pcm_start(pcm)) < 0) {
    audioStepFailed("cannot start capture pcm handler (%s)\n", rc);
    captureRetire(s.get(), handler);
    ExitAUDIOread(w);
    return;
  }

  // Step 5, with the sending of the queued packets between the checks.
  const int64_t packetUs = int64_t(w->frameLen) * 1000000 / w->sampleRate;
  int64_t dueUs = kzNowMs() * 1000;
  int64_t nextCheck = kzNowMs() + 2000;
  uint32_t droppedSeen = 0;
  AudioCheck check{};
  bool failed = false;
  for (;;) {
    if (polled) {
      // A plugin without a clock has every frame at once: one packet per
      // packet time of the monotonic clock. (A plugin with a clock of its
      // own makes the read wait as well; one running faster than this
      // clock over-runs now and then, and is started again.)
      const int64_t nowUs = kzNowMs() * 1000;
      if (nowUs - dueUs > 100000) dueUs = nowUs;  // fell behind: no burst
      if (nowUs >= dueUs) {
        if (captureDrain(s.get(), 1) > 0) dueUs += packetUs;
        else snd_pcm_wait(pcm, 5);
      } else {
        kzSleepUs(dueUs - nowUs < 5000 ? dueUs - nowUs : 5000);
      }
    } else {
      timespec ts;
      clock_gettime(CLOCK_MONOTONIC, &ts);
      ts.tv_nsec += 100 * 1000000L;
      if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
      }
      sem_clockwait(&s->ready, CLOCK_MONOTONIC, &ts);
    }
    sendQueued(s.get());
    if (kzNowMs() < nextCheck && w->running.load() != 0 && flagOf(st->EnableRead) == '1')
      continue;
    nextCheck = kzNowMs() + 2000;
    if (s->dropped.load() != droppedSeen) {
      kzLog(KZ_LOG_INFO, "capture: %u packets dropped, the sender fell behind",
            s->dropped.load() - droppedSeen);
      droppedSeen = s->dropped.load();
    }
    if (w->running.load() == 0 || flagOf(st->EnableRead) != '1') break;
    if (!AudioDevicePresent(&check)) {
      failed = true;
      break;
    }
  }

  if (failed) {
    captureRetire(s.get(), handler);
    ExitAUDIOread(w);
    return;
  }
  if ((rc = snd_pcm_drop(pcm)) < 0) {
    kzLog(KZ_LOG_ERR, "cannot drop capture pcm handler (%s)", snd_strerror(rc));
    captureRetire(s.get(), handler);
    ExitAUDIOread(w);
    return;
  }
  // A dropped capture device is in the set-up state, where draining has
  // nothing to do; only a real failure ends the thread.
  if ((rc = snd_pcm_drain(pcm)) < 0 && rc != -EBADFD) {
    kzLog(KZ_LOG_ERR, "cannot drain capture pcm handler (%s)", snd_strerror(rc));
    captureRetire(s.get(), handler);
    ExitAUDIOread(w);
    return;
  }
  captureRetire(s.get(), handler);
  s.reset();
  kzLog(KZ_LOG_INFO, "buffer freed");
  kzLog(KZ_LOG_INFO, "capture audio interface closed");
  snd_pcm_close(pcm);
  w->pcmIn = nullptr;
  // A unit that stops keeps its saved run byte.
  if (w->running.load() != 0) setFlag(st->EnableRead, '0');
  kzTrace("th_leggi END\n");
}

// ---- 6 exits ---------------------------------------------------------------------

void ExitAUDIOread(works *w) {
  kzTrace("th_leggi ERR\n");
  AddErrore(w, 9);
  if (w->pcmIn) snd_pcm_close(static_cast<snd_pcm_t *>(w->pcmIn));
  w->pcmIn = nullptr;
  w->remoteRestart = 1;
  setFlag(w->setup->EnableRead, '0');
  w->playReady = 0;
}

void ExitAUDIOwrite(works *w) {
  kzTrace("th_scrivi ERR\n");
  AddErrore(w, 10);
  std::lock_guard<std::mutex> lk(w->playMut);
  w->playReady = 0;
  if (w->pcmOut) snd_pcm_close(static_cast<snd_pcm_t *>(w->pcmOut));
  w->pcmOut = nullptr;
  w->remoteRestart = 1;
  setFlag(w->setup->EnableWrite, '0');
  delete[] w->playBuf;
  w->playBuf = nullptr;
}
