// The platform's link and the ports present, and what to do about a port
// this user may not open (links_posix.cpp, links_win32.cpp).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/portname.h"

namespace quarn::cli {

// The platform's link.
std::unique_ptr<Link> MakeLink();
// The serial ports present with what the system knows of them, and the USB
// PLCs by port path (usb:BUS-PORTS).
std::vector<PortInfo> PresentSerialPorts();
std::vector<std::string> PresentUsbPlcs();
// What to do about a USB PLC this user may not open: a line, or null where
// nothing is known to help (then the refusal is said as any other).
const char* UsbAccessHint();
// What to do about a serial port this user may not open ("" where nothing
// is known to help).
const char* SerialAccessHint();

}  // namespace quarn::cli
