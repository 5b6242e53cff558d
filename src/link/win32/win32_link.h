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
  // pipePath: where a USB-attached PLC's pipe is opened instead of finding
  // the USB device (empty: the first PLC found; "usb:...": the PLC at the
  // place of that name). A session's re-openings keep to the place of its first.
  explicit Win32Link(std::string pipePath = "");
  ~Win32Link() override;

  bool open(bool usbPipe, const char* portName) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  int discardInput() override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const LineSettings& line) override;

  // Why the last open() failed: one of OpenFailureReason's texts, "not a
  // serial port", or "" when the cause is not known or the open succeeded.
  std::string openFailure() const { return failure_; }
  // The name of the USB PLC's place the session keeps to ("usb:..."); ""
  // before a PLC has opened whose place the system tells.
  std::string usbPort() const { return pin_; }

 private:
  void* h_;  // HANDLE; INVALID_HANDLE_VALUE when not open
  bool pipe_ = false;
  std::string pipePath_;
  std::string failure_;
  std::string pin_;            // the USB PLC's place: given, or learnt at the first opening
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
