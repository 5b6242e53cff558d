// plcsim: serves the simulated PLC on a pseudo-terminal. The host opens the
// slave side as its serial port; the host's line settings are read from the
// terminal before every chunk, and the host closing and reopening the port is
// seen as a replug. With --pace the PLC answers in the time the wire and the
// PLC itself would take. With --drop the line goes away in the middle of a
// session and a new pseudo-terminal comes up later, the PLC as it was.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "plcsim.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

const char* const kKindNames[] = {"wake",     "probe",     "checkid",  "register", "version",
                                  "id67",     "erase",     "idb",      "versionb", "erasepage",
                                  "eraseeot", "update",    "block",    "fweot"};
static_assert(sizeof(kKindNames) / sizeof(kKindNames[0]) == static_cast<size_t>(plcsim::Kind::Count));
const char* const kActNames[] = {"silent", "short", "badlrc", "lowercase", "nak", "nok", "noise"};

constexpr unsigned kLatencyUs = 1000;  // a USB full-speed frame

void usage(FILE* f) {
  std::fprintf(f,
      "usage: plcsim --model NAME [options]\n"
      "Serves a simulated PLC on a new pseudo-terminal and prints the slave's path.\n"
      "  --model NAME        catalogue model name (VN300, TB2, ...)\n"
      "  --mode app|boot     program the PLC runs at start (default app)\n"
      "  --link PATH         make PATH a symbolic link to the slave (an existing link is replaced)\n"
      "  --flash-out FILE    write the flash to FILE when a transfer is closed\n"
      "  --app-id N          identifier the application reports (default: the model's)\n"
      "  --boot-id N         identifier the bootloader reports (default: what the model expects)\n"
      "  --id67 N            identifier by function 0x67 (default: the model's)\n"
      "  --d1386 N --d1001 N --d1148 N   register values (default: what a PLC of the\n"
      "                      model holds, so that it passes its own model's checks)\n"
      "  --loader-version N  bootloader version byte, 0xMm (default 0x20)\n"
      "  --no-enter-boot     the enter-update request is acknowledged but ignored\n"
      "  --no-line-check     accept bytes at any line settings\n"
      "  --pace              take the time of the wire and of the PLC: serial models at the\n"
      "                      host's baud rate (10 bit times a character), USB models with a\n"
      "                      latency per transfer each way; the PLC's own times below\n"
      "  --latency-us N      USB models, with --pace: latency of a transfer (default %u)\n"
      "  --erase-us N        with --pace: erasing one page (default %u)\n"
      "  --write-us N        with --pace: programming one block (default %u)\n"
      "  --restart-us N      with --pace: restart into the bootloader after the confirmed\n"
      "                      enter-update request, deaf to the line (default %u)\n"
      "  --fault KIND:ACT[:TIMES[:ARG1[:ARG2]]]   (repeatable)\n"
      "      KIND: wake probe checkid register version id67 erase\n"
      "            idb versionb erasepage eraseeot update block fweot\n"
      "      ACT:  silent short badlrc lowercase nak nok noise\n"
      "            short: cut ARG1 bytes (1); nak: reason ARG1, flow state ARG2;\n"
      "            badlrc corrupts the last byte of a bootloader reply;\n"
      "            lowercase affects application replies only;\n"
      "            noise: ARG1 random bytes (1) before the reply\n"
      "      TIMES: a number (default 1) or all\n"
      "  --drop KIND:N[:MS]  the line goes away when the N-th request of KIND arrives:\n"
      "                      its reply is lost, the master side closes (the host's port\n"
      "                      hangs up) and --link goes; MS ms later (default 1000) a new\n"
      "                      pseudo-terminal comes up, its path printed and at --link,\n"
      "                      the PLC as it was (a USB-serial adapter pulled and put back)\n"
      "  --verbose           log requests and replies on stderr\n"
      "  --version           print plcsim's version and exit\n"
      "Numbers are decimal or 0x hex.\n",
      kLatencyUs, plcsim::Times{}.erasePageUs, plcsim::Times{}.writeBlockUs, plcsim::Times{}.restartUs);
}

bool parseNumber(const char* s, long max, long& out) {
  if (s == nullptr || *s == '\0') return false;
  const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(hex ? s + 2 : s, &end, hex ? 16 : 10);
  if (errno != 0 || end == (hex ? s + 2 : s) || *end != '\0' || v < 0 || v > max) return false;
  out = v;
  return true;
}

