// CRC-16/XMODEM (polynomial 0x1021, initial 0, not reflected, no final XOR),
// one table look-up per byte.
#include "loader/loader.h"

namespace quarn {

namespace {
constexpr uint32_t crcxor = 0x0000, crcmask = 0xFFFF;

// Register k * 256 after 8 shifts, each XORed with 0x1021 when a 1 falls out.
constexpr uint16_t TableEntry(unsigned k) {
  uint16_t r = static_cast<uint16_t>(k << 8);
  for (int bit = 0; bit < 8; ++bit)
    r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
  return r;
}
}  // namespace

#define QUARN_CRC4(k) TableEntry(k), TableEntry(k + 1), TableEntry(k + 2), TableEntry(k + 3)
#define QUARN_CRC16(k) QUARN_CRC4(k), QUARN_CRC4(k + 4), QUARN_CRC4(k + 8), QUARN_CRC4(k + 12)
#define QUARN_CRC64(k) QUARN_CRC16(k), QUARN_CRC16(k + 16), QUARN_CRC16(k + 32), QUARN_CRC16(k + 48)
const uint16_t crctab[256] = {QUARN_CRC64(0), QUARN_CRC64(64), QUARN_CRC64(128), QUARN_CRC64(192)};
#undef QUARN_CRC64
#undef QUARN_CRC16
#undef QUARN_CRC4

uint32_t CRC(const uint8_t* data, uint32_t len) {
  uint32_t crc = 0;  // may grow past 16 bits; only bits 8 to 15 pick the entry
  for (uint32_t i = 0; i < len; ++i) crc = (crc << 8) ^ crctab[((crc >> 8) & 0xFF) ^ data[i]];
  return (crc ^ crcxor) & crcmask;
}

}  // namespace quarn
