// The PLC's USB pipe: the first USB device interface whose path carries the
// PLC's vendor and product key, opened with "\" and the pipe name appended.
#include "link/win32/usb.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace quarn {
namespace {

// GUID_DEVINTERFACE_USB_DEVICE: every USB device.
constexpr GUID USB_DRIVER_GUID = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Largest interface-detail record accepted from the device set-up interface.
constexpr DWORD kMaxDetailSize = 32 * 1024;

// How long a cancelled transfer may take to end before it is given up.
constexpr DWORD kCancelGraceMs = 1000;

// The name of where a device is plugged, as the system tells it: its
// location path where the system has one (SPDRP_LOCATION_PATHS), else its
// location information (SPDRP_LOCATION_INFORMATION). "" when neither is known.
std::string DeviceLocation(HDEVINFO set, SP_DEVINFO_DATA* dev) {
  char text[512];
  DWORD type = 0;
  // LOCATION_PATHS is a list of strings; its first one is the USB path.
  if (SetupDiGetDeviceRegistryPropertyA(set, dev, SPDRP_LOCATION_PATHS, &type,
                                        reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr)) {
    text[sizeof text - 1] = '\0';
    std::string name = UsbNameFromLocationPaths(std::string_view(text, strnlen(text, sizeof text)));
    if (!name.empty()) return name;
  }
  std::memset(text, 0, sizeof text);
  if (!SetupDiGetDeviceRegistryPropertyA(set, dev, SPDRP_LOCATION_INFORMATION, &type,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr))
    return "";
  return UsbNameFromLocationInfo(std::string_view(text, strnlen(text, sizeof text)));
}

// One overlapped transfer, given up after ms: what was transferred, -1 when
// it failed (lastError: why), -2 when it did not end within kCancelGraceMs
// of its cancelling: then its buffer is left to the system for good, never
// freed, since the driver may still write into it. A transfer cancelled at
// its time-out is no failure.
constexpr int kAbandoned = -2;
int Transfer(HANDLE h, bool read, uint8_t* data, DWORD n, DWORD ms, uint32_t& lastError) {
  struct Io {
    OVERLAPPED ov{};
    std::vector<uint8_t> buf;
  };
  // The event the thread's transfers wait on, made once: starting a
  // transfer resets it. One abandoned transfer keeps it for good.
  thread_local HANDLE event = nullptr;
  if (event == nullptr) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return -1;
  auto io = std::make_unique<Io>();
  io->buf.assign(data, data + n);
  io->ov.hEvent = event;
  BOOL started = read ? ReadFile(h, io->buf.data(), n, nullptr, &io->ov)
                      : WriteFile(h, io->buf.data(), n, nullptr, &io->ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    lastError = GetLastError();
    return -1;
  }
  const bool cancelled = WaitForSingleObject(event, ms) != WAIT_OBJECT_0;
  if (cancelled) {
    CancelIoEx(h, &io->ov);
    if (WaitForSingleObject(event, kCancelGraceMs) != WAIT_OBJECT_0) {
      io.release();  // abandoned to a driver that does not let go of it
      event = nullptr;
      return kAbandoned;
    }
  }
  DWORD done = 0;
  if (!GetOverlappedResult(h, &io->ov, &done, FALSE)) {
    const DWORD err = GetLastError();
    if (err != ERROR_OPERATION_ABORTED) done = 0;
    if (!(cancelled && err == ERROR_OPERATION_ABORTED)) lastError = err;
  }
  done = std::min(done, n);
  if (read) std::memcpy(data, io->buf.data(), done);
  return static_cast<int>(done);
}

}  // namespace

HANDLE OpenPipePath(const char* path, DWORD flags) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, flags, nullptr);
}

int PipeTransfer(void*& h, bool read, uint8_t* data, int n, uint32_t ms, uint32_t& lastError) {
  lastError = 0;
  if (h == INVALID_HANDLE_VALUE || n <= 0) return 0;
  const ULONGLONG end = GetTickCount64() + ms;
  int done = 0;
  // A read gathers what arrives until it has n bytes; a write is one transfer.
  do {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
    int k = Transfer(h, read, data + done, static_cast<DWORD>(n - done), left, lastError);
    if (k == kAbandoned) {
      // A transfer that would not end: the pipe is closed, later ones count 0.
      CloseHandle(h);
      h = INVALID_HANDLE_VALUE;
    }
    if (k <= 0) break;
    done += k;
  } while (read && done < n && GetTickCount64() < end);
  return done;
}

