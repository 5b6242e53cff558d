// plcsim's server. The host opens the pseudo-terminal's slave side as its
// serial port; its line settings are read from the terminal before every
// chunk, and the host closing and reopening the port is seen as a replug.
// Paced, the PLC answers in the time the wire and the PLC itself would take;
// with a drop, the line goes away in the middle of a session and a new
// pseudo-terminal comes up later, the PLC as it was. The PLC's own cable can
// be pulled and put back (--unplug at set times, --control on demand): the
// port stays, and while the cable is out nothing the host sends reaches the
// PLC and nothing comes back.
#include "serve.h"

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
#include <cstring>
#include <ctime>

#include "pty.h"

namespace plcsim {

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

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
    std::fprintf(
        stderr,
        "plcsim: reply bytes left in %llu writes, late by %.6f s in all (at most %.0f us); "
        "the host followed %llu replies with a request after %.6f s in all (at most %.0f us)\n",
        static_cast<unsigned long long>(writes), static_cast<double>(lateNs) / 1e9,
        static_cast<double>(maxLateNs) / 1e3, static_cast<unsigned long long>(turns),
        static_cast<double>(turnNs) / 1e9, static_cast<double>(maxTurnNs) / 1e3);
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

bool writeFlash(const std::string& path, const std::vector<uint8_t>& flash) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
  return std::fclose(f) == 0 && ok;
}

const char* programOf(Mode m) { return m == Mode::Boot ? "bootloader" : "application"; }

constexpr size_t kKinds = static_cast<size_t>(Kind::Count);

struct Server {
  const Options& o;
  Plc& plc;
  // A late reply needs the PLC in time; without --pace only that reply
  // takes any: the wire and the PLC's own work take none.
  const bool timed = o.pace || o.late.kind != Kind::Count;
  Pacer pacer{plc};
  PaceStats stats;
  Pty pty;
  std::vector<uint8_t> reply;
  uint8_t buf[4096];
  int hostOpens = 0;      // the host's descriptors on the slave
  bool hostSeen = false;  // the host has opened the slave before
  bool flashWritten = false;
  bool dropped = false;  // the line has gone away (it comes back once)
  uint64_t upAt = 0;     // when the new pseudo-terminal comes up
  quarn::LineSettings lastLine{0, 0, 0};
  Mode lastMode = plc.mode();
  // --unplug as a plan in time order: when the cable goes out or comes back.
  struct Plug {
    uint64_t at;
    bool in, off;
  };
  std::vector<Plug> plan;
  size_t planned = 0;  // the plan's steps taken
  int control = -1;    // --control's FIFO
  std::string command;

  Server(const Options& options, Plc& p) : o(options), plc(p) {
    const uint64_t start = nowNs();
    for (const Unplug& u : o.unplugs) {
      const uint64_t at = start + static_cast<uint64_t>(u.atMs) * 1000000u;
      plan.push_back({at, false, u.off});
      plan.push_back({at + static_cast<uint64_t>(u.forMs) * 1000000u, true, false});
    }
    std::stable_sort(plan.begin(), plan.end(),
                     [](const Plug& a, const Plug& b) { return a.at < b.at; });
  }

