// The terminal on Linux: isatty, poll, Enter read byte by byte from stdin,
// and the window size.
#include "ui/cli/terminal.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quarn::cli {

bool IsTerminal(FILE* f) { return isatty(fileno(f)) != 0; }

bool Writable(FILE* f) {
  pollfd p{fileno(f), POLLOUT, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

bool WaitForEnter(const std::atomic<bool>& stop) {
  // Byte by byte from the descriptor: nothing is kept in a buffer, and the
  // wait ends within 100 ms of a stop.
  for (;;) {
    if (stop) return true;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int k = poll(&p, 1, 100);
    if (k == 0 || (k < 0 && errno == EINTR)) continue;
    if (k < 0) return false;  // nothing to wait on
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
  }
}

bool TerminalSize(int& columns, int& rows) {
  winsize w{};
  if (!isatty(STDERR_FILENO) || ioctl(STDERR_FILENO, TIOCGWINSZ, &w) != 0 || w.ws_col == 0 ||
      w.ws_row == 0)
    return false;
  columns = w.ws_col;
  rows = w.ws_row;
  return true;
}

}  // namespace quarn::cli
