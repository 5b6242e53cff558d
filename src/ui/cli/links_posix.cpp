// The POSIX link, the ports present and what to do about a port this user
// may not open, on Linux.
#include "ui/cli/links.h"

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

}  // namespace quarn::cli
