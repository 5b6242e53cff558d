// Application-mode protocol: Modbus ASCII frames with an LRC, spoken to a PLC
// that runs its application.
#pragma once
#include <cstdint>

#include "catalogue/session.h"
#include "link/link.h"

namespace quarn {

// Decodes len hex characters of buf in place (byte k to buf[k]) and returns 0
// when all are upper-case hex digits and the bytes sum to 0, 1 on a bad
// digit, else the non-zero sum. Reads and writes only buf[0 .. len-1].
uint8_t CheckLRC(uint8_t* buf, uint8_t len);

// Wake-up burst; looks at nothing that comes back.
void DummyComm(SessionState& st, Link& hSerial);
// Mode probe: ENQ (application), ACK (bootloader) or ERR | flow error code.
// The selected model's command header, or the one aio names (0x01 0x5B).
uint8_t ConfirmComm(SessionState& st, Link& hSerial);
uint8_t ConfirmComm(SessionState& st, Link& hSerial, bool aio);
// A station's look at a port before any session: one wake-up and one mode
// probe, each read once with time-out ms, nothing retried and nothing
// counted. ENQ (application), ACK (bootloader), or 0 when no valid reply came.
uint8_t ProbeOnce(SessionState& st, Link& hSerial, uint32_t ms);
// Identity check: OK or ERR | flow error code.
uint8_t CheckID_A(SessionState& st, Link& hSerial);
// Whether a PLC that reports id fits a model whose plcID is selectedPLCID.
bool IdAccepted_A(uint16_t selectedPLCID, uint16_t id);
// The identity request with the header aio names, taking whatever identifier
// the PLC reports: OK with it in id, or ERR | flow error code.
uint8_t ReadID_A(SessionState& st, Link& hSerial, bool aio, uint16_t& id);
// Register reads: the value, 0 when no valid reply came (the read is then
// marked in st.unansweredReads).
uint16_t READ_D1386(SessionState& st, Link& hSerial);
uint16_t READ_D1001(SessionState& st, Link& hSerial);
uint16_t READ_D1148(SessionState& st, Link& hSerial);
// Bootloader version byte through the application, 0 when no valid reply
// (marked in st.unansweredReads).
uint8_t read_fu_version_A(SessionState& st, Link& hSerial);
// PLC type identifier by function 0x67; leaves the session counters alone.
uint16_t read_0x67_PLCID(SessionState& st, Link& hSerial);
// Enter-update request: OK or ERR | flow error code.
uint8_t SendErase_A(SessionState& st, Link& hSerial);

}  // namespace quarn
