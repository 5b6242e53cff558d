// The link on Linux: serial ports through termios, the PLC's USB pipe through
// libusb, or a path (a pseudo-terminal, a USB-serial bridge) opened as the pipe.
#pragma once
#include <string>
#include <vector>

#include "link/link.h"

namespace quarn {

class PosixLink : public Link {
 public:
  // pipePath: where a USB-attached PLC's pipe is opened instead of finding
  // the USB device by vendor and product (empty: find the device).
  explicit PosixLink(std::string pipePath = "");
  ~PosixLink() override;

  bool open(bool usbPipe, const char* portName) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const LineSettings& line) override;

 private:
  struct Impl;
  Impl* impl_;
};

// The serial ports present, by the names a Linux user types (/dev/ttyUSB0,
// /dev/ttyACM0, /dev/ttyS0, ...), sorted.
std::vector<std::string> ListSerialPorts();

}  // namespace quarn
