// quarn-burn's platform services on Linux: signals, an O_APPEND record file
// flushed with fsync, and Enter on stdin.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "link/posix/posix_link.h"
#include "ui/cli/platform.h"

namespace quarn::cli {

std::unique_ptr<Link> MakeLink(const std::string& pipePath) {
  return std::make_unique<PosixLink>(pipePath);
}
std::vector<PortInfo> PresentSerialPorts() { return DescribeSerialPorts(); }
std::vector<std::string> PresentUsbPlcs() { return ListUsbPlcs(); }
const char* UsbPortRefusal() { return nullptr; }
bool UsbAccessDenied(const Link& link) {
  return static_cast<const PosixLink&>(link).usbAccessDenied();
}
std::string UsbPortOf(const Link& link) { return static_cast<const PosixLink&>(link).usbPort(); }
const char* UsbAccessHint() {
  return "quarn-burn: this user may not open the USB PLC; install the udev rule "
         "60-quarn-plc.rules (packaging/linux/ in the sources) with 'sudo install -m 644 "
         "60-quarn-plc.rules /etc/udev/rules.d/ && sudo udevadm control --reload && "
         "sudo udevadm trigger', then plug the PLC in again\n";
}
std::string OpenFailure(const Link& link) {
  return static_cast<const PosixLink&>(link).openFailure();
}
const char* SerialAccessHint() {
  return "; serial ports belong to the group dialout: 'sudo usermod -aG dialout $USER', "
         "then log out and in again";
}
bool IsTerminal(FILE* f) { return isatty(fileno(f)) != 0; }
std::vector<std::string> KeyDirectories() {
  return {"/usr/share/quarn-burn/keys", "/etc/quarn-burn/keys"};
}

void WatchInterrupts(void (*onInterrupt)(int n)) {
  // A closed stdout or stderr (a pipe's reader that went away) must not end
  // a session mid-flash: a write to it fails, and the session goes on.
  signal(SIGPIPE, SIG_IGN);
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

RecordFile::~RecordFile() {
  if (h_ >= 0) ::close(static_cast<int>(h_));
}

std::string RecordFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return std::strerror(errno);
  h_ = fd;
  return "";
}

std::string RecordFile::append(const std::string& line) {
  if (h_ < 0) return "not open";
  const int fd = static_cast<int>(h_);
  ssize_t n;
  do n = ::write(fd, line.data(), line.size());
  while (n < 0 && errno == EINTR);
  std::string failed;
  if (n < 0) failed = std::strerror(errno);
  else if (static_cast<size_t>(n) != line.size())
    failed = "only " + std::to_string(n) + " of " + std::to_string(line.size()) + " bytes written";
  // A pipe or a terminal cannot be synced, and needs not be.
  else if (fsync(fd) != 0 && errno != EINVAL) failed = std::strerror(errno);
  if (failed.empty() || n <= 0) return failed;
  // What went out of a failed record is cut off again, so that no partial
  // line is left for the next record to be glued to: the file goes back to
  // the length it had before, unless another writer appended since.
  struct stat s {};
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (end < n || fstat(fd, &s) != 0 || !S_ISREG(s.st_mode) || s.st_size != end ||
      ftruncate(fd, end - n) != 0)
    return failed + "; the partial record could not be removed";
  return failed;
}

void WaitForEnter(const std::atomic<bool>& stop) {
  // Byte by byte from the descriptor: nothing is kept in a buffer, and the
  // wait ends within 100 ms of a stop.
  for (;;) {
    if (stop) return;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int k = poll(&p, 1, 100);
    if (k == 0 || (k < 0 && errno == EINTR)) continue;
    if (k < 0) return;  // nothing to wait on
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0 || c == '\n') return;
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
