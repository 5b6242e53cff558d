// The simulated PLC itself: its application (Modbus ASCII) and its
// bootloader (bare commands, CRC-checked blocks), with fault injection. Pure
// behaviour, bytes in and bytes out; it keeps no clock.
#pragma once
#include <cstdint>
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
  int appId = -1;   // identifier the application reports (-1: the model's plcID)
  int bootId = -1;  // identifier the bootloader reports (-1: what the model expects)
  int id67 = -1;    // identifier by function 0x67 (-1: the model's plcID)
  // Registers D1386, D1001, D1148 (-1: what a PLC of the model holds, so
  // that it passes its own model's guards).
  int d1386 = -1, d1001 = -1, d1148 = -1;
  uint8_t loaderVersion = 0x20;  // version byte, as the updater keeps it (V2.0 passes every model)
  bool enterBoot = true;         // the enter-update request moves it to its bootloader
  bool checkLine = true;         // serial models: ignore bytes sent at the wrong line settings
  // The host closing and reopening the link restarts the PLC (hostReopened),
  // as if each reopening followed a replug or a power cycle. false: only a
  // switch-off (unplug with powerOff, then plug) restarts it.
  bool reopenRestarts = true;
  Times times;  // only a paced server takes them
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
  // The PLC restarts, as after a replug or a power cycle: an accepted
  // enter-update request takes it into its bootloader, a bootloader starts
  // again (the new application, after a closed transfer).
  void reconnected();
  // The host closed and reopened the link: reconnected(), unless
  // Config::reopenRestarts is false or the PLC is unplugged.
  void hostReopened();

  // The cable pulled: the PLC hears nothing and says nothing (receive()
  // takes no byte and gives no reply) until plug(); it keeps its program,
  // its flash and where it was, as a PLC kept powered does. With powerOff it
  // is switched off too: plug() then switches it on, and it restarts
  // (reconnected()); its flash stays, as a flash does.
  void unplug(bool powerOff = false);
  // The cable back in (or the PLC switched on again). No effect while plugged.
  void plug();
  bool plugged() const;

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
  bool transferClosed() const;    // the closing EOT was acknowledged (until the PLC restarts)
  int requests(Kind kind) const;  // how many requests of this kind arrived

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace plcsim
