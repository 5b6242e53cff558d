// Choosing the ports of a run, and describing the ports present.
#include "ui/cli/ports.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "catalogue/catalogue.h"
#include "link/portname.h"
#include "ui/cli/cli.h"

namespace quarn::cli {

std::string ChooseDefaultPort(SessionState& st, const std::vector<PortInfo>& ports,
                              std::string& note) {
  std::vector<const PortInfo*> adapters;
  for (const PortInfo& p : ports)
    if (p.usbAdapter) adapters.push_back(&p);
  if (adapters.size() == 1 && st.setComPort(adapters[0]->name.c_str())) {
    note = "quarn-burn: using " + Printable(adapters[0]->name) +
           ", the only USB serial adapter present (" + DescribePort(*adapters[0]) + ")\n";
    return "";
  }
  std::string why = adapters.empty() ? "no --port given and no USB serial adapter found"
                                     : "no --port given and several USB serial adapters found";
  if (ports.empty())
    return why + "; no serial port found: connect the adapter, or name the port with --port";
  why += "; name one with --port:";
  for (const PortInfo& p : ports) why += "\n  " + Printable(p.name) + "  " + DescribePort(p);
  return why;
}

std::string ChoosePort(const std::string* port, int row, const std::vector<PortInfo>& serial,
                       SessionState& st, std::string& note) {
  const bool usb = kProfile[row].usb;
  note.clear();
  if (port) {
    if (!st.setComPort(port->c_str()))
      return "the port name is longer than " + std::to_string(sizeof st.selectedComPort - 1) +
             " characters";
    // "USB" is the PLC's own USB device, found by its ids.
    if (usb && *port != "USB") st.setUsbPlace(port->c_str());  // fits: as long as the port
    if (usb && IsUsbPortName(*port) && !IsUsbPortPath(*port))
      return std::string(1, '\'').append(Printable(*port)) +
             "' is no USB port path (usb:BUS-PORTS, such as usb:1-2.3, or on "
             "Windows usb: and a location path, as --list-ports lists them)";
  } else if (usb) {
    st.setComPort("USB");
  } else {
    return ChooseDefaultPort(st, serial, note);
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
      if (usb) {
        for (const std::string& q : present.usb) add(q);
      } else {
        for (const PortInfo& q : present.serial)
          if (!q.console) add(q.name);  // a console is taken only when named
      }
    } else if (!usb && IsUsbPortName(p)) {
      // Built piece by piece: GCC 12 (MinGW) raises a -Wrestrict false alarm on "'" + text.
      std::string why(1, '\'');
      return why.append(Printable(p)).append("' is a USB port path; ") + plcList[row] +
             " is a serial model";
    } else {
      add(p);
    }
  }
  if (ports.empty()) return std::string("--port all found no ") + (usb ? "USB PLC" : "serial port");
  const std::vector<std::string> shared = SharedUsbNames(present.usb);
  for (const std::string& p : usb ? ports : std::vector<std::string>{})
    if (std::find(shared.begin(), shared.end(), p) != shared.end()) return SharedUsbNameLine(p);
  return "";
}

std::vector<std::string> SharedUsbNames(const std::vector<std::string>& usb) {
  std::vector<std::string> shared;
  for (const std::string& u : usb)
    if (std::count(usb.begin(), usb.end(), u) > 1 &&
        std::find(shared.begin(), shared.end(), u) == shared.end())
      shared.push_back(u);
  return shared;
}

std::string SharedUsbNameLine(const std::string& name) {
  return "the system gives two USB PLCs the same place, " + Printable(name) +
         ": a session there could take either; plug one of them into another port";
}

std::string PortLabel(const SessionState& st) {
  return std::strcmp(st.selectedComPort, "USB") == 0 ? "the PLC's USB device" : st.selectedComPort;
}

namespace {

std::string Ids(const PortInfo& p) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", static_cast<unsigned>(p.vendor & 0xFFFF),
                static_cast<unsigned>(p.product & 0xFFFF));
  return ids;
}

}  // namespace

std::string DescribePort(const PortInfo& p) {
  // Appended piece by piece: GCC 12 raises a -Wrestrict false alarm on
  // " " + name (MinGW).
  std::string s;
  if (!p.friendly.empty()) s.append(Printable(p.friendly)).append(", ");
  if (!p.usbAdapter)
    return s.append(p.console ? "serial port, the system's console" : "serial port");
  s.append("USB serial adapter");
  if (p.vendor >= 0) s.append(" ").append(Ids(p));
  for (const std::string* text : {&p.manufacturer, &p.productName})
    if (!text->empty()) s.append(" ").append(Printable(*text));
  if (!p.serial.empty()) s.append(", serial ").append(Printable(p.serial));
  if (!p.byId.empty()) s.append(", ").append(Printable(p.byId));
  return s;
}

std::string PortList(const PresentPorts& present, bool json) {
  if (json) {
    using Json = nlohmann::ordered_json;
    const auto text = [](const std::string& s) { return s.empty() ? Json(nullptr) : Json(s); };
    Json j = {{"serial_ports", Json::array()}, {"usb_plcs", Json::array()}};
    for (const PortInfo& p : present.serial) {
      j["serial_ports"].push_back(
          {{"name", p.name},
           {"usb_adapter", p.usbAdapter},
           {"console", p.console},
           {"vendor_id", p.vendor >= 0 ? Json(Ids(p).substr(0, 4)) : Json(nullptr)},
           {"product_id", p.product >= 0 ? Json(Ids(p).substr(5)) : Json(nullptr)},
           {"manufacturer", text(p.manufacturer)},
           {"product", text(p.productName)},
           {"serial", text(p.serial)},
           {"by_id", text(p.byId)},
           {"friendly_name", text(p.friendly)}});
    }
    for (const std::string& u : present.usb) j["usb_plcs"].push_back({{"name", u}});
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  }
  size_t width = 0;
  for (const PortInfo& p : present.serial) width = std::max(width, p.name.size());
  for (const std::string& u : present.usb) width = std::max(width, u.size());
  std::string s;
  for (const PortInfo& p : present.serial)
    s += Printable(p.name) + std::string(width - p.name.size() + 2, ' ') + DescribePort(p) + "\n";
  for (const std::string& u : present.usb)
    s += Printable(u) + std::string(width - u.size() + 2, ' ') + "USB PLC\n";
  return s;
}

}  // namespace quarn::cli
