// The simulated PLC. Its application answers the Modbus ASCII requests the
// updater sends for the configured model; its bootloader answers bare command
// words and takes CRC-checked firmware blocks into its flash.
#include "plcsim.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"

namespace plcsim {

using quarn::ACK;
using quarn::ENQ;
using quarn::EOT;
using quarn::NAK;
using quarn::NOK;
using quarn::STX;

namespace {

constexpr size_t kMaxAsciiFrame = 64;  // the longest request is 23 characters

// CRC-16 with polynomial 0x1021, initial value 0, most significant bit first.
constexpr std::array<uint16_t, 256> makeCrcTable() {
  std::array<uint16_t, 256> t{};
  for (int k = 0; k < 256; ++k) {
    uint16_t r = static_cast<uint16_t>(k << 8);
    for (int b = 0; b < 8; ++b)
      r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
    t[k] = r;
  }
  return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

uint16_t crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ p[i]) & 0xFF]);
  return crc;
}

// The complete ASCII frame of these bytes: ':' hex digits, LRC, CR LF.
std::string asciiFrame(std::initializer_list<uint8_t> bytes) {
  static const char hex[] = "0123456789ABCDEF";
  std::string s = ":";
  uint8_t sum = 0;
  auto put = [&](uint8_t b) {
    s += hex[b >> 4];
    s += hex[b & 0x0F];
  };
  for (uint8_t b : bytes) {
    put(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  put(static_cast<uint8_t>(-sum));
  s += "\r\n";
  return s;
}

bool isFrameChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') ||
         c == '\r';
}

// host: what the link reports (dataBits 0: only its baud rate is known).
bool sameLine(const quarn::LineSettings& host, const quarn::LineSettings& want) {
  if (host.baud != want.baud) return false;
  return host.dataBits == 0 || (host.dataBits == want.dataBits && host.parity == want.parity);
}

struct Armed {
  Act act;
  int times;  // < 0: every reply
  uint8_t arg1, arg2;
};

const char* const kBootCommands[] = {"ID", "VERSION", "ERASE", "UPDATE"};

// The registers of the variants that share a type identifier: a KR2-C holds
// 0x4137 in D1386; D1001 carries the firmware generation in bits 4 to 7
// (0x20 V2.xx, 0x30 V3.xx, 0x40 V4.xx); D1148 tells a 28QN2 or 26GH from its
// 12 variant. Every other model holds 0 in all three.
struct Registers {
  const char* model;
  uint16_t d1386, d1001, d1148;
};
constexpr Registers kRegisters[] = {
    {"KR2-MV2-V2", 0x0000, 0x0020, 0},  {"KR2-C-V2", 0x4137, 0x0020, 0},
    {"KR2-MV2-V4", 0x0000, 0x0040, 0},  {"KR2-C-V4", 0x4137, 0x0040, 0},
    {"TJ-V3", 0x0000, 0x0030, 0},       {"TJ-V4", 0x0000, 0x0040, 0},
    {"RTF-KR2-V2", 0x0000, 0x0020, 0},  {"RTF-KR2-V4", 0x0000, 0x0040, 0},
    {"QN28", 0x0000, 0x0000, 28},       {"GH26", 0x0000, 0x0000, 26},
};

Registers registersOf(const std::string& model) {
  for (const Registers& r : kRegisters)
    if (model == r.model) return r;
  return Registers{"", 0, 0, 0};
}

uint16_t orDefault(int value, uint16_t fallback) {
  return static_cast<uint16_t>(value >= 0 ? value : fallback);
}

}  // namespace

struct Plc::Impl {
  Config cfg;
  int idx = -1;  // catalogue row, -1: unknown model, the PLC stays silent
  bool usb = false;
  size_t blockData = 128;
  uint16_t appId = 0, bootId = 0, id67 = 0;
  Registers regs{"", 0, 0, 0};

