// What tests compare the product with, computed here rather than borrowed
// from the product's own tables: model groups written out by name, and the
// bit-by-bit CRC-16/XMODEM of crc16.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "crc16.h"

namespace reference {

// The 4K-page models: their last 4096 bytes are never erased nor sent.
inline const std::set<std::string> k4K = {"VN300",       "VN200",          "KR3",
                                          "KR3-PACKAGE", "HPT-J",          "VN100",
                                          "WZ3TJ3",      "VN200-TO-VN300", "VN200-Z"};
// The models whose firmware blocks carry 256 data bytes (the rest: 128).
inline const std::set<std::string> kBlock256 = {
    "GH",    "GH-H",    "VN300",  "VN200",   "VN200-AIO",      "KR3",     "KR3-PACKAGE", "HPT-J",
    "VN100", "MV3-AIO", "WZ3TJ3", "TJ3-AIO", "VN200-TO-VN300", "VN200-Z", "30MV2-AIO"};

}  // namespace reference
