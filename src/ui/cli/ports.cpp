// Choosing the ports of a run.
#include "ui/cli/ports.h"

#include <algorithm>
#include <cstring>

#include "catalogue/catalogue.h"
#include "link/portname.h"

namespace quarn::cli {

bool ChooseFirstPort(SessionState& st, const std::vector<std::string>& ports) {
  st.selectedComPort[0] = '\0';
  for (const std::string& p : ports)
    if (st.setComPort(p.c_str())) return true;
  return false;
}

std::string ChoosePort(const std::string* port, int row, const std::vector<std::string>& serial,
                       const char* usbRefusal, SessionState& st, std::string& pipePath,
                       std::string& warning) {
  const bool usb = kProfile[row].usb;
  warning.clear();
  if (port) {
    if (!st.setComPort(port->c_str()))
      return "the port name is longer than " + std::to_string(sizeof st.selectedComPort - 1) +
             " characters";
    if (usb) pipePath = *port;
    if (usb && IsUsbPortName(*port)) {
      if (usbRefusal) return usbRefusal;
      UsbPortPath usbPath;
      if (!ParseUsbPort(*port, usbPath))
        return "'" + *port + "' is no USB port path (usb:BUS-PORTS, such as usb:1-2.3)";
    }
  } else if (usb) {
    st.setComPort("USB");
  } else if (!ChooseFirstPort(st, serial)) {
    warning = "quarn-burn: no serial port found; name one with --port\n";
  }
  return "";
}

std::string BatchPorts(const std::vector<std::string>& given, int row, const PresentPorts& present,
                       std::vector<std::string>& ports) {
  const bool usb = kProfile[row].usb;
  const auto add = [&](const std::string& p) {
    if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
  };
  for (const std::string& p : given) {
    if (p == "all") {
      for (const std::string& q : usb ? present.usb : present.serial) add(q);
    } else if (!usb && IsUsbPortName(p)) {
      return "'" + p + "' is a USB port path; " + plcList[row] + " is a serial model";
    } else {
      add(p);
    }
  }
  if (ports.empty()) return std::string("--port all found no ") + (usb ? "USB PLC" : "serial port");
  return "";
}

std::string PortLabel(const SessionState& st) {
  return std::strcmp(st.selectedComPort, "USB") == 0 ? "the PLC's USB device" : st.selectedComPort;
}

}  // namespace quarn::cli
