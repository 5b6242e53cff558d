// The simulated PLC in real time, for a server that paces it like the wire.
#pragma once
#include <cstdint>
#include <deque>
#include <vector>

#include "plc.h"

namespace plcsim {

// The PLC in time, for a server that paces it like the wire and the PLC:
// bytes from the host count as received when their last bit has arrived, the
// PLC takes its own time (Plc::busy) before a reply is ready and holds what
// arrives meanwhile (what arrives during a restart is lost), and the reply's
// bytes reach the host at the line's pace. What the host has sent is handed
// to the PLC once the last of it has arrived, each byte timed from its own
// arrival. Times are nanoseconds on the server's clock; nothing here reads a
// clock or sleeps. A serial line has a character time; a USB pipe has none
// but a latency for every transfer (1 ms, a full-speed frame).
class Pacer {
 public:
  struct Line {
    uint64_t charNs = 0;      // one character on the wire
    uint64_t transferNs = 0;  // latency of every transfer, either way
  };
  // A serial line's character time: 10 bit times at 7E1 (start, 7 data,
  // parity, stop) and at 8N1 alike; 0 for an unknown rate.
  static uint64_t charNs(uint32_t baud);

  explicit Pacer(Plc& plc);
  // Bytes the host wrote at `now`, on the line as it then was.
  void fromHost(const uint8_t* data, size_t n, uint64_t now, const Line& line);
  // Runs the PLC up to `now`; appends the reply bytes that have reached the
  // host by then.
  void run(uint64_t now, std::vector<uint8_t>& toHost);
  // When run() has something to do next (UINT64_MAX: nothing is pending).
  uint64_t next() const;
  // When the next reply byte reaches the host (UINT64_MAX: none is pending).
  uint64_t nextReply() const;
  // The host closed and reopened the link: what was on the wire is gone.
  void reconnected();

 private:
  struct Timed {
    uint8_t byte;
    uint64_t at;  // arrival, or for a reply byte its arrival at the host
    Line line;    // the line it came on (a reply goes back at that pace)
  };
  Plc& plc_;
  std::deque<Timed> rx_, tx_;
  uint64_t rxFree_ = 0, txFree_ = 0;  // when each direction of the line is free
  uint64_t busyUntil_ = 0;            // the PLC works until then
  uint64_t deafUntil_ = 0;            // the PLC restarts until then
  std::vector<uint8_t> reply_;
};

}  // namespace plcsim
