// Start-up and shutdown of the program; see kavmain.h.
//
// The order of the start-up is fixed: the amplifier link must have its
// start-up commands queued before its thread starts, the setup file is read
// after the band files (readSetup runs InitGlobalVar again), the loading
// count-down runs while the link talks to the amplifier, the key dispatcher
// is in place before the button thread starts. The Opus codec of the
// remote audio is made before the remote threads start and destroyed after
// every thread is joined.
#include "core/kavmain.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "amplifier/cmdring.h"
#include "amplifier/errors.h"
#include "amplifier/thermal.h"
#include "core/bandconf.h"
#include "core/lan.h"
#include "core/maint.h"
#include "core/optset.h"
#include "core/setup.h"
#include "core/threads.h"
#include "core/timer.h"
#include "core/works.h"
#include "panel/buttons.h"
#include "panel/fb.h"
#include "panel/keyb.h"
#include "panel/keys.h"
#include "panel/mainscreen.h"
#include "panel/menu.h"
#include "panel/png.h"
#include "panel/text.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "radio/serparams.h"
#include "remote/audio.h"
#include "tuner/tunemem.h"

static const char *const kVersion = "0.050";

// Shows the picture `name` as the new background (nothing without a display).
static void showBackground(works *w, const char *name) {
  SetBackground(w, name);
  if (w->fb) fbRealize(w->fb);
}

// Loading count-down shown while main waits for the link's first replies.
static void LoadThread(works *w) {
  int count = waitKAV;
  // main waits one second longer than the count: the count stops at 0.
  while (startInitThread.load() != 0 && count >= 0) {
    if (w->fb) fbSetBack(w->fb);
    kzSleepMs(1000);
    // main has moved on to the status screen: nothing more is drawn over it.
    if (startInitThread.load() == 0) break;
    char text[32];
    snprintf(text, sizeof text, "Loading ...%2d", count);
    if (w->fb) putString(9, 300, 400, text, 255, 255, 255, w->fb);
    count--;
    if (w->fb) fbRealize(w->fb);
    kzTrace("Time %s..\n", text);
  }
}

