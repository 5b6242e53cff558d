// What an interrupt (Ctrl-C, SIGTERM) does while quarn-burn runs. Before
// the sessions start it ends the process at once (nothing has been sent);
// while they run, the first one asks every session to stop at its next
// exchange and a second one ends them where they stand (or, once they have
// ended, the output that is left); once the run has said all, an interrupt
// is let pass.
#pragma once
#include <functional>
#include <mutex>
#include <vector>

#include "catalogue/session.h"

namespace quarn::cli {

// What an interrupt before the enter-update request leaves behind.
extern const char* const kUntouched;

// From now on interrupts are handled as above, and so is the end of the
// process from outside (Windows: the console window closed, a logoff, a
// shutdown), except that the sessions then have a bounded time to stop
// before those still running are ended where they stand; either way every
// record is written before the process ends. Call once, before any other
// thread starts.
void WatchForStops();
// The sessions run: an interrupt stops them; a second one calls atOnce(why)
// (which ends them where they stand, writing their records; why: what ended
// them; it returns the exit status) and ends the process with that status.
// atOnce must not wait on the console: a stopped terminal must not keep the
// process alive.
void ArmStops(std::vector<SessionState*> sessions, std::function<int(const char* why)> atOnce);
// The sessions have ended: interrupts are let pass.
void DisarmStops();
// Held while a session's record is written, so that a second interrupt
// does not end it twice; never held while anything is printed.
std::mutex& StopLock();

}  // namespace quarn::cli
