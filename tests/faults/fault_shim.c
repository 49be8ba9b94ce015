// Faults planted in a program's system calls, loaded with LD_PRELOAD: the k-th call of one kind
// fails with a chosen errno (EINTR included), as a failing disk, a full one or a signal would
// make it. tests/faults/fault_points.py runs the conversions through every such point.
//
//   FAULT=kind:k:errno[+]  the k-th call of `kind` fails with errno (0: a write that writes
//                          nothing); with "+", every call from the k-th on
//   FAULT_ARM=path         calls are counted from the first open of `path` on (the source), so
//                          that the library's start is left alone
//   FAULT_COUNT=file       at exit, "kind count" a line for each kind called
//
// Kinds: open (open, openat, mkstemp and the like; tmpfile, one with O_TMPFILE), read, pread, write, pwrite, fsync,
// ftruncate, fallocate, rename, linkat, fchmod, fstat, lseek, close. Calls on descriptors 0 to 2
// are not counted: the program's report goes there.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { k_open, k_tmpfile, k_read, k_pread, k_write, k_pwrite, k_fsync, k_ftruncate, k_fallocate, k_rename,
       k_linkat, k_fchmod, k_fstat, k_lseek, k_close, kinds };
static const char* const names[kinds] = {"open", "tmpfile", "read", "pread", "write", "pwrite", "fsync",
                                         "ftruncate", "fallocate", "rename", "linkat", "fchmod",
                                         "fstat", "lseek", "close"};
static long counts[kinds];
static int armed, fault_kind = -1, fault_errno, fault_on;
static long fault_at;
static const char* arm_path;

static void write_counts(void) {
  const char* file = getenv("FAULT_COUNT");
  FILE* f = file ? fopen(file, "w") : NULL;
  if (!f) return;
  for (int i = 0; i < kinds; ++i) {
    if (counts[i]) fprintf(f, "%s %ld\n", names[i], counts[i]);
  }
  fclose(f);
}

__attribute__((constructor)) static void set_up(void) {
  const char* fault = getenv("FAULT");
  arm_path = getenv("FAULT_ARM");
  armed = arm_path == NULL;
  if (fault) {
    char kind[32];
    char more = 0;
    if (sscanf(fault, "%31[a-z]:%ld:%d%c", kind, &fault_at, &fault_errno, &more) >= 3) {
      for (int i = 0; i < kinds; ++i) {
        if (strcmp(kind, names[i]) == 0) fault_kind = i;
      }
      fault_on = more == '+';
    }
  }
  if (getenv("FAULT_COUNT")) atexit(write_counts);
}

// True when this call is to fail, with errno set.
static int planted(int kind, int fd) {
  if (!armed || (fd >= 0 && fd <= 2)) return 0;
  const long n = ++counts[kind];
  if (kind != fault_kind || (fault_on ? n < fault_at : n != fault_at)) return 0;
  errno = fault_errno;
  return 1;
}

