// The supervisor's frames drawn the short way (recorded calls, the composed
// picture of what stays, frames equal to the last skipped, only the tiles
// that moved copied) against the plain way (background, every call drawn,
// the whole screen copied): long scripted runs through the screens, both
// displays compared byte for byte after every cycle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "amplifier/errors.h"
#include "core/setup.h"
#include "core/timer.h"
#include "panel/keys.h"
#include "panel/menu.h"
#include "panel/meters.h"
#include "panel/png.h"
#include "platform/cmdrun.h"
#include "radio/serparams.h"
#include "screen_support.h"

namespace {

// `opt` carries the frame machinery and mirrors every call to `plain`,
// which shares its background buffer and draws and copies plainly.
struct FrameEqualityFix : KzTempRoot {
  KzLogCapture quiet{0};
  std::filesystem::path oldCwd = std::filesystem::current_path();
  SetupRec rec{};
  std::unique_ptr<works> w = kzTestWorks(rec);
  KzMemScreen opt, plain;
  SerParameters par{};
  TimerHandshake hs;
  std::vector<float> trace = std::vector<float>(1024, -100.0f), aux = trace;
  SpectrumRec spectrum{};
  int frames = 0;

  FrameEqualityFix() : KzTempRoot("kz_frame_eq") {
    std::filesystem::current_path(dir);
    // Every background a screen asks for, each its own gradient (text is
    // blended over it).
    int shade = 0;
    for (const char *n : {"img1", "img1b", "img3", "img3b", "m5a", "start", "start120", "status",
                          "statusB"}) {
      KzMemScreen pic;
      for (int y = 0; y < 480; y++)
        DrawHorizontalLine(0, y, 800, (y + shade) & 255, 60 + shade, 255 - y / 2, &pic.fb, 0);
      shade += 25;
      fbSavePng(&pic.fb, std::string(n) + ".png", FB_DRAW, true);
    }
    kzLoadTestFonts();
    kzSetRoot(dir);
    kzCmdUse(&kzCmdRecorder);
    InitGlobalVar(w.get());
    InitMenuNova(w.get());
    rec.enaser = '1';
    w->ampModel = '0';
    w->ModeWorkIdx = 0;
    w->linkError = 0;
    w->bandRowIdx = 5;
    w->lastKeyTime = kzKeyClockSeconds();
    w->viewTimeStr = 1;
    spectrum.trace = trace.data();
    spectrum.aux = aux.data();
    w->spectrum = &spectrum;
    EXPECT_TRUE(fbFrameAttach(&opt.fb));
    plain.fb.backBuf = opt.fb.backBuf;
    fbMirror(&opt.fb, &plain.fb);
    w->fb = &opt.fb;
    InitGrid();
    SetWorkImg(w.get());
  }
  ~FrameEqualityFix() {
    fbMirror(&opt.fb, nullptr);
    fbFrameDetach(&opt.fb);
    std::filesystem::current_path(oldCwd);
  }

  // n supervisor cycles; after each the two displays hold the same bytes.
  void cycles(int n) {
    for (int i = 0; i < n; i++) {
      rec.enaser = '1';  // the overlay starts no transceiver link here
      TimerCycle(w.get(), par, hs);
      frames++;
      ASSERT_EQ(memcmp(opt.screen.data(), plain.screen.data(), opt.screen.size()), 0)
          << "frame " << frames << ", screen state " << w->screenState.load() << ", layout "
          << w->workScreenType.load() << ", status " << int(w->statusFlags.load());
    }
  }
  void carrier(float fwd, float refl) {
    w->pwrFwd = fwd;
    w->pwrPeak = fwd;
    w->pwrRefl = refl;
    w->pwrIn = fwd / 20;
    w->ampStatus1 = fwd > 0 ? 1 : 0;
  }
};

}  // namespace