  Mode mode = Mode::App;
  quarn::LineSettings line = quarn::kAppLine;
  bool enterPending = false;  // an accepted enter-update request awaits its confirmation
  // Bootloader: where the host is in erase, update and transfer.
  enum class Phase { Idle, Erasing, Transfer, Closed } phase = Phase::Idle;
  bool fastLine = false;  // "UPDATE" acknowledged: the line runs at 115200 8N1
  uint8_t expected = 1;   // number of the next block
  bool haveLast = false;
  uint8_t last = 0;       // number of the last accepted block

  std::vector<uint8_t> in;  // bytes not yet parsed
  std::vector<uint8_t> flash;
  int erased = 0;
  bool closed = false;
  Busy busy;  // the work of the requests completed by the current receive()
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

  explicit Impl(const Config& c) : cfg(c), mode(c.mode) {
    idx = quarn::findModel(cfg.model.c_str());
    in.reserve(1024);
    if (idx < 0) return;
    const quarn::Profile& p = quarn::kProfile[idx];
    const uint16_t id = quarn::plcID[idx];
    usb = p.usb;
    blockData = p.blockData;
    appId = orDefault(cfg.appId, id);
    id67 = orDefault(cfg.id67, id);
    // The bootloader reports what the updater accepts for the model: serial
    // models drop bit 15 of their type identifier.
    bootId = orDefault(cfg.bootId, usb ? id : (id & 0x7FFF));
    regs = registersOf(cfg.model);
    regs.d1386 = orDefault(cfg.d1386, regs.d1386);
    regs.d1001 = orDefault(cfg.d1001, regs.d1001);
    regs.d1148 = orDefault(cfg.d1148, regs.d1148);
    const uint8_t h = p.aio ? 0x5B : 0x59;
    wake = asciiFrame({0x00, 0x7F});
    probe = asciiFrame({0x00, 0x64, 0x01, h, 0x01});
    checkId = asciiFrame({0x00, 0x64, 0x01, h, 'I', 'D'});
    d1386 = asciiFrame({0x00, 0x03, 0x15, 0x6A, 0x00, 0x01});
    d1001 = asciiFrame({0x00, 0x03, 0x13, 0xE9, 0x00, 0x01});
    d1148 = asciiFrame({0x00, 0x03, 0x14, 0x7C, 0x00, 0x01});
    version = asciiFrame({0x00, 0x64, 0x01, 0x59, 0x05});
    read67 = asciiFrame({0x00, 0x67, 0x00, 0x13, 0x00, 0x02});
    erase = asciiFrame({0x00, 0x64, 0x01, h, 'E', 'R', 'A', 'S', 'E'});
    confirm = asciiFrame({0x00, 0x64, 0x01, h, 0x06});
  }

  uint8_t header() const { return quarn::kProfile[idx].aio ? 0x5B : 0x59; }

  // A request of this kind arrived: count it and take the fault aimed at its reply.
  const Armed* request(Kind k) {
    ++counts[static_cast<size_t>(k)];
    Late& l = late[static_cast<size_t>(k)];
    if (l.times != 0) {
      if (l.times > 0) --l.times;
      busy.us += l.us;
      busy.lateUs += l.us;
    }
    const int index = replyIndex++;
    for (const Aimed& a : aimed) {
      if (a.index != index) continue;
      busy.us += a.lateUs;
      busy.lateUs += a.lateUs;
      if (a.armed.act != Act::Count) return &a.armed;
    }
    auto& q = faults[static_cast<size_t>(k)];
    while (!q.empty() && q.front().times == 0) q.erase(q.begin());
    if (q.empty()) return nullptr;
    // Valid until the next request of this kind.
    if (q.front().times > 0) --q.front().times;
    return &q.front();
  }
  static bool refused(const Armed* f) { return f && (f->act == Act::Nak || f->act == Act::Nok); }

