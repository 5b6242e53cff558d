// The link on Linux: serial ports through termios, the PLC's USB pipe through
// libusb, or a path (a pseudo-terminal, a USB-serial bridge) opened as the pipe.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/portname.h"

namespace quarn {

class PosixLink : public Link {
 public:
  // A session's re-openings of the USB PLC keep to the port path of the
  // first PLC that opened, or to the one given (usb:BUS-PORTS).
  PosixLink();
  ~PosixLink() override;

  bool open(const Endpoint& where) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  int drainInput(uint32_t quietMs = 0, uint32_t timeoutMs = 0, uint8_t* kept = nullptr,
                 int keep = 0) override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const LineSettings& line) override;
  // The words of an open failure: "permission denied", "in use by another
  // program", "no such port", "not a serial port", "a loop of symbolic
  // links", or the system's words for any other reason. usbPlace: the
  // port path (usb:BUS-PORTS) the pipe keeps to.
  const LinkError& error() const override;

 private:
  struct Impl;
  Impl* impl_;
};

// The words of an open failure for an errno value from opening a port; ""
// for one that says nothing about the port.
const char* OpenFailureReason(int err);
// The error of an open that failed with errno value err.
LinkError OpenError(int err);

// The serial ports present, by the names a Linux user types (/dev/ttyUSB0,
// /dev/ttyACM0, /dev/ttyS0, ...), sorted.
std::vector<std::string> ListSerialPorts();
// The same, looking for device nodes in devDir and for the kernel's view of
// each tty in sysTtyDir (normally /dev and /sys/class/tty).
std::vector<std::string> ListSerialPorts(const std::string& devDir, const std::string& sysTtyDir);
// The same ports with what sysfs tells of each: for a USB adapter its ids,
// manufacturer, product, serial number and /dev/serial/by-id name.
std::vector<PortInfo> DescribeSerialPorts();
std::vector<PortInfo> DescribeSerialPorts(const std::string& devDir, const std::string& sysTtyDir);

// The /dev/serial/by-id name of the serial port at path ("" for none), and
// the serial port that name leads to now ("" while it leads nowhere).
std::string SerialByIdName(const std::string& path);
std::string SerialPortOf(const std::string& byId);

// The PLC's USB device: vendor 0x0e5a, product 0x0001.
constexpr uint16_t kPlcVendor = 0x0e5a, kPlcProduct = 0x0001;
struct UsbIds {
  uint16_t vendor, product;
  UsbPortPath path{};
};
// Which of the present USB devices becomes the pipe: the first, in the order
// given, that carries the PLC's ids, stands on `pin` (anywhere while pin has
// no ports) and opens. tryOpen(i) is asked in that order, only for those
// devices; -1 when none opens.
int FirstPlcDevice(const std::vector<UsbIds>& devices, const UsbPortPath& pin,
                   const std::function<bool(size_t)>& tryOpen);

// The USB PLCs present, as "usb:BUS-PORTS", sorted by bus and ports.
std::vector<std::string> ListUsbPlcs();

}  // namespace quarn
