// The burn worker: one whole firmware update session, from "Start Burn" to
// the one message that reports its outcome.
#pragma once
#include <cstdint>

#include "burn/operator.h"
#include "catalogue/session.h"
#include "link/link.h"

namespace quarn {

// Runs one session for the selected model over the link and operator seams,
// and returns its outcome (as given to the operator). image/imageSize: the
// firmware image the front end has loaded (null or 0 when it could not be
// found); the worker reads it from its first byte.
Outcome StartBurn(SessionState& st, Link& hSerial, Operator& op, const uint8_t* image,
                  uint32_t imageSize);

// The error message of a program that carries its release's signature and
// finds that its built-in image does not match it (a resource changed after
// the release was signed). The front end shows it instead of starting a
// session; nothing is sent.
extern const char* const kBuiltInImageRefused;

// Why a session of catalogue row modelIdx refuses an image of L bytes before
// it opens the link (the text of its error message), or null when it takes it.
const char* ImageRefusal(uint32_t modelIdx, uint32_t L);

}  // namespace quarn
