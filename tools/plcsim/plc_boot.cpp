// The simulated PLC's bootloader: it answers bare command words and takes
// CRC-checked firmware blocks into its flash.
#include <algorithm>
#include <array>

#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "plc_impl.h"

namespace plcsim {

using quarn::ACK;
using quarn::NAK;
using quarn::NOK;

namespace {

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

}  // namespace

void Plc::Impl::bootReply(std::initializer_list<uint8_t> bytes, const Armed* f,
                          std::vector<uint8_t>& out) {
  if (f && f->act == Act::Silent) return;
  if (f && f->act == Act::Nak) {
    out.push_back(NAK);
    return;
  }
  if (f && f->act == Act::Nok) {
    out.push_back(NOK);
    return;
  }
  size_t n = bytes.size();
  if (f && f->act == Act::Short) n -= std::min<size_t>(n, f->arg1 ? f->arg1 : 1);
  const size_t start = out.size();
  out.insert(out.end(), bytes.begin(), bytes.begin() + n);
  if (f && f->act == Act::BadLrc && n > 0) out[start + n - 1] ^= 0xFF;  // a corrupted byte
  noise(f, out, start);
  doubled(f, out, start);
}

// A whole block frame at p (STX n ~n data CRC).
void Plc::Impl::block(const uint8_t* p, std::vector<uint8_t>& out) {
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

void Plc::Impl::bootCommand(int cmd, std::vector<uint8_t>& out) {
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

}  // namespace plcsim
