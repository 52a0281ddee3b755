// works: the one state record of the program.
//
// main owns it for the whole run, builds it zeroed (value-initialised), fills
// it from the configuration files and hands a pointer to it to every thread.
// There is no lock over the record: each field has one writing module and is
// read freely by the others. Fields that one thread writes while another
// polls them are std::atomic; the few locks that exist guard the command
// ring's two-step write, the error list and the tuner value.
//
// Sections, in record order:
//   1 run control         2 link start fault    3 display
//   4 identity            5 remote link         6 audio
//   7 amplifier link      8 command queue       9 error registry
//  10 band tables        11 radio state        12 amplifier status
//  13 settings mirrors and tuner state         14 link bookkeeping
//  15 tail (bank, hold-off, debug and log flags)
// Later modules add their own fields to the section that owns them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct SetupRec;  // core/setup.h
struct FbScreen;  // the framebuffer record of the panel
struct SerParameters;  // radio/serparams.h: the transceiver parameter record

// The spectrum record: two arrays of 1024 floats owned by main. `trace`
// is what the plot draws (dBm per point); `aux` belongs to the spectrum
// source. Both stay zero until a spectrum source is part of the build.
struct SpectrumRec {
  float *trace;
  float *aux;
  // Traces stored so far (bumped under serMut by the writer of the trace):
  // 0 means no spectrum has arrived and the plot draws no trace.
  std::atomic<uint32_t> updates;
};

// One row of config.txt: calibration, protection thresholds, tune parameters.
struct ConfRow {
  uint32_t low;   // lower band edge, Hz
  uint32_t high;  // upper band edge, Hz (logged only)
  float kFwd, kRefl, kIn;  // W per raw unit squared
  float kCorr;             // reflected-power correction by forward power
  float thrIn, thrCurrent, thrRefl, thrFwd;
  int tuneParA[5];  // read and kept, used by no search
  int tuneParB[5];
  int step;  // read and kept
};

// One row of filter.txt.
struct FilterRow {
  uint32_t low;
  uint32_t high;
  int enabled;
};

// One row of ventola.txt (the fan curve).
struct FanRow {
  float temperature;
  int percentage;
};

// One stored tune of the tune memory (6 bytes, this order).
struct TuneVal {
  uint8_t valid;  // 1 = the slot holds a tune
  uint8_t mode;   // network mode 0-3 (1 "CL", 2 "LC", 3 bypass)
  int16_t ind;    // inductor code 0-511
  int16_t cap;    // capacitor code 0-511
};

// One row of the bank table: what the unit does on one band.
struct BandRow {
  char name[8];       // at most 7 characters used
  int32_t lowHz;      // lower band edge
  int32_t highHz;     // upper band edge, inclusive
  uint8_t ampEnable;  // 1 operate, 0 standby
  uint8_t ant;        // antenna 1-3, 0 = leave the antenna alone
  uint8_t atuOff;     // 1 tuner bypassed, 0 tuner in line
  uint8_t attIdx;     // input attenuator 0-3
  float pwr;          // power figure of the "Pwr" column
};

// Error descriptor: kind bits (0 alarm, 1 needs a protection reset,
// 2 temporary warning) and the two lines of its button.
struct ErrDesc {
  uint8_t kind;
  char line1[30];
  char line2[30];
};

enum {
  KZ_CMD_RING = 30,
  KZ_ERR_CODES = 25,
  KZ_FILTERS = 8,
  KZ_TUNE_SLOTS = 5000,  // slots of the tune memory per antenna
  KZ_ANTENNAS = 3,
  KZ_BAND_ROWS = 11,
};

struct works {
  // 1 run control
  std::atomic<uint32_t> running;

  // 2 link start fault: 0 none, 1 amplifier port, 2 FT-817 CAT port,
  //   3 transceiver port, -1 acknowledged by the operator
  std::atomic<int> linkError;
  char linkErrorText[100];  // under linkErrMut (core/linkerr.h)
  std::mutex linkErrMut;