  // Noise on the line: random bytes before the reply that starts at
  // out[start]. None of them is an ACK or a NOK.
  void noise(const Armed* f, std::vector<uint8_t>& out, size_t start) {
    if (!f || f->act != Act::Noise) return;
    std::vector<uint8_t> bytes;
    while (bytes.size() < (f->arg1 ? f->arg1 : 1u)) {
      noiseState = noiseState * 1103515245u + 12345u;
      const uint8_t b = static_cast<uint8_t>(noiseState >> 16);
      if (b != ACK && b != NOK) bytes.push_back(b);
    }
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), bytes.begin(), bytes.end());
  }

  // Application replies: bytes without their LRC; the fault shapes the frame.
  void appReply(std::initializer_list<uint8_t> bytes, const Armed* f, std::vector<uint8_t>& out) {
    if (f && f->act == Act::Silent) return;
    std::string s = asciiFrame(bytes);
    if (f && f->act == Act::BadLrc) {
      // The LRC digits sit just before CR LF; change the low one.
      char& c = s[s.size() - 3];
      c = (c == '0') ? '1' : '0';
    } else if (f && f->act == Act::LowerCase) {
      for (size_t i = 1; i + 2 < s.size(); ++i)
        if (s[i] >= 'A' && s[i] <= 'F') s[i] = static_cast<char>(s[i] - 'A' + 'a');
    }
    size_t n = s.size();
    if (f && f->act == Act::Short) n -= std::min<size_t>(n, f->arg1 ? f->arg1 : 1);
    const size_t start = out.size();
    out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    noise(f, out, start);
    doubled(f, out, start);
  }

  void doubled(const Armed* f, std::vector<uint8_t>& out, size_t start) {
    if (!f || f->act != Act::Double) return;
    const std::vector<uint8_t> reply(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
    out.insert(out.end(), reply.begin(), reply.end());
  }

  // A long reply: 8 bytes, the status in byte 4; a refusal carries the
  // status NAK (or NOK), the reason in byte 5 and the flow state in byte 6.
  void longReply(uint8_t fn, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                 const Armed* f, std::vector<uint8_t>& out) {
    if (refused(f))
      appReply({0x00, fn, 0x01, header(), f->act == Act::Nak ? NAK : NOK, f->arg1, f->arg2}, f, out);
    else
      appReply({0x00, fn, b2, b3, b4, b5, b6}, f, out);
  }

  // A refused read answers with a Modbus exception (function code | 0x80).
  void shortReply(uint8_t fn, uint8_t hi, uint8_t lo, bool withCount, const Armed* f,
                  std::vector<uint8_t>& out) {
    if (refused(f))
      appReply({0x00, static_cast<uint8_t>(fn | 0x80), f->arg1 ? f->arg1 : uint8_t{0x02}}, f, out);
    else if (withCount)
      appReply({0x00, fn, 0x02, hi, lo}, f, out);
    else
      appReply({0x00, fn, hi}, f, out);
  }

  void bootReply(std::initializer_list<uint8_t> bytes, const Armed* f, std::vector<uint8_t>& out) {
    if (f && f->act == Act::Silent) return;
    if (f && f->act == Act::Nak) { out.push_back(NAK); return; }
    if (f && f->act == Act::Nok) { out.push_back(NOK); return; }
    size_t n = bytes.size();
    if (f && f->act == Act::Short) n -= std::min<size_t>(n, f->arg1 ? f->arg1 : 1);
    const size_t start = out.size();
    out.insert(out.end(), bytes.begin(), bytes.begin() + n);
    if (f && f->act == Act::BadLrc && n > 0) out[start + n - 1] ^= 0xFF;  // a corrupted byte
    noise(f, out, start);
    doubled(f, out, start);
  }

  bool lineOk() const {
    if (usb || !cfg.checkLine) return true;
    const bool fast = mode == Mode::Boot && fastLine;
    return sameLine(line, fast ? quarn::kTransferLine : quarn::kAppLine);
  }

  void enterBootloader() {
    mode = Mode::Boot;
    enterPending = false;
    phase = Phase::Idle;
    fastLine = false;
  }

  // One complete ASCII frame, CR LF included.
  void asciiRequest(const std::string& fr, std::vector<uint8_t>& out) {
    if (mode == Mode::Boot) {
      if (fr == probe) {
        phase = Phase::Idle;
        longReply(0x64, 0x01, header(), ACK, 0, 0, request(Kind::Probe), out);
      }
      return;
    }
    if (fr == confirm) {
      if (enterPending) {
        enterBootloader();
        busy.restart = true;
        busy.us += cfg.times.restartUs;
      }
      return;
    }
    if (fr == erase) {
      const Armed* f = request(Kind::Erase);
      // The application takes the request unless it refuses it; a lost reply
      // does not undo it.
      if (!refused(f) && cfg.enterBoot) enterPending = true;
      longReply(0x64, 0x01, header(), ACK, 0, 0, f, out);
      return;
    }
    if (enterPending) {
      // No confirmation came: the application has left for its bootloader.
      enterBootloader();
      asciiRequest(fr, out);
      return;
    }
    if (fr == wake) {
      shortReply(0x7F, 0x00, 0, false, request(Kind::Wake), out);
    } else if (fr == probe) {
      longReply(0x64, 0x01, header(), ENQ, 0, 0, request(Kind::Probe), out);
    } else if (fr == checkId) {
      longReply(0x64, 0x01, header(), ACK, appId >> 8, appId & 0xFF, request(Kind::CheckId), out);
    } else if (fr == d1386 || fr == d1001 || fr == d1148) {
      const uint16_t v = fr == d1386 ? regs.d1386 : fr == d1001 ? regs.d1001 : regs.d1148;
      shortReply(0x03, v >> 8, v & 0xFF, true, request(Kind::Register), out);
    } else if (fr == version) {
      longReply(0x64, 0x01, 0x59, cfg.loaderVersion, 0, 0, request(Kind::Version), out);
    } else if (fr == read67) {
      longReply(0x67, 0x02, id67 >> 8, id67 & 0xFF, 0, 0, request(Kind::Id67), out);
    }
  }

  // A whole block frame at p (STX n ~n data CRC).
  void block(const uint8_t* p, std::vector<uint8_t>& out) {
    const Armed* f = request(Kind::Block);
    const uint8_t n = p[1];
    const uint8_t* data = p + 3;
    const uint16_t crc = static_cast<uint16_t>(p[3 + blockData] << 8 | p[4 + blockData]);
    uint8_t reply = NAK;
    if (!refused(f) && p[2] == static_cast<uint8_t>(~n) && crc16(data, blockData) == crc) {
      if (n == expected) {
        // The flash holds no more than the model's largest image.
        if (flash.size() < quarn::kProfile[idx].maxSize) {
          flash.insert(flash.end(), data, data + blockData);
          haveLast = true;
          last = n;
          expected = static_cast<uint8_t>(n + 1);
          reply = ACK;
          busy.us += cfg.times.writeBlockUs;
        } else {
          reply = NOK;
        }
      } else if (haveLast && n == last) {
        reply = ACK;  // its ACK was lost: the host sends it again
      }
    }
    bootReply({reply}, f, out);
  }

  void bootCommand(int cmd, std::vector<uint8_t>& out) {
    switch (cmd) {
      case 0: {  // ID
        phase = Phase::Idle;
        bootReply({ACK, static_cast<uint8_t>(bootId >> 8), static_cast<uint8_t>(bootId & 0xFF)},
                  request(Kind::IdB), out);
        break;
      }
      case 1: {  // VERSION: A carries the major digit, B the minor digit in its high half
        phase = Phase::Idle;
        const uint8_t v = cfg.loaderVersion;
        bootReply({ACK, static_cast<uint8_t>(v >> 4), static_cast<uint8_t>((v & 0x0F) << 4)},
                  request(Kind::VersionB), out);
        break;
      }
      case 2: {  // ERASE one page
        const Armed* f = request(Kind::ErasePage);
        phase = Phase::Erasing;
        if (!refused(f)) {
          ++erased;
          flash.clear();
          closed = false;
          busy.us += cfg.times.erasePageUs;
        }
        bootReply({ACK}, f, out);
        break;
      }
      case 3: {  // UPDATE
        const Armed* f = request(Kind::Update);
        if (!refused(f)) {
          phase = Phase::Transfer;
          fastLine = true;
          expected = 1;
          haveLast = false;
          flash.clear();
          flash.reserve(quarn::kProfile[idx].maxSize + blockData);
          closed = false;
        }
        bootReply({ACK}, f, out);
        break;
      }
      default: {  // EOT
        if (phase == Phase::Transfer || phase == Phase::Closed) {
          const Armed* f = request(Kind::FwEot);
          if (!refused(f)) {
            phase = Phase::Closed;
            closed = true;
          }
          bootReply({ACK}, f, out);
        } else {
          bootReply({ACK}, request(Kind::EraseEot), out);
        }
      }
    }
  }

  // Parses what it can from in[pos..]; returns the bytes consumed (0: wait for more).
  size_t parseOne(size_t pos, std::vector<uint8_t>& out) {
    const uint8_t* p = in.data() + pos;
    const size_t n = in.size() - pos;
    if (p[0] == ':') {
      for (size_t i = 1; i < n; ++i) {
        if (p[i] == '\n') {
          asciiRequest(std::string(reinterpret_cast<const char*>(p), i + 1), out);
          return i + 1;
        }
        if (!isFrameChar(p[i]) || i + 1 >= kMaxAsciiFrame) return i;  // a broken frame
      }
      return 0;
    }
    if (mode == Mode::App) return 1;
    if (p[0] == STX && phase == Phase::Transfer) {
      if (n < blockData + 5) return 0;
      block(p, out);
      return blockData + 5;
    }
    if (p[0] == EOT) {
      bootCommand(4, out);
      return 1;
    }
    bool prefix = false;
    for (int c = 0; c < 4; ++c) {
      const size_t len = std::strlen(kBootCommands[c]);
      const size_t m = std::min(len, n);
      if (std::memcmp(p, kBootCommands[c], m) != 0) continue;
      if (m == len) {
        bootCommand(c, out);
        return len;
      }
      prefix = true;
    }
    return prefix ? 0 : 1;
  }

  void receive(const uint8_t* data, size_t n, std::vector<uint8_t>& out) {
    busy = Busy{};
    if (idx < 0 || n == 0 || !lineOk()) return;
    in.insert(in.end(), data, data + n);
    size_t pos = 0;
    while (pos < in.size()) {
      const size_t used = parseOne(pos, out);
      if (used == 0) break;
      pos += used;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
  }
};

Plc::Plc(const Config& cfg) : impl_(std::make_shared<Impl>(cfg)) {}

void Plc::receive(const uint8_t* data, size_t n, std::vector<uint8_t>& out) {
  impl_->receive(data, n, out);
}

void Plc::hostLine(const quarn::LineSettings& line) { impl_->line = line; }

void Plc::reconnected() {
  Impl& m = *impl_;
  m.in.clear();
  if (m.enterPending) {
    m.enterBootloader();
  } else if (m.mode == Mode::Boot) {
    // The bootloader restarts; after a finished transfer the new application
    // runs, and the next update starts from it afresh.
    const bool done = m.closed;
    m.enterBootloader();
    if (done) {
      m.mode = Mode::App;
      m.closed = false;
    }
  }
}

void Plc::inject(Kind kind, Act act, int times, uint8_t arg1, uint8_t arg2) {
  if (kind == Kind::Count || times == 0) return;
  impl_->faults[static_cast<size_t>(kind)].push_back(Armed{act, times, arg1, arg2});
}

void Plc::lateReply(Kind kind, uint32_t ms, int times) {
  if (kind == Kind::Count) return;
  impl_->late[static_cast<size_t>(kind)] = {ms * 1000, times};
}

void Plc::atReply(int index, Act act, uint32_t lateMs) {
  impl_->aimed.push_back({index, Armed{act, 1, 0, 0}, lateMs * 1000});
}

int Plc::replies() const { return impl_->replyIndex; }

Plc::Busy Plc::busy() const { return impl_->busy; }
Mode Plc::mode() const { return impl_->mode; }
bool Plc::usb() const { return impl_->usb; }
const std::vector<uint8_t>& Plc::flash() const { return impl_->flash; }
int Plc::erasedPages() const { return impl_->erased; }
bool Plc::transferClosed() const { return impl_->closed; }
int Plc::requests(Kind kind) const {
  return kind == Kind::Count ? 0 : impl_->counts[static_cast<size_t>(kind)];
}

// ---------------------------------------------------------------------------

SimLink::SimLink(Plc& plc) : plc_(plc) {
  pending_.reserve(1024);
  arrives_.reserve(1024);
}

bool SimLink::open(bool usbPipe, const char*) {
  ++opens;
  if (dead || usbPipe != plc_.usb()) {
    isOpen = false;
    return false;
  }
  if (failOpens > 0) {
    --failOpens;
    isOpen = false;
    return false;
  }
  const bool reopened = everOpened_;
  isOpen = true;
  everOpened_ = true;
  plc_.hostLine(line);
  if (reopened) plc_.reconnected();
  return true;
}

void SimLink::close() {
  ++closes;
  isOpen = false;
  dropPending(pending_.size());
  plcFreeUs_ = lineFreeUs_ = 0;  // what was on its way is gone with the link
}

void SimLink::dropPending(size_t upTo) {
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(upTo));
  arrives_.erase(arrives_.begin(), arrives_.begin() + static_cast<std::ptrdiff_t>(upTo));
  pendingPos_ = 0;
}

