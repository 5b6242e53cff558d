// A read-only look at the PLC on a link: which program it runs, what it
// reports about itself, and which catalogue models a burn would accept for
// it. Nothing is sent that changes the PLC: no enter-update request, no
// "ERASE", no "UPDATE", no block.
#pragma once
#include <cstdint>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "link/link.h"

namespace quarn {

struct Identity {
  enum Mode { NONE, APPLICATION, BOOTLOADER };
  bool opened = false;
  Mode mode = NONE;
  uint8_t probe = 0;  // the mode probe's result: ENQ, ACK or the refusal
  bool aio = false;   // it answered the AIO command header (0x01 0x5B)
  bool haveId = false;
  uint16_t id = 0;  // application: the identity request; bootloader: "ID"
  // Application mode only; 0 when the PLC gave no valid reply, as the guards
  // take it, and then marked in `unanswered` (GuardRead bits).
  uint16_t D1386 = 0, D1001 = 0, D1148 = 0;
  uint8_t unanswered = 0;
  uint8_t known = 0xFF;  // the reads made (GuardRead bits): a check needing another does not refuse
  uint16_t id67 = 0;     // by function 0x67
  bool haveLoaderVersion = false;
  uint8_t loaderVersion = 0;  // high nibble major, low nibble minor
  // The catalogue rows whose burn would pass the identity checks and guards.
  int fits[kModelCount] = {};
  int fitCount = 0;
};

// Opens the link as a burn of the selected model does, wakes the PLC, probes
// its mode in the selected model's command header and then in the other one,
// reads what that mode reports and closes the link. st supplies the model,
// the port and the stop request; its counters count the retries.
Identity Identify(SessionState& st, Link& hSerial);

// What a session's own replies told of the PLC (st.report), as an Identity:
// only the reads that session made are known, and a model whose checks need
// another read counts as one that fits.
Identity ReportedIdentity(const SessionState& st);

}  // namespace quarn
