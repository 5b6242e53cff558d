// plcdev.dll: the emulated USB PLCs behind winusbplc.sys, each a simulated
// PLC. It runs in the process that hosts the driver and answers the driver's
// calls and the control program's commands.
//
// The PLC restarts as a real one does: once it has taken the enter-update
// request it ignores the pipe; when the host has closed the device, the
// device leaves the bus and comes back in its bootloader a moment later.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#define PLCDEV_BUILD
#include "plcdev.h"
#include "plcsim.h"

namespace {

constexpr ULONGLONG kRestartMs = 300;     // off the bus while the PLC restarts
constexpr size_t kMaxToHost = 64 * 1024;  // replies held for the host, at most

struct Device {
  std::unique_ptr<plcsim::Plc> plc;
  bool present = false;
  bool restarting = false;  // gone into its bootloader: deaf until the host lets go
  bool hang = false;        // reads never complete
  int opens = 0;
  int restarts = 0;
  plcsim::Kind when = plcsim::Kind::Count;  // at the whenAt-th request of this kind
  int whenAt = 0;                           // the cable is pulled, or (whenHang)
  bool whenHang = false;                    // reads stop completing
  ULONGLONG backAt = 0;                     // a restart ends then (0: none under way)
  std::vector<uint8_t> toHost;
};

std::mutex lock;
Device devices[PLCDEV_MAX + 1];
std::atomic<unsigned> generation{0};

Device* Live(int i) {
  if (i < 1 || i > PLCDEV_MAX || !devices[i].plc) return nullptr;
  return &devices[i];
}

void Gone(Device& d) {
  d.present = false;
  d.opens = 0;  // handles on the old device no longer count
  d.toHost.clear();
  ++generation;
}

// The PLC powers up again: what was on the wire is lost.
void PowerUp(Device& d) {
  d.present = true;
  d.restarting = false;
  d.backAt = 0;
  d.toHost.clear();
  d.plc->reconnected();
  ++generation;
}

bool WriteFileAll(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::string Log(const Device& d) {
  std::string s;
  for (int k = 0; k < static_cast<int>(plcsim::Kind::Count); ++k)
    s += std::string(plcsim::KindName(static_cast<plcsim::Kind>(k))) + " " +
         std::to_string(d.plc->requests(static_cast<plcsim::Kind>(k))) + "\n";
  s += "restarts " + std::to_string(d.restarts) + "\n";
  s += "mode " + std::string(d.plc->mode() == plcsim::Mode::App ? "app" : "boot") + "\n";
  return s;
}

// One command of the control program (see winusbplc.cpp for the list).
std::string Command(const std::vector<std::string>& w) {
  if (w.empty()) return "error: empty command";
  if (w[0] == "status") {
    std::string s;
    for (int i = 1; i <= PLCDEV_MAX; ++i)
      if (devices[i].plc)
        s += std::to_string(i) + (devices[i].present ? " present " : " absent ") +
             (devices[i].plc->mode() == plcsim::Mode::App ? "app" : "boot") + " restarts " +
             std::to_string(devices[i].restarts) + "\n";
    return s;
  }
  long n = 0;
  if (w.size() < 2 || !plcsim::ParseNumber(w[1].c_str(), PLCDEV_MAX, n) || n < 1)
    return "error: a device number from 1 to " + std::to_string(PLCDEV_MAX);
  Device& d = devices[n];
  const std::string& cmd = w[0];
  if (cmd == "plug") {
    // plug N MODEL [boot] [d1386=V] [d1001=V] [d1148=V]: a new PLC of that
    // model, in its application (or its bootloader), with those register
    // values, plugged in.
    if (w.size() < 3) return "error: plug N MODEL [boot] [d1386=V] [d1001=V] [d1148=V]";
    plcsim::Config cfg;
    cfg.model = w[2];
    for (size_t k = 3; k < w.size(); ++k) {
      const size_t eq = w[k].find('=');
      const std::string name = w[k].substr(0, eq);
      int* reg = name == "d1386"   ? &cfg.d1386
                 : name == "d1001" ? &cfg.d1001
                 : name == "d1148" ? &cfg.d1148
                                   : nullptr;
      long v = 0;
      if (w[k] == "boot")
        cfg.mode = plcsim::Mode::Boot;
      else if (reg && eq != std::string::npos &&
               plcsim::ParseNumber(w[k].c_str() + eq + 1, 0xFFFF, v))
        *reg = static_cast<int>(v);
      else
        return "error: bad setting " + w[k];
    }
    d = Device{};
    d.plc = std::make_unique<plcsim::Plc>(cfg);
    d.present = true;
    ++generation;
    return "ok";
  }
  if (!d.plc) return "error: no device " + w[1];
  if (cmd == "unplug") {
    if (d.present) Gone(d);
    d.restarting = false;
    d.backAt = 0;
  } else if (cmd == "replug") {
    // replug N [M]: the cable back in, at port N or at port M: the PLC moves
    // there (with its flash, its program and its faults) and port N is free.
    long to = n;
    if (w.size() > 2 && (!plcsim::ParseNumber(w[2].c_str(), PLCDEV_MAX, to) || to < 1))
      return "error: replug N [M], M from 1 to " + std::to_string(PLCDEV_MAX);
    if (to != n) {
      if (d.present) return "error: device " + w[1] + " is plugged in";
      if (devices[to].plc) return "error: port " + w[2] + " is taken";
      devices[to] = std::move(d);
      d = Device{};
    }
    if (!devices[to].present) PowerUp(devices[to]);
  } else if (cmd == "fault") {
    plcsim::Fault f{};
    if (w.size() < 3 || !plcsim::ParseFault(w[2], f))
      return "error: fault N KIND:ACT[:TIMES[:ARG1[:ARG2]]]";
    d.plc->inject(f.kind, f.act, f.times, f.arg1, f.arg2);
  } else if (cmd == "drop" || (cmd == "hang" && w.size() > 2 && w[2] != "off")) {
    // drop N KIND:COUNT: the cable is pulled as the COUNT-th request of KIND
    // arrives; hang N KIND:COUNT: from then on reads never complete.
    const std::vector<std::string> p =
        w.size() > 2 ? plcsim::SplitColons(w[2]) : std::vector<std::string>{};
    long at = 0;
    const int kind = p.size() == 2 ? plcsim::ParseKind(p[0]) : -1;
    if (kind < 0 || !plcsim::ParseNumber(p[1].c_str(), 1000000, at) || at < 1)
      return "error: " + cmd + " N KIND:COUNT";
    d.when = static_cast<plcsim::Kind>(kind);
    d.whenAt = static_cast<int>(at);
    d.whenHang = cmd == "hang";
  } else if (cmd == "hang") {
    d.hang = w.size() < 3;
  } else if (cmd == "flash" || cmd == "log") {
    if (w.size() < 3) return "error: " + cmd + " N FILE";
    const std::vector<uint8_t>& flash = d.plc->flash();
    std::string bytes = cmd == "flash" ? std::string(flash.begin(), flash.end()) : Log(d);
    if (!WriteFileAll(w[2], bytes)) return "error: cannot write " + w[2];
  } else {
    return "error: unknown command " + cmd;
  }
  return "ok";
}

}  // namespace

extern "C" {

unsigned plcdev_command(const char* in, unsigned inLen, char* out, unsigned outLen) {
  std::istringstream text(std::string(in, strnlen(in, std::min<unsigned>(inLen, PLCDEV_TEXT))));
  std::vector<std::string> words;
  for (std::string word; text >> word;) words.push_back(word);
  std::string answer;
  {
    std::lock_guard<std::mutex> g(lock);
    answer = Command(words);
  }
  if (outLen == 0) return 0;
  const unsigned len = static_cast<unsigned>(std::min<size_t>(answer.size(), outLen - 1));
  std::memcpy(out, answer.data(), len);
  out[len] = '\0';
  return len + 1;
}

int plcdev_present(int i) {
  std::lock_guard<std::mutex> g(lock);
  Device* d = Live(i);
  return d && d->present;
}

unsigned plcdev_generation(void) { return generation.load(); }

void plcdev_open(int i) {
  std::lock_guard<std::mutex> g(lock);
  if (Device* d = Live(i)) ++d->opens;
}

void plcdev_close(int i) {
  std::lock_guard<std::mutex> g(lock);
  Device* d = Live(i);
  if (!d || d->opens == 0) return;
  if (--d->opens == 0 && d->restarting && d->present) {
    Gone(*d);
    d->backAt = GetTickCount64() + kRestartMs;
  }
}

int plcdev_write(int i, const void* data, unsigned n) {
  std::lock_guard<std::mutex> g(lock);
  Device* d = Live(i);
  if (!d || !d->present) return -1;
  if (d->restarting) return static_cast<int>(n);  // lost on a deaf PLC
  const plcsim::Mode before = d->plc->mode();
  std::vector<uint8_t> out;
  d->plc->receive(static_cast<const uint8_t*>(data), n, out);
  if (d->when != plcsim::Kind::Count && d->plc->requests(d->when) >= d->whenAt) {
    d->when = plcsim::Kind::Count;
    if (d->whenHang) {
      d->hang = true;
    } else {
      Gone(*d);  // the cable is pulled: the reply never leaves
      return static_cast<int>(n);
    }
  }
  if (before == plcsim::Mode::App && d->plc->mode() == plcsim::Mode::Boot) {
    d->restarting = true;
    d->toHost.clear();
  } else if (d->toHost.size() + out.size() <= kMaxToHost) {
    d->toHost.insert(d->toHost.end(), out.begin(), out.end());
  }
  return static_cast<int>(n);
}

int plcdev_read(int i, void* buf, unsigned n) {
  std::lock_guard<std::mutex> g(lock);
  Device* d = Live(i);
  if (!d || !d->present) return -1;
  if (d->hang || d->toHost.empty()) return 0;
  const size_t k = std::min<size_t>(n, d->toHost.size());
  std::memcpy(buf, d->toHost.data(), k);
  d->toHost.erase(d->toHost.begin(), d->toHost.begin() + static_cast<std::ptrdiff_t>(k));
  return static_cast<int>(k);
}

void plcdev_tick(void) {
  std::lock_guard<std::mutex> g(lock);
  const ULONGLONG now = GetTickCount64();
  for (int i = 1; i <= PLCDEV_MAX; ++i) {
    Device& d = devices[i];
    if (d.plc && d.backAt != 0 && now >= d.backAt) {
      PowerUp(d);
      ++d.restarts;
    }
  }
}

}  // extern "C"