  // 3 display
  FbScreen *fb;  // null when no display could be opened: nothing is drawn
  char imgName[9];  // base name of the background picture ("%s.png"), the screen owner's
  // The screen owner and the background another thread asked for
  // (panel/png.h); bgMut guards the four, bgPending: one is waiting.
  std::mutex bgMut;
  std::thread::id bgOwner;  // the empty id: no owner, every load at once
  bool bgClosing;           // the closing screen: requests are dropped
  char bgAsked[9];
  std::atomic<bool> bgPending;
  // The panel notice: one short text for the operator on the main screen's
  // message line, shown until its deadline (core/notice.h). noticeMut
  // guards the text and the deadline together.
  std::mutex noticeMut;
  char noticeText[64];
  int64_t noticeUntilMs;
  // Settings files reported damaged or unreadable in this run, for the
  // notice that names them (core/optset.h, which guards it).
  char damagedFiles[160];

  // 4 identity
  std::atomic<uint8_t> ampRegion;  // '0' EU, '1' USA, 255 not reported yet
  std::atomic<uint8_t> ampModel;   // '0' 60 W, '1' 120 W, 255 not reported yet
  char swVersion[20];
  uint8_t ampSerial[32];
  uint8_t ampSerial2[32];
  char fwVersion[20];
  char serverHost[100];

  // 5 remote link
  int16_t tcpPort;
  int serFD, catFD, catSerFD;
  char wsPassword[13];
  // The WebSocket connection (remote/ws.h). The transport thread owns the
  // socket: it sets wsFD and wsConnected under wsMut, and clears
  // wsConnected under wsMut before it closes the socket, so a sender that
  // holds wsMut and sees wsConnected 1 writes to the live connection.
  std::atomic<int> wsFD;
  std::atomic<int> wsConnected;  // 1 while messages may be sent
  std::mutex wsMut;              // send lock: one whole frame per holder
  std::mutex wsConnMut;          // taken by the server while it connects
  char remoteStatus[200];        // last "ST" payload (transport thread only)

  // 6 audio
  int frameLen, audioFormat, sampleRate;
  SetupRec *setup;
  // setup.txt could not be read: the record holds start values, and
  // writeSetup refuses to replace the file with them.
  std::atomic<uint8_t> setupUnread;
  void *opusEnc, *opusDec;
  int audioBitrate;
  // Remote audio (remote/audio.h): the ALSA handles (snd_pcm_t), the
  // playback packet of 4 x frameLen bytes and the capture channel count.
  // playMut is held by the transport thread for one packet's playback and
  // by th_scrivi while it closes the device or frees playBuf, so a packet
  // never meets a closed device or a freed buffer.
  void *pcmOut, *pcmIn;
  uint8_t *playBuf;
  int inChannels;
  std::atomic<int> playReady;
  std::mutex playMut;

  // 7 amplifier link
  int linFD;

  // 8 command queue: ring of command numbers, empty when cmdIn == cmdOut.
  //   cmdMut guards the two-step write of slot and index (many writers).
  int cmdQueue[KZ_CMD_RING];
  std::atomic<int> cmdOut, cmdIn;
  std::atomic<uint8_t> tuneCmdPending;
  std::mutex cmdMut;

  // 9 error registry; errMut guards add, remove and the sweeps.
  std::atomic<uint8_t> errFlags;  // bit 0 protection reset needed, bit 1
                                  // display acknowledged, bit 2 temp. warnings
  int errList[KZ_ERR_CODES];
  std::atomic<int> errCount;
  ErrDesc errTable[KZ_ERR_CODES];
  std::atomic<uint8_t> errResetState;  // 0 idle, 1 reset queued, 2 sent
  std::atomic<uint32_t> errRaised;     // codes registered so far (AddErrore)
  std::atomic<uint32_t> errSeen;       // errRaised at the operator's last key
  std::recursive_mutex errMut;

  // 10 band tables
  std::vector<ConfRow> confTab;
  int confCount;
  std::atomic<int> tsRow;  // row whose thresholds were last sent, -1 at start
  FilterRow filters[KZ_FILTERS];
  std::atomic<uint8_t> filterCode;  // filter selection last sent, one bit per filter
  std::vector<FanRow> fanTab;
  int fanCount;
  std::atomic<uint8_t> remoteActive;  // 1 while the remote mode is on (button thread)

