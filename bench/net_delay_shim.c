/* Preloaded into a reader to make the documents behave like files on a file
 * server: every file call on a path under VELMORA_NET_PREFIX, or on a
 * descriptor opened from one, waits VELMORA_NET_DELAY_US microseconds
 * (default 1000) first, as a round trip to the server would. Calls on other
 * files (the program itself, its libraries, Python's modules) are not
 * delayed. With VELMORA_NET_COUNT set, the process writes how many calls it
 * delayed to standard error when it exits.
 *
 *   LD_PRELOAD=build/release/bench/libnet_delay_shim.so VELMORA_NET_PREFIX=/tmp/docs ...
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 65536

static const char* g_prefix;
static size_t g_prefixLen;
static long g_delayNs = 1000000;
static atomic_long g_calls;
static atomic_uchar g_remote[MAX_FDS];

static void finish(void) {
  if (getenv("VELMORA_NET_COUNT")) fprintf(stderr, "net_delay: %ld calls delayed\n", (long)g_calls);
}

__attribute__((constructor)) static void init(void) {
  g_prefix = getenv("VELMORA_NET_PREFIX");
  g_prefixLen = g_prefix ? strlen(g_prefix) : 0;
  const char* delay = getenv("VELMORA_NET_DELAY_US");
  if (delay) g_delayNs = atol(delay) * 1000L;
  atexit(finish);
}

static void roundTrip(void) {
  atomic_fetch_add(&g_calls, 1);
  struct timespec ts = {g_delayNs / 1000000000L, g_delayNs % 1000000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

static int remotePath(const char* path) {
  return g_prefixLen && path && strncmp(path, g_prefix, g_prefixLen) == 0;
}

static int remoteFd(int fd) { return fd >= 0 && fd < MAX_FDS && g_remote[fd]; }

static void markFd(int fd, int remote) {
  if (fd >= 0 && fd < MAX_FDS) g_remote[fd] = (unsigned char)remote;
}

#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

/* Opens and path calls. */
static int openCommon(const char* which, int dirfd, const char* path, int flags, mode_t mode) {
  int remote = remotePath(path);
  if (remote) roundTrip();
  int fd;
  if (dirfd == -1) {
    int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, which);
    fd = real(path, flags, mode);
  } else {
    int (*real)(int, const char*, int, ...) =
        (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, which);
    fd = real(dirfd, path, flags, mode);
  }
  markFd(fd, remote);
  return fd;
}

static mode_t modeArg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  return openCommon("open", -1, path, flags, mode);
}
int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  return openCommon("open64", -1, path, flags, mode);
}
int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  return openCommon("openat", dirfd, path, flags, mode);
}
int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = modeArg(flags, ap);
  va_end(ap);
  return openCommon("openat64", dirfd, path, flags, mode);
}

int close(int fd) {
  REAL(close);
  if (remoteFd(fd)) roundTrip();
  markFd(fd, 0);
  return real_close(fd);
}

#define PATH_CALL(name, ret, params, args, path) \
  ret name params {                              \
    REAL(name);                                  \
    if (remotePath(path)) roundTrip();           \
    return real_##name args;                     \
  }
#define FD_CALL(name, ret, params, args, fd) \
  ret name params {                          \
    REAL(name);                              \
    if (remoteFd(fd)) roundTrip();           \
    return real_##name args;                 \
  }

PATH_CALL(stat, int, (const char* p, struct stat* s), (p, s), p)
PATH_CALL(stat64, int, (const char* p, struct stat64* s), (p, s), p)
PATH_CALL(lstat, int, (const char* p, struct stat* s), (p, s), p)
PATH_CALL(lstat64, int, (const char* p, struct stat64* s), (p, s), p)
PATH_CALL(fstatat, int, (int d, const char* p, struct stat* s, int f), (d, p, s, f), p)
PATH_CALL(fstatat64, int, (int d, const char* p, struct stat64* s, int f), (d, p, s, f), p)
PATH_CALL(statx, int, (int d, const char* p, int f, unsigned m, struct statx* s), (d, p, f, m, s),
          p)
PATH_CALL(access, int, (const char* p, int m), (p, m), p)
PATH_CALL(readlink, ssize_t, (const char* p, char* b, size_t n), (p, b, n), p)

FD_CALL(read, ssize_t, (int fd, void* b, size_t n), (fd, b, n), fd)
FD_CALL(pread, ssize_t, (int fd, void* b, size_t n, off_t o), (fd, b, n, o), fd)
FD_CALL(pread64, ssize_t, (int fd, void* b, size_t n, off64_t o), (fd, b, n, o), fd)
FD_CALL(write, ssize_t, (int fd, const void* b, size_t n), (fd, b, n), fd)
FD_CALL(pwrite, ssize_t, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o), fd)
FD_CALL(pwrite64, ssize_t, (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o), fd)
FD_CALL(lseek, off_t, (int fd, off_t o, int w), (fd, o, w), fd)
FD_CALL(lseek64, off64_t, (int fd, off64_t o, int w), (fd, o, w), fd)
FD_CALL(fstat, int, (int fd, struct stat* s), (fd, s), fd)
FD_CALL(fstat64, int, (int fd, struct stat64* s), (fd, s), fd)
FD_CALL(fsync, int, (int fd), (fd), fd)
FD_CALL(fdatasync, int, (int fd), (fd), fd)
FD_CALL(flock, int, (int fd, int op), (fd, op), fd)

static int fcntlCommon(const char* which, int fd, int cmd, va_list ap) {
  int (*real)(int, int, ...) = (int (*)(int, int, ...))dlsym(RTLD_NEXT, which);
  void* arg = va_arg(ap, void*);
  if (remoteFd(fd)) roundTrip();
  return real(fd, cmd, arg);
}
int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  int r = fcntlCommon("fcntl", fd, cmd, ap);
  va_end(ap);
  return r;
}
int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  int r = fcntlCommon("fcntl64", fd, cmd, ap);
  va_end(ap);
  return r;
}
