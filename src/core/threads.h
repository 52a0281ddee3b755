// Thread table: the global handles of the worker threads, their start
// operations (each tests its setup byte), and the join order at shutdown.
// A thread whose condition is false is not created and not joined.
#pragma once
#include <thread>

struct works;

struct KzThread {
  std::thread th;
  bool started = false;
};

extern KzThread thrGPIO, thrLin, thInit, thAggFw, thrKey, thrWsock, thrSer, thrLeggi, thrScrivi,
    thrCat, thrFFT, thrCatSer, thrTime;

extern int waitKAV;
extern std::atomic<int> startInitThread;

// Every thread of the program is started here: `fn(w)` in `slot`, named
// `name` (the thread entry's name, which top -H and a debugger show). A
// slot whose earlier thread has ended is joined first.
void StartThreadNamed(KzThread &slot, const char *name, void (*fn)(works *), works *w);
// Names a running thread; names are cut to the system's 15 characters.
void kzNameThread(std::thread &t, const char *name);

void StartThreadGPIO(works *w);
void StartThreadLinear(works *w);
void StartThreadSoket(works *w);
void StartThreadKAV(works *w);
void StartThreadCAT(works *w);
void StartThreadCATserial(works *w);
void StartThreadAudioRead(works *w);
void StartThreadAudioWrite(works *w);
void StartKavReadFFT(works *w);
void StartThreadTimer(works *w);
// The remote group: StartThreadCommRemote switches on and starts the
// threads whose byte reads '0' (the menu, after a stop); the boot path also
// starts those saved as '1'. Both save the setup and send order 149.
void StartThreadCommRemote(works *w);
void StartThreadCommRemoteAtBoot(works *w);
// Switches the group's bytes to '0' (the threads end by themselves), waits
// 500 ms, clears errors 9, 10, 5, 20, saves the setup, sends order 165.
void ExitThreadRemote(works *w);

// Joins every started thread in the shutdown order, logging each text.
void JoinAllThreads();