  // 11 radio state
  std::atomic<uint32_t> freqHz, lastFreqHz;
  std::atomic<int> freqMeasured;  // the amplifier's frequency counter, Hz
  std::atomic<int> plotSpan;  // set by the layout switch, read by the plot
  std::atomic<int> antenna;  // 0-based
  std::atomic<int> anState;
  std::atomic<int> bandRowIdx;  // bank-table row of freqHz, -1 forces update,
                                // 100 when no row holds the frequency

  // 12 amplifier status (written by the reply decoder)
  std::atomic<uint8_t> ampStatus0, ampStatus1, ampFault;
  uint16_t rawIn, rawFwd, rawRefl, rawCurrent, rawTemp1, rawTemp2, rawPeak;
  std::atomic<float> pwrIn, pwrFwd, pwrRefl, pwrPeak, swr;
  std::atomic<float> currentRaw;  // amperes = value / 4096 x 14.05
  std::atomic<float> temp1, temp2;
  std::atomic<int64_t> lastStatusMs;  // clock ms of the last status reply, 0 none
  std::atomic<uint8_t> attForced;     // 0: the amplifier's attenuator is the step
                                      // `attenuator`; else 1 + the step it was told
                                      // last by the protection ("AT11;") or a tune
  std::atomic<int> fanPercent, fanSent;

  // 13 settings mirrors (numeric copies of setup keys)
  int divide;
  uint8_t enablePwrPeak, tempMode, freqSensIn;
  int freqPeriodTime;
  std::atomic<uint8_t> attenuator, attenuatorTune, attenuatorShown;
  float swrEscAutoTune;
  uint8_t viewTimeStr, viewTemp;
  float maxTemperature, maxTemperature2;
  int maxTempAllowed;
  uint8_t autoTuneMaxCicli, powerUnits, saveScreenIdx;
  // Auto-tune search (AutoTuneSearch): 0 the walk, 1 "Fast"; set by the
  // menu on the button thread, read by the link thread when a tune starts.
  std::atomic<uint8_t> autoTuneSearch;
  int psPar[4];
  int gmPar[2];
  int isteresi1, isteresi2;
  double offsetPlot;
  //    tuner and amplifier state
  std::atomic<uint8_t> autoTuneMode;  // bit 0 the setting; bits 1-6 handshake
  std::atomic<int> tuneReply;
  std::atomic<uint8_t> tuneState;  // 0 idle, 1 tuning, 2 trip seen, 3 resend ST
  std::atomic<uint8_t> atuBypass, ampBypass, ampBypassReq;
  std::atomic<uint32_t> tuneWord;
  int valC, valI, tuneMode;      // last decoded (or set) from tuneWord
  std::atomic<uint8_t> semTuneval;  // 1 while a thread holds the tuner value
  int tuneStep;                  // state of the auto-tune machine
  std::atomic<int> txActive;     // 1 while the KAV transceiver transmits
  int tsThreshold[4];
  char genericSettings[12];
  std::atomic<uint8_t> panelCmd;
  std::atomic<uint8_t> errorsMuted;  // bit 0: errors ignored until "CP"
  std::atomic<uint8_t> txKeyFlags;
  std::atomic<uint8_t> maintFlags;  // bit 0 FW update armed, 1 remote service,
                                    // 2 "MR1;" sent, 3 UI update armed
  std::atomic<int> screenState;
  std::atomic<int> ModeWorkIdx;  // 0 Generic, 1 KAV transceiver, 2 FT-817

  // 14 link bookkeeping
  std::atomic<uint8_t> panelReply[4];  // supervisor chip: version, 12 V, 15 V, supply
  uint32_t panelCmdTimer;              // passes until the next periodic read
  uint8_t panelCmdIdx;                 // position in the periodic read cycle
  std::atomic<uint8_t> keyFlags;       // bit 0 a long press is about to fire
  std::atomic<int64_t> lastKeyTime;    // seconds, time of the last key
  char lastCmd[2];
  int lastCmdState;
  std::atomic<int> retryTotal, retryCount, restartCount;
  std::atomic<uint8_t> microReset;

