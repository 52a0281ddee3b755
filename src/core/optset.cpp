// Writes under the read-only settings partition; see optset.h.
#include "core/optset.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "core/notice.h"
#include "core/works.h"

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

// ---------------------------------------------------------------------------
// damaged files and stale temporary files
// ---------------------------------------------------------------------------

namespace {

std::mutex gDamagedMut;  // works::damagedFiles

constexpr int kDamagedNoticeS = 60;
constexpr size_t kNoticeChars = 60;  // what the message line holds (font 8)

// "digits" ".txt" after a bank file's stem, or just ".txt".
bool bankSuffix(std::string_view s) {
  if (s.substr(0, 2) == "_b") {
    s.remove_prefix(2);
    size_t n = 0;
    while (n < s.size() && n < 3 && s[n] >= '0' && s[n] <= '9') ++n;
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return s == ".txt";
}

// The program's own files under /opt/set, the ones it saves.
bool ownTable(std::string_view name) {
  if (name == "setup.txt") return true;
  if (name.substr(0, 7) == "antenna") return bankSuffix(name.substr(7));
  if (name.substr(0, 7) == "atu_ant" && name.size() > 7 && name[7] >= '1' && name[7] <= '3')
    return bankSuffix(name.substr(8));
  return false;
}

}  // namespace

void OptSetFileDamaged(works *w, const char *name) {
  if (w == nullptr || name == nullptr || *name == '\0') return;
  char text[kNoticeChars + 1];
  {
    std::lock_guard<std::mutex> lk(gDamagedMut);
    std::string_view list(w->damagedFiles, strnlen(w->damagedFiles, sizeof w->damagedFiles));
    // Once per file and run: names are kept separated by ", ".
    std::string_view n(name);
    size_t at = 0;
    while (at <= list.size()) {
      size_t end = list.find(", ", at);
      if (end == std::string_view::npos) end = list.size();
      if (list.substr(at, end - at) == n) return;
      at = end + 2;
    }
    int used = int(list.size());
    snprintf(w->damagedFiles + used, sizeof w->damagedFiles - size_t(used), "%s%s",
             used > 0 ? ", " : "", name);
    bool several = used > 0;
    int len = snprintf(text, sizeof text, "Settings file%s damaged: %s", several ? "s" : "",
                       w->damagedFiles);
    if (len > int(kNoticeChars)) memcpy(text + kNoticeChars - 3, "...", 4);
  }
  PanelNotice(w, text, kDamagedNoticeS);
}

int OptSetRemoveStaleTemps() {
  std::string dir = kzPath("/opt/set");
  std::vector<std::string> stale;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string_view name(e->d_name);
      if (name.size() <= 4 || name.substr(name.size() - 4) != ".tmp") continue;
      if (ownTable(name.substr(0, name.size() - 4))) stale.emplace_back(name);
    }
    closedir(d);
  }
  if (stale.empty()) return 0;
  if (OptSetRemountRw() != 0) return 0;
  int removed = 0;
  for (const std::string &name : stale) {
    std::string path = dir + "/" + name;
    if (unlink(path.c_str()) == 0) {
      kzLog(KZ_LOG_ERR, "removed /opt/set/%s left by a cut save", name.c_str());
      ++removed;
    } else {
      kzLog(KZ_LOG_ERR, "can't remove /opt/set/%s: %s", name.c_str(), strerror(errno));
    }
  }
  OptSetRemountRo();
  return removed;
}
