// Atomic whole-file saves and checked whole-file reads; see files.h.
#include "platform/files.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log.h"
#include "platform/paths.h"

int kzSaveFileAtomic(const std::string &path, const std::string &data) {
  std::string tmp(path);
  tmp.append(".tmp");
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  const char *p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n == 0 ? EIO : errno;
      close(fd);
      unlink(tmp.c_str());
      errno = e;
      return -1;
    }
    p += n;
    left -= size_t(n);
  }
  // The descriptor is closed whatever fsync says; the first error counts.
  int rc = fsync(fd);
  int e = rc != 0 ? errno : 0;
  if (close(fd) != 0 && rc == 0) {
    rc = -1;
    e = errno;
  }
  if (rc != 0) {
    unlink(tmp.c_str());
    errno = e;
    return -1;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    e = errno;
    unlink(tmp.c_str());
    errno = e;
    return -1;
  }
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

// Cost: O(file size), in 4 KiB reads; at most maxBytes + 1 bytes are read
// (a device such as /dev/zero ends there too).
int kzReadFile(const std::string &path, std::string &data, size_t maxBytes) {
  data.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      data.clear();
      errno = e;
      return -1;
    }
    if (n == 0) break;
    if (data.size() + size_t(n) > maxBytes) {
      close(fd);
      data.clear();
      data.shrink_to_fit();
      errno = EFBIG;
      return -1;
    }
    data.append(buf, size_t(n));
  }
  close(fd);
  return 0;
}

bool kzFileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int kzReadTable(const char *fixedPath, std::string &data) {
  if (kzReadFile(kzPath(fixedPath), data, KZ_TABLE_MAX_BYTES) == 0) return KZ_READ_OK;
  int e = errno;
  if (e == ENOENT) return KZ_READ_MISSING;
  if (e == EFBIG)
    kzLog(KZ_LOG_ERR, "can't read %s: larger than %zu bytes, not read, file left as it is",
          fixedPath, size_t(KZ_TABLE_MAX_BYTES));
  else
    kzLog(KZ_LOG_ERR, "can't read %s: %s (%d), file left as it is", fixedPath, strerror(e), e);
  return KZ_READ_FAILED;
}

void kzBadLine(KzBadLines &b, int lineNo, const char *fmt, ...) {
  if (++b.count > KZ_BAD_LINES_LOGGED) return;
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  kzLog(KZ_LOG_ERR, "%s line %d: %s", b.file, lineNo, what);
}

int kzBadLinesEnd(KzBadLines &b) {
  if (b.count > KZ_BAD_LINES_LOGGED)
    kzLog(KZ_LOG_ERR, "%s: %d bad lines in all, the first %d logged", b.file, b.count,
          int(KZ_BAD_LINES_LOGGED));
  return b.count;
}

void kzTraceRowsEnd(const char *file, int rows) {
  if (rows > KZ_TRACED_ROWS)
    kzTrace("%s: %d more rows not shown\n", file, rows - int(KZ_TRACED_ROWS));
}
