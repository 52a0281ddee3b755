// CAT links; see cat.h. The port search and the CAT threads are not part
// of this build: VerifyCAT says so and finds no port, so the readiness
// check of a remote unit stops at its CAT step.
#include "radio/cat.h"

#include "platform/log.h"

int VerifyCAT(works *) {
  kzLog(KZ_LOG_INFO, "CAT port search not available in this build");
  kzTrace("CAT port search not available in this build\n");
  return -1;
}
