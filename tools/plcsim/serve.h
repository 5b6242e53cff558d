// plcsim's server: the PLC on a pseudo-terminal, as its command line asks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plcsim.h"

namespace plcsim {

constexpr unsigned kLatencyUs = 1000;  // a USB full-speed frame

// --drop: when the line goes away and for how long.
struct Drop {
  Kind kind = Kind::Count;  // Count: never
  long after = 0;           // the request of that kind that is not answered
  long downMs = 1000;
};

// --late-reply: which request's reply comes late, and by how much.
struct LateReply {
  Kind kind = Kind::Count;  // Count: none
  long ms = 0;
};

// --unplug: the PLC's cable is pulled atMs after plcsim started, and put
// back forMs later; with off the PLC is switched off as well, and restarts
// when it is back.
struct Unplug {
  long atMs = 0, forMs = 0;
  bool off = false;
};

// What the command line asks for.
struct Options {
  Config cfg;
  std::string linkPath, flashOut;
  std::vector<Fault> faults;
  Drop drop;
  LateReply late;
  std::vector<Unplug> unplugs;
  std::string controlPath;  // --control: a FIFO taking "unplug", "off" and "plug" lines
  bool verbose = false;
  bool pace = false;
  uint32_t latencyUs = kLatencyUs;
};

// Serves plc on a new pseudo-terminal until plcsim is interrupted; returns
// the exit status (1: the pseudo-terminal or its link could not be made).
int Serve(const Options& o, Plc& plc);

}  // namespace plcsim
