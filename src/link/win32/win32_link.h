// The link on Windows: COM ports through the Comm API and the PLC's USB pipe
// found through the device set-up interface.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/link.h"
#include "link/portname.h"

struct _DCB;  // the Comm API's DCB, from <windows.h>

namespace quarn {

class Win32Link : public Link {
 public:
  // A session's re-openings of the USB PLC keep to the place of the first
  // PLC that opened, or to the one given ("usb:...").
  Win32Link();
  ~Win32Link() override;

  bool open(const Endpoint& where) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  int drainInput(uint32_t quietMs = 0, uint32_t timeoutMs = 0, uint8_t* kept = nullptr,
                 int keep = 0) override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const LineSettings& line) override;
  // The words of an open failure: one of OpenFailureReason's texts, "not a
  // serial port", or "" when the cause is not known. usbPlace: the name of
  // the USB PLC's place the session keeps to.
  const LinkError& error() const override { return error_; }

 private:
  // A transfer failed with lastError: kept when it says the device went away.
  void failed(uint32_t lastError);

  void* h_;  // HANDLE; INVALID_HANDLE_VALUE when not open
  bool pipe_ = false;
  LinkError error_;
  uint32_t timeoutMs_ = 3000;  // bounds each transfer on the USB pipe
};

// The name CreateFileA opens a port by: "COMn" (n any decimal number, "COM"
// in any letter case) as "\\.\COMn", since Windows resolves the bare name only
// for COM1 to COM9; every other name as given.
std::string PortDevicePath(std::string_view portName);

// Why CreateFileA did not open a port or pipe, from GetLastError: "no such
// port", "in use by another program", "permission denied", or "" for any
// other error. (What opens but is no serial port fails later, in open().)
const char* OpenFailureReason(uint32_t lastError);
// The error of an open that failed with lastError.
LinkError OpenError(uint32_t lastError);
// Whether a transfer's GetLastError says the device is no longer there
// (removed, unplugged, its driver refusing every request since, or the far
// end of a pipe path closed).
bool DeviceGone(uint32_t lastError);

// Puts the whole line into a DCB read from a port: speed, data bits, parity
// (checked when there is one), one stop bit, binary mode, DTR and RTS held
// inactive, no flow control of either kind, no error or NUL replacement and
// no abort on a line error. The special characters stay as read.
void ApplyLine(_DCB& dcb, const LineSettings& line);

// The COM ports present: friendly names carrying "(COMn)", then the ports
// listed under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM that the scan did not find.
std::vector<std::string> ListComPorts();
// The same ports with their friendly names and, for a USB adapter, its ids
// and manufacturer.
std::vector<PortInfo> DescribeComPorts();

}  // namespace quarn
