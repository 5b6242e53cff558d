// Names the operating system hands over: Linux device names and sysfs
// numbers, Windows friendly names, USB device paths and pipe paths.
//
// Input: which parser, then its text (for the pipe path: device path, NUL,
// pipe name).
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz.h"
#include "link/portname.h"

using namespace quarn;

namespace {

bool Terminated(const char* buf, size_t size) { return std::memchr(buf, '\0', size) != nullptr; }

}  // namespace

int fuzz::PortNames(const uint8_t* data, size_t size) {
  Input in{data, size};
  const int which = in.byte() % 5;
  std::string text = in.take(in.n);
  // Names reach the parsers as the OS gives them, ended by their first NUL;
  // a sysfs attribute is read as raw bytes.
  if (which != 4) text.resize(std::min(text.find('\0'), text.size()));
  switch (which) {
    case 0: {  // friendly name: "... (COMn) ..."
      char port[kPortNameSize];
      std::memset(port, 'x', sizeof port);
      const bool ok = CutPortName(text, port);
      FUZZ_CHECK(Terminated(port, sizeof port));
      if (ok) {
        FUZZ_CHECK(std::strncmp(port, "COM", 3) == 0);
        FUZZ_CHECK(text.find("(" + std::string(port) + ")") == text.find("(COM"));
      } else {
        FUZZ_CHECK(port[0] == '\0');
      }
      break;
    }
    case 1: {  // USB device path
      char buf[MAXPATH];
      std::memset(buf, 'x', sizeof buf);
      const bool isPlc = TakeDevicePath(text, buf);
      FUZZ_CHECK(Terminated(buf, sizeof buf));
      const std::string copied(buf);
      FUZZ_CHECK(copied.empty() || text.compare(0, copied.size(), copied) == 0);
      FUZZ_CHECK(isPlc == (copied.find(kUsbHardwareKey) != std::string::npos));
      if (text.size() >= MAXPATH) FUZZ_CHECK(copied.empty() && !isPlc);
      break;
    }
    case 2: {  // device path "\" pipe name
      const size_t cut = text.find('\0');
      const std::string dev = text.substr(0, cut),
                        pipe = cut == std::string::npos ? "" : text.substr(cut + 1);
      char out[MAXPATH];
      std::memset(out, 'x', sizeof out);
      const bool ok = ComposePipePath(dev, pipe, out);
      FUZZ_CHECK(Terminated(out, sizeof out));
      FUZZ_CHECK(ok == (dev.size() + 1 + pipe.size() < MAXPATH));
      if (ok)
        FUZZ_CHECK(std::memcmp(out, (dev + "\\" + pipe).data(), dev.size() + 1 + pipe.size()) == 0);
      else
        FUZZ_CHECK(out[0] == '\0');
      break;
    }
    case 3: {  // Linux device node name
      const std::string_view family = SerialPortFamily(text);
      if (!family.empty()) {
        FUZZ_CHECK(text.size() <= kMaxDeviceName && text.size() > family.size());
        FUZZ_CHECK(text.compare(0, family.size(), family) == 0);
        FUZZ_CHECK(text.find_first_not_of("0123456789", family.size()) == std::string::npos);
      }
      break;
    }
    default: {  // sysfs attribute
      const long v = SysfsNumber(text);
      FUZZ_CHECK(v >= -1 || text.find('-') != std::string::npos);
      break;
    }
  }
  return 0;
}
