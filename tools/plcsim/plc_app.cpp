// The simulated PLC's application: it answers the Modbus ASCII requests the
// updater sends for the configured model, in frames a fault may shape.
#include <algorithm>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "plc_impl.h"

namespace plcsim {

using quarn::ACK;
using quarn::ENQ;
using quarn::NAK;
using quarn::NOK;

namespace {
// The high and low byte of a 16-bit value.
uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
}  // namespace

// The complete ASCII frame of these bytes: ':' hex digits, LRC, CR LF.
std::string Plc::Impl::asciiFrame(std::initializer_list<uint8_t> bytes) {
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

uint8_t Plc::Impl::header() const { return quarn::kProfile[idx].aio ? 0x5B : 0x59; }

// Application replies: bytes without their LRC; the fault shapes the frame.
void Plc::Impl::appReply(std::initializer_list<uint8_t> bytes, const Armed* f,
                         std::vector<uint8_t>& out) {
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

// A long reply: 8 bytes, the status in byte 4; a refusal carries the
// status NAK (or NOK), the reason in byte 5 and the flow state in byte 6.
void Plc::Impl::longReply(uint8_t fn, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                          const Armed* f, std::vector<uint8_t>& out) {
  if (refused(f))
    appReply({0x00, fn, 0x01, header(), f->act == Act::Nak ? NAK : NOK, f->arg1, f->arg2}, f, out);
  else
    appReply({0x00, fn, b2, b3, b4, b5, b6}, f, out);
}

// A refused read answers with a Modbus exception (function code | 0x80).
void Plc::Impl::shortReply(uint8_t fn, uint8_t hi, uint8_t lo, bool withCount, const Armed* f,
                           std::vector<uint8_t>& out) {
  if (refused(f))
    appReply({0x00, static_cast<uint8_t>(fn | 0x80), f->arg1 ? f->arg1 : uint8_t{0x02}}, f, out);
  else if (withCount)
    appReply({0x00, fn, 0x02, hi, lo}, f, out);
  else
    appReply({0x00, fn, hi}, f, out);
}

// One complete ASCII frame, CR LF included.
void Plc::Impl::asciiRequest(const std::string& fr, std::vector<uint8_t>& out) {
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
    longReply(0x64, 0x01, header(), ACK, Hi(appId), Lo(appId), request(Kind::CheckId), out);
  } else if (fr == d1386 || fr == d1001 || fr == d1148) {
    const uint16_t v = fr == d1386 ? regs.d1386 : fr == d1001 ? regs.d1001 : regs.d1148;
    shortReply(0x03, Hi(v), Lo(v), true, request(Kind::Register), out);
  } else if (fr == version) {
    longReply(0x64, 0x01, 0x59, cfg.loaderVersion, 0, 0, request(Kind::Version), out);
  } else if (fr == read67) {
    longReply(0x67, 0x02, Hi(id67), Lo(id67), 0, 0, request(Kind::Id67), out);
  }
}

}  // namespace plcsim
