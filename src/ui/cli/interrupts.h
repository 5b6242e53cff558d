// What an interrupt (Ctrl-C, SIGTERM) does while quarn-burn runs. Before
// the sessions start it ends the process at once (nothing has been sent);
// while they run, the first one asks every session to stop at its next
// exchange and a second one ends them where they stand; once they have
// ended, the records are being written and an interrupt is let pass.
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
// (which ends them where they stand; why: what ended them) and ends the
// process with 130.
void ArmStops(std::vector<SessionState*> sessions, std::function<void(const char* why)> atOnce);
// The sessions have ended: interrupts are let pass.
void DisarmStops();
// Held while a session of a batch ends, so that a second interrupt does
// not end it twice.
std::mutex& StopLock();

}  // namespace quarn::cli
