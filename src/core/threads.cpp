// Thread table and start operations; see threads.h.
//
// Each start operation tests the setup byte of its thread, creates the
// thread with works as its only argument and keeps the handle in its table
// slot.
#include "core/threads.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/setup.h"
#include "core/timer.h"
#include "core/works.h"
#include "panel/buttons.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "radio/cat.h"
#include "radio/catserial.h"
#include "radio/kavread.h"
#include "radio/serlink.h"
#include "remote/audio.h"
#include "remote/ws.h"

KzThread thrGPIO, thrLin, thInit, thAggFw, thrKey, thrWsock, thrSer, thrLeggi, thrScrivi, thrCat,
    thrFFT, thrCatSer, thrTime;

int waitKAV = 5;
std::atomic<int> startInitThread{0};

// The table is changed by start operations on other threads (the error
// handler restarts remote threads) while main may be joining it.
static std::mutex gTableMut;

void kzNameThread(std::thread &t, const char *name) {
  char cut[16];
  snprintf(cut, sizeof cut, "%s", name);
  pthread_setname_np(t.native_handle(), cut);
}

void StartThreadNamed(KzThread &slot, const char *name, void (*fn)(works *), works *w) {
  std::lock_guard<std::mutex> lk(gTableMut);
  // A slot whose earlier thread ended (remote restart) is joined first.
  if (slot.started && slot.th.joinable()) slot.th.join();
  slot.th = std::thread(fn, w);
  kzNameThread(slot.th, name);
  slot.started = true;
}

void StartThreadGPIO(works *w) {
  if (w->setup->EnableGPIO == '1') StartThreadNamed(thrGPIO, "GPIO", GPIO, w);
}

void StartThreadLinear(works *w) {
  if (w->setup->EnableLinear != '1') return;
  // The link thread runs on after a port failure: a retry reopens its port.
  if (LinearRequestReopen()) return;
  StartThreadNamed(thrLin, "Linear", Linear, w);
}

void StartThreadSoket(works *w) {
  char mode = w->setup->WebSocket;
  if (mode == '1')
    kzTrace(">>>>>>>>>> SOCKET SERVER start\n");
  else if (mode == '2')
    kzTrace(">>>>>>>>>> SOCKET CLIENT start\n");
  else
    return;
  if (mode == '1')
    StartThreadNamed(thrWsock, "Wsocket", Wsocket, w);
  else
    StartThreadNamed(thrWsock, "Wclient", Wclient, w);
}

void StartThreadKAV(works *w) {
  // The run byte is switched by the key and screen threads while the link
  // reads it.
  if (std::atomic_ref<char>(w->setup->enaser).load() != '1') return;
  // A link thread still running carries on with its run byte set again
  // (its slot would otherwise be joined while it runs).
  if (!SerialClaim()) return;
  kzTrace("KAVread start\n");
  StartThreadNamed(thrSer, "Serial", Serial, w);
}

void StartThreadCAT(works *w) {
  if (std::atomic_ref<char>(w->setup->EnableCAT).load() != '1') return;
  // A network CAT thread still running carries on with its byte set again.
  if (!CatClaim()) return;
  kzTrace("Cat.c start\n");
  StartThreadNamed(thrCat, "Cat", Cat, w);
}

void StartThreadCATserial(works *w) {
  if (std::atomic_ref<char>(w->setup->enaCatSer).load() != '1') return;
  // The mode switch and the start-up both start it: one thread at a time.
  if (!CatSerialClaim()) return;
  StartThreadNamed(thrCatSer, "CatSerial", CatSerial, w);
}

void StartThreadAudioRead(works *w) {
  if (std::atomic_ref<char>(w->setup->EnableRead).load() != '1') return;
  kzTrace("Th_leggi start\n");
  StartThreadNamed(thrLeggi, "th_leggi", th_leggi, w);
}

void StartThreadAudioWrite(works *w) {
  if (std::atomic_ref<char>(w->setup->EnableWrite).load() != '1') return;
  kzTrace("Th_scrivi start\n");
  StartThreadNamed(thrScrivi, "th_scrivi", th_scrivi, w);
}

void StartKavReadFFT(works *w) {
  if (std::atomic_ref<char>(w->setup->EnableFFT).load() != '1') return;
  // A reader still running carries on (its slot would be joined under it).
  if (!KavReadClaim()) return;
  StartThreadNamed(thrFFT, "KAVRead", KAVRead, w);
}

void StartThreadTimer(works *w) {
  if (w->setup->EnableTime == '1') StartThreadNamed(thrTime, "timer", timer, w);
}

// The remote group in its start order. Threads whose byte reads '0' are
// switched on and started; with `savedToo` (boot) those whose byte was
// saved as '1' are started as well: at boot none of them runs yet, and the
// saved bytes say the group was on when the unit was switched off.
static void startRemoteGroup(works *w, bool savedToo) {
  w->remoteRestart = 0;
  struct {
    char *flag;
    void (*start)(works *);
  } group[4] = {{&w->setup->EnableWrite, StartThreadAudioWrite},
                {&w->setup->EnableRead, StartThreadAudioRead},
                {&w->setup->EnableCAT, StartThreadCAT},
                {&w->setup->EnableFFT, StartKavReadFFT}};
  // The bytes are the running threads' run flags: read and set atomically.
  for (auto &g : group) {
    std::atomic_ref<char> flag(*g.flag);
    if (flag.load() == '0') {
      flag.store('1');
      g.start(w);
    } else if (savedToo && flag.load() == '1') {
      g.start(w);
    }
  }
  writeSetup(w);
  w->panelCmd = 149;
}

void StartThreadCommRemote(works *w) { startRemoteGroup(w, false); }

void StartThreadCommRemoteAtBoot(works *w) { startRemoteGroup(w, true); }

void ExitThreadRemote(works *w) {
  // Run flags of running threads: stored atomically.
  for (char *flag : {&w->setup->EnableWrite, &w->setup->EnableRead, &w->setup->EnableCAT,
                     &w->setup->EnableFFT})
    std::atomic_ref<char>(*flag).store('0');
  kzSleepMs(500);
  for (int code : {9, 10, 5, 20}) DeleteErrore(w, code);
  writeSetup(w);
  w->panelCmd = 165;
  kzTrace(">>>>>>>>>>>>>>>>>>>>>>>>> REMOTE STOP \n");
}

static void joinOne(KzThread &slot, const char *text) {
  std::thread th;
  {
    std::lock_guard<std::mutex> lk(gTableMut);
    if (!slot.started) return;
    th = std::move(slot.th);
    slot.started = false;
  }
  if (th.joinable()) th.join();
  if (text) kzLog(KZ_LOG_INFO, "%s", text);
}

void JoinAllThreads() {
  joinOne(thrKey, "Communicator joined Key end");
  joinOne(thrFFT, "Communicator joined FFT end");
  joinOne(thrLeggi, nullptr);
  joinOne(thrScrivi, nullptr);
  joinOne(thrWsock, "Communicator joined Wsocket end");
  joinOne(thrCat, "Communicator joined Cat end");
  joinOne(thrCatSer, "Communicator joined CatSerial end");
  joinOne(thrSer, "Communicator joined Serial end");
  joinOne(thrLin, "Communicator joined Linear end");
  joinOne(thrTime, "Communicator joined Time end");
  joinOne(thrGPIO, "Communicator joined GPIO end");
  // The loading thread is not joined on the board; it has long ended by
  // now, and a std::thread must not be destroyed joinable.
  if (thInit.th.joinable()) thInit.th.join();
  if (thAggFw.th.joinable()) thAggFw.th.join();
}
