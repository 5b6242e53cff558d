// The simulated PLC: its application (Modbus ASCII) and its bootloader (bare
// commands, CRC-checked blocks), with fault injection. `Plc` is pure
// behaviour, bytes in and bytes out; `SimLink` puts it behind the link seam
// on a virtual clock for in-process tests; the plcsim program serves it on a
// pseudo-terminal.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "link/link.h"

namespace plcsim {

enum class Mode { App, Boot };

// The kinds of reply the PLC gives; faults are aimed at one kind.
enum class Kind {
  Wake,       // app: wake-up ":007F81"
  Probe,      // app and boot: mode probe (ENQ in the application, ACK in the bootloader)
  CheckId,    // app: identity check
  Register,   // app: D1386, D1001, D1148
  Version,    // app: bootloader version through the application
  Id67,       // app: identifier by function 0x67
  Erase,      // app: enter-update request
  IdB,        // boot: "ID"
  VersionB,   // boot: "VERSION"
  ErasePage,  // boot: "ERASE"
  EraseEot,   // boot: EOT closing the erase
  Update,     // boot: "UPDATE"
  Block,      // boot: a firmware block
  FwEot,      // boot: EOT closing the transfer
  Count
};

enum class Act {
  Silent,     // no reply at all (the request itself is still carried out)
  Short,      // the reply loses its last `arg1` bytes (1 when arg1 is 0)
  BadLrc,     // app: the LRC digits are wrong; boot: the last reply byte is corrupted
  LowerCase,  // app: hex digits in lower case (no effect on bootloader replies)
  Nak,        // app: status NAK, reason arg1, flow state arg2 (register and wake-up
              // replies: a Modbus exception); boot: the byte NAK. The request is refused.
  Nok,        // boot: the byte NOK (a refused block); app: status NOK. Refused too.
  Noise,      // noise on the line: `arg1` random bytes (1 when arg1 is 0) come before the
              // reply; never an ACK or a NOK, which the line cannot forge
  Double,     // the reply comes twice
  Count       // none of them (Plc::atReply: only late)
};

// The PLC's own times, in microseconds, for a server that paces it (Pacer).
// The defaults are those of a small microcontroller's internal flash: a page
// erase takes about 20 ms, programming runs at some 50 us per 16-bit word
// (a 128-byte block in about 3 ms), and a reset into the bootloader with its
// start-up takes a fraction of a second.
struct Times {
  uint32_t erasePageUs = 20000;  // one "ERASE": a page erased
  uint32_t writeBlockUs = 3000;  // one new block programmed
  uint32_t restartUs = 200000;   // the enter-update confirmation until the bootloader listens
};

struct Config {
  std::string model = "VN300";  // catalogue name
  Mode mode = Mode::App;
  int appId = -1;    // identifier the application reports (-1: the model's plcID)
  int bootId = -1;   // identifier the bootloader reports (-1: what the model expects)
  int id67 = -1;     // identifier by function 0x67 (-1: the model's plcID)
  // Registers D1386, D1001, D1148 (-1: what a PLC of the model holds, so
  // that it passes its own model's guards).
  int d1386 = -1, d1001 = -1, d1148 = -1;
  uint8_t loaderVersion = 0x20;  // version byte, as the updater keeps it (V2.0 passes every model)
  bool enterBoot = true;         // the enter-update request moves it to its bootloader
  bool checkLine = true;         // serial models: ignore bytes sent at the wrong line settings
  Times times;                   // only a paced server takes them
};

class Plc {
 public:
  explicit Plc(const Config& cfg);

  // Bytes from the host; the replies they cause are appended to out.
  void receive(const uint8_t* data, size_t n, std::vector<uint8_t>& out);
  // The host's line settings, as the link last applied them. dataBits 0: the
  // link cannot tell data bits and parity (a pseudo-terminal keeps them at
  // 8N1 whatever the host asks), so only the baud rate counts.
  void hostLine(const quarn::LineSettings& line);
  // The host closed and reopened the link (a replug or power cycle).
  void reconnected();

  // The PLC's own work on the requests that the last receive() completed:
  // the time from their last byte until the replies are ready (a page
  // erased, a block programmed), or, with `restart`, the time it takes to
  // restart into its bootloader, deaf to the line. A paced server waits it
  // out; the PLC itself keeps no clock.
  struct Busy {
    uint32_t us = 0;
    bool restart = false;
    uint32_t lateUs = 0;  // the part of `us` that a late reply (lateReply) adds
  };
  Busy busy() const;

  // The next `times` replies of `kind` get `act` (times < 0: all of them).
  void inject(Kind kind, Act act, int times = 1, uint8_t arg1 = 0, uint8_t arg2 = 0);
  // The next `times` requests of `kind` take the PLC `ms` longer: their
  // replies come that late, and what arrives meanwhile waits its turn.
  void lateReply(Kind kind, uint32_t ms, int times = 1);
  // The reply to the index-th request that gets one (from 0, in the order
  // they arrive, every kind counted) takes the PLC lateMs longer and, unless
  // act is Act::Count, gets act. Any number of replies may be aimed at.
  void atReply(int index, Act act, uint32_t lateMs = 0);
  int replies() const;  // requests answered (or meant to be) so far

  Mode mode() const;
  bool usb() const;  // USB-attached: reached through its pipe, not a serial port
  // Data of every accepted block in order, padding included.
  const std::vector<uint8_t>& flash() const;
  int erasedPages() const;
  bool transferClosed() const;   // the closing EOT was acknowledged (until the PLC restarts)
  int requests(Kind kind) const; // how many requests of this kind arrived

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// The PLC behind the link seam, on a virtual clock: a read that cannot be
// satisfied returns what is there and advances the clock by the read
// time-out instead of sleeping. A late reply (Plc::lateReply) arrives that
// much later on the clock, and the replies to what the PLC got meanwhile
// after it; with `plcTimes` every reply also waits for the PLC's own work
// (Plc::busy) and takes its characters' time on a serial line. The PLC hangs
// on one kind of link: an open of the other kind (a serial port for a
// USB-attached PLC, the USB pipe for a serial one) fails.
class SimLink : public quarn::Link {
 public:
  explicit SimLink(Plc& plc);

  bool open(bool usbPipe, const char* portName) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  int discardInput() override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const quarn::LineSettings& line) override;

  struct Event {
    bool toPlc;                 // written by the host, else read by it
    std::vector<uint8_t> bytes;
    uint64_t atMs;
    bool lost = false;          // a write that did not reach the PLC (short or unopened)
  };

  uint64_t nowMs = 0;           // virtual clock
  bool plcTimes = false;        // replies take the PLC's and the wire's time, not only a late one's
  bool logWire = true;          // keep `wire` (off for benchmarks)
  std::vector<Event> wire;
  uint32_t timeoutMs = 0;
  quarn::LineSettings line{0, 0, 0};
  int opens = 0, closes = 0, lineChanges = 0, timeoutChanges = 0;
  bool isOpen = false;
  int failOpens = 0;   // the next N opens fail
  int shortWrites = 0; // the next N writes come back one short (nothing reaches the PLC)
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
  std::vector<uint8_t> pending_;  // PLC's replies not yet read
  std::vector<uint64_t> arrives_; // when each of them reaches the host, in us (never decreasing)
  size_t pendingPos_ = 0;
  uint64_t plcFreeUs_ = 0;        // the PLC is done with what it got by then
  uint64_t lineFreeUs_ = 0;       // the last reply byte is on the host's side by then
  void dropPending(size_t upTo);  // forgets pending_[0, upTo)
  bool everOpened_ = false;  // an open after the first one is a reconnect
};

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
