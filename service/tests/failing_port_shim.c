/* Loaded into rfid-tokend with LD_PRELOAD by the end-to-end tests: while the
 * file named by RFID_TEST_FAIL_SWITCH exists, every read and write on the
 * port named by RFID_TEST_FAIL_PORT fails with EIO, as on a serial adapter
 * whose line broke while its device node stays. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failing(int fd) {
  const char* port = getenv("RFID_TEST_FAIL_PORT");
  const char* on = getenv("RFID_TEST_FAIL_SWITCH");
  struct stat info;
  char link[64];
  char target[256];
  ssize_t length;
  if (port == NULL || on == NULL || fd < 3 || stat(on, &info) != 0) return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return 0;
  target[length] = '\0';
  return strcmp(target, port) == 0;
}

ssize_t write(int fd, const void* bytes, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  if (real == NULL) real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  if (failing(fd)) {
    errno = EIO;
    return -1;
  }
  return real(fd, bytes, count);
}

ssize_t read(int fd, void* bytes, size_t count) {
  static ssize_t (*real)(int, void*, size_t);
  if (real == NULL) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  if (failing(fd)) {
    errno = EIO;
    return -1;
  }
  return real(fd, bytes, count);
}
