// The simulated PLC: its configuration, the requests it counts and the
// faults aimed at their replies, and the parsing of what the host sends into
// application frames and bootloader commands. Its application answers the
// Modbus ASCII requests the updater sends for the configured model
// (plc_app.cpp); its bootloader answers bare command words and takes
// CRC-checked firmware blocks into its flash (plc_boot.cpp).
#include <algorithm>
#include <cstring>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "plc_impl.h"

namespace plcsim {

using quarn::ACK;
using quarn::EOT;
using quarn::NOK;
using quarn::STX;

namespace {

constexpr size_t kMaxAsciiFrame = 64;  // the longest request is 23 characters

bool isFrameChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == '\r';
}

// host: what the link reports (dataBits 0: only its baud rate is known).
bool sameLine(const quarn::LineSettings& host, const quarn::LineSettings& want) {
  if (host.baud != want.baud) return false;
  return host.dataBits == 0 || (host.dataBits == want.dataBits && host.parity == want.parity);
}

const char* const kBootCommands[] = {"ID", "VERSION", "ERASE", "UPDATE"};

// The registers of the variants that share a type identifier: a KR2-C holds
// 0x4137 in D1386; D1001 carries the firmware generation in bits 4 to 7
// (0x20 V2.xx, 0x30 V3.xx, 0x40 V4.xx); D1148 tells a 28QN2 or 26GH from its
// 12 variant. Every other model holds 0 in all three.
constexpr Registers kRegisters[] = {
    {"KR2-MV2-V2", 0x0000, 0x0020, 0}, {"KR2-C-V2", 0x4137, 0x0020, 0},
    {"KR2-MV2-V4", 0x0000, 0x0040, 0}, {"KR2-C-V4", 0x4137, 0x0040, 0},
    {"TJ-V3", 0x0000, 0x0030, 0},      {"TJ-V4", 0x0000, 0x0040, 0},
    {"RTF-KR2-V2", 0x0000, 0x0020, 0}, {"RTF-KR2-V4", 0x0000, 0x0040, 0},
    {"QN28", 0x0000, 0x0000, 28},      {"GH26", 0x0000, 0x0000, 26},
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

Plc::Impl::Impl(const Config& c) : cfg(c), mode(c.mode) {
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

// A request of this kind arrived: count it and take the fault aimed at its reply.
const Armed* Plc::Impl::request(Kind k) {
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

// Noise on the line: random bytes before the reply that starts at
// out[start]. None of them is an ACK or a NOK.
void Plc::Impl::noise(const Armed* f, std::vector<uint8_t>& out, size_t start) {
  if (!f || f->act != Act::Noise) return;
  std::vector<uint8_t> bytes;
  while (bytes.size() < (f->arg1 ? f->arg1 : 1u)) {
    noiseState = noiseState * 1103515245u + 12345u;
    const uint8_t b = static_cast<uint8_t>(noiseState >> 16);
    if (b != ACK && b != NOK) bytes.push_back(b);
  }
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), bytes.begin(), bytes.end());
}

void Plc::Impl::doubled(const Armed* f, std::vector<uint8_t>& out, size_t start) {
  if (!f || f->act != Act::Double) return;
  const std::vector<uint8_t> reply(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
  out.insert(out.end(), reply.begin(), reply.end());
}

bool Plc::Impl::lineOk() const {
  if (usb || !cfg.checkLine) return true;
  const bool fast = mode == Mode::Boot && fastLine;
  return sameLine(line, fast ? quarn::kTransferLine : quarn::kAppLine);
}

void Plc::Impl::enterBootloader() {
  mode = Mode::Boot;
  enterPending = false;
  phase = Phase::Idle;
  fastLine = false;
}

// Parses what it can from in[pos..]; returns the bytes consumed (0: wait for more).
size_t Plc::Impl::parseOne(size_t pos, std::vector<uint8_t>& out) {
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

void Plc::Impl::receive(const uint8_t* data, size_t n, std::vector<uint8_t>& out) {
  busy = Busy{};
  if (idx < 0 || n == 0 || !plugged || !lineOk()) return;
  in.insert(in.end(), data, data + n);
  size_t pos = 0;
  while (pos < in.size()) {
    const size_t used = parseOne(pos, out);
    if (used == 0) break;
    pos += used;
  }
  in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
}

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

void Plc::hostReopened() {
  if (impl_->cfg.reopenRestarts && impl_->plugged) reconnected();
}

void Plc::unplug(bool powerOff) {
  Impl& m = *impl_;
  if (!m.plugged) {
    m.off = m.off || powerOff;
    return;
  }
  m.plugged = false;
  m.off = powerOff;
  m.in.clear();  // a request cut in half by the pull is lost
}

void Plc::plug() {
  Impl& m = *impl_;
  if (m.plugged) return;
  m.plugged = true;
  if (m.off) reconnected();
  m.off = false;
}

bool Plc::plugged() const { return impl_->plugged; }

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

}  // namespace plcsim