template <size_t N>
int lookup(const char* const (&names)[N], const std::string& s) {
  for (size_t i = 0; i < N; ++i)
    if (s == names[i]) return static_cast<int>(i);
  return -1;
}

struct FaultArg {
  plcsim::Kind kind;
  plcsim::Act act;
  int times;
  uint8_t arg1, arg2;
};

std::vector<std::string> splitColons(const std::string& arg) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = arg.find(':', start);
    parts.push_back(arg.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return parts;
}

bool parseFault(const std::string& arg, FaultArg& f) {
  const std::vector<std::string> parts = splitColons(arg);
  if (parts.size() < 2 || parts.size() > 5) return false;
  const int kind = lookup(kKindNames, parts[0]);
  const int act = lookup(kActNames, parts[1]);
  if (kind < 0 || act < 0) return false;
  f = FaultArg{static_cast<plcsim::Kind>(kind), static_cast<plcsim::Act>(act), 1, 0, 0};
  long v = 0;
  if (parts.size() > 2) {
    if (parts[2] == "all") f.times = -1;
    else if (parseNumber(parts[2].c_str(), 1000000, v)) f.times = static_cast<int>(v);
    else return false;
  }
  if (parts.size() > 3) {
    if (!parseNumber(parts[3].c_str(), 255, v)) return false;
    f.arg1 = static_cast<uint8_t>(v);
  }
  if (parts.size() > 4) {
    if (!parseNumber(parts[4].c_str(), 255, v)) return false;
    f.arg2 = static_cast<uint8_t>(v);
  }
  return true;
}

// --drop: when the line goes away and for how long.
struct Drop {
  plcsim::Kind kind = plcsim::Kind::Count;  // Count: never
  long after = 0;                           // the request of that kind that is not answered
  long downMs = 1000;
};

bool parseDrop(const std::string& arg, Drop& d) {
  const std::vector<std::string> parts = splitColons(arg);
  if (parts.size() < 2 || parts.size() > 3) return false;
  const int kind = lookup(kKindNames, parts[0]);
  if (kind < 0 || !parseNumber(parts[1].c_str(), 1000000, d.after) || d.after < 1) return false;
  if (parts.size() == 3 && !parseNumber(parts[2].c_str(), 600000, d.downMs)) return false;
  d.kind = static_cast<plcsim::Kind>(kind);
  return true;
}

uint32_t baudOf(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

// The host's baud rate, as the terminal now has it. A pseudo-terminal keeps
// its data bits and parity at 8N1 whatever the host asks, so those stay
// unknown (dataBits 0) and only the baud rate is checked.
quarn::LineSettings hostLineOf(int slave) {
  termios t{};
  if (tcgetattr(slave, &t) != 0) return {0, 0, 0};
  return {baudOf(cfgetospeed(&t)), 0, 0};
}

std::string shown(const uint8_t* p, size_t n) {
  std::string s;
  char tmp[8];
  for (size_t i = 0; i < n && i < 40; ++i) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      s += static_cast<char>(p[i]);
    } else {
      std::snprintf(tmp, sizeof tmp, "<%02X>", p[i]);
      s += tmp;
    }
  }
  if (n > 40) s += "...";
  return s;
}

// Writes all of it to the master, waiting a little when the terminal is full.
void writeAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else if (w < 0 && errno == EAGAIN) {
      pollfd pf{fd, POLLOUT, 0};
      if (poll(&pf, 1, 1000) <= 0) return;  // nobody reads: the rest is lost
    } else {
      return;
    }
  }
}

// With --pace, how close plcsim kept to its timing, and what the host's
// side added: how late reply bytes left, and how long the host took from a
// reply to its next request (its own time and the pseudo-terminal's both
// ways; a pause of 100 ms or more is one of its waits and is not counted).
struct PaceStats {
  uint64_t writes = 0, lateNs = 0, maxLateNs = 0;
  uint64_t turns = 0, turnNs = 0, maxTurnNs = 0;
  uint64_t repliedAt = 0;  // 0: no reply since the last request

  void replied(uint64_t due, uint64_t at) {
    ++writes;
    const uint64_t late = at > due ? at - due : 0;
    lateNs += late;
    maxLateNs = std::max(maxLateNs, late);
    repliedAt = at;
  }
  void request(uint64_t at) {
    if (repliedAt != 0 && at - repliedAt < 100000000) {
      ++turns;
      turnNs += at - repliedAt;
      maxTurnNs = std::max(maxTurnNs, at - repliedAt);
    }
    repliedAt = 0;
  }
  void print() const {
    std::fprintf(stderr,
                 "plcsim: reply bytes left in %llu writes, late by %.6f s in all (at most %.0f us); "
                 "the host followed %llu replies with a request after %.6f s in all (at most %.0f us)\n",
                 static_cast<unsigned long long>(writes), lateNs / 1e9, maxLateNs / 1e3,
                 static_cast<unsigned long long>(turns), turnNs / 1e9, maxTurnNs / 1e3);
  }
};

