/* Preloaded into a test's process (LD_PRELOAD): reads of a file whose name ends in ".eio.mcap"
 * fail with EIO from byte KQ_EIO_AT on, as a disk with a bad sector makes them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int Damaged(int fd) {
  char link[64];
  char target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t len = readlink(link, target, sizeof target - 1);
  static const char kSuffix[] = ".eio.mcap";
  const size_t n = sizeof kSuffix - 1;
  return len > (ssize_t)n && memcmp(target + len - n, kSuffix, n) == 0;
}

ssize_t read(int fd, void* buf, size_t count) {
  static ssize_t (*real)(int, void*, size_t);
  if (!real) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const char* from = getenv("KQ_EIO_AT");
  if (from && Damaged(fd)) {
    const off_t bad = (off_t)atoll(from);
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at >= bad) {
      errno = EIO;
      return -1;
    }
    if (at + (off_t)count > bad) count = (size_t)(bad - at);
  }
  return real(fd, buf, count);
}
