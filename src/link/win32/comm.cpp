// The link on Windows: a COM port or the PLC's USB pipe, opened synchronous,
// configured through the Comm API. The results of the configuring calls are
// ignored; on the USB pipe they simply fail.
#include <windows.h>

#include <cctype>
#include <utility>

#include "link/win32/usb.h"
#include "link/win32/win32_link.h"

namespace quarn {

Win32Link::Win32Link() : h_(INVALID_HANDLE_VALUE) {}

Win32Link::~Win32Link() { close(); }

std::string PortDevicePath(std::string_view portName) {
  bool com = portName.size() > 3;
  for (size_t i = 0; com && i < portName.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(portName[i]);
    com = i < 3 ? std::toupper(c) == "COM"[i] : c >= '0' && c <= '9';
  }
  return com ? "\\\\.\\" + std::string(portName) : std::string(portName);
}

const char* OpenFailureReason(uint32_t lastError) {
  switch (lastError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST: return "no such port";
    // A serial driver refuses a second opening of its port with "access
    // denied"; COM ports are not kept from users by their permissions.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return "in use by another program";
    case ERROR_PRIVILEGE_NOT_HELD: return "permission denied";
    default: return "";
  }
}

LinkError OpenError(uint32_t lastError) {
  using K = LinkError::Kind;
  LinkError e;
  e.words = OpenFailureReason(lastError);
  e.code = static_cast<int>(lastError);
  switch (lastError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST: e.kind = K::NoSuchPort; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: e.kind = K::Busy; break;
    case ERROR_PRIVILEGE_NOT_HELD: e.kind = K::Permission; break;
    default: e.kind = K::Other;
  }
  return e;
}

bool DeviceGone(uint32_t lastError) {
  switch (lastError) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_BROKEN_PIPE:  // the far end of a pipe path closed
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED: return true;
    default: return false;
  }
}

void Win32Link::failed(uint32_t lastError) {
  if (!DeviceGone(lastError)) return;
  error_.kind = LinkError::Kind::Gone;
  error_.words = "the device went away";
  error_.code = static_cast<int>(lastError);
}

bool Win32Link::open(const Endpoint& where) {
  close();
  const std::string name = where.name ? where.name : "";
  pipe_ = where.kind == Endpoint::Kind::UsbPlc;
  // A usb: name is the pin as given: one that names no place the system
  // tells matches no PLC.
  if (pipe_ && IsUsbPortName(name)) error_.usbPlace = name;
  if (pipe_)
    h_ = name.empty() || IsUsbPortName(name) ? OpenPlcPipe(error_.usbPlace)
                                             : OpenPipePath(name.c_str(), FILE_FLAG_OVERLAPPED);
  else
    // Exclusive, synchronous; COM12 opens as \\.\COM12.
    h_ = CreateFileA(PortDevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const std::string place = error_.usbPlace;
  error_ = h_ == INVALID_HANDLE_VALUE ? OpenError(GetLastError()) : LinkError{};
  error_.usbPlace = place;
  if (h_ == INVALID_HANDLE_VALUE) return false;
  if (!pipe_) {
    // What opened must be a serial port (a file or another device has no
    // line state); a line error another program left pending is cleared.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h_, &dcb)) {
      error_ = {LinkError::Kind::NotSerial, "not a serial port", static_cast<int>(GetLastError()),
                ""};
      close();
      return false;
    }
    ClearCommError(h_, nullptr, nullptr);
  }
  return true;
}

void Win32Link::close() {
  if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  h_ = INVALID_HANDLE_VALUE;
}

int Win32Link::write(const uint8_t* data, int n) {
  uint32_t lastError = 0;
  if (pipe_) {
    const int done = PipeTransfer(h_, false, const_cast<uint8_t*>(data), n, timeoutMs_, lastError);
    failed(lastError);
    return done;
  }
  if (h_ == INVALID_HANDLE_VALUE || n <= 0) return 0;
  DWORD written = 0;
  if (!WriteFile(h_, data, static_cast<DWORD>(n), &written, nullptr)) {
    failed(GetLastError());
    return 0;
  }
  return written <= static_cast<DWORD>(n) ? static_cast<int>(written) : 0;
}

int Win32Link::read(uint8_t* buf, int n) {
  uint32_t lastError = 0;
  if (pipe_) {
    const int got = PipeTransfer(h_, true, buf, n, timeoutMs_, lastError);
    failed(lastError);
    return got;
  }
  if (h_ == INVALID_HANDLE_VALUE || n <= 0) return 0;
  DWORD got = 0;
  if (!ReadFile(h_, buf, static_cast<DWORD>(n), &got, nullptr)) {
    failed(GetLastError());
    // A line error stops every later read until it is cleared.
    ClearCommError(h_, nullptr, nullptr);
    return 0;
  }
  return got <= static_cast<DWORD>(n) ? static_cast<int>(got) : 0;
}

int Win32Link::drainInput(uint32_t quietMs, uint32_t timeoutMs, uint8_t* kept, int keep) {
  if (quietMs > 0) return drainUntilQuiet(quietMs, timeoutMs, kept, keep);
  // A COM port's driver buffer; on the USB pipe the calls fail and nothing
  // is kept on this side to throw away.
  if (h_ == INVALID_HANDLE_VALUE) return 0;
  COMSTAT stat{};
  const int waiting = ClearCommError(h_, nullptr, &stat) ? static_cast<int>(stat.cbInQue) : 0;
  PurgeComm(h_, PURGE_RXCLEAR);
  return waiting;
}

void Win32Link::setTimeouts(uint32_t ms) {
  timeoutMs_ = ms;  // the USB pipe's own bound; SetCommTimeouts fails on it
  // A read returns as soon as the bytes asked for have arrived, or after ms
  // with what has arrived by then; a write gives up after ms.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = ms;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = ms;
  SetCommTimeouts(h_, &t);
}

void ApplyLine(DCB& dcb, const LineSettings& line) {
  dcb.BaudRate = line.baud;
  dcb.ByteSize = line.dataBits;
  dcb.Parity = line.parity;
  dcb.fParity = line.parity != NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  // No flow control by the modem lines or by XON/XOFF, no byte replaced or
  // dropped, and a line error does not stop the reads that follow.
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
}

void Win32Link::setLine(const LineSettings& line) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  GetCommState(h_, &dcb);
  ApplyLine(dcb, line);
  SetCommState(h_, &dcb);
}

}  // namespace quarn
