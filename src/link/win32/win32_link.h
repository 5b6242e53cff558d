// The link on Windows: COM ports through the Comm API and the PLC's USB pipe
// found through the device set-up interface.
#pragma once
#include <string>
#include <vector>

#include "link/link.h"
#include "link/portname.h"

struct _DCB;  // the Comm API's DCB, from <windows.h>

namespace quarn {

class Win32Link : public Link {
 public:
  // pipePath: where a USB-attached PLC's pipe is opened instead of finding
  // the USB device (empty: the first PLC found; "usb:BUS-PORTS": the PLC at
  // that place). A session's re-openings keep to the place of its first.
  explicit Win32Link(std::string pipePath = "");
  ~Win32Link() override;

  bool open(bool usbPipe, const char* portName) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  void discardInput() override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const LineSettings& line) override;

 private:
  void* h_;  // HANDLE; INVALID_HANDLE_VALUE when not open
  bool pipe_ = false;
  std::string pipePath_;
  UsbPortPath pin_{};       // the USB PLC's place: given, or learnt at the first opening
  int pipeOpens_ = 0;
  uint32_t timeoutMs_ = 3000;  // bounds each transfer on the USB pipe
};

// Puts the line settings into a DCB read from a port: speed, data bits,
// parity, one stop bit, DTR and RTS held inactive; the rest stays as read.
void ApplyLine(_DCB& dcb, const LineSettings& line);

// The COM ports present: friendly names carrying "(COMn)", then the ports
// listed under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM that the scan did not find.
std::vector<std::string> ListComPorts();

}  // namespace quarn
