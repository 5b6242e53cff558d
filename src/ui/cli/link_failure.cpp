// What quarn-burn makes of a session's link that failed.
#include "ui/cli/link_failure.h"

#include "link/portname.h"
#include "ui/cli/cli.h"
#include "ui/cli/links.h"
#include "ui/cli/ports.h"

namespace quarn::cli {
namespace {

// Whether the session's link is the USB PLC searched for (by its ids or at
// its place), not a serial port or a path standing in for the pipe.
bool UsbSearch(const SessionState& st) {
  return st.profile().usb && (!*st.usbPlace || IsUsbPortName(st.usbPlace));
}

}  // namespace

std::string OpenFailureWords(const LinkError& e) {
  return e.kind == LinkError::Kind::None || e.kind == LinkError::Kind::Gone ? "" : e.words;
}

std::string CannotOpenLine(const SessionState& st, const LinkError& e, const std::string& prefix) {
  const std::string words = OpenFailureWords(e);
  if (words.empty() || UsbAccessDenied(st, e)) return "";
  std::string line = prefix + "quarn-burn: cannot open " + Printable(PortLabel(st)) + ": " + words;
  if (e.kind == LinkError::Kind::Permission && !st.profile().usb) line += SerialAccessHint();
  return line + "\n";
}

bool UsbAccessDenied(const SessionState& st, const LinkError& e) {
  return UsbSearch(st) && e.kind == LinkError::Kind::Permission && UsbAccessHint() != nullptr;
}

bool PortGone(const SessionState& st, const LinkError& e) {
  return !UsbSearch(st) && e.kind == LinkError::Kind::Gone && PortsComeBack();
}

std::string ModbusLine(const SessionState& st) {
  return "quarn-burn: a Modbus device answered on " + Printable(PortLabel(st)) +
         ", but not as a Quarn PLC\n";
}

}  // namespace quarn::cli
