#include "link/portname.h"

#include <cstring>

namespace quarn {

bool CutPortName(std::string_view friendlyName, char (&port)[kPortNameSize]) {
  std::memset(port, 0, sizeof port);
  size_t open = friendlyName.find("(COM");
  if (open == std::string_view::npos) return false;
  size_t start = open + 1;
  // The ")" that closes the port part. For a name with a further
  // parenthesised part, "Port (COM3) (extra)", this is the first one, so the
  // port is still COM3 and never "COM3) (extra".
  size_t close = friendlyName.find(')', start);
  if (close == std::string_view::npos) return false;
  size_t n = close - start;
  if (n >= sizeof port) return false;
  std::memcpy(port, friendlyName.data() + start, n);
  return true;
}

bool HasUsbHardwareKey(std::string_view devicePath) {
  return devicePath.find(kUsbHardwareKey) != std::string_view::npos;
}

bool ComposePipePath(std::string_view devicePath, std::string_view pipeName,
                     char (&out)[MAXPATH]) {
  std::memset(out, 0, sizeof out);
  if (devicePath.size() + 1 + pipeName.size() >= sizeof out) return false;
  std::memcpy(out, devicePath.data(), devicePath.size());
  out[devicePath.size()] = '\\';
  std::memcpy(out + devicePath.size() + 1, pipeName.data(), pipeName.size());
  return true;
}

bool FindUsbDevice(bool setObtained, const UsbEnumerate& enumerate, const UsbOpen& open,
                   char (&devName)[MAXPATH]) {
  constexpr uint32_t nGuessCount = 0x7FFFFFFF;
  if (!setObtained) return false;
  std::string path;
  for (uint32_t iDevIndex = 0; iDevIndex < nGuessCount; ++iDevIndex) {
    path.clear();
    UsbEnum r = enumerate(iDevIndex, path);
    if (r == UsbEnum::NoMoreItems) break;
    if (r != UsbEnum::Ok) continue;
    // The path goes into devName for every interface, matching or not; one
    // that does not fit is skipped rather than cut.
    std::memset(devName, 0, sizeof devName);
    size_t n = std::strlen(path.c_str());
    if (n == 0 || n >= sizeof devName) continue;
    std::memcpy(devName, path.c_str(), n);
    if (HasUsbHardwareKey(devName) && open(devName)) return true;
  }
  return false;
}

}  // namespace quarn