// A timer wakes tens of microseconds late: the last stretch before a reply
// leaves is spun instead.
constexpr uint64_t kSpinNs = 150000;

uint64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// The pseudo-terminal the PLC is served on. plcsim holds the slave open
// itself, so the master never sees a hang-up when the host closes its side;
// `watch` sees the host's opens and closes of the slave, to notice a replug.
struct Pty {
  int master = -1, slave = -1, watch = -1;
  std::string path;
};

bool openPty(Pty& p) {
  p.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) {
    std::perror("plcsim: pseudo-terminal");
    return false;
  }
  const char* name = ptsname(p.master);
  if (name == nullptr) {
    std::perror("plcsim: ptsname");
    return false;
  }
  p.path = name;
  p.slave = open(p.path.c_str(), O_RDWR | O_NOCTTY);
  if (p.slave < 0) {
    std::perror("plcsim: slave");
    return false;
  }
  termios raw{};
  tcgetattr(p.slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(p.slave, TCSANOW, &raw);
  fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
  p.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (p.watch >= 0 &&
      inotify_add_watch(p.watch, p.path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
    std::perror("plcsim: inotify (replugs go unseen)");
  return true;
}

void closePty(Pty& p) {
  for (int fd : {p.watch, p.slave, p.master})
    if (fd >= 0) close(fd);
  p = Pty{};
}

// Makes path a symbolic link to target, replacing a link that is there.
bool pointLink(const std::string& path, const std::string& target) {
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "plcsim: %s exists and is not a symbolic link\n", path.c_str());
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(target.c_str(), path.c_str()) != 0) {
    std::perror("plcsim: --link");
    return false;
  }
  return true;
}

// Removes the link at path when it still points at target.
void removeLink(const std::string& path, const std::string& target) {
  char to[4096];
  const ssize_t n = readlink(path.c_str(), to, sizeof to - 1);
  if (n <= 0) return;
  to[n] = '\0';
  if (target == to) unlink(path.c_str());
}

