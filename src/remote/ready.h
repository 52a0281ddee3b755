// Readiness check of a unit about to act as the remote server: the
// transceiver's USB device, its CAT port and its USB sound device must all
// be there. The settings menu runs it on the button thread when the
// operator switches the remote mode on while the sample reader is off.
#pragma once

struct works;

// USB ids of the transceiver and of its sound device.
constexpr unsigned KZ_KAV_USB_VENDOR = 0x1721, KZ_KAV_USB_PRODUCT = 0x061A;

// 0 ready; 1 the USB device list cannot be read or holds no transceiver
// (nothing else is looked at then); 2 no CAT port (VerifyCAT); 3 no sound
// device (VerifyAudioKAV).
int Find_Remote_Settings(works *w);
// The count of sound devices printed by "lsusb|grep 0d8c:01af |wc -l";
// 0 also when the command cannot be run.
int VerifyAudioKAV(works *w);
// The lines of "lsusb | grep 0d8c", each traced; their count, 0 when the
// command cannot be run.
int Get_AudioKAV(works *w);
