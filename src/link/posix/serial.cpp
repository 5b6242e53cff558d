// PosixLink: a serial port or a pipe path through termios, with poll loops
// against a monotonic deadline for the link time-outs; the USB pipe is in
// usb.cpp.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "link/posix/posix_internal.h"
#include "link/posix/posix_link.h"

namespace quarn {

struct PosixLink::Impl {
  std::string pipePath;
  uint32_t timeoutMs = 3000;  // until the first setTimeouts
  int fd = -1;                // the serial port or the pipe path
  bool serial = false;        // line settings apply (not on a pipe path)
  UsbPipe usb;
};

namespace {

// Opens a tty raw and for this link alone: the name must be a character
// device, no other program may hold it exclusively or under a lock.
int OpenTty(const char* path) {
  struct stat st {};
  if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  int excl = 0;
  bool ok = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && tcgetattr(fd, &t) == 0 &&
            flock(fd, LOCK_EX | LOCK_NB) == 0;
  // Root passes TIOCEXCL, so a port another program holds exclusively is
  // refused here as well.
  if (ok && ioctl(fd, TIOCGEXCL, &excl) == 0 && excl) ok = false;
  if (ok) ok = ioctl(fd, TIOCEXCL) == 0;
  if (ok) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ok = tcsetattr(fd, TCSANOW, &t) == 0;
    if (!ok) ioctl(fd, TIOCNXCL);
  }
  if (!ok) {
    ::close(fd);
    return -1;
  }
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
// time-out or a fault. `hup` reports a hang-up.
bool WaitReady(int fd, short events, int64_t deadline, bool& hup) {
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int k = poll(&p, 1, static_cast<int>(left));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0 || (p.revents & (POLLERR | POLLNVAL))) return false;
    hup = (p.revents & POLLHUP) != 0;
    return true;
  }
}

}  // namespace

PosixLink::PosixLink(std::string pipePath) : impl_(new Impl) {
  UsbPortPath usbPath;
  if (ParseUsbPort(pipePath, usbPath))
    impl_->usb.pin(usbPath);
  else
    impl_->pipePath = std::move(pipePath);
}

bool PosixLink::usbAccessDenied() const { return impl_->usb.accessDenied(); }

std::string PosixLink::usbPort() const {
  return impl_->usb.pinned().depth == 0 ? "" : FormatUsbPort(impl_->usb.pinned());
}

PosixLink::~PosixLink() {
  close();
  delete impl_;
}

bool PosixLink::open(bool usbPipe, const char* portName) {
  close();
  if (usbPipe && impl_->pipePath.empty()) return impl_->usb.open();
  const char* path = usbPipe ? impl_->pipePath.c_str() : portName;
  if (path == nullptr) return false;
  impl_->fd = OpenTty(path);
  impl_->serial = !usbPipe;
  return impl_->fd >= 0;
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
// hang-up, what moved is the answer. A raw tty may report "nothing now" with
// 0 as well as EAGAIN.
template <class Buf, class Io>
int Transfer(int fd, Buf* buf, int n, short events, uint32_t timeoutMs, Io io) {
  int64_t deadline = NowMs() + timeoutMs;
  int done = 0;
  bool hup = false;
  while (done < n) {
    ssize_t k = io(fd, buf + done, static_cast<size_t>(n - done));
    if (k > 0) {
      done += static_cast<int>(k);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if ((k < 0 && errno != EAGAIN) || hup) break;
    if (!WaitReady(fd, events, deadline, hup)) break;
  }
  return done;
}

}  // namespace

int PosixLink::write(const uint8_t* data, int n) {
  if (data == nullptr || n <= 0) return 0;
  if (impl_->usb.isOpen()) return impl_->usb.write(data, n, impl_->timeoutMs);
  if (impl_->fd < 0) return 0;
  return Transfer(impl_->fd, data, n, POLLOUT, impl_->timeoutMs,
                  [](int fd, const uint8_t* p, size_t c) { return ::write(fd, p, c); });
}

int PosixLink::read(uint8_t* buf, int n) {
  if (buf == nullptr || n <= 0) return 0;
  if (impl_->usb.isOpen()) return impl_->usb.read(buf, n, impl_->timeoutMs);
  if (impl_->fd < 0) return 0;
  return Transfer(impl_->fd, buf, n, POLLIN, impl_->timeoutMs,
                  [](int fd, uint8_t* p, size_t c) { return ::read(fd, p, c); });
}

void PosixLink::discardInput() {
  if (impl_->usb.isOpen()) impl_->usb.discardInput();
  if (impl_->fd >= 0) tcflush(impl_->fd, TCIFLUSH);
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
