// What quarn-burn makes of a session's link that failed: why it did not
// open, a USB PLC this user may not open, a port that went away, a Modbus
// device where a PLC was looked for.
#pragma once
#include <string>

#include "catalogue/session.h"
#include "link/link.h"

namespace quarn::cli {

// Why the link's last open failed, in words; "" after an open that
// succeeded (whatever failed since) or where the system did not say.
std::string OpenFailureWords(const LinkError& e);

// The line that says why the session's port did not open, after prefix, or
// "" when the link's error is no open's failure in words (or the refused USB
// PLC's hint says it at the run's end).
std::string CannotOpenLine(const SessionState& st, const LinkError& e, const std::string& prefix);

// A USB PLC was found that this user may not open, where the platform knows
// what helps (UsbAccessHint).
bool UsbAccessDenied(const SessionState& st, const LinkError& e);

// The session's serial port or pipe path went away since it opened (an
// adapter pulled), where the platform can wait for it to come back.
bool PortGone(const SessionState& st, const LinkError& e);

// Said after the session's message when the port's device answered with
// Modbus exception replies.
std::string ModbusLine(const SessionState& st);

}  // namespace quarn::cli
