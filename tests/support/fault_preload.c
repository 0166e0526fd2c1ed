/* Preloaded into a command under test: after VELMORA_FAULT_PWRITES
   successful pwrite calls, every further one fails with ENOSPC, as on a
   full disk. Without the variable it changes nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/types.h>

static long allowed = -2; /* -2: not read yet; -1: no fault */

static int fault_now(void) {
  if (allowed == -2) {
    const char* v = getenv("VELMORA_FAULT_PWRITES");
    allowed = v ? atol(v) : -1;
  }
  if (allowed < 0) return 0;
  if (allowed == 0) return 1;
  --allowed;
  return 0;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  static ssize_t (*real)(int, const void*, size_t, off_t);
  if (!real) real = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
  if (fault_now()) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  return pwrite(fd, buf, count, offset);
}
