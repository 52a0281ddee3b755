// Remote audio: the packet pieces (widening, frames, decoding, the fill
// guard), the threads' end when the USB sound device goes and their
// restart, and a tone carried between two units over loopback on ALSA's
// file plugins, raw and through Opus.
#include <gtest/gtest.h>

#include <opus/opus.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/threads.h"
#include "platform/usb.h"
#include "remote/audio.h"
#include "sim/alsaconf.h"
#include "audio_support.h"
#include "ws_support.h"

namespace {

constexpr int kWait = 30000;  // generous: the machine is shared

void setText(char *field, size_t size, const char *text) {
  memset(field, 0, size);
  snprintf(field, size, "%s", text);
}

// A run byte as the audio threads write it (atomically).
char flag(char &c) { return std::atomic_ref<char>(c).load(); }

void soundDevice(bool present) {
  const KzUsbId ids[] = {{KZ_AUDIO_USB_VENDOR, KZ_AUDIO_USB_PRODUCT}};
  kzUsbSimSetDevices(ids, present ? 1 : 0);
}

// A unit's audio settings: the project's plugin PCMs, mono capture.
void audioUnit(WsUnit &u, int bitrate, int frameLen) {
  u.w->errorsMuted = 0;
  u.w->frameLen = frameLen;
  u.w->audioBitrate = bitrate;
  u.w->audioBuffers = 20;
  setText(u.rec.AudioIn, sizeof u.rec.AudioIn, KZ_SIM_CAPTURE_PCM);
  setText(u.rec.AudioOut, sizeof u.rec.AudioOut, KZ_SIM_PLAYBACK_PCM);
  u.rec.InChannels[0] = '1';
  AudioCodecCreate(u.w.get());
}

}  // namespace

TEST(Audio, PacketPieces) {
  // Mono samples 1, 2, 3 become frames 1,1 2,2 3,3.
  int16_t b[6] = {1, 2, 3, 0, 0, 0};
  audioWiden(b, 3);
  EXPECT_EQ(std::vector<int16_t>(b, b + 6), (std::vector<int16_t>{1, 1, 2, 2, 3, 3}));

  SetupRec rec{};
  auto w = kzTestWorks(rec);
  w->sampleRate = 48000;
  std::vector<int16_t> packet(2 * 480, 100);
  uint8_t frame[KZ_WS_FRAME_MAX];
  // Raw: Multiplier 1 fits the peer's 1024-byte buffer (960 + 10 bytes),
  // Multiplier 2 does not and is refused rather than sent.
  w->frameLen = 240;
  ASSERT_EQ(audioBuildFrame(w.get(), packet.data(), frame), 970);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(frame), 10),
            std::string("\x82\x7e\x03\xc6SO\x00\x00\x03\xc0", 10));
  w->frameLen = 480;
  EXPECT_EQ(audioBuildFrame(w.get(), packet.data(), frame), -1);
  // With Opus, Multiplier 2 travels in a small frame.
  w->audioBitrate = 64000;
  AudioCodecCreate(w.get());
  ASSERT_NE(w->opusEnc, nullptr);
  const int len = audioBuildFrame(w.get(), packet.data(), frame);
  EXPECT_GT(len, KZ_SO_HEADER);
  EXPECT_LT(len, 1024);

  // Decoding into one packet (4 x frameLen bytes, checked by a guard
  // after it): a good packet gives frameLen frames, a corrupt one a packet
  // of silence, and a length field past the frame is cut to it.
  std::vector<uint8_t> out(4 * 480 + 16, 0xEE);
  EXPECT_EQ(audioDecodeSO(w.get(), frame + 6, len - 6, out.data()), 480);
  std::vector<uint8_t> bad(frame + 6, frame + len);
  bad[4] = 0xFF;  // an Opus code-3 header with an impossible frame count
  bad[5] = 0xFF;
  EXPECT_EQ(audioDecodeSO(w.get(), bad.data(), int(bad.size()), out.data()), 480);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 4 * 480, [](uint8_t v) { return v == 0; }));
  w->audioBitrate = 0;
  w->frameLen = 240;
  std::fill(out.begin(), out.end(), 0xEE);
  std::vector<uint8_t> raw(4 + 1010, 7);
  raw[0] = 0x7F;  // n claims far more than the frame holds
  EXPECT_EQ(audioDecodeSO(w.get(), raw.data(), int(raw.size()), out.data()), 240);
  EXPECT_EQ(out[4 * 240], 0xEE);  // nothing past the packet
  EXPECT_EQ(out[4 * 480 + 15], 0xEE);
  AudioCodecDestroy(w.get());

  // The fill guard: up to 4800 queued frames play; past that the device is
  // reset, and the next packet starts from the empty device again.
  AudioGuard g{};
  EXPECT_EQ(audioGuardStep(&g, 20480), 1);
  EXPECT_EQ(audioGuardStep(&g, 20480 - 4800), 1);
  EXPECT_EQ(audioGuardStep(&g, 20480 - 4801), 0);
  EXPECT_EQ(g.minfree, g.free1);
  EXPECT_EQ(audioGuardStep(&g, 20480), 1);
  EXPECT_EQ(audioGuardStep(&g, 20480 - 2000), 1);
}

