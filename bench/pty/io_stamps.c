// The host's own turn, taken from outside the host (LD_PRELOAD), so that a
// benchmark can see it without a change to the program:
//
//   QUARN_IO_TTY=/dev/pts/ QUARN_IO_FROM=ERASE QUARN_IO_LOG=FILE LD_PRELOAD=io_stamps.so PROGRAM
//   ...
//
// Descriptors opened on a path that starts with QUARN_IO_TTY are followed
// until they are closed. A turn is the time (CLOCK_MONOTONIC) from a read()
// that returned bytes to the write() called next on the same descriptor,
// with nothing read in between; turns are counted in 1 us steps up to
// 20 ms (longer ones only in their count and the maximum), so the memory
// is fixed whatever the number of sessions. The span runs from the first
// write() that starts with QUARN_IO_FROM to the last read() that returned
// bytes. When the program exits normally, FILE gets one line:
//   turns N mean US p50 US p99 US max US span S cost NS
// cost being what one time stamp costs the program, measured then.
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

enum { kFds = 4096, kSteps = 20000 };  // descriptors followed; 1 us steps counted

static uint64_t steps[kSteps];    // turns by whole microseconds
static uint64_t longer, longest;  // turns of kSteps us or more; the longest turn (ns)
static uint64_t allTurns;         // the turns' sum (ns)
static uint64_t readAt[kFds];     // a followed descriptor's last read with bytes, 0 if none since
static unsigned char followed[kFds];
static uint64_t spanFrom, spanTo;
static const char* tty;
static const char* from;
static size_t fromLen;

static ssize_t (*realRead)(int, void*, size_t);
static ssize_t (*realWrite)(int, const void*, size_t);
static int (*realOpen)(const char*, int, ...);
static int (*realClose)(int);

// Another library's constructor may read or write before this one's runs.
__attribute__((constructor)) static void Bind(void) {
  if (realClose != NULL) return;
  realRead = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  realOpen = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  tty = getenv("QUARN_IO_TTY");
  from = getenv("QUARN_IO_FROM");
  fromLen = from != NULL ? strlen(from) : 0;
  realClose = (int (*)(int))dlsym(RTLD_NEXT, "close");
}

static uint64_t Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static int Followed(int fd) {
  return fd >= 0 && fd < kFds && __atomic_load_n(&followed[fd], __ATOMIC_RELAXED);
}

// A write on a followed descriptor at `at`: the end of a turn if a read with
// bytes came last.
static void Written(int fd, uint64_t at, const void* p, size_t n) {
  uint64_t read = readAt[fd];
  readAt[fd] = 0;
  if (read != 0) {
    uint64_t ns = at - read, us = ns / 1000;
    __atomic_fetch_add(us < kSteps ? &steps[us] : &longer, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&allTurns, ns, __ATOMIC_RELAXED);
    uint64_t was = __atomic_load_n(&longest, __ATOMIC_RELAXED);
    while (ns > was && !__atomic_compare_exchange_n(&longest, &was, ns, 1, __ATOMIC_RELAXED,
                                                    __ATOMIC_RELAXED)) {
    }
  }
  uint64_t none = 0;
  if (fromLen > 0 && n >= fromLen && memcmp(p, from, fromLen) == 0)
    __atomic_compare_exchange_n(&spanFrom, &none, at, 0, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

// The least mean of a few rounds of taking a time stamp and counting a turn,
// in nanoseconds, on a descriptor of its own.
static double Cost(void) {
  double least = 1e9;
  for (int round = 0; round < 5; ++round) {
    uint64_t start = Now();
    for (int i = 0; i < 2000; ++i) {
      readAt[kFds - 1] = Now();
      Written(kFds - 1, Now(), "", 0);
    }
    double mean = (double)(Now() - start) / 2000 / 2;
    if (mean < least) least = mean;
  }
  return least;
}

// The whole microseconds below which a share q of the turns lies.
static double Percentile(uint64_t total, double q) {
  uint64_t want = (uint64_t)(q * (double)total), seen = 0;
  if ((double)want < q * (double)total) ++want;
  for (int us = 0; us < kSteps; ++us)
    if ((seen += steps[us]) >= want && want > 0) return us + 1;
  return (double)longest / 1e3;
}

__attribute__((destructor)) static void Dump(void) {
  const char* path = getenv("QUARN_IO_LOG");
  FILE* f = path != NULL ? fopen(path, "w") : NULL;
  if (f == NULL) return;
  uint64_t total = longer;
  for (int us = 0; us < kSteps; ++us) total += steps[us];
  const double p50 = Percentile(total, 0.5), p99 = Percentile(total, 0.99),
               max = (double)longest / 1e3;
  const double span = spanFrom != 0 && spanTo > spanFrom ? (double)(spanTo - spanFrom) / 1e9 : 0.0;
  const double mean = total > 0 ? (double)allTurns / (double)total / 1e3 : 0.0;
  fprintf(f, "turns %llu mean %.1f p50 %.0f p99 %.0f max %.1f span %.6f cost %.1f\n",
          (unsigned long long)total, mean, p50, p99, max, span,
          Cost());  // Cost counts turns of its own: last
  fclose(f);
}

static int Opened(const char* path, int fd) {
  if (fd >= 0 && fd < kFds - 1 && tty != NULL && path != NULL &&
      strncmp(path, tty, strlen(tty)) == 0) {
    readAt[fd] = 0;
    __atomic_store_n(&followed[fd], 1, __ATOMIC_RELAXED);
  }
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
  if (Followed(fd)) __atomic_store_n(&followed[fd], 0, __ATOMIC_RELAXED);
  return realClose(fd);
}

ssize_t read(int fd, void* buf, size_t n) {
  Bind();
  ssize_t r = realRead(fd, buf, n);
  if (Followed(fd)) {
    uint64_t at = r > 0 ? Now() : 0;
    readAt[fd] = at;
    if (at != 0) __atomic_store_n(&spanTo, at, __ATOMIC_RELAXED);
  }
  return r;
}

ssize_t write(int fd, const void* buf, size_t n) {
  Bind();
  if (!Followed(fd)) return realWrite(fd, buf, n);
  Written(fd, Now(), buf, n);
  return realWrite(fd, buf, n);
}
