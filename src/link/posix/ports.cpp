// The serial ports a Linux PC has: USB adapters and modems, on-board UARTs
// that are really there, and Bluetooth serial links.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "link/portname.h"
#include "link/posix/posix_link.h"

namespace quarn {

namespace {

// A small sysfs attribute as a number; -1 when it cannot be read.
long ReadNumber(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[24];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return -1;
  return SysfsNumber(std::string_view(text, static_cast<size_t>(n)));
}

// ttyS nodes exist for every UART the kernel could have; only those with a
// UART behind them (a known port type) are ports.
bool HasUart(const std::string& sysTty, const std::string& devPath) {
  struct stat st {};
  if (stat((sysTty + "/device").c_str(), &st) != 0) return false;
  long type = ReadNumber(sysTty + "/type");
  if (type >= 0) return type != PORT_UNKNOWN;
  int fd = ::open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_struct s{};
  bool known = ioctl(fd, TIOCGSERIAL, &s) == 0 && s.type != PORT_UNKNOWN;
  ::close(fd);
  return known;
}

}  // namespace

std::vector<std::string> ListSerialPorts(const std::string& devDir, const std::string& sysTtyDir) {
  std::vector<std::string> ports;
  DIR* dir = opendir(devDir.c_str());
  if (dir == nullptr) return ports;
  while (const dirent* e = readdir(dir)) {
    const std::string_view family =
        SerialPortFamily(std::string_view(e->d_name, strnlen(e->d_name, kMaxDeviceName + 1)));
    if (family.empty()) continue;
    std::string path = devDir + "/" + e->d_name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    if (family == "ttyS" && !HasUart(sysTtyDir + "/" + e->d_name, path)) continue;
    ports.push_back(std::move(path));
  }
  closedir(dir);
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::vector<std::string> ListSerialPorts() { return ListSerialPorts("/dev", "/sys/class/tty"); }

}  // namespace quarn
