// CRC-16/XMODEM computed bit by bit: what the tests hold the product's
// table-driven CRC and plcsim's against.
#pragma once
#include <cstddef>
#include <cstdint>

namespace reference {

inline uint16_t Crc16(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

}  // namespace reference
