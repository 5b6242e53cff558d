// PosixLink: a serial port or a pipe path through termios, with poll loops
// against a monotonic deadline for the link time-outs; the USB pipe is in
// usb.cpp.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "link/posix/posix_internal.h"
#include "link/posix/posix_link.h"

namespace quarn {

struct PosixLink::Impl {
  uint32_t timeoutMs = 3000;  // until the first setTimeouts
  int fd = -1;                // the serial port or the pipe path
  std::string path;           // what fd was opened by
  bool serial = false;        // line settings apply (not on a pipe path)
  UsbPipe usb;
  LinkError error;
};

namespace {

// Best effort: a USB-serial adapter in low-latency mode passes received
// bytes on at once instead of holding them for its latency timer (16 ms on
// the common chips). A port that refuses (a pseudo-terminal) is used as it is.
void LowLatency(int fd) {
  serial_struct s{};
  if (ioctl(fd, TIOCGSERIAL, &s) != 0 || (s.flags & ASYNC_LOW_LATENCY) != 0) return;
  s.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &s);
}

// Opens a tty raw and for this link alone: the name must be a character
// device, no other program may hold it exclusively or under a lock. Flow
// control that another program left on is cleared: with no CTS wired, or a
// firmware byte taken for XOFF, nothing would get through. -1 with the
// reason in err (an errno value) when it does not open.
int OpenTty(const char* path, int& err) {
  struct stat st {};
  err = stat(path, &st) != 0 ? errno : S_ISCHR(st.st_mode) ? 0 : ENOTTY;
  int fd = err != 0 ? -1 : ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (err == 0) err = errno;
    return -1;
  }
  termios t{};
  int excl = 0;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    err = ENOTTY;  // another file took the name between the two looks
  } else if (tcgetattr(fd, &t) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    err = errno;
  } else if (ioctl(fd, TIOCGEXCL, &excl) == 0 && excl) {
    err = EBUSY;  // root passes TIOCEXCL: a port held exclusively is refused here
  } else if (ioctl(fd, TIOCEXCL) != 0) {
    err = errno;
  } else {
    cfmakeraw(&t);
    t.c_cflag &= ~CRTSCTS;
    t.c_cflag |= CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
      err = errno;
      ioctl(fd, TIOCNXCL);
    }
  }
  if (err != 0) {
    ::close(fd);
    return -1;
  }
  LowLatency(fd);
  return fd;
}

speed_t BaudCode(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;  // not a rate this link sets: the speed stays as read
  }
}

// Waits until fd is ready for `events` or the deadline has passed; false on
// time-out or a fault. `hup` reports a hang-up, or a fault of the port
// (POLLERR, POLLNVAL: a tty whose device has gone).
bool WaitReady(int fd, short events, int64_t deadline, bool& hup) {
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int k = poll(&p, 1, static_cast<int>(left));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    hup = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    return (p.revents & (POLLERR | POLLNVAL)) == 0;
  }
}

}  // namespace

PosixLink::PosixLink() : impl_(new Impl) {}

const LinkError& PosixLink::error() const { return impl_->error; }

const char* OpenFailureReason(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return "permission denied";
    case EBUSY:
    case EWOULDBLOCK: return "in use by another program";
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ENODEV:
    case ENXIO:
    case EIO: return "no such port";  // EIO: a UART the driver knows of is not there
    case ENOTTY: return "not a serial port";
    case ELOOP: return "a loop of symbolic links";
    default: return "";
  }
}

LinkError OpenError(int err) {
  using K = LinkError::Kind;
  LinkError e;
  e.code = err;
  const char* words = OpenFailureReason(err);
  e.words = *words ? words : std::strerror(err);  // any other: in the system's words
  switch (err) {
    case 0: return LinkError{};
    case EACCES:
    case EPERM: e.kind = K::Permission; break;
    case EBUSY:
    case EWOULDBLOCK: e.kind = K::Busy; break;
    case ENOTTY: e.kind = K::NotSerial; break;
    default: e.kind = *words && err != ELOOP ? K::NoSuchPort : K::Other;
  }
  return e;
}

PosixLink::~PosixLink() {
  close();
  delete impl_;
}

bool PosixLink::open(const Endpoint& where) {
  close();
  Impl& m = *impl_;
  const bool usb = where.kind == Endpoint::Kind::UsbPlc;
  const std::string name = where.name ? where.name : "";
  UsbPortPath usbPath;
  if (usb && ParseUsbPort(name, usbPath)) m.usb.pin(usbPath);
  if (usb && (name.empty() || usbPath.depth > 0)) {
    m.usb.open();
    m.error = OpenError(m.usb.openError());
  } else {
    int err = ENOENT;  // no name: no such port
    m.fd = name.empty() ? -1 : OpenTty(name.c_str(), err);
    m.path = name;
    m.serial = !usb;
    m.error = OpenError(m.fd < 0 ? err : 0);
  }
  if (m.usb.pinned().depth > 0) m.error.usbPlace = FormatUsbPort(m.usb.pinned());
  return m.usb.isOpen() || m.fd >= 0;
}

