// Interrupts on Linux: SIGINT, SIGTERM and SIGHUP taken by a thread of
// their own; SIGPIPE and SIGXFSZ ignored.
#include "ui/cli/signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace quarn::cli {

void WatchInterrupts(void (*onInterrupt)(int n), void (*)(uint32_t, const char*)) {
  // A closed stdout or stderr (a pipe's reader that went away) must not end
  // a session mid-flash: a write to it fails, and the session goes on.
  signal(SIGPIPE, SIG_IGN);
  // A record or trace written past the file-size limit (ulimit -f) fails
  // with EFBIG and is rolled back and said, as a full disk is.
  signal(SIGXFSZ, SIG_IGN);
  // The signals are blocked in every thread and taken by one that waits for
  // them, so no handler runs in the middle of an exchange. A hang-up (the
  // terminal closed, an ssh connection dropped) stops a session as Ctrl-C does.
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaddset(&set, sig);
  }
  if (sigisemptyset(&set)) return;
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, onInterrupt] {
    for (int n = 1;; ++n) {
      int sig = 0;
      while (sigwait(&set, &sig) != 0) {
      }
      onInterrupt(n);
    }
  }).detach();
}

}  // namespace quarn::cli
