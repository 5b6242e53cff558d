// Which port each session of a run takes, chosen from the lists of ports
// the system gave (so the choice runs without hardware in the tests), and
// the ports as --list-ports describes them.
#pragma once
#include <string>
#include <vector>

#include "catalogue/session.h"
#include "link/portname.h"

namespace quarn::cli {

// The ports present: serial ports, and USB PLCs by port path (usb:BUS-PORTS).
struct PresentPorts {
  std::vector<PortInfo> serial;
  std::vector<std::string> usb;
};

// The serial port of a session that names none: the one USB serial adapter
// present. Returns the usage error that lists the candidates when there is
// none or more than one; note: the line that says which port was taken.
std::string ChooseDefaultPort(SessionState& st, const std::vector<PortInfo>& ports,
                              std::string& note);

// Puts the port of a session of catalogue row `row` into st, as a burn
// opens it: port (null: none was given), else the PLC's USB device or the
// default serial port; for a USB-attached model also where its PLC is
// (st.usbPlace: "" the device found by its ids). Returns what is wrong, or
// ""; note: a line to print, or "".
std::string ChoosePort(const std::string* port, int row, const std::vector<PortInfo>& serial,
                       SessionState& st, std::string& note);

// The ports of a batch: every port given, in order, "all" standing for
// every port present that fits the model's link; each port once. A USB name
// the system gave to more than one PLC is refused: its session could take
// either. Returns what is wrong, or "".
std::string BatchPorts(const std::vector<std::string>& given, int row, const PresentPorts& present,
                       std::vector<std::string>& ports);

// The USB names the system gave to more than one PLC, each once.
std::vector<std::string> SharedUsbNames(const std::vector<std::string>& usb);
// What is said of one of them.
std::string SharedUsbNameLine(const std::string& name);

// The port as the operator reads it.
std::string PortLabel(const SessionState& st);

// What the system knows of a serial port, on one line ("serial port" when
// nothing more).
std::string DescribePort(const PortInfo& p);

// --list-ports: each serial port with its description, then the USB PLCs;
// or the same as JSON.
std::string PortList(const PresentPorts& present, bool json);

}  // namespace quarn::cli
