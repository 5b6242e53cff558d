// The simulated PLC behind the link seam, on a virtual clock, for in-process
// tests.
#pragma once
#include <cstdint>
#include <vector>

#include "link/link.h"
#include "plc.h"

namespace plcsim {

// The PLC behind the link seam, on a virtual clock: a read that cannot be
// satisfied returns what is there and advances the clock by the read
// time-out instead of sleeping. A late reply (Plc::lateReply) arrives that
// much later on the clock, and the replies to what the PLC got meanwhile
// after it; with `plcTimes` every reply also waits for the PLC's own work
// (Plc::busy) and takes its characters' time on a serial line. The PLC hangs
// on one kind of link: an open of the other kind (a serial port for a
// USB-attached PLC, the USB pipe for a serial one) fails as no such port. A
// transfer on a dead link fails as gone. While the PLC is unplugged
// (Plc::unplug) the link stays open and every read waits out its time-out:
// what the PLC had said and the host had not read is lost.
class SimLink : public quarn::Link {
 public:
  explicit SimLink(Plc& plc);

  bool open(const quarn::Endpoint& where) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  int drainInput(uint32_t quietMs = 0, uint32_t timeoutMs = 0, uint8_t* kept = nullptr,
                 int keep = 0) override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const quarn::LineSettings& line) override;
  const quarn::LinkError& error() const override { return error_; }

  struct Event {
    bool toPlc;  // written by the host, else read by it
    std::vector<uint8_t> bytes;
    uint64_t atMs;
    bool lost = false;  // a write that did not reach the PLC (short or unopened)
  };

  uint64_t nowMs = 0;     // virtual clock
  bool plcTimes = false;  // replies take the PLC's and the wire's time, not only a late one's
  bool logWire = true;    // keep `wire` (off for benchmarks)
  std::vector<Event> wire;
  uint32_t timeoutMs = 0;
  quarn::LineSettings line{0, 0, 0};
  int opens = 0, closes = 0, lineChanges = 0, timeoutChanges = 0;
  bool isOpen = false;
  int failOpens = 0;      // the next N opens fail
  int shortWrites = 0;    // the next N writes come back one short (nothing reaches the PLC)
  int corruptWrites = 0;  // the next N writes reach the PLC with their last byte inverted
                          // (the host sees them written in full)
  // Link death: the cable is pulled after this many more writes (-1: never).
  // A dead link writes and reads nothing (each read waits out its time-out)
  // and cannot be opened again.
  int writesBeforeDeath = -1;
  bool dead = false;

  // Every byte the host wrote, concatenated.
  std::vector<uint8_t> sent() const;

 private:
  Plc& plc_;
  std::vector<uint8_t> pending_;   // PLC's replies not yet read
  std::vector<uint64_t> arrives_;  // when each of them reaches the host, in us (never decreasing)
  size_t pendingPos_ = 0;
  uint64_t plcFreeUs_ = 0;        // the PLC is done with what it got by then
  uint64_t lineFreeUs_ = 0;       // the last reply byte is on the host's side by then
  void dropPending(size_t upTo);  // forgets pending_[0, upTo)
  bool everOpened_ = false;       // an open after the first one is a reconnect
  quarn::LinkError error_;
};

}  // namespace plcsim