static void arm_on(const char* path) {
  if (!armed && arm_path && path && strcmp(path, arm_path) == 0) armed = 1;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int mode_of(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

static int kind_of(int flags) { return (flags & O_TMPFILE) == O_TMPFILE ? k_tmpfile : k_open; }

#define OPEN_LIKE(name)                                 \
  int name(const char* path, int flags, ...) {          \
    va_list ap;                                         \
    va_start(ap, flags);                                \
    const int mode = mode_of(flags, ap);                \
    va_end(ap);                                         \
    arm_on(path);                                       \
    if (planted(kind_of(flags), -1)) return -1;         \
    return REAL(name)(path, flags, mode);               \
  }
OPEN_LIKE(open)
OPEN_LIKE(open64)

#define OPENAT_LIKE(name)                                    \
  int name(int dir, const char* path, int flags, ...) {      \
    va_list ap;                                              \
    va_start(ap, flags);                                     \
    const int mode = mode_of(flags, ap);                     \
    va_end(ap);                                              \
    arm_on(path);                                            \
    if (planted(kind_of(flags), -1)) return -1;              \
    return REAL(name)(dir, path, flags, mode);               \
  }
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

int __open_2(const char* path, int flags) {
  arm_on(path);
  if (planted(k_open, -1)) return -1;
  return REAL(open)(path, flags);
}
int __open64_2(const char* path, int flags) { return __open_2(path, flags); }

#define TEMP_LIKE(name, ...)               \
  if (planted(k_open, -1)) return -1;      \
  return REAL(name)(__VA_ARGS__);
int mkstemp(char* t) { TEMP_LIKE(mkstemp, t) }
int mkstemp64(char* t) { TEMP_LIKE(mkstemp64, t) }
int mkostemp(char* t, int flags) { TEMP_LIKE(mkostemp, t, flags) }
int mkostemp64(char* t, int flags) { TEMP_LIKE(mkostemp64, t, flags) }

// A write planted with errno 0 writes nothing and says so.
#define WRITE_LIKE(kind, name, ...)                 \
  if (planted(kind, fd)) return fault_errno ? -1 : 0; \
  return REAL(name)(__VA_ARGS__);

ssize_t read(int fd, void* b, size_t n) { WRITE_LIKE(k_read, read, fd, b, n) }
ssize_t __read_chk(int fd, void* b, size_t n, size_t size) {
  (void)size;
  return read(fd, b, n);
}
ssize_t pread(int fd, void* b, size_t n, off_t at) { WRITE_LIKE(k_pread, pread, fd, b, n, at) }
ssize_t pread64(int fd, void* b, size_t n, off_t at) { WRITE_LIKE(k_pread, pread64, fd, b, n, at) }
ssize_t __pread_chk(int fd, void* b, size_t n, off_t at, size_t size) {
  (void)size;
  return pread(fd, b, n, at);
}
ssize_t __pread64_chk(int fd, void* b, size_t n, off_t at, size_t size) {
  (void)size;
  return pread64(fd, b, n, at);
}
ssize_t write(int fd, const void* b, size_t n) { WRITE_LIKE(k_write, write, fd, b, n) }
ssize_t pwrite(int fd, const void* b, size_t n, off_t at) {
  WRITE_LIKE(k_pwrite, pwrite, fd, b, n, at)
}
ssize_t pwrite64(int fd, const void* b, size_t n, off_t at) {
  WRITE_LIKE(k_pwrite, pwrite64, fd, b, n, at)
}

#define CALL_LIKE(kind, fd, name, ...)    \
  if (planted(kind, fd)) return -1;       \
  return REAL(name)(__VA_ARGS__);
int fsync(int fd) { CALL_LIKE(k_fsync, fd, fsync, fd) }
int ftruncate(int fd, off_t n) { CALL_LIKE(k_ftruncate, fd, ftruncate, fd, n) }
int ftruncate64(int fd, off_t n) { CALL_LIKE(k_ftruncate, fd, ftruncate64, fd, n) }
int rename(const char* a, const char* b) { CALL_LIKE(k_rename, -1, rename, a, b) }
int linkat(int d1, const char* a, int d2, const char* b, int flags) {
  CALL_LIKE(k_linkat, -1, linkat, d1, a, d2, b, flags)
}
int fchmod(int fd, mode_t m) { CALL_LIKE(k_fchmod, fd, fchmod, fd, m) }
int fstat(int fd, struct stat* st) { CALL_LIKE(k_fstat, fd, fstat, fd, st) }
int fstat64(int fd, struct stat64* st) { CALL_LIKE(k_fstat, fd, fstat64, fd, st) }
off_t lseek(int fd, off_t at, int whence) { CALL_LIKE(k_lseek, fd, lseek, fd, at, whence) }
off_t lseek64(int fd, off_t at, int whence) { CALL_LIKE(k_lseek, fd, lseek64, fd, at, whence) }

// The descriptor is gone whatever close says, as on Linux.
int close(int fd) {
  const int planted_fault = planted(k_close, fd);
  const int e = errno;
  const int r = REAL(close)(fd);
  if (!planted_fault) return r;
  errno = e;
  return -1;
}

// posix_fallocate gives its error as its result.
int posix_fallocate(int fd, off_t at, off_t n) {
  if (planted(k_fallocate, fd)) return errno;
  return REAL(posix_fallocate)(fd, at, n);
}
int posix_fallocate64(int fd, off_t at, off_t n) {
  if (planted(k_fallocate, fd)) return errno;
  return REAL(posix_fallocate64)(fd, at, n);
}
