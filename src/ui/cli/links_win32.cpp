// The Win32 link, the COM ports and USB PLCs present; Windows knows no
// access hint for either.
#include "ui/cli/links.h"

#include "link/win32/usb.h"
#include "link/win32/win32_link.h"

namespace quarn::cli {

std::unique_ptr<Link> MakeLink() { return std::make_unique<Win32Link>(); }
std::vector<PortInfo> PresentSerialPorts() { return DescribeComPorts(); }
std::vector<std::string> PresentUsbPlcs() { return ListUsbPlcs(); }
const char* UsbAccessHint() { return nullptr; }
const char* SerialAccessHint() { return ""; }

bool PortsComeBack() { return false; }
std::string AdapterName(const std::string&) { return ""; }
std::string WaitForPortBack(const std::string&, const std::string&, uint32_t,
                            const std::atomic<bool>&) {
  return "";
}

}  // namespace quarn::cli
