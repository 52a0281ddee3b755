// Maintenance actions; see maint.h.
//
// The marker "/opt/good" is removed with /opt/set writable; whatever
// happens to the removal, /opt/set is put back read-only before the thread
// ends, so a power cut later cannot damage it.
#include "core/maint.h"

#include <sys/wait.h>

#include <cerrno>

#include "amplifier/cmdring.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/log.h"

namespace {

constexpr int kStartWaitS = 30;

// The number told in the failure texts: errno when the command could not
// be started, else its exit code (a raw wait status when it did not exit).
int failCode(int status, int savedErrno) {
  if (status == -1) return savedErrno;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return status;
}

// Runs a command; returns 0 on success, else the code for the message.
int runStep(const char *cmd) {
  errno = 0;
  int st = kzRunCommand(cmd);
  if (st == 0) return 0;
  int code = failCode(st, errno);
  return code != 0 ? code : st;
}

}  // namespace

void AggFWThread(works *w) {
  for (int i = 0; i < kStartWaitS; ++i) {
    if (w->running.load() == 0) return;
    kzSleepMs(1000);
  }
  if (w->running.load() == 0) return;

  int e = runStep("mount -o remount defaults,rw /opt/set");
  if (e != 0) {
    kzLog(KZ_LOG_ERR, "can't mount rw /opt/set/ error %d", e);
    kzTrace("can't mount rw /opt/set/ error %d\n", e);
    return;
  }
  e = runStep("rm -f /opt/good >/dev/null 2>&1");
  if (e != 0) {
    kzLog(KZ_LOG_ERR, "can't :rm -f /opt/good >/dev/null 2>&1  ->error %d", e);
    kzTrace("can't :rm -f /opt/good >/dev/null 2>&1  ->error %d\n", e);
  }
  int r = runStep("mount -v -n -o remount -r /opt/set");
  if (r != 0) kzLog(KZ_LOG_ERR, "can't mount ro /opt/set/ error %d", r);
  if (e != 0) return;
  kzTrace("--------- END THREAD AGG FW!!!\n");
}

int AggFwUpdate(works *w) {
  int r = IncPNTIn_CMDLinear(30, w);
  kzTrace("Start AGGFW\n");
  return r;
}

int AggUiUpdate(works *) {
  kzTrace("Start AGG UI...\n");
  return kzRunCommand("/opt/KavZil/getpack.sh");
}