HANDLE OpenOneDevice(HDEVINFO hDvcInfo, SP_DEVICE_INTERFACE_DATA* DvcInfoData,
                     char (&sDevNameBuf)[MAXPATH], std::string* pin) {
  constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  HANDLE hOut = INVALID_HANDLE_VALUE;
  DWORD iReqLen = 0;
  SetupDiGetDeviceInterfaceDetailA(hDvcInfo, DvcInfoData, nullptr, 0, &iReqLen, nullptr);
  if (iReqLen <= kPathOffset || iReqLen > kMaxDetailSize) return hOut;
  std::unique_ptr<BYTE[]> record(new (std::nothrow) BYTE[iReqLen]);
  if (!record) return hOut;
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(record.get());
  // The record's fixed part as this build lays it out (8 bytes on x64).
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  if (!SetupDiGetDeviceInterfaceDetailA(hDvcInfo, DvcInfoData, detail, iReqLen, nullptr, &dev))
    return hOut;
  // The path is read no further than the record reaches, terminator or not.
  std::string_view path(detail->DevicePath, strnlen(detail->DevicePath, iReqLen - kPathOffset));
  if (!TakeDevicePath(path, sDevNameBuf)) return hOut;
  // A pinned search takes only the device at the pinned place.
  const std::string where = pin ? DeviceLocation(hDvcInfo, &dev) : "";
  if (pin && !pin->empty() && where != *pin) return hOut;
  hOut = OpenPipePath(sDevNameBuf, 0);
  if (hOut != INVALID_HANDLE_VALUE && !where.empty()) *pin = where;
  return hOut;
}

HANDLE OpenUsbDevice(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH], std::string* pin) {
  HANDLE hOut = INVALID_HANDLE_VALUE;
  HDEVINFO hDvcInfo =
      SetupDiGetClassDevsA(pGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  bool setObtained = hDvcInfo != INVALID_HANDLE_VALUE;
  SP_DEVICE_INTERFACE_DATA DvcInfoData{};
  DvcInfoData.cbSize = sizeof DvcInfoData;  // 32 on x64
  WalkUsbInterfaces(setObtained, [&](uint32_t iDevIndex) {
    if (!SetupDiEnumDeviceInterfaces(hDvcInfo, nullptr, pGuid, iDevIndex, &DvcInfoData))
      return GetLastError() == ERROR_NO_MORE_ITEMS ? UsbStep::NoMoreItems : UsbStep::OtherError;
    hOut = OpenOneDevice(hDvcInfo, &DvcInfoData, sDevNameBuf, pin);
    return hOut != INVALID_HANDLE_VALUE ? UsbStep::Opened : UsbStep::NoMatch;
  });
  if (setObtained) SetupDiDestroyDeviceInfoList(hDvcInfo);
  return hOut;
}

int GetUsbDeviceFileName(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH], std::string* pin) {
  HANDLE h = OpenUsbDevice(pGuid, sDevNameBuf, pin);
  if (h == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(h);
  return 1;
}

HANDLE OpenMyDevPipe(const char* PipeName, std::string* pin) {
  char DeviceName[MAXPATH] = {};
  if (GetUsbDeviceFileName(&USB_DRIVER_GUID, DeviceName, pin) == 0) return INVALID_HANDLE_VALUE;
  char pipePath[MAXPATH];
  if (!ComposePipePath(DeviceName, PipeName ? PipeName : "", pipePath)) return INVALID_HANDLE_VALUE;
  return OpenPipePath(pipePath, FILE_FLAG_OVERLAPPED);
}

HANDLE OpenPlcPipe(std::string& pin) { return OpenMyDevPipe("", &pin); }

std::vector<std::string> ListUsbPlcs() {
  std::vector<std::string> names;
  HDEVINFO set = SetupDiGetClassDevsA(&USB_DRIVER_GUID, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return {};
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  char path[MAXPATH];
  for (DWORD i = 0;
       i < 256 && SetupDiEnumDeviceInterfaces(set, nullptr, &USB_DRIVER_GUID, i, &iface); ++i) {
    std::string where;
    HANDLE h = OpenOneDevice(set, &iface, path, &where);
    if (h == INVALID_HANDLE_VALUE) continue;
    CloseHandle(h);
    if (!where.empty()) names.push_back(where);
  }
  SetupDiDestroyDeviceInfoList(set);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quarn
