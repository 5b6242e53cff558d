// The serial ports a Linux PC has: USB adapters and modems, on-board UARTs
// that are really there, and Bluetooth serial links.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "link/posix/posix_link.h"

namespace quarn {

namespace {

// Longer device names are not ports of ours and are skipped.
constexpr size_t kMaxDeviceName = 32;

// The part of a device name before its number: ttyUSB for ttyUSB0; empty
// when the name is not one of the port families or has no number.
const char* PortFamily(const char* name) {
  static const char* const families[] = {"ttyUSB", "ttyACM", "ttyAMA", "ttyS", "rfcomm"};
  for (const char* f : families) {
    size_t k = std::strlen(f);
    if (std::strncmp(name, f, k) != 0 || name[k] == '\0') continue;
    bool digits = true;
    for (const char* p = name + k; *p != '\0'; ++p) digits = digits && std::isdigit(static_cast<unsigned char>(*p));
    if (digits) return f;
  }
  return "";
}

// A small sysfs attribute as a number; -1 when it cannot be read.
long ReadNumber(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[24] = {};
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  char* end = nullptr;
  long v = std::strtol(text, &end, 0);
  return end == text ? -1 : v;
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
    if (strnlen(e->d_name, kMaxDeviceName + 1) > kMaxDeviceName) continue;
    const char* family = PortFamily(e->d_name);
    if (*family == '\0') continue;
    std::string path = devDir + "/" + e->d_name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    if (std::strcmp(family, "ttyS") == 0 && !HasUart(sysTtyDir + "/" + e->d_name, path)) continue;
    ports.push_back(std::move(path));
  }
  closedir(dir);
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::vector<std::string> ListSerialPorts() { return ListSerialPorts("/dev", "/sys/class/tty"); }

}  // namespace quarn
