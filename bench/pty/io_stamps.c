// Time stamps of a program's reads and writes on one terminal, taken from
// outside the program (LD_PRELOAD), so that a benchmark can see the host's
// turn from a reply to its next request without a change to the host.
//
//   QUARN_IO_TTY=/dev/pts/N QUARN_IO_LOG=FILE LD_PRELOAD=io_stamps.so PROGRAM ...
//
// Descriptors opened on QUARN_IO_TTY are followed until they are closed. For
// each read the time it returned, for each write the time it was called
// (CLOCK_MONOTONIC), with the descriptor, the count returned and the first
// bytes moved; a close as well. The records live in a fixed array (what does
// not fit is counted, not kept) and are written to FILE when the program
// exits normally, one line each: "ns kind fd count hex", kind R, W or C,
// then "# dropped N" and "# cost NS", what one stamp costs, measured then.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kMax = 1 << 18, kBytes = 8, kFds = 4096 };

struct Stamp {
  uint64_t ns;
  int32_t fd;
  int32_t count;
  char kind;
  unsigned char bytes[kBytes];
};

static struct Stamp stamps[kMax];
static uint64_t used;                 // stamps taken, kept or not
static unsigned char followed[kFds];  // 1: a descriptor on the terminal
static const char* tty;

static ssize_t (*realRead)(int, void*, size_t);
static ssize_t (*realWrite)(int, const void*, size_t);
static int (*realOpen)(const char*, int, ...);
static int (*realClose)(int);

static uint64_t Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static int Followed(int fd) { return fd >= 0 && fd < kFds && __atomic_load_n(&followed[fd], __ATOMIC_RELAXED); }

static void Fill(struct Stamp* s, uint64_t ns, char kind, int fd, ssize_t count, const void* p) {
  s->ns = ns;
  s->kind = kind;
  s->fd = fd;
  s->count = (int32_t)count;
  if (count > 0 && p != NULL) memcpy(s->bytes, p, count < kBytes ? (size_t)count : kBytes);
}

static void Record(uint64_t ns, char kind, int fd, ssize_t count, const void* p) {
  uint64_t i = __atomic_fetch_add(&used, 1, __ATOMIC_RELAXED);
  if (i < kMax) Fill(&stamps[i], ns, kind, fd, count, p);
}

// What a stamp costs the program, in nanoseconds: the least mean of a few
// rounds of taking the time and filling a record.
static double Cost(void) {
  static struct Stamp scratch[64];
  double least = 1e9;
  for (int round = 0; round < 5; ++round) {
    uint64_t start = Now();
    for (int i = 0; i < 2000; ++i) {
      Fill(&scratch[i % 64], Now(), 'W', 3, 8, "UPDATE..");
      __asm__ volatile("" ::: "memory");  // the stores stay
    }
    double mean = (double)(Now() - start) / 2000;
    if (mean < least) least = mean;
  }
  return least;
}

// Another library's constructor may read or write before this one's runs.
__attribute__((constructor)) static void Bind(void) {
  if (realClose != NULL) return;
  realRead = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  realOpen = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  realClose = (int (*)(int))dlsym(RTLD_NEXT, "close");
  tty = getenv("QUARN_IO_TTY");
}

__attribute__((destructor)) static void Dump(void) {
  const char* path = getenv("QUARN_IO_LOG");
  FILE* f = path != NULL ? fopen(path, "w") : NULL;
  if (f == NULL) return;
  uint64_t n = used < kMax ? used : kMax;
  for (uint64_t i = 0; i < n; ++i) {
    const struct Stamp* s = &stamps[i];
    fprintf(f, "%llu %c %d %d ", (unsigned long long)s->ns, s->kind, s->fd, s->count);
    for (int k = 0; k < s->count && k < kBytes; ++k) fprintf(f, "%02x", s->bytes[k]);
    fprintf(f, "%s\n", s->count > 0 ? "" : "-");
  }
  fprintf(f, "# dropped %llu\n", (unsigned long long)(used - n));
  fprintf(f, "# cost %.1f\n", Cost());
  fclose(f);
}

static int Opened(const char* path, int fd) {
  if (fd >= 0 && fd < kFds && tty != NULL && path != NULL && strcmp(path, tty) == 0)
    __atomic_store_n(&followed[fd], 1, __ATOMIC_RELAXED);
  return fd;
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  Bind();
  return Opened(path, realOpen(path, flags, mode));
}

int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int close(int fd) {
  Bind();
  if (Followed(fd)) {
    __atomic_store_n(&followed[fd], 0, __ATOMIC_RELAXED);
    Record(Now(), 'C', fd, 0, NULL);
  }
  return realClose(fd);
}

ssize_t read(int fd, void* buf, size_t n) {
  Bind();
  ssize_t r = realRead(fd, buf, n);
  if (Followed(fd)) Record(Now(), 'R', fd, r, buf);
  return r;
}

ssize_t write(int fd, const void* buf, size_t n) {
  Bind();
  if (!Followed(fd)) return realWrite(fd, buf, n);
  uint64_t at = Now();
  ssize_t r = realWrite(fd, buf, n);
  Record(at, 'W', fd, r, buf);
  return r;
}