  // 15 tail
  int8_t tuneEnabled;
  std::atomic<int> numBanco, maxBank;
  std::atomic<int> timeoutHoldoff;  // ms before error 4 may be raised again
  uint8_t enableDebug;
  std::atomic<uint8_t> remoteRestart;
  uint8_t enableLogTemp;
  std::atomic<uint8_t> logRemoved;
  int audioBuffers;
  double logTempAccumMs;  // temperature-log accumulator of the supervisor

  // tune memory and bank table of the current bank. tabMut is held by
  // every whole-table operation (bank load, tune store and its file, tune
  // load, band automation) so that none sees a half-loaded table and no
  // file is written from one. Taken after the tuner value semaphore and the
  // auto-tune lock, never before them.
  std::recursive_mutex tabMut;
  // Tables whose file could not be read (an error other than "does not
  // exist"): what memory holds is not the file, so no save may replace it
  // (core/optset.h). Set and cleared by each load.
  std::atomic<uint8_t> tuneTabUnread[KZ_ANTENNAS];
  std::atomic<uint8_t> bandTabUnread;
  // tune memory of the current bank: one table per antenna
  TuneVal tuneTab[KZ_ANTENNAS][KZ_TUNE_SLOTS];
  // bank table of the current bank
  BandRow bandTab[KZ_BAND_ROWS];
  int bandCount;
  int antTabRow, antTabCol;  // cursors of the bank-table editing screen
  char dateTimeStr[32];   // "%Y-%m-%d %H:%M:%S", kept by the supervisor
  int timerPeriod;        // supervisor pause, microseconds

  // 16 front panel: screens, keys, menus, meters
  //    screen states (written by the key dispatcher and the supervisor)
  std::atomic<int> workScreenType;    // main-screen layout 1-5
  std::atomic<uint8_t> statusFlags;   // bit 0 status overlay, bit 1 interface/bank screen
  std::atomic<uint8_t> saverActive;   // the screen saver shows
  std::atomic<int64_t> saverHoldTime; // key-clock seconds: the saver's idle time
                                      // also counts from here (transmit, new error)
  std::atomic<uint8_t> backReload;    // 1: reload the main background (1 at start)
  std::atomic<uint8_t> manualTune;    // manual tuning mode is on
  std::atomic<uint8_t> txTest;        // manual-tuning test transmission bits 0, 1, 4, 5
  std::atomic<int> anResendCnt;       // cleared with the test carrier's order 21
  std::atomic<int> saveBank, saveAnt; // target of SAVE of the tuning values
  std::atomic<int> copySrc, copyDst, resetBank;  // utility screens; resetBank ==
                                                 // maxBank means every bank
  //    settings menu cursor
  std::atomic<int> menuIdx, menuSub;
  int menuCount;
  //    information screen readings
  std::atomic<float> cpuTemp, gpuTemp;  // degrees C, from "my_temp"
  //    meters: needle angles (radians) and peak hold
  float angleFwd, angleRight, angleFwdPeak, angleRightPeak;
  float peakFwd, peakRight;
  int peakFwdHold, peakRightHold;      // ms of hold left
  int peakFwdDecCnt, peakRightDecCnt;  // cycles since the last decay step
  uint8_t peakStarted;                 // the first cycle only stores the value
  //    transceiver side (filled by the radio links when they are built)
  std::atomic<uint32_t> catFreq;  // FT-817 frequency, Hz
  std::atomic<uint8_t> catMode;   // FT-817 mode byte of the last reply
  std::atomic<int> rxDelay;       // cycles before a transmit may start a tune
  SerParameters *serParams;       // the one parameter record
  std::mutex serMut;              // guards serParams and the spectrum trace
  SpectrumRec *spectrum;
};

// Globals kept for code without a works argument.
extern works *staticworks;
extern std::atomic<int> linearProcessStatus;
extern int number_ofStep_meter_FWD, number_ofStep_meter_REFL, number_ofStep_meter_SWR,
    number_ofStep_meter_PW;
extern double TIME_LONG_PRESS;
extern int fattoremedia;
extern double PeakDecrement;
extern int PeakDecrementTime;
extern int TimerPeakSec;
extern int StepTune1;

// Writes the start values; every field not listed keeps what it holds
// (zero in a fresh record). Called by main and again by initSetup.
void InitGlobalVar(works *w);