  // A new pseudo-terminal, at --link.
  bool lineUp() { return openPty(pty) && (o.linkPath.empty() || pointLink(o.linkPath, pty.path)); }
  void printPath() {
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);
  }

  // How long to wait for the host: until the next thing the pacer has to
  // do, the line's coming back or a stop request.
  uint64_t waitNs(uint64_t now) {
    uint64_t wait = 200000000;  // to notice a stop request
    if (planned < plan.size())
      wait = std::min(wait, plan[planned].at > now ? plan[planned].at - now : 0);
    if (pty.master < 0) {  // the line is down until upAt
      wait = std::min(wait, upAt - now);
    } else if (timed) {
      // Reply bytes leave on time (kSpinNs).
      const uint64_t next = pacer.nextReply();
      const uint64_t at = std::min(pacer.next(), next > kSpinNs ? next - kSpinNs : 0);
      if (at != UINT64_MAX) wait = std::min(wait, at > now ? at - now : 0);
    }
    return wait;
  }

  // The host's opens and closes of the slave: its first open after a close
  // is a replug.
  void hostEvents() {
    alignas(inotify_event) char ev[4096];
    const ssize_t n = read(pty.watch, ev, sizeof ev);
    for (ssize_t off = 0; n > 0 && off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(ev + off);
      if (e->mask & IN_OPEN) {
        if (hostOpens++ == 0) {
          tcflush(pty.slave, TCIFLUSH);  // replies nobody read belong to the old link
          pacer.reconnected();
          if (hostSeen) plc.hostReopened();
          hostSeen = true;
          if (o.verbose) std::fprintf(stderr, "plcsim: host opened the port\n");
        }
      } else if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
        if (hostOpens > 0 && --hostOpens == 0 && o.verbose)
          std::fprintf(stderr, "plcsim: host closed the port\n");
      }
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }

  // What the host sent goes to the PLC at the host's line settings: at once,
  // or to the pacer to arrive in its time.
  ssize_t fromHost() {
    const ssize_t n = read(pty.master, buf, sizeof buf);
    if (n > 0 && o.pace) stats.request(nowNs());
    if (n <= 0) return n;
    const quarn::LineSettings line = hostLineOf(pty.slave);
    plc.hostLine(line);
    if (o.verbose && line.baud != lastLine.baud)
      std::fprintf(stderr, "plcsim: host line %u baud\n", line.baud);
    lastLine = line;
    const size_t got = static_cast<size_t>(n);
    if (!timed) {
      plc.receive(buf, got, reply);
    } else if (!o.pace) {
      pacer.fromHost(buf, got, nowNs(), {0, 0});
    } else if (plc.usb()) {
      pacer.fromHost(buf, got, nowNs(), {0, uint64_t{o.latencyUs} * 1000});
    } else {
      pacer.fromHost(buf, got, nowNs(), {Pacer::charNs(line.baud), 0});
    }
    return n;
  }

  // The line goes away: the reply is lost with it, the host's port hangs up.
  void dropLine() {
    dropped = true;
    reply.clear();
    if (!o.linkPath.empty()) removeLink(o.linkPath, pty.path);
    closePty(pty);
    pacer.reconnected();
    hostOpens = 0;
    upAt = nowNs() + static_cast<uint64_t>(o.drop.downMs) * 1000000u;
    if (o.verbose) std::fprintf(stderr, "plcsim: the line dropped\n");
  }

  // The PLC's cable pulled (with off, the PLC switched off too) or put
  // back: what was on the wire either way is lost.
  void cable(bool in, bool off) {
    if (in && plc.plugged()) return;
    if (in)
      plc.plug();
    else
      plc.unplug(off);
    pacer.reconnected();
    reply.clear();
    if (pty.slave >= 0) tcflush(pty.slave, TCIFLUSH);
    if (o.verbose)
      std::fprintf(stderr, "plcsim: %s\n",
                   in    ? "the PLC is plugged in"
                   : off ? "the PLC is unplugged and off"
                         : "the PLC is unplugged");
  }

  // --control: a FIFO that plcsim makes (or finds) at the path and reads
  // lines from; false when it cannot.
  bool openControl() {
    if (o.controlPath.empty()) return true;
    struct stat st {};
    if ((mkfifo(o.controlPath.c_str(), 0600) != 0 &&
         (errno != EEXIST || stat(o.controlPath.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))) ||
        (control = open(o.controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
      std::fprintf(stderr, "plcsim: cannot make the FIFO %s: %s\n", o.controlPath.c_str(),
                   std::strerror(errno));
      return false;
    }
    return true;
  }

  // Lines from --control: "unplug", "off" (unplugged and switched off) and
  // "plug". A line longer than any command is dropped whole.
  void controlEvents() {
    char in[256];
    const ssize_t n = read(control, in, sizeof in);
    for (ssize_t i = 0; i < n; ++i) {
      if (in[i] != '\n') {
        if (command.size() <= 16) command += in[i];
        continue;
      }
      if (command == "unplug" || command == "off")
        cable(false, command == "off");
      else if (command == "plug")
        cable(true, false);
      else
        std::fprintf(stderr, "plcsim: --control takes unplug, off or plug, not \"%.16s\"\n",
                     command.c_str());
      command.clear();
    }
  }

  // --verbose: the kinds of request that came, what came in and what went out.
  void log(ssize_t n, const int (&before)[kKinds]) {
    std::string kinds;
    for (size_t k = 0; k < kKinds; ++k)
      if (plc.requests(static_cast<Kind>(k)) != before[k])
        kinds += std::string(" ") + KindName(static_cast<Kind>(k));
    if (n > 0 || !reply.empty() || !kinds.empty()) {
      if (kinds.empty()) kinds = " (no request)";
      std::fprintf(stderr, "plcsim:%s  in %s  out %s\n", kinds.c_str(),
                   shown(buf, n > 0 ? static_cast<size_t>(n) : 0).c_str(),
                   shown(reply.data(), reply.size()).c_str());
    }
    if (plc.mode() != lastMode)
      std::fprintf(stderr, "plcsim: now in its %s\n", programOf(plc.mode()));
  }

  // --flash-out: the flash once a transfer is closed.
  void flashOut() {
    if (!plc.transferClosed()) {
      flashWritten = false;
    } else if (!flashWritten) {
      flashWritten = true;
      if (!o.flashOut.empty()) {
        if (writeFlash(o.flashOut, plc.flash()))
          std::fprintf(stderr, "plcsim: %zu flash bytes written to %s\n", plc.flash().size(),
                       o.flashOut.c_str());
        else
          std::fprintf(stderr, "plcsim: cannot write %s: %s\n", o.flashOut.c_str(),
                       std::strerror(errno));
      }
    }
  }

  void run() {
    while (!stopRequested) {
      const uint64_t now = nowNs();
      if (pty.master < 0 && now >= upAt) {
        if (!lineUp()) break;
        printPath();
        if (o.verbose) std::fprintf(stderr, "plcsim: the line is back on %s\n", pty.path.c_str());
        continue;
      }
      for (; planned < plan.size() && plan[planned].at <= now; ++planned)
        cable(plan[planned].in, plan[planned].off);
      const uint64_t wait = waitNs(now);
      const timespec timeout{static_cast<time_t>(wait / 1000000000u),
                             static_cast<long>(wait % 1000000000u)};
      // Closed descriptors (-1) are left out by ppoll.
      pollfd pf[3] = {{pty.master, POLLIN, 0}, {pty.watch, POLLIN, 0}, {control, POLLIN, 0}};
      if (ppoll(pf, 3, &timeout, nullptr) < 0) {
        if (errno == EINTR) continue;
        std::perror("plcsim: poll");
        break;
      }
      if (pf[1].revents & POLLIN) hostEvents();
      if (pf[2].revents & POLLIN) controlEvents();

      int before[kKinds];
      for (size_t k = 0; k < kKinds; ++k) before[k] = plc.requests(static_cast<Kind>(k));
      reply.clear();
      const ssize_t n = (pf[0].revents & POLLIN) ? fromHost() : 0;
      if (timed) {
        const uint64_t due = pacer.nextReply();
        pacer.run(nowNs(), reply);
        if (!reply.empty()) stats.replied(due, nowNs());
      }
      if (!dropped && o.drop.kind != Kind::Count && plc.requests(o.drop.kind) >= o.drop.after)
        dropLine();
      writeAll(pty.master, reply.data(), reply.size());
      if (o.verbose) log(n, before);
      lastMode = plc.mode();
      flashOut();
    }
  }
};

}  // namespace

int Serve(const Options& o, Plc& plc) {
  Server s(o, plc);
  if (!s.openControl() || !s.lineUp()) return 1;

  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  s.printPath();
  if (o.verbose)
    std::fprintf(stderr, "plcsim: %s in its %s on %s\n", o.cfg.model.c_str(), programOf(o.cfg.mode),
                 s.pty.path.c_str());
  // Wake-ups to the microsecond: a character at 115200 baud takes 87 us. A
  // real PLC shares its processor with nobody, so the simulated one runs
  // ahead of the host's other work where it may (as root); it sleeps between
  // its short turns.
  if (o.pace) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const sched_param prio{1};
    if (sched_setscheduler(0, SCHED_FIFO, &prio) != 0 && o.verbose)
      std::fprintf(stderr, "plcsim: no real-time priority (%s); timing follows the load\n",
                   std::strerror(errno));
  }

  s.run();
  if (o.pace) s.stats.print();
  if (!o.linkPath.empty()) removeLink(o.linkPath, s.pty.path);
  closePty(s.pty);
  if (s.control >= 0) close(s.control);
  return 0;
}

}  // namespace plcsim
