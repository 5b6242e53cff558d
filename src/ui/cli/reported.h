// The line said beside a refusal's message: what the PLC reported of itself
// and what the image needs, or the image's size and the model's limit.
#pragma once
#include <cstdint>
#include <string>

#include "catalogue/session.h"

namespace quarn::cli {

// "quarn-burn: ..." and a newline after a session of st that ended on a
// refusal of the image's size or of what the PLC replied; "" otherwise.
// fileSize: what the image's file holds.
std::string ReportedLine(const SessionState& st, uint64_t fileSize);

// 60000 as "60,000".
std::string Grouped(uint64_t n);

}  // namespace quarn::cli
