// The block check: known values, and agreement with a plain bit-by-bit CRC.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crc16.h"
#include "loader/loader.h"

using quarn::CRC;
using quarn::crctab;

namespace {
uint16_t BitwiseXmodem(const std::vector<uint8_t>& data) {
  return reference::Crc16(data.data(), data.size());
}
}  // namespace

TEST(Crc, CheckValuesAndTable) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CRC(digits, 9), 0x31C3u);
  EXPECT_EQ(CRC(digits, 0), 0u);
  EXPECT_EQ(crctab[0], 0x0000);
  EXPECT_EQ(crctab[1], 0x1021);
  EXPECT_EQ(crctab[255], 0x1EF0);
}

TEST(Crc, MatchesBitwiseOverRandomData) {
  std::mt19937 rng(1234);
  for (size_t len : {1u, 2u, 3u, 128u, 256u, 1000u, 4099u}) {
    std::vector<uint8_t> data(len);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(CRC(data.data(), static_cast<uint32_t>(len)), BitwiseXmodem(data)) << len;
  }
}
