// The platform's link and the ports present, and what to do about a port
// this user may not open (links_posix.cpp, links_win32.cpp).
#pragma once
#include <atomic>
#include <cstdint>
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

// Whether a serial port that went away is waited for here (not on Windows).
bool PortsComeBack();
// The name by which a serial port's adapter is found again once it went
// away and came back (Linux: its /dev/serial/by-id name); "" for none.
std::string AdapterName(const std::string& port);
// Waits up to ms, or until stop, for the serial port that went away to come
// back: as whatever port its adapter name leads to then, or at its own
// name. Returns the port's name, or "" when it did not come back.
std::string WaitForPortBack(const std::string& port, const std::string& adapter, uint32_t ms,
                            const std::atomic<bool>& stop);

}  // namespace quarn::cli
