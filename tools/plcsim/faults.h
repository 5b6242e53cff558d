// Faults and numbers as the programs that serve the simulated PLC take them
// on their command line.
#pragma once
#include <string>
#include <vector>

#include "plc.h"

namespace plcsim {

// A fault as the programs that serve the PLC take it on their command line:
// KIND:ACT[:TIMES[:ARG1[:ARG2]]], TIMES a number or "all".
struct Fault {
  Kind kind;
  Act act;
  int times;
  uint8_t arg1, arg2;
};
bool ParseFault(const std::string& arg, Fault& f);
// A decimal or 0x hex number from 0 to max.
bool ParseNumber(const char* s, long max, long& out);
std::vector<std::string> SplitColons(const std::string& arg);
// A kind by its name ("fweot"), -1 when unknown; and the name of a kind.
int ParseKind(const std::string& name);
const char* KindName(Kind kind);

}  // namespace plcsim
