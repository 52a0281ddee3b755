// The transceiver's I/Q sample reader on USB (thread KAVRead): finds the
// transceiver (vendor 0x1721) on the bus through the USB seam, reads its
// calibration offsets, starts its sample stream and keeps four 32 KiB bulk
// transfers in flight on endpoint 0x86. Every Divide-th completed transfer,
// while a remote unit is connected and the spectrum source is the sample
// stream (EnableFFT2 not '0'), the samples are scaled and made into a
// spectrum (fftCalc) sent as "SP". The reader runs while EnableFFT is '1';
// it gives up (ExitKavread: error 5, EnableFFT '0', remoteRestart 1, so the
// remote error handling may start it again) on any set-up failure and
// after 11 failed transfers in a row.
#pragma once

struct works;
struct libusb_transfer;

void KAVRead(works *w);
// Completion handler of the bulk transfers (runs inside event handling,
// on the reader's thread).
void cb_in(libusb_transfer *t);
void ExitKavread(works *w);
// The reader's step: size from Enable1600 ('0' 2048 points, else 4096),
// the window rebuilt when Enable1600 changed, the spectrum, sent as "SP"
// to a connected peer. `count` interleaved floats (8192 from a transfer).
// -1 when the work areas cannot be made (the reader then gives up).
int fftCalc(const float *x, int count, works *w);
// True and the reader marked as running when none runs: a second start
// while a reader still runs is refused (its thread slot would be joined
// under it). KAVRead releases the mark when it returns.
bool KavReadClaim();
