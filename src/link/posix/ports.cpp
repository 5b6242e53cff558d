// The serial ports a Linux PC has: USB adapters and modems, on-board UARTs
// that are really there, and Bluetooth serial links.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
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

// A sysfs attribute as text, at most kMaxAttribute bytes, without its
// newline; "" when it cannot be read.
std::string ReadText(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char text[kMaxAttribute];
  ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return "";
  std::string s(text, static_cast<size_t>(n));
  while (!s.empty() && (s.back() == '\n' || s.back() == '\0')) s.pop_back();
  return s;
}

// The USB device behind a tty: the first directory above the tty's device
// that has idVendor (one up for ttyACM, the interface; two up for ttyUSB,
// the adapter's port).
void DescribeUsb(const std::string& sysTty, PortInfo& info) {
  std::string dir = sysTty + "/device";
  for (int up = 0; up < 3; ++up) {
    dir += "/..";
    const std::string vendor = ReadText(dir + "/idVendor");
    if (vendor.empty()) continue;
    const std::string product = ReadText(dir + "/idProduct");
    info.vendor = static_cast<int>(SysfsNumber("0x" + vendor));
    info.product = product.empty() ? -1 : static_cast<int>(SysfsNumber("0x" + product));
    info.manufacturer = ReadText(dir + "/manufacturer");
    info.productName = ReadText(dir + "/product");
    info.serial = ReadText(dir + "/serial");
    return;
  }
}

// The /dev/serial/by-id names: each is a link to its tty (../../ttyUSB0).
void FindByIdNames(const std::string& devDir, std::vector<PortInfo>& ports) {
  const std::string byId = devDir + "/serial/by-id";
  DIR* dir = opendir(byId.c_str());
  if (dir == nullptr) return;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string link = byId + "/" + e->d_name;
    char target[MAXPATH];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target) continue;
    std::string_view t(target, static_cast<size_t>(n));
    t = t.substr(t.find_last_of('/') == std::string_view::npos ? 0 : t.find_last_of('/') + 1);
    for (PortInfo& p : ports)
      if (p.byId.empty() && p.name == devDir + "/" + std::string(t)) p.byId = link;
  }
  closedir(dir);
}

}  // namespace

std::vector<PortInfo> DescribeSerialPorts(const std::string& devDir, const std::string& sysTtyDir) {
  std::vector<PortInfo> ports;
  DIR* dir = opendir(devDir.c_str());
  if (dir == nullptr) return ports;
  while (const dirent* e = readdir(dir)) {
    const std::string_view family =
        SerialPortFamily(std::string_view(e->d_name, strnlen(e->d_name, kMaxDeviceName + 1)));
    if (family.empty()) continue;
    PortInfo info;
    info.name = devDir + "/" + e->d_name;
    struct stat st {};
    if (stat(info.name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    const std::string sysTty = sysTtyDir + "/" + e->d_name;
    if (family == "ttyS" && !HasUart(sysTty, info.name)) continue;
    info.usbAdapter = family == "ttyUSB" || family == "ttyACM";
    if (info.usbAdapter) DescribeUsb(sysTty, info);
    info.console = ReadText(sysTty + "/console") == "Y";
    ports.push_back(std::move(info));
  }
  closedir(dir);
  std::sort(ports.begin(), ports.end(),
            [](const PortInfo& a, const PortInfo& b) { return a.name < b.name; });
  FindByIdNames(devDir, ports);
  return ports;
}

std::string SerialByIdName(const std::string& path) {
  char port[PATH_MAX];
  if (realpath(path.c_str(), port) == nullptr) return "";
  const std::string byId = "/dev/serial/by-id";
  DIR* dir = opendir(byId.c_str());
  if (dir == nullptr) return "";
  std::string name;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string link = byId + "/" + e->d_name;
    if (SerialPortOf(link) == port) {
      name = link;
      break;
    }
  }
  closedir(dir);
  return name;
}

std::string SerialPortOf(const std::string& byId) {
  char port[PATH_MAX];
  struct stat st {};
  if (realpath(byId.c_str(), port) == nullptr || stat(port, &st) != 0 || !S_ISCHR(st.st_mode))
    return "";
  return port;
}

std::vector<PortInfo> DescribeSerialPorts() {
  return DescribeSerialPorts("/dev", "/sys/class/tty");
}

std::vector<std::string> ListSerialPorts(const std::string& devDir, const std::string& sysTtyDir) {
  std::vector<std::string> names;
  for (PortInfo& p : DescribeSerialPorts(devDir, sysTtyDir)) names.push_back(std::move(p.name));
  return names;
}

std::vector<std::string> ListSerialPorts() { return ListSerialPorts("/dev", "/sys/class/tty"); }

}  // namespace quarn
