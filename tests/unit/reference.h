// What tests compare the product with, computed here rather than borrowed
// from the product's own tables: model groups written out by name and a
// bit-by-bit CRC-16/XMODEM.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace reference {

// The 4K-page models: their last 4096 bytes are never erased nor sent.
inline const std::set<std::string> k4K = {"VN300",       "VN200",          "KR3",
                                          "KR3-PACKAGE", "HPT-J",          "VN100",
                                          "WZ3TJ3",      "VN200-TO-VN300", "VN200-Z"};
// The models whose firmware blocks carry 256 data bytes (the rest: 128).
inline const std::set<std::string> kBlock256 = {
    "GH",    "GH-H",    "VN300",  "VN200",   "VN200-AIO",      "KR3",     "KR3-PACKAGE", "HPT-J",
    "VN100", "MV3-AIO", "WZ3TJ3", "TJ3-AIO", "VN200-TO-VN300", "VN200-Z", "30MV2-AIO"};

inline uint16_t Crc16(const uint8_t* data, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

}  // namespace reference
