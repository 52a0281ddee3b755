// Path root mapping; see paths.h.
#include "platform/paths.h"

#include <cerrno>
#include <sys/stat.h>

static std::string gRoot;

void kzSetRoot(const std::string &root) {
  gRoot = root;
  while (gRoot.size() > 1 && gRoot.back() == '/') gRoot.pop_back();
  if (gRoot == "/") gRoot.clear();
}

const std::string &kzRoot() { return gRoot; }

std::string kzPath(const char *fixedPath) {
  if (fixedPath == nullptr) return std::string();
  if (fixedPath[0] != '/' || gRoot.empty()) return std::string(fixedPath);
  return gRoot + fixedPath;
}

int kzMakeParentDirs(const std::string &mappedPath) {
  std::string::size_type pos = 0;
  while ((pos = mappedPath.find('/', pos + 1)) != std::string::npos) {
    std::string dir = mappedPath.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}
