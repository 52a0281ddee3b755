// Readiness check; see ready.h. The USB device list comes through the USB
// seam (platform/usb.h), the "lsusb" pipelines through the command runner,
// so tests and the simulator script both; the CAT port search is the CAT
// link's (radio/cat.h).
#include "remote/ready.h"

#include <cstdlib>
#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "platform/cmdrun.h"
#include "platform/log.h"
#include "platform/textlines.h"
#include "platform/usb.h"
#include "radio/cat.h"

int Find_Remote_Settings(works *w) {
  const int usb = kzUsbFindDevice(KZ_KAV_USB_VENDOR, KZ_KAV_USB_PRODUCT);
  if (usb != 1) {
    if (usb < 0)
      kzLog(KZ_LOG_INFO, "remote check: USB device list not readable");
    else
      kzLog(KZ_LOG_INFO, "remote check: transceiver USB device %04x:%04x not found",
            KZ_KAV_USB_VENDOR, KZ_KAV_USB_PRODUCT);
    return 1;
  }
  if (VerifyCAT(w) != 0) {
    kzTrace("---CAT: Unable to open device %s\n", w->setup ? w->setup->CatPort : "");
    return 2;
  }
  if (VerifyAudioKAV(w) == 0) return 3;
  return 0;
}

int VerifyAudioKAV(works *) {
  std::string out;
  if (kzRunCommandRead("lsusb|grep 0d8c:01af |wc -l", out) != 0) {
    kzTrace("Error opening pipe.\n");
    return 0;
  }
  // The first number of the output; no number counts as none.
  const long n = strtol(out.c_str(), nullptr, 10);
  if (n <= 0) return 0;
  return n > 1000 ? 1000 : int(n);
}

int Get_AudioKAV(works *) {
  std::string out;
  if (kzRunCommandRead("lsusb | grep 0d8c", out) != 0) {
    kzTrace("Error opening pipe.\n");
    return 0;
  }
  // Cost: one pass over the output (a few lines).
  int lines = 0;
  kzForEachLine(out, 256, [&](std::string_view line, bool) {
    kzTrace("----------------- %.*s\n", int(line.size()), line.data());
    ++lines;
    return true;
  });
  return lines;
}
