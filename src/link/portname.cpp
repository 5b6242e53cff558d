#include "link/portname.h"

#include <cstdio>
#include <cstdlib>
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

bool TakeDevicePath(std::string_view devicePath, char (&sDevNameBuf)[MAXPATH]) {
  std::memset(sDevNameBuf, 0, sizeof sDevNameBuf);
  if (devicePath.size() >= sizeof sDevNameBuf) return false;
  std::memcpy(sDevNameBuf, devicePath.data(), devicePath.size());
  return std::string_view(sDevNameBuf).find(kUsbHardwareKey) != std::string_view::npos;
}

bool ComposePipePath(std::string_view devicePath, std::string_view pipeName, char (&out)[MAXPATH]) {
  std::memset(out, 0, sizeof out);
  if (devicePath.size() + 1 + pipeName.size() >= sizeof out) return false;
  std::memcpy(out, devicePath.data(), devicePath.size());
  out[devicePath.size()] = '\\';
  std::memcpy(out + devicePath.size() + 1, pipeName.data(), pipeName.size());
  return true;
}

std::string_view SerialPortFamily(std::string_view deviceName) {
  static constexpr std::string_view families[] = {"ttyUSB", "ttyACM", "ttyAMA", "ttyS", "rfcomm"};
  if (deviceName.size() > kMaxDeviceName) return {};
  for (std::string_view f : families) {
    if (deviceName.size() <= f.size() || deviceName.substr(0, f.size()) != f) continue;
    bool digits = true;
    for (char c : deviceName.substr(f.size())) digits = digits && c >= '0' && c <= '9';
    if (digits) return f;
  }
  return {};
}

long SysfsNumber(std::string_view text) {
  char buf[24] = {};
  if (text.size() >= sizeof buf) return -1;
  std::memcpy(buf, text.data(), text.size());
  char* end = nullptr;
  long v = std::strtol(buf, &end, 0);
  return end == buf ? -1 : v;
}

bool WalkUsbInterfaces(bool setObtained, const std::function<UsbStep(uint32_t iDevIndex)>& step) {
  constexpr uint32_t nGuessCount = 0x7FFFFFFF;
  if (!setObtained) return false;
  for (uint32_t iDevIndex = 0; iDevIndex < nGuessCount; ++iDevIndex) {
    UsbStep r = step(iDevIndex);
    if (r == UsbStep::Opened) return true;
    if (r == UsbStep::NoMoreItems) return false;
  }
  return false;
}

namespace {

// One number 1..255 without leading zeros at text[at...]; at moves past it.
bool TakeNumber(std::string_view text, size_t& at, uint8_t& value) {
  unsigned v = 0;
  size_t start = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3)
    v = v * 10 + static_cast<unsigned>(text[at++] - '0');
  if (at == start || text[start] == '0' || v > 255) return false;
  value = static_cast<uint8_t>(v);
  return true;
}

// A decimal number of 1 to 4 digits, leading zeros allowed, from min to
// 255, at text[at...]; at moves past it.
bool TakeDigits(std::string_view text, size_t& at, unsigned min, unsigned& value) {
  unsigned v = 0;
  size_t start = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 4)
    v = v * 10 + static_cast<unsigned>(text[at++] - '0');
  value = v;
  return at > start && v >= min && v <= 255;
}

// text[at...] starts with word; at moves past it.
bool Take(std::string_view text, size_t& at, std::string_view word) {
  if (text.substr(at, word.size()) != word) return false;
  at += word.size();
  return true;
}

}  // namespace

std::string UsbNameFromLocationInfo(std::string_view text) {
  size_t at = 0;
  unsigned port = 0, hub = 0;
  if (!Take(text, at, "Port_#") || !TakeDigits(text, at, 1, port) || !Take(text, at, ".Hub_#") ||
      !TakeDigits(text, at, 1, hub) || at != text.size())
    return "";
  UsbPortPath p;
  p.bus = static_cast<uint8_t>(hub);
  p.depth = 1;
  p.ports[0] = static_cast<uint8_t>(port);
  return FormatUsbPort(p);
}

std::string UsbNameFromLocationPaths(std::string_view text) {
  if (4 + text.size() > kMaxUsbPortName) return "";
  const auto word = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  };
  // The controller's parts, NAME(ARG)#, up to the root hub's.
  size_t at = 0, parts = 0;
  while (!Take(text, at, "USBROOT(")) {
    size_t name = at;
    while (at < text.size() && word(text[at])) ++at;
    if (at == name || !Take(text, at, "(")) return "";
    size_t arg = at;
    while (at < text.size() && word(text[at])) ++at;
    if (at == arg || !Take(text, at, ")#")) return "";
    ++parts;
  }
  unsigned root = 0, ports = 0;
  if (parts == 0 || !TakeDigits(text, at, 0, root) || !Take(text, at, ")")) return "";
  while (at < text.size()) {
    unsigned port = 0;
    if (ports == kMaxUsbPorts || !Take(text, at, "#USB(") || !TakeDigits(text, at, 1, port) ||
        !Take(text, at, ")"))
      return "";
    ++ports;
  }
  if (ports == 0) return "";
  return "usb:" + std::string(text);
}

bool IsUsbPortPath(std::string_view text) {
  UsbPortPath p;
  return ParseUsbPort(text, p) ||
         (IsUsbPortName(text) && !UsbNameFromLocationPaths(text.substr(4)).empty());
}

bool IsUsbPortName(std::string_view text) { return text.substr(0, 4) == "usb:"; }

bool ParseUsbPort(std::string_view text, UsbPortPath& out) {
  if (!IsUsbPortName(text)) return false;
  UsbPortPath p;
  size_t at = 4;
  if (!TakeNumber(text, at, p.bus) || at >= text.size() || text[at++] != '-') return false;
  for (;;) {
    if (p.depth == kMaxUsbPorts || !TakeNumber(text, at, p.ports[p.depth])) return false;
    ++p.depth;
    if (at == text.size()) break;
    if (text[at++] != '.') return false;
  }
  out = p;
  return true;
}

std::string FormatUsbPort(const UsbPortPath& path) {
  if (path.depth == 0 || path.depth > kMaxUsbPorts) return "";
  // "usb:" and eight numbers of at most 3 digits with their separators.
  char text[4 + kMaxUsbPorts * 4 + 4 + 1];
  int n = std::snprintf(text, sizeof text, "usb:%u", static_cast<unsigned>(path.bus));
  for (size_t i = 0; i < path.depth; ++i)
    n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%c%u", i ? '.' : '-',
                       static_cast<unsigned>(path.ports[i]));
  return text;
}

}  // namespace quarn