TEST(Audio, SoundDeviceGoneEndsBothThreadsAndTheyRestart) {
  KzTempRoot root("kz_audio_dev");
  KzLogCapture log(0);
  kzCmdUse(&kzCmdRecorder);
  ASSERT_EQ(simAlsaConfigure(root.dir + "/asound.conf", "", ""), 0);
  soundDevice(true);
  WsUnit u;
  audioUnit(u, 0, 240);
  works *w = u.w.get();
  u.rec.EnableRead = u.rec.EnableWrite = '1';
  // The rest of the remote group reads as running: the restart leaves it.
  u.rec.EnableCAT = u.rec.EnableFFT = '1';
  w->remoteActive = 1;
  StartThreadAudioWrite(w);
  StartThreadAudioRead(w);
  auto running = [&](int n) {
    return log.count("capture audio interface prepared") >= n &&
           log.count("playback buffer allocated (960)") >= n;
  };
  ASSERT_TRUE(kzWaitFor([&] { return running(1); }, kWait));
  soundDevice(false);
  ASSERT_TRUE(kzWaitFor([&] { return ExistError(w, 9) && ExistError(w, 10); }, kWait));
  ASSERT_TRUE(kzWaitFor([&] { return log.count("th_scrivi ERR\n") == 1; }, kWait));
  EXPECT_EQ(log.count("th_leggi ERR\n"), 1);
  ASSERT_TRUE(kzWaitFor([&] { return flag(u.rec.EnableRead) == '0'; }, kWait));
  EXPECT_TRUE(flag(u.rec.EnableWrite) == '0' && w->remoteRestart == 1);
  // The error handling starts both again, once both have ended.
  JoinAllThreads();
  EXPECT_TRUE(w->pcmIn == nullptr && w->pcmOut == nullptr && w->playBuf == nullptr);
  soundDevice(true);
  GestErroreRemote(w);
  EXPECT_TRUE(u.rec.EnableRead == '1' && u.rec.EnableWrite == '1' && w->remoteRestart == 0);
  EXPECT_TRUE(kzWaitFor([&] { return running(2); }, kWait));
  w->running = 0;
  JoinAllThreads();
  AudioCodecDestroy(w);
}

TEST(Audio, ToneTravelsBetweenTwoUnitsRawAndOpus) {
  for (int bitrate : {0, 64000}) {
    SCOPED_TRACE(bitrate);
    KzTempRoot root("kz_audio_e2e");
    KzLogCapture log(0);
    kzCmdUse(&kzCmdRecorder);
    soundDevice(true);
    const std::string tone = root.dir + "/tone.raw", played = root.dir + "/played.raw";
    writeTone(tone, 1000, 4.0, 48000, false);
    ASSERT_EQ(simAlsaConfigure(root.dir + "/asound.conf", tone, played), 0);
    WsUnit server, client;
    // Raw sound fits a frame with Multiplier 1 only; Opus runs at 2.
    audioUnit(server, bitrate, bitrate ? 480 : 240);
    audioUnit(client, bitrate, bitrate ? 480 : 240);
    server.rec.EnableRead = '1';
    client.rec.EnableWrite = '1';
    server.startServer();
    client.startClient(server.port);
    ASSERT_TRUE(kzWaitFor(
        [&] { return server.w->wsConnected == 1 && client.w->wsConnected == 1; }, kWait));
    std::thread play(th_scrivi, client.w.get());
    ASSERT_TRUE(kzWaitFor([&] { return log.countContaining("playback buffer allocated") == 1; },
                          kWait));
    std::thread capture(th_leggi, server.w.get());
    // One second of stereo sound on the client's playback file.
    EXPECT_TRUE(kzWaitFor([&] {
      std::error_code ec;
      return std::filesystem::file_size(played, ec) >= 192000 && !ec;
    }, kWait));
    server.w->running = 0;
    client.w->running = 0;
    capture.join();
    play.join();
    server.stop();
    client.stop();
    AudioCodecDestroy(server.w.get());
    AudioCodecDestroy(client.w.get());

    const std::vector<int16_t> s = readSamples(played);
    EXPECT_NEAR(leftFrequency(s), 1000.0, 20.0);
    if (bitrate == 0) {
      // Raw: the mono tone arrives widened, both channels equal.
      size_t differ = 0;
      for (size_t i = 0; i + 1 < s.size(); i += 2) differ += s[i] != s[i + 1];
      EXPECT_EQ(differ, 0u);
    }
    EXPECT_EQ(log.countContaining("EIK, SO"), 0);  // the client plays without traces
  }
}