int KavMain(const KavHooks *hooks) {
  // 1
  kzTrace("START Main ----------------------------------------------------------------\n");
  kzTrace("KAV ZIL version %s\n", kVersion);
  kzLog(KZ_LOG_INFO, "KAV ZIL version %s", kVersion);

  // 2: the display; without one the program runs on and draws nothing.
  FbScreen *fb = fbInit();
  if (fb == nullptr) kzLog(KZ_LOG_ERR, "no display: the program runs without drawing");

  // 3: works and its companion records, zeroed.
  auto w = std::make_unique<works>();
  auto setup = std::make_unique<SetupRec>();
  memset(setup.get(), 0, sizeof(SetupRec));
  // The transceiver parameter record (written by the transceiver link under
  // serMut) and main's own copy of it, both zeroed.
  auto serRec = std::make_unique<SerParameters>();
  memset(serRec.get(), 0, sizeof(SerParameters));
  SerParameters par;
  memset(&par, 0, sizeof par);
  // The spectrum record and its two arrays of 1024 points, zeroed.
  auto spectrum = std::make_unique<SpectrumRec>();
  auto trace = std::make_unique<float[]>(1024);
  auto aux = std::make_unique<float[]>(1024);
  snprintf(w->swVersion, sizeof w->swVersion, "%s", kVersion);
  w->fb = fb;
  // main composes the screen until the supervisor starts; a key's
  // background meanwhile waits for the supervisor's first frame.
  ScreenOwnerTake(w.get(), false);
  w->setup = setup.get();
  w->serParams = serRec.get();
  w->cmdIn = 0;
  w->cmdOut = 0;
  w->microReset = 0;
  // The error texts are in place before any thread can raise a code.
  InitErrTable(w.get());

  // 4
  InitGlobalVar(w.get());
  StepTune1 = 8;
  CntIP = CntDNS = CntNetMask = CntGateway = 3;
  // The run flag reads 1 from here: a watcher started by the hook that
  // polls it does not mistake the zeroed record for a stop.
  if (hooks && hooks->opened) hooks->opened(w.get(), hooks->ctx);

  // 5
  OptSetRemoveStaleTemps();  // what a save cut by a power loss left behind
  ReadConfigFile(w.get());
  InitMicroCmd(w.get());
  ReadVentolaFile(w.get());
  LoadTabFiltri(w.get());
  // readSetup runs the start values again; the band thresholds that the
  // start-up list has just chosen (command 22 is formatted when sent)
  // must survive it.
  int tsKeep[4] = {w->tsThreshold[0], w->tsThreshold[1], w->tsThreshold[2], w->tsThreshold[3]};
  int tsRowKeep = w->tsRow;
  readSetup(w.get());
  for (int i = 0; i < 4; i++) w->tsThreshold[i] = tsKeep[i];
  w->tsRow = tsRowKeep;
  LoadAllBankTable(w.get(), w->numBanco.load());
  w->bandRowIdx = -1;
  kzTrace("ModeWorkIdx %i \n", w->ModeWorkIdx.load());

  // 6
  spectrum->trace = trace.get();
  spectrum->aux = aux.get();
  w->spectrum = spectrum.get();
  ReadLanParam();

  // 7
  LoadFonts();

  // 8: the button thread calls the panel's key dispatcher.
  GpioSetDispatcher(DecodeTasto);
  StartThreadGPIO(w.get());
  StartThreadLinear(w.get());
  kzSleepMs(1000);

  // 9-11: loading count-down.
  waitKAV = 5;
  w->lastKeyTime = kzKeyClockSeconds();
  showBackground(w.get(), w->ampModel.load() == '1' ? "start120" : "start");
  startInitThread = 1;
  StartThreadNamed(thInit, "LoadThread", LoadThread, w.get());
  kzSleepMs(int64_t(waitKAV + 1) * 1000);
  startInitThread = 0;
  // The count-down is in its last pause by now; it ends without drawing,
  // and the status screen below is never drawn over by it.
  if (thInit.th.joinable()) thInit.th.join();

  // 12: the update marker is cleared once the unit has run for a while.
  StartThreadNamed(thAggFw, "AggFWThread", AggFWThread, w.get());

  // 13: the status background, the menus, the key bar; then the first
  // transceiver parameters. Their frequency is taken only from the
  // transceiver's own interface and only once it reports one: a record it
  // has not filled reads 0 Hz, and the start value stays until then.
  showBackground(w.get(), "statusB");
  InitMenuNova(w.get());
  if (w->fb) {
    LoadButtons(w.get(), par);
    fbRealize(w->fb);
  }
  getParameters(&par, w.get());
  if (w->ModeWorkIdx.load() == 1 && par.curFreq > 0) w->freqHz = uint32_t(par.curFreq);

  // 14: the Opus codec of the remote audio.
  AudioCodecCreate(w.get());

  // 15-17
  if (w->setup->EnableKeyb == '1') {
    StartThreadNamed(thrKey, "keyb", keyb, w.get());
  }
  StartThreadSoket(w.get());
  StartThreadKAV(w.get());
  SetupRec *s = w->setup;
  if (s->EnableWrite == '1' || s->EnableRead == '1' || s->EnableCAT == '1' ||
      s->EnableFFT == '1') {
    StartThreadCommRemoteAtBoot(w.get());
    w->remoteActive = 1;
  }
  StartThreadCATserial(w.get());
  StartThreadTimer(w.get());

  if (hooks && hooks->started) hooks->started(w.get(), hooks->ctx);

  // 18
  while (w->running.load() != 0) kzSleepMs(1000);

  // Shutdown.
  kzTrace("Close..\n");
  // The supervisor ends its cycle first (it sees the run flag within one
  // cycle), so its last frame cannot land over the closing screen; then
  // main composes it, and a key's background asked for from now on is
  // dropped.
  while (TimerRunning()) kzSleepMs(10);
  ScreenOwnerTake(w.get(), true);
  showBackground(w.get(), w->ampModel.load() == '1' ? "start120" : "start");
  if (w->fb) {
    // Centred on the screen: the last picture every stop leaves.
    static const int fonts[] = {9, 8};
    putStringBox(fonts, 2, 20, 780, 400, 1, 1, "Error! Close Program! Restart hw.", 255, 255,
                 255, w->fb);
    fbRealize(w->fb);
  }
  kzSleepMs(2000);
  kzLog(KZ_LOG_INFO, "Communicator operations end");
  JoinAllThreads();
  AudioCodecDestroy(w.get());
  if (hooks && hooks->stopped) hooks->stopped(w.get(), hooks->ctx);
  kzTrace("Closed!\n");
  staticworks = nullptr;
  return 0;
}