TEST(FrameEquality, MetersCarrierErrorsOverlayAndLinkFailure) {
  FrameEqualityFix f;
  works *w = f.w.get();
  for (int layout : {1, 2, 3}) {
    w->workScreenType = layout;
    SetWorkImg(w);
    f.cycles(4);  // no carrier: steady frames
    for (int i = 0; i < 40; i++) {  // carrier on, needles and readings moving
      f.carrier(float(30 + 25 * std::sin(i * 0.3)), float(2 + std::sin(i * 0.5)));
      w->currentRaw = float(2000 + 40 * (i % 3));  // a reading that flickers
      w->temp1 = float(30 + (i / 8) % 2);
      f.cycles(1 + i % 3);
    }
    f.carrier(0, 0);
    f.cycles(4);
  }
  AddErrore(w, 14);  // errors appear, more of them, then clear
  f.cycles(3);
  for (int code : {3, 5, 6, 8, 9, 10, 11}) AddErrore(w, code);
  f.cycles(3);
  w->errCount = 0;
  f.cycles(3);
  w->statusFlags = 1;  // the status overlay over its background
  SetBackground(w, "status");
  f.cycles(4);
  w->statusFlags = 0;
  SetWorkImg(w);
  f.cycles(3);
  w->linkError = 1;  // a link fails, is acknowledged
  snprintf(w->linkErrorText, sizeof w->linkErrorText, "Linear: Unable to open /dev/ttyS1\n");
  f.cycles(4);
  w->linkError = -1;
  f.cycles(4);
  w->backReload = 1;  // a background reloaded in the middle of a frame
  f.cycles(3);
  // A received picture held on the display: the first copy after the hold
  // is whole, nothing of the picture stays.
  const int hold = kzFbFrameHoldMs;
  kzFbFrameHoldMs = 1;
  fbShowFrame(&f.opt.fb, std::vector<uint8_t>(f.opt.screen.size(), 0x5A).data());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kzFbFrameHoldMs = hold;
  f.cycles(2);
  const FbFrameStats st = fbFrameStatsOf(&f.opt.fb);
  // The short ways were taken: steady frames wrote nothing, the moving ones
  // copied a part of the screen.
  EXPECT_GT(st.unchanged, 20u);
  EXPECT_LT(st.rowsCopied, st.frames * 480 / 2);
}

TEST(FrameEquality, KeysThroughEveryScreenAndThePlot) {
  FrameEqualityFix f;
  works *w = f.w.get();
  std::mt19937 rnd(19);
  std::set<int> seen;
  int plotFrames = 0;
  for (int press = 0; press < 400; press++) {
    // A walk over the six keys, now and then held (the main screen's long
    // presses open the bank screens and the status overlay).
    const int key = 1 + int(rnd() % 6);
    const int state = w->screenState.load();
    if (state == KZ_SCR_LINKFAIL) w->linkError = -1;
    DecodeTasto(w, key, rnd() % 8 == 0 ? 1 << (key - 1) : 0);
    seen.insert(w->screenState.load());
    if (press % 25 == 0) {  // back to the main screen: the next layout or the banks
      w->screenState = KZ_SCR_MAIN;
      w->statusFlags = 0;
      w->errCount = 0;
      DecodeTasto(w, press % 50 == 0 ? 6 : 1, press % 50 == 0 ? 0 : 1);
    }
    const int layout = w->workScreenType.load();
    for (int i = 0; i < 2; i++) {
      if (layout >= 4 && i == 1) {  // the plot: a new trace
        for (size_t k = 0; k < f.trace.size(); k++)
          f.trace[k] = -110.0f + 40.0f * float(std::sin(0.05 * double(k) + press));
        f.spectrum.updates++;
        plotFrames++;
      }
      f.cycles(1);
    }
  }
  std::string states;
  for (int s : seen) states += std::to_string(s) + " ";
  EXPECT_GE(seen.size(), 8u) << "the walk should reach most screens: " << states;
  EXPECT_GT(plotFrames, 50);
  EXPECT_GT(fbFrameStatsOf(&f.opt.fb).unchanged, 100u);
}
