// The PLC's USB pipe: the first USB device interface whose path carries the
// PLC's vendor and product key, opened with "\" and the pipe name appended.
#include "link/win32/usb.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace quarn {
namespace {

// GUID_DEVINTERFACE_USB_DEVICE: every USB device.
constexpr GUID USB_DRIVER_GUID = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Largest interface-detail record accepted from the device set-up interface.
constexpr DWORD kMaxDetailSize = 32 * 1024;

}  // namespace

HANDLE OpenPipePath(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE OpenOneDevice(HDEVINFO hDvcInfo, SP_DEVICE_INTERFACE_DATA* DvcInfoData,
                     char (&sDevNameBuf)[MAXPATH]) {
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
  if (!SetupDiGetDeviceInterfaceDetailA(hDvcInfo, DvcInfoData, detail, iReqLen, nullptr,
                                        nullptr))
    return hOut;
  // The path is read no further than the record reaches, terminator or not.
  std::string_view path(detail->DevicePath, strnlen(detail->DevicePath, iReqLen - kPathOffset));
  if (TakeDevicePath(path, sDevNameBuf)) hOut = OpenPipePath(sDevNameBuf);
  return hOut;
}

HANDLE OpenUsbDevice(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH]) {
  HANDLE hOut = INVALID_HANDLE_VALUE;
  HDEVINFO hDvcInfo =
      SetupDiGetClassDevsA(pGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  bool setObtained = hDvcInfo != INVALID_HANDLE_VALUE;
  SP_DEVICE_INTERFACE_DATA DvcInfoData{};
  DvcInfoData.cbSize = sizeof DvcInfoData;  // 32 on x64
  WalkUsbInterfaces(setObtained, [&](uint32_t iDevIndex) {
    if (!SetupDiEnumDeviceInterfaces(hDvcInfo, nullptr, pGuid, iDevIndex, &DvcInfoData))
      return GetLastError() == ERROR_NO_MORE_ITEMS ? UsbStep::NoMoreItems : UsbStep::OtherError;
    hOut = OpenOneDevice(hDvcInfo, &DvcInfoData, sDevNameBuf);
    return hOut != INVALID_HANDLE_VALUE ? UsbStep::Opened : UsbStep::NoMatch;
  });
  if (setObtained) SetupDiDestroyDeviceInfoList(hDvcInfo);
  return hOut;
}

int GetUsbDeviceFileName(const GUID* pGuid, char (&sDevNameBuf)[MAXPATH]) {
  HANDLE h = OpenUsbDevice(pGuid, sDevNameBuf);
  if (h == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(h);
  return 1;
}

HANDLE OpenMyDevPipe(const char* PipeName) {
  char DeviceName[MAXPATH] = {};
  if (GetUsbDeviceFileName(&USB_DRIVER_GUID, DeviceName) == 0) return INVALID_HANDLE_VALUE;
  char pipePath[MAXPATH];
  if (!ComposePipePath(DeviceName, PipeName ? PipeName : "", pipePath))
    return INVALID_HANDLE_VALUE;
  return OpenPipePath(pipePath);
}

}  // namespace quarn