int SimLink::write(const uint8_t* data, int n) {
  if (n < 0) n = 0;
  if (writesBeforeDeath == 0) {
    dead = true;
    isOpen = false;
    dropPending(pending_.size());
  } else if (writesBeforeDeath > 0) {
    --writesBeforeDeath;
  }
  int written = n;
  if (!isOpen) {
    written = 0;
  } else if (shortWrites > 0 && n > 0) {
    --shortWrites;
    written = n - 1;
  }
  if (logWire) wire.push_back(Event{true, std::vector<uint8_t>(data, data + n), nowMs, written != n});
  if (isOpen && written == n) {
    if (corruptWrites > 0 && n > 0) {
      --corruptWrites;
      std::vector<uint8_t> garbled(data, data + n);
      garbled.back() = static_cast<uint8_t>(~garbled.back());
      plc_.receive(garbled.data(), garbled.size(), pending_);
    } else {
      plc_.receive(data, static_cast<size_t>(n), pending_);
    }
    // The PLC takes the request once it is done with the ones before; its
    // reply follows what is still on the line.
    const Plc::Busy busy = plc_.busy();
    plcFreeUs_ = std::max(plcFreeUs_, nowMs * 1000) + (plcTimes ? busy.us : busy.lateUs);
    const uint64_t charUs = plcTimes ? Pacer::charNs(line.baud) / 1000 : 0;
    lineFreeUs_ = std::max(lineFreeUs_, plcFreeUs_);
    while (arrives_.size() < pending_.size()) arrives_.push_back(lineFreeUs_ += charUs);
  }
  return written;
}

