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
void StartThreadCommRemote(works *w);
void ExitThreadRemote(works *w);

// Joins every started thread in the shutdown order, logging each text.
void JoinAllThreads();
