// A read-only look at the PLC on a link: which program it runs, what it
// reports about itself, and which catalogue models a burn would accept for
// it. Nothing is sent that changes the PLC: no enter-update request, no
// "ERASE", no "UPDATE", no block.
#pragma once
#include <atomic>
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

// What Identify is asking at a moment.
enum class IdentifyStep : uint8_t {
  Opening,
  Waking,
  Probe,     // the mode probe, command header 0x01 0x59
  ProbeAio,  // the mode probe, command header 0x01 0x5B
  LoaderId,
  LoaderVersion,  // the bootloader's, in either mode
  Identity,
  Registers,  // D1386, D1001, D1148
  Id67,
};

// Opens the link as a burn of the selected model does, wakes the PLC, probes
// its mode in the selected model's command header and then in the other one,
// reads what that mode reports and closes the link. st supplies the model,
// the port and the stop request; its counters count the retries. step, when
// given, names what is being asked at each moment (for another thread).
Identity Identify(SessionState& st, Link& hSerial, std::atomic<IdentifyStep>* step = nullptr);

// What a session's own replies told of the PLC (st.report), as an Identity:
// only the reads that session made are known, and a model whose checks need
// another read counts as one that fits.
Identity ReportedIdentity(const SessionState& st);

}  // namespace quarn