int SimLink::read(uint8_t* buf, int n) {
  int got = 0;
  if (dead && n > 0) nowMs += timeoutMs;
  if (isOpen && n > 0) {
    // The read ends with its n-th byte, or at its time-out with what came.
    const uint64_t deadline = nowMs + timeoutMs;
    size_t end = pendingPos_;
    while (end < pending_.size() && end - pendingPos_ < static_cast<size_t>(n) &&
           arrives_[end] <= deadline * 1000)
      ++end;
    got = static_cast<int>(end - pendingPos_);
    std::memcpy(buf, pending_.data() + pendingPos_, static_cast<size_t>(got));
    pendingPos_ = end;
    nowMs = got < n ? deadline : std::max(nowMs, (arrives_[end - 1] + 999) / 1000);
    if (pendingPos_ == pending_.size()) dropPending(pending_.size());
  }
  if (logWire) wire.push_back(Event{false, std::vector<uint8_t>(buf, buf + got), nowMs, false});
  return got;
}

int SimLink::discardInput() {
  // What has arrived goes; a reply still on its way stays.
  size_t end = pendingPos_;
  while (end < pending_.size() && arrives_[end] <= nowMs * 1000) ++end;
  const int waiting = static_cast<int>(end - pendingPos_);
  dropPending(end);
  return waiting;
}

