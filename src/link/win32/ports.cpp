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

// Adds a port name once: two devices, or a device and the registry, may name
// the same port.
void AddPort(std::vector<std::string>& ports, std::string port) {
  if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(std::move(port));
}

void ScanFriendlyNames(std::vector<std::string>& ports) {
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
    if (CutPortName(std::string_view(friendly, strnlen(friendly, sizeof friendly)), port))
      AddPort(ports, port);
  }
  SetupDiDestroyDeviceInfoList(set);
}

void ReadSerialComm(std::vector<std::string>& ports) {
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

std::vector<std::string> ListComPorts() {
  std::vector<std::string> ports;
  ScanFriendlyNames(ports);
  ReadSerialComm(ports);
  return ports;
}

}  // namespace quarn
