// Writes under the read-only settings partition; see optset.h.
#include "core/optset.h"

#include <cerrno>
#include <mutex>

#include "platform/cmdrun.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"

// Several threads save (the link writes the temperature log, the keys and
// the supervisor write tables and the setup file). The writable window is
// shared: the first writer in remounts rw, the last one out remounts ro, so
// one writer's read-only remount never lands in the middle of another's
// write.
static std::mutex gWindowMut;
static int gWriters = 0;

int OptSetRemountRw(bool alsoTrace) {
  std::lock_guard<std::mutex> lk(gWindowMut);
  if (gWriters > 0) {
    gWriters++;
    return 0;
  }
  errno = 0;
  if (kzRunCommand("mount -o remount defaults,rw /opt/set") != 0) {
    int e = errno;
    kzLog(KZ_LOG_ERR, "can't mount rw /opt/set/ error %d", e);
    if (alsoTrace) kzTrace("can't mount rw /opt/set/ error %d", e);
    return -1;
  }
  gWriters = 1;
  return 0;
}

int OptSetRemountRo() {
  std::lock_guard<std::mutex> lk(gWindowMut);
  if (gWriters > 1) {
    gWriters--;
    return 0;
  }
  gWriters = 0;
  errno = 0;
  if (kzRunCommand("mount -v -n -o remount -r /opt/set") != 0) {
    kzLog(KZ_LOG_ERR, "can't mount ro /opt/set/ error %d", errno);
    return -1;
  }
  return 0;
}

int OptSetSaveFile(const char *fixedPath, const std::string &data, bool alsoTrace) {
  if (OptSetRemountRw(alsoTrace) != 0) return -1;
  std::string path = kzPath(fixedPath);
  int rc = 0;
  if (kzSaveFileAtomic(path, data) != 0) {
    kzLog(KZ_LOG_ERR, "can't write %s error %d", fixedPath, errno);
    rc = -2;
  }
  OptSetRemountRo();
  return rc;
}