void SimLink::setTimeouts(uint32_t ms) {
  timeoutMs = ms;
  ++timeoutChanges;
}

void SimLink::setLine(const quarn::LineSettings& l) {
  line = l;
  ++lineChanges;
  plc_.hostLine(l);
}

std::vector<uint8_t> SimLink::sent() const {
  std::vector<uint8_t> all;
  for (const Event& e : wire)
    if (e.toPlc) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  return all;
}

// ---------------------------------------------------------------------------

uint64_t Pacer::charNs(uint32_t baud) {
  return baud == 0 ? 0 : (10'000'000'000ull + baud / 2) / baud;
}

Pacer::Pacer(Plc& plc) : plc_(plc) { reply_.reserve(64); }

void Pacer::fromHost(const uint8_t* data, size_t n, uint64_t now, const Line& line) {
  const uint64_t start = std::max(now, rxFree_);
  for (size_t i = 0; i < n; ++i)
    rx_.push_back(Timed{data[i], start + (i + 1) * line.charNs + line.transferNs, line});
  rxFree_ = start + n * line.charNs;
}

void Pacer::run(uint64_t now, std::vector<uint8_t>& toHost) {
  // Each byte reaches the PLC on its own, so a reply is timed from the last
  // byte of its request.
  while (!rx_.empty()) {
    const Timed b = rx_.front();
    if (b.at < deafUntil_) {  // the PLC is restarting: the byte is lost
      rx_.pop_front();
      continue;
    }
    const uint64_t t = std::max(b.at, busyUntil_);
    if (t > now) break;
    rx_.pop_front();
    reply_.clear();
    plc_.receive(&b.byte, 1, reply_);
    const Plc::Busy busy = plc_.busy();
    const uint64_t ready = t + uint64_t{busy.us} * 1000;
    (busy.restart ? deafUntil_ : busyUntil_) = ready;
    if (reply_.empty()) continue;
    const uint64_t start = std::max(ready, txFree_);
    for (size_t k = 0; k < reply_.size(); ++k)
      tx_.push_back(Timed{reply_[k], start + (k + 1) * b.line.charNs + b.line.transferNs, b.line});
    txFree_ = start + reply_.size() * b.line.charNs;
  }
  while (!tx_.empty() && tx_.front().at <= now) {
    toHost.push_back(tx_.front().byte);
    tx_.pop_front();
  }
}

uint64_t Pacer::next() const {
  uint64_t t = UINT64_MAX;
  // The bytes from the host are taken together once the last of them has
  // arrived: a host that waits for each reply sends nothing after the end
  // of its request, and a server that wakes for every character would load
  // the machine it measures.
  if (!rx_.empty()) t = std::max(rx_.back().at, busyUntil_);
  if (!tx_.empty()) t = std::min(t, tx_.front().at);
  return t;
}

uint64_t Pacer::nextReply() const { return tx_.empty() ? UINT64_MAX : tx_.front().at; }

void Pacer::reconnected() {
  rx_.clear();
  tx_.clear();
}

// ---------------------------------------------------------------------------
// Faults and numbers as the programs that serve the PLC take them.

namespace {

const char* const kKindNames[] = {"wake",     "probe",     "checkid",  "register", "version",
                                  "id67",     "erase",     "idb",      "versionb", "erasepage",
                                  "eraseeot", "update",    "block",    "fweot"};
static_assert(sizeof(kKindNames) / sizeof(kKindNames[0]) == static_cast<size_t>(plcsim::Kind::Count));
const char* const kActNames[] = {"silent", "short",  "badlrc", "lowercase",
                                 "nak",    "nok",    "noise",  "double"};

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
    if (parts[2] == "all") f.times = -1;
    else if (ParseNumber(parts[2].c_str(), 1000000, v)) f.times = static_cast<int>(v);
    else return false;
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
