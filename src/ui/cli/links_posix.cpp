// The POSIX link, the ports present and what to do about a port this user
// may not open, on Linux.
#include "ui/cli/links.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "link/posix/posix_link.h"

namespace quarn::cli {

std::unique_ptr<Link> MakeLink() { return std::make_unique<PosixLink>(); }
std::vector<PortInfo> PresentSerialPorts() { return DescribeSerialPorts(); }
std::vector<std::string> PresentUsbPlcs() { return ListUsbPlcs(); }
const char* UsbAccessHint() {
  return "quarn-burn: this user may not open the USB PLC; install the udev rule "
         "60-quarn-plc.rules (packaging/linux/ in the sources) with 'sudo install -m 644 "
         "60-quarn-plc.rules /etc/udev/rules.d/ && sudo udevadm control --reload && "
         "sudo udevadm trigger', then plug the PLC in again\n";
}
const char* SerialAccessHint() {
  return "; serial ports belong to the group dialout: 'sudo usermod -aG dialout $USER', "
         "then log out and in again";
}

bool PortsComeBack() { return true; }
std::string AdapterName(const std::string& port) { return SerialByIdName(port); }

std::string WaitForPortBack(const std::string& port, const std::string& adapter, uint32_t ms,
                            const std::atomic<bool>& stop) {
  // A pseudo-terminal's number is given to the next one opened: the same
  // name back is another terminal, never the same adapter.
  if (adapter.empty() && port.rfind("/dev/pts/", 0) == 0) return "";
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!adapter.empty()) {
      const std::string now = SerialPortOf(adapter);
      if (!now.empty()) return now;
    }
    struct stat s {};
    if (adapter.empty() && stat(port.c_str(), &s) == 0 && S_ISCHR(s.st_mode)) return port;
  }
  return "";
}

}  // namespace quarn::cli
