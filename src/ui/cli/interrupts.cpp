// The one object that interrupts reach.
#include "ui/cli/interrupts.h"

#include <cstdio>
#include <cstdlib>

#include "ui/cli/platform.h"

namespace quarn::cli {

const char* const kUntouched = "interrupted; nothing on the PLC was changed";

namespace {

struct Stops {
  enum class Armed { Before, During, After };
  std::mutex lock;  // guards what follows, and the end of each session of a batch
  Armed armed = Armed::Before;
  std::vector<SessionState*> sessions;
  std::function<int()> atOnce;
};

Stops& TheStops() {
  static Stops stops;
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
    status = s.atOnce();
  } else if (Writable(stderr)) {  // a stopped terminal does not hold the exit
    std::fprintf(stderr, "%s\n", kUntouched);
  }
  // Nothing is flushed here: every line was flushed as it was printed, and
  // a stream another thread waits on would hold the exit up.
  std::_Exit(status);
}

}  // namespace

void WatchForStops() { WatchInterrupts(OnInterrupt); }

void ArmStops(std::vector<SessionState*> sessions, std::function<int()> atOnce) {
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
}

std::mutex& StopLock() { return TheStops().lock; }

}  // namespace quarn::cli