void PosixLink::close() {
  impl_->usb.close();
  if (impl_->fd >= 0) {
    ioctl(impl_->fd, TIOCNXCL);
    ::close(impl_->fd);  // drops the lock too
    impl_->fd = -1;
  }
}

namespace {

// Moves n bytes through fd with `io` (::read or ::write), waiting for
// `events` until the deadline; returns how many moved. After a fault or a
// hang-up, what moved is the answer, and `fault` says which it was (an
// errno value; -1 a hang-up); a time-out leaves it 0. A raw tty may report
// "nothing now" with 0 as well as EAGAIN.
template <class Buf, class Io>
int Transfer(int fd, Buf* buf, int n, short events, uint32_t timeoutMs, Io io, int& fault) {
  int64_t deadline = NowMs() + timeoutMs;
  int done = 0;
  bool hup = false;
  fault = 0;
  while (done < n) {
    ssize_t k = io(fd, buf + done, static_cast<size_t>(n - done));
    if (k > 0) {
      done += static_cast<int>(k);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno != EAGAIN) fault = errno;
    if (fault == 0 && hup) fault = -1;
    if (fault != 0) break;
    if (!WaitReady(fd, events, deadline, hup)) {
      if (hup) fault = -1;
      break;
    }
  }
  return done;
}

// Whether a transfer's fault says the device went away: the driver's
// "no such device" errors, a hang-up, or the node gone from under the name.
bool Gone(int fault, const std::string& path) {
  struct stat st {};
  return fault == ENXIO || fault == EIO || fault == ENODEV || fault == -1 ||
         (fault != 0 && stat(path.c_str(), &st) != 0 && errno == ENOENT);
}

// What a transfer that found its device gone sets as the link's error.
void GoneError(LinkError& e, int code) {
  e.kind = LinkError::Kind::Gone;
  e.words = "the device went away";
  e.code = code;
}

// A write or read through the USB pipe (usbIo) or the port (fdIo); one that
// found its device gone says so in the link's error.
template <class Impl, class Buf, class UsbIo, class FdIo>
int Move(Impl& m, Buf* buf, int n, short events, UsbIo usbIo, FdIo fdIo) {
  int fault = 0, done = 0;
  if (m.usb.isOpen()) {
    done = usbIo(m.usb, buf, n, m.timeoutMs);
    fault = m.usb.gone() ? ENODEV : 0;
  } else if (m.fd >= 0) {
    done = Transfer(m.fd, buf, n, events, m.timeoutMs, fdIo, fault);
  }
  if (Gone(fault, m.path)) GoneError(m.error, fault < 0 ? 0 : fault);
  return done;
}

}  // namespace

int PosixLink::write(const uint8_t* data, int n) {
  if (data == nullptr || n <= 0) return 0;
  return Move(
      *impl_, data, n, POLLOUT,
      [](UsbPipe& usb, const uint8_t* p, int c, uint32_t ms) { return usb.write(p, c, ms); },
      [](int fd, const uint8_t* p, size_t c) { return ::write(fd, p, c); });
}

int PosixLink::read(uint8_t* buf, int n) {
  if (buf == nullptr || n <= 0) return 0;
  return Move(
      *impl_, buf, n, POLLIN,
      [](UsbPipe& usb, uint8_t* p, int c, uint32_t ms) { return usb.read(p, c, ms); },
      [](int fd, uint8_t* p, size_t c) { return ::read(fd, p, c); });
}

int PosixLink::drainInput(uint32_t quietMs, uint32_t timeoutMs, uint8_t* kept, int keep) {
  if (quietMs > 0) return drainUntilQuiet(quietMs, timeoutMs, kept, keep);
  if (impl_->usb.isOpen()) return impl_->usb.discardInput();
  if (impl_->fd < 0) return 0;
  int waiting = 0;
  if (ioctl(impl_->fd, FIONREAD, &waiting) != 0 || waiting < 0) waiting = 0;
  tcflush(impl_->fd, TCIFLUSH);
  return waiting;
}

void PosixLink::setTimeouts(uint32_t ms) { impl_->timeoutMs = ms; }

void ApplyLine(termios& t, const LineSettings& line) {
  speed_t speed = BaudCode(line.baud);
  if (speed != B0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  tcflag_t size = line.dataBits == 5   ? CS5
                  : line.dataBits == 6 ? CS6
                  : line.dataBits == 7 ? CS7
                                       : CS8;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  t.c_cflag |= size;
  if (line.parity == 2) t.c_cflag |= PARENB;           // even
  if (line.parity == 1) t.c_cflag |= PARENB | PARODD;  // odd
}

void PosixLink::setLine(const LineSettings& line) {
  int fd = impl_->fd;
  if (fd < 0 || !impl_->serial) return;
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  ApplyLine(t, line);
  tcsetattr(fd, TCSANOW, &t);
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);  // fails on a pseudo-terminal, which has no such lines
}

}  // namespace quarn
