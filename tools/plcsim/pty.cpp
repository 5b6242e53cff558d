// The pseudo-terminal plcsim serves the PLC on, and its symbolic link.
#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace plcsim {

namespace {

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

}  // namespace

quarn::LineSettings hostLineOf(int slave) {
  termios t{};
  if (tcgetattr(slave, &t) != 0) return {0, 0, 0};
  return {baudOf(cfgetospeed(&t)), 0, 0};
}

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

bool pointLink(const std::string& path, const std::string& target) {
  struct stat st {};
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

}  // namespace plcsim