bool writeFlash(const std::string& path, const std::vector<uint8_t>& flash) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  plcsim::Config cfg;
  cfg.model.clear();
  std::string linkPath, flashOut;
  std::vector<FaultArg> faults;
  Drop drop;
  bool verbose = false;
  bool pace = false;
  uint32_t latencyUs = kLatencyUs;

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
    long v = 0;
    auto number = [&](long max) {
      if (!parseNumber(val, max, v)) {
        std::fprintf(stderr, "plcsim: %s needs a number from 0 to %ld\n", a.c_str(), max);
        std::exit(2);
      }
      ++i;
      return v;
    };
    auto text = [&]() {
      if (val == nullptr) {
        std::fprintf(stderr, "plcsim: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      ++i;
      return std::string(val);
    };
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--version") {
      if (parseNumber(val, 0xFF, v)) {  // the loader version's old spelling
        std::fprintf(stderr, "plcsim: --version takes no value; the bootloader's is --loader-version N\n");
        return 2;
      }
      std::printf("plcsim %s\n", QUARN_VERSION);
      return 0;
    } else if (a == "--model") {
      cfg.model = text();
    } else if (a == "--mode") {
      const std::string m = text();
      if (m != "app" && m != "boot") {
        std::fprintf(stderr, "plcsim: --mode is app or boot\n");
        return 2;
      }
      cfg.mode = m == "boot" ? plcsim::Mode::Boot : plcsim::Mode::App;
    } else if (a == "--link") {
      linkPath = text();
    } else if (a == "--flash-out") {
      flashOut = text();
    } else if (a == "--app-id") {
      cfg.appId = static_cast<int>(number(0xFFFF));
    } else if (a == "--boot-id") {
      cfg.bootId = static_cast<int>(number(0xFFFF));
    } else if (a == "--id67") {
      cfg.id67 = static_cast<int>(number(0xFFFF));
    } else if (a == "--d1386") {
      cfg.d1386 = static_cast<int>(number(0xFFFF));
    } else if (a == "--d1001") {
      cfg.d1001 = static_cast<int>(number(0xFFFF));
    } else if (a == "--d1148") {
      cfg.d1148 = static_cast<int>(number(0xFFFF));
    } else if (a == "--loader-version") {
      cfg.loaderVersion = static_cast<uint8_t>(number(0xFF));
    } else if (a == "--no-enter-boot") {
      cfg.enterBoot = false;
    } else if (a == "--no-line-check") {
      cfg.checkLine = false;
    } else if (a == "--pace") {
      pace = true;
    } else if (a == "--latency-us") {
      latencyUs = static_cast<uint32_t>(number(10000000));
    } else if (a == "--erase-us") {
      cfg.times.erasePageUs = static_cast<uint32_t>(number(100000000));
    } else if (a == "--write-us") {
      cfg.times.writeBlockUs = static_cast<uint32_t>(number(100000000));
    } else if (a == "--restart-us") {
      cfg.times.restartUs = static_cast<uint32_t>(number(100000000));
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--fault") {
      FaultArg f{};
      if (!parseFault(text(), f)) {
        std::fprintf(stderr, "plcsim: bad --fault %s (see --help)\n", argv[i]);
        return 2;
      }
      faults.push_back(f);
    } else if (a == "--drop") {
      if (!parseDrop(text(), drop)) {
        std::fprintf(stderr, "plcsim: bad --drop %s (see --help)\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "plcsim: unknown option %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (quarn::findModel(cfg.model.c_str()) < 0) {
    std::fprintf(stderr, "plcsim: --model needs a catalogue name; one of:");
    for (int i = 0; i < quarn::kModelCount; ++i) std::fprintf(stderr, " %s", quarn::plcList[i]);
    std::fprintf(stderr, "\n");
    return 2;
  }

  plcsim::Plc plc(cfg);
  for (const FaultArg& f : faults) plc.inject(f.kind, f.act, f.times, f.arg1, f.arg2);

  Pty pty;
  if (!openPty(pty)) return 1;
  if (!linkPath.empty() && !pointLink(linkPath, pty.path)) return 1;

  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", pty.path.c_str());
  std::fflush(stdout);
  if (verbose)
    std::fprintf(stderr, "plcsim: %s in its %s on %s\n", cfg.model.c_str(),
                 cfg.mode == plcsim::Mode::Boot ? "bootloader" : "application", pty.path.c_str());

  std::vector<uint8_t> reply;
  reply.reserve(1024);
  uint8_t buf[4096];
  int hostOpens = 0;       // the host's descriptors on the slave
  bool hostSeen = false;   // the host has opened the slave before
  bool flashWritten = false;
  bool dropped = false;  // the line has gone away (it comes back once)
  uint64_t upAt = 0;     // when the new pseudo-terminal comes up
  quarn::LineSettings lastLine{0, 0, 0};
  plcsim::Mode lastMode = plc.mode();
  const bool usb = quarn::kProfile[quarn::findModel(cfg.model.c_str())].usb;
  plcsim::Pacer pacer(plc);
  // Wake-ups to the microsecond: a character at 115200 baud takes 87 us. A
  // real PLC shares its processor with nobody, so the simulated one runs
  // ahead of the host's other work where it may (as root); it sleeps between
  // its short turns.
  if (pace) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const sched_param prio{1};
    if (sched_setscheduler(0, SCHED_FIFO, &prio) != 0 && verbose)
      std::fprintf(stderr, "plcsim: no real-time priority (%s); timing follows the load\n",
                   std::strerror(errno));
  }

  PaceStats stats;
  while (!stopRequested) {
    uint64_t waitNs = 200000000;  // to notice a stop request
    if (pty.master < 0) {  // the line is down until upAt
      const uint64_t now = nowNs();
      if (now >= upAt) {
        if (!openPty(pty) || (!linkPath.empty() && !pointLink(linkPath, pty.path))) break;
        std::printf("%s\n", pty.path.c_str());
        std::fflush(stdout);
        if (verbose) std::fprintf(stderr, "plcsim: the line is back on %s\n", pty.path.c_str());
        continue;
      }
      waitNs = std::min(waitNs, upAt - now);
    } else if (pace) {
      // Reply bytes leave on time (kSpinNs).
      const uint64_t now = nowNs(), reply = pacer.nextReply();
      const uint64_t next = std::min(pacer.next(), reply > kSpinNs ? reply - kSpinNs : 0);
      if (next != UINT64_MAX) waitNs = std::min(waitNs, next > now ? next - now : 0);
    }
    const timespec timeout{static_cast<time_t>(waitNs / 1000000000u),
                           static_cast<long>(waitNs % 1000000000u)};
    // Closed descriptors (-1) are left out by ppoll.
    pollfd pf[2] = {{pty.master, POLLIN, 0}, {pty.watch, POLLIN, 0}};
    const int r = ppoll(pf, 2, &timeout, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("plcsim: poll");
      break;
    }
    if (pf[1].revents & POLLIN) {
      alignas(inotify_event) char ev[4096];
      const ssize_t n = read(pty.watch, ev, sizeof ev);
      for (ssize_t off = 0; n > 0 && off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(ev + off);
        if (e->mask & IN_OPEN) {
          if (hostOpens++ == 0) {
            tcflush(pty.slave, TCIFLUSH);  // replies nobody read belong to the old link
            pacer.reconnected();
            if (hostSeen) plc.reconnected();
            hostSeen = true;
            if (verbose) std::fprintf(stderr, "plcsim: host opened the port\n");
          }
        } else if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
          if (hostOpens > 0 && --hostOpens == 0 && verbose)
            std::fprintf(stderr, "plcsim: host closed the port\n");
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }

    int before[static_cast<size_t>(plcsim::Kind::Count)];
    for (int k = 0; k < static_cast<int>(plcsim::Kind::Count); ++k)
      before[k] = plc.requests(static_cast<plcsim::Kind>(k));
    reply.clear();
    ssize_t n = 0;
    if (pf[0].revents & POLLIN) {
      n = read(pty.master, buf, sizeof buf);
      if (n > 0 && pace) stats.request(nowNs());
      if (n > 0) {
        const quarn::LineSettings line = hostLineOf(pty.slave);
        plc.hostLine(line);
        if (verbose && line.baud != lastLine.baud)
          std::fprintf(stderr, "plcsim: host line %u baud\n", line.baud);
        lastLine = line;
        if (!pace) {
          plc.receive(buf, static_cast<size_t>(n), reply);
        } else if (usb) {
          pacer.fromHost(buf, static_cast<size_t>(n), nowNs(), {0, uint64_t{latencyUs} * 1000});
        } else {
          pacer.fromHost(buf, static_cast<size_t>(n), nowNs(), {plcsim::Pacer::charNs(line.baud), 0});
        }
      }
    }
    if (pace) {
      const uint64_t due = pacer.nextReply();
      pacer.run(nowNs(), reply);
      if (!reply.empty()) stats.replied(due, nowNs());
    }
    if (!dropped && drop.kind != plcsim::Kind::Count && plc.requests(drop.kind) >= drop.after) {
      // The line goes away: the reply is lost with it, the host's port hangs up.
      dropped = true;
      reply.clear();
      if (!linkPath.empty()) removeLink(linkPath, pty.path);
      closePty(pty);
      pacer.reconnected();
      hostOpens = 0;
      upAt = nowNs() + static_cast<uint64_t>(drop.downMs) * 1000000u;
      if (verbose) std::fprintf(stderr, "plcsim: the line dropped\n");
    }
    writeAll(pty.master, reply.data(), reply.size());

    if (verbose) {
      std::string kinds;
      for (int k = 0; k < static_cast<int>(plcsim::Kind::Count); ++k)
        if (plc.requests(static_cast<plcsim::Kind>(k)) != before[k]) kinds += std::string(" ") + kKindNames[k];
      if (n > 0 || !reply.empty() || !kinds.empty()) {
        if (kinds.empty()) kinds = " (no request)";
        std::fprintf(stderr, "plcsim:%s  in %s  out %s\n", kinds.c_str(),
                     shown(buf, n > 0 ? static_cast<size_t>(n) : 0).c_str(),
                     shown(reply.data(), reply.size()).c_str());
      }
      if (plc.mode() != lastMode)
        std::fprintf(stderr, "plcsim: now in its %s\n",
                     plc.mode() == plcsim::Mode::Boot ? "bootloader" : "application");
    }
    lastMode = plc.mode();
    if (!plc.transferClosed()) {
      flashWritten = false;
    } else if (!flashWritten) {
      flashWritten = true;
      if (!flashOut.empty()) {
        if (writeFlash(flashOut, plc.flash()))
          std::fprintf(stderr, "plcsim: %zu flash bytes written to %s\n", plc.flash().size(), flashOut.c_str());
        else
          std::fprintf(stderr, "plcsim: cannot write %s: %s\n", flashOut.c_str(), std::strerror(errno));
      }
    }
  }

  if (pace) stats.print();
  if (!linkPath.empty()) removeLink(linkPath, pty.path);
  closePty(pty);
  return 0;
}
