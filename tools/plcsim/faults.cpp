// Faults and numbers as the programs that serve the PLC take them.
#include "faults.h"

#include <cerrno>
#include <cstdlib>

namespace plcsim {

namespace {

const char* const kKindNames[] = {"wake",     "probe",  "checkid", "register", "version",
                                  "id67",     "erase",  "idb",     "versionb", "erasepage",
                                  "eraseeot", "update", "block",   "fweot"};
static_assert(sizeof(kKindNames) / sizeof(kKindNames[0]) ==
              static_cast<size_t>(plcsim::Kind::Count));
const char* const kActNames[] = {"silent", "short", "badlrc", "lowercase",
                                 "nak",    "nok",   "noise",  "double"};

template <size_t N>
int lookup(const char* const (&names)[N], const std::string& s) {
  for (size_t i = 0; i < N; ++i)
    if (s == names[i]) return static_cast<int>(i);
  return -1;
}

}  // namespace

bool ParseNumber(const char* s, long max, long& out) {
  if (s == nullptr || *s == '\0') return false;
  const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(hex ? s + 2 : s, &end, hex ? 16 : 10);
  if (errno != 0 || end == (hex ? s + 2 : s) || *end != '\0' || v < 0 || v > max) return false;
  out = v;
  return true;
}

std::vector<std::string> SplitColons(const std::string& arg) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = arg.find(':', start);
    parts.push_back(arg.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return parts;
}

int ParseKind(const std::string& name) { return lookup(kKindNames, name); }

const char* KindName(Kind kind) {
  return kind < Kind::Count ? kKindNames[static_cast<size_t>(kind)] : "?";
}

bool ParseFault(const std::string& arg, Fault& f) {
  const std::vector<std::string> parts = SplitColons(arg);
  if (parts.size() < 2 || parts.size() > 5) return false;
  const int kind = ParseKind(parts[0]);
  const int act = lookup(kActNames, parts[1]);
  if (kind < 0 || act < 0) return false;
  f = Fault{static_cast<plcsim::Kind>(kind), static_cast<plcsim::Act>(act), 1, 0, 0};
  long v = 0;
  if (parts.size() > 2) {
    if (parts[2] == "all")
      f.times = -1;
    else if (ParseNumber(parts[2].c_str(), 1000000, v))
      f.times = static_cast<int>(v);
    else
      return false;
  }
  if (parts.size() > 3) {
    if (!ParseNumber(parts[3].c_str(), 255, v)) return false;
    f.arg1 = static_cast<uint8_t>(v);
  }
  if (parts.size() > 4) {
    if (!ParseNumber(parts[4].c_str(), 255, v)) return false;
    f.arg2 = static_cast<uint8_t>(v);
  }
  return true;
}

}  // namespace plcsim
