// kavzil: the board program. No arguments, no environment; paths as fixed.
// On a machine that is not the amplifier's board it still runs, but the
// board's shell commands are recorded instead of run, the screen is a
// memory screen, the USB bus is the simulated empty one and the GPIO block
// is left alone (the buttons stay off).
#include "core/kavmain.h"
#include "platform/board.h"
#include "platform/cmdrun.h"
#include "platform/fbdev.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/usb.h"

int main() {
  kzLogOpen("kavzil");
  kzSetRoot("/");
  if (kzIsBcmBoard()) {
    kzCmdUse(&kzCmdBoard);
    kzDisplayUse(&kzDisplayBoard);
    kzUsbUse(&kzUsbBoard);
  } else {
    kzCmdUse(&kzCmdRecorder);
    kzLog(KZ_LOG_ERR, "not a BCM2835-family board: board commands are not run");
    kzTrace("not a BCM2835-family board: board commands are not run\n");
  }
  return KavMain(nullptr);
}
