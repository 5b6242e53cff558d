// Which port each session of a run takes, chosen from the lists of ports
// the system gave (so the choice runs without hardware in the tests).
#pragma once
#include <string>
#include <vector>

#include "catalogue/session.h"

namespace quarn::cli {

// The ports present: serial ports, and USB PLCs by port path (usb:BUS-PORTS).
struct PresentPorts {
  std::vector<std::string> serial, usb;
};

// The serial port of a session that names none: the first of the ports
// present, as listed, whose name fits selectedComPort. false, and the name
// left empty, when none does.
bool ChooseFirstPort(SessionState& st, const std::vector<std::string>& ports);

// Puts the port of a session of catalogue row `row` into st, as a burn
// opens it: port (null: none was given), else the PLC's USB device or the
// first serial port present. pipePath: where a USB-attached model's pipe is
// opened ("": the device found by its ids). usbRefusal: why this platform
// takes no USB port path (null: it does). Returns what is wrong, or "";
// warning: a line to print when no serial port was found, or "".
std::string ChoosePort(const std::string* port, int row, const std::vector<std::string>& serial,
                       const char* usbRefusal, SessionState& st, std::string& pipePath,
                       std::string& warning);

// The ports of a batch: every port given, in order, "all" standing for
// every port present that fits the model's link; each port once. Returns
// what is wrong, or "".
std::string BatchPorts(const std::vector<std::string>& given, int row, const PresentPorts& present,
                       std::vector<std::string>& ports);

// The port as the operator reads it.
std::string PortLabel(const SessionState& st);

}  // namespace quarn::cli
