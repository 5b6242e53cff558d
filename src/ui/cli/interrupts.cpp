// The one object that interrupts reach.
#include "ui/cli/interrupts.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ui/cli/signals.h"
#include "ui/cli/terminal.h"

namespace quarn::cli {

const char* const kUntouched = "interrupted; nothing on the PLC was changed";

namespace {

struct Stops {
  enum class Armed { Before, During, After };
  std::mutex lock;  // guards what follows, and the end of each session of a batch
  Armed armed = Armed::Before;
  std::vector<SessionState*> sessions;
  std::function<int(const char*)> atOnce;
  std::condition_variable disarmed;
};

Stops& TheStops() {
  // Never destroyed: a thread that waits on it may outlive main.
  static Stops& stops = *new Stops;
  return stops;
}

void OnInterrupt(int n) {
  Stops& s = TheStops();
  std::lock_guard<std::mutex> lock(s.lock);
  if (s.armed == Stops::Armed::After) return;
  int status = 130;
  if (s.armed == Stops::Armed::During) {
    for (SessionState* st : s.sessions) st->stopRequested = true;
    if (n < 2) return;
    status = s.atOnce("a second interrupt ended quarn-burn at once");
  } else if (Writable(stderr)) {  // a stopped terminal does not hold the exit
    std::fprintf(stderr, "%s\n", kUntouched);
  }
  // Nothing is flushed here: every line was flushed as it was printed, and
  // a stream another thread waits on would hold the exit up.
  std::_Exit(status);
}

// The process is about to be ended from outside: the sessions stop as at an
// interrupt; those still running after ms are ended where they stand, why
// saying what ended them. Returns once the sessions have ended and written
// their records; the process may then end.
void OnEnd(uint32_t ms, const char* why) {
  Stops& s = TheStops();
  std::unique_lock<std::mutex> lock(s.lock);
  int status = 130;
  if (s.armed == Stops::Armed::Before) {
    if (Writable(stderr)) std::fprintf(stderr, "%s\n", kUntouched);
  } else {
    for (SessionState* st : s.sessions) st->stopRequested = true;
    if (s.disarmed.wait_for(lock, std::chrono::milliseconds(ms),
                            [&s] { return s.armed == Stops::Armed::After; }))
      return;
    status = s.atOnce(why);
  }
  std::_Exit(status);  // nothing flushed: see OnInterrupt
}

}  // namespace

void WatchForStops() { WatchInterrupts(OnInterrupt, OnEnd); }

void ArmStops(std::vector<SessionState*> sessions, std::function<int(const char* why)> atOnce) {
  Stops& s = TheStops();
  std::lock_guard<std::mutex> lock(s.lock);
  s.armed = Stops::Armed::During;
  s.sessions = std::move(sessions);
  s.atOnce = std::move(atOnce);
}

void DisarmStops() {
  Stops& s = TheStops();
  std::lock_guard<std::mutex> lock(s.lock);
  s.armed = Stops::Armed::After;
  s.sessions.clear();
  s.atOnce = nullptr;
  s.disarmed.notify_all();
}

std::mutex& StopLock() { return TheStops().lock; }

}  // namespace quarn::cli
