// The simulated PLC's state, shared by its parts: the requests and faults
// (plc.cpp), the application (plc_app.cpp) and the bootloader (plc_boot.cpp).
#pragma once
#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/link.h"
#include "plc.h"

namespace plcsim {

// A fault waiting for a reply of its kind.
struct Armed {
  Act act;
  int times;  // < 0: every reply
  uint8_t arg1, arg2;
};

// Registers D1386, D1001, D1148 of a model.
struct Registers {
  const char* model;
  uint16_t d1386, d1001, d1148;
};

struct Plc::Impl {
  Config cfg;
  int idx = -1;  // catalogue row, -1: unknown model, the PLC stays silent
  bool usb = false;
  size_t blockData = 128;
  uint16_t appId = 0, bootId = 0, id67 = 0;
  Registers regs{"", 0, 0, 0};

  Mode mode = Mode::App;
  bool plugged = true;
  bool off = false;  // unplugged and switched off: it restarts when plugged
  quarn::LineSettings line = quarn::kAppLine;
  bool enterPending = false;  // an accepted enter-update request awaits its confirmation
  // Bootloader: where the host is in erase, update and transfer.
  enum class Phase { Idle, Erasing, Transfer, Closed } phase = Phase::Idle;
  bool fastLine = false;  // "UPDATE" acknowledged: the line runs at 115200 8N1
  uint8_t expected = 1;   // number of the next block
  bool haveLast = false;
  uint8_t last = 0;  // number of the last accepted block

  std::vector<uint8_t> in;  // bytes not yet parsed
  std::vector<uint8_t> flash;
  int erased = 0;
  bool closed = false;
  Busy busy;                    // the work of the requests completed by the current receive()
  uint32_t noiseState = 12345;  // the line's noise, the same in every run
  std::array<int, static_cast<size_t>(Kind::Count)> counts{};
  std::array<std::vector<Armed>, static_cast<size_t>(Kind::Count)> faults;
  struct Late {
    uint32_t us = 0;
    int times = 0;  // < 0: every request
  };
  std::array<Late, static_cast<size_t>(Kind::Count)> late{};
  struct Aimed {
    int index;
    Armed armed;  // act Count: none
    uint32_t lateUs;
  };
  std::vector<Aimed> aimed;
  int replyIndex = 0;  // requests that got a reply so far

  // The exact requests of this model.
  std::string wake, probe, checkId, d1386, d1001, d1148, version, read67, erase, confirm;

  explicit Impl(const Config& c);

  // plc.cpp: requests, faults and the parsing of what the host sends.
  const Armed* request(Kind k);
  static bool refused(const Armed* f) { return f && (f->act == Act::Nak || f->act == Act::Nok); }
  void noise(const Armed* f, std::vector<uint8_t>& out, size_t start);
  void doubled(const Armed* f, std::vector<uint8_t>& out, size_t start);
  bool lineOk() const;
  void enterBootloader();
  size_t parseOne(size_t pos, std::vector<uint8_t>& out);
  void receive(const uint8_t* data, size_t n, std::vector<uint8_t>& out);

  // plc_app.cpp: the application.
  static std::string asciiFrame(std::initializer_list<uint8_t> bytes);
  uint8_t header() const;
  void appReply(std::initializer_list<uint8_t> bytes, const Armed* f, std::vector<uint8_t>& out);
  void longReply(uint8_t fn, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                 const Armed* f, std::vector<uint8_t>& out);
  void shortReply(uint8_t fn, uint8_t hi, uint8_t lo, bool withCount, const Armed* f,
                  std::vector<uint8_t>& out);
  void asciiRequest(const std::string& fr, std::vector<uint8_t>& out);

  // plc_boot.cpp: the bootloader.
  void bootReply(std::initializer_list<uint8_t> bytes, const Armed* f, std::vector<uint8_t>& out);
  void block(const uint8_t* p, std::vector<uint8_t>& out);
  void bootCommand(int cmd, std::vector<uint8_t>& out);
};

}  // namespace plcsim
