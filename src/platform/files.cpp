// Atomic whole-file saves; see files.h.
#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int kzSaveFileAtomic(const std::string &path, const std::string &data) {
  std::string tmp(path);
  tmp.append(".tmp");
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  const char *p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      close(fd);
      unlink(tmp.c_str());
      errno = e;
      return -1;
    }
    p += n;
    left -= size_t(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    errno = e;
    return -1;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    errno = e;
    return -1;
  }
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

int kzReadFile(const std::string &path, std::string &data) {
  data.clear();
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  fclose(f);
  return 0;
}

bool kzFileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}
