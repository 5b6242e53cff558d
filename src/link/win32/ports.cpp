// The COM ports present: the devices whose friendly name carries "(COMn)",
// then the ports the registry lists under SERIALCOMM that the scan missed
// (Wine lists its ports only there).
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "link/portname.h"
#include "link/win32/win32_link.h"

namespace quarn {
namespace {

// Adds a port once: two devices, or a device and the registry, may name
// the same port.
PortInfo& AddPort(std::vector<PortInfo>& ports, std::string port) {
  for (PortInfo& p : ports)
    if (p.name == port) return p;
  ports.emplace_back();
  ports.back().name = std::move(port);
  return ports.back();
}

// A device's text property, at most kMaxAttribute bytes; "" when it has none.
std::string Property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  char text[kMaxAttribute] = {};
  if (!SetupDiGetDeviceRegistryPropertyA(set, &info, property, nullptr,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr))
    return "";
  return std::string(text, strnlen(text, sizeof text));
}

// The four hex digits after key ("VID_") in a hardware id; -1 when absent.
int HexAfter(const std::string& id, const char* key) {
  const size_t at = id.find(key);
  if (at == std::string::npos || at + std::strlen(key) + 4 > id.size()) return -1;
  int v = 0;
  for (size_t i = at + std::strlen(key), end = i + 4; i < end; ++i) {
    const char c = id[i];
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                         : -1;
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

void ScanFriendlyNames(std::vector<PortInfo>& ports) {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  char port[kPortNameSize] = {};
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    char friendly[kFriendlyNameSize] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(friendly), sizeof friendly,
                                           nullptr))
      continue;
    const std::string_view name(friendly, strnlen(friendly, sizeof friendly));
    if (!CutPortName(name, port)) continue;
    PortInfo& p = AddPort(ports, port);
    p.friendly = std::string(name.substr(0, kMaxAttribute));
    // A USB adapter's hardware id: USB\VID_0403&PID_6001..., FTDIBUS\COMPORT&VID_0403...
    const std::string hardwareId = Property(set, info, SPDRP_HARDWAREID);
    p.vendor = HexAfter(hardwareId, "VID_");
    p.product = HexAfter(hardwareId, "PID_");
    p.usbAdapter = p.vendor >= 0;
    if (p.usbAdapter) p.manufacturer = Property(set, info, SPDRP_MFG);
  }
  SetupDiDestroyDeviceInfoList(set);
}

void ReadSerialComm(std::vector<PortInfo>& ports) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return;
  std::string valueName(16384, '\0');  // the longest value name the registry allows
  for (DWORD i = 0;; ++i) {
    DWORD nameLen = static_cast<DWORD>(valueName.size());
    BYTE data[64] = {};
    DWORD dataLen = sizeof data;
    DWORD type = 0;
    LONG rc = RegEnumValueA(key, i, valueName.data(), &nameLen, nullptr, &type, data, &dataLen);
    if (rc == ERROR_MORE_DATA) continue;  // data too long for a port name
    if (rc != ERROR_SUCCESS) break;       // ERROR_NO_MORE_ITEMS past the last value
    if (type != REG_SZ || dataLen > sizeof data) continue;
    const char* name = reinterpret_cast<const char*>(data);
    size_t n = strnlen(name, dataLen);
    if (n == 0 || n >= kPortNameSize) continue;
    AddPort(ports, std::string(name, n));
  }
  RegCloseKey(key);
}

}  // namespace

std::vector<PortInfo> DescribeComPorts() {
  std::vector<PortInfo> ports;
  ScanFriendlyNames(ports);
  ReadSerialComm(ports);
  return ports;
}

std::vector<std::string> ListComPorts() {
  std::vector<std::string> names;
  for (PortInfo& p : DescribeComPorts()) names.push_back(std::move(p.name));
  return names;
}

}  // namespace quarn
