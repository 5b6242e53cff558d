// The pseudo-terminal plcsim serves the PLC on, and the symbolic link that
// may point at it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/link.h"

namespace plcsim {

// The pseudo-terminal the PLC is served on. plcsim holds the slave open
// itself, so the master never sees a hang-up when the host closes its side;
// `watch` sees the host's opens and closes of the slave, to notice a replug.
struct Pty {
  int master = -1, slave = -1, watch = -1;
  std::string path;
};

bool openPty(Pty& p);  // false: it could not be made (said on stderr)
void closePty(Pty& p);

// The host's baud rate, as the terminal now has it. A pseudo-terminal keeps
// its data bits and parity at 8N1 whatever the host asks, so those stay
// unknown (dataBits 0) and only the baud rate is checked.
quarn::LineSettings hostLineOf(int slave);

// Writes all of it to the master, waiting a little when the terminal is full.
void writeAll(int fd, const uint8_t* p, size_t n);

// Makes path a symbolic link to target, replacing a link that is there.
bool pointLink(const std::string& path, const std::string& target);
// Removes the link at path when it still points at target.
void removeLink(const std::string& path, const std::string& target);

}  // namespace plcsim
