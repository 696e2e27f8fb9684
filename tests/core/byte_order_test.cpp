#include "core/byte_order.h"

#include <gtest/gtest.h>

namespace k730 {
namespace {

TEST(ByteOrder, LittleAndBigEndianRoundTripByteByByte) {
  uint8_t b[4];
  WriteU32LE(b, 0x12345678);
  EXPECT_EQ(b[0], 0x78);
  EXPECT_EQ(b[3], 0x12);
  EXPECT_EQ(ReadU32LE(b), 0x12345678u);
  WriteU32BE(b, 0x0000012C);
  EXPECT_EQ(b[2], 0x01);
  EXPECT_EQ(b[3], 0x2C);
  EXPECT_EQ(ReadU32BE(b), 300u);
  WriteU16LE(b, 1024);
  EXPECT_EQ(b[0], 0x00);
  EXPECT_EQ(b[1], 0x04);
  EXPECT_EQ(ReadU16LE(b), 1024);
  const uint8_t high[4] = {0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(ReadU32LE(high), 0xFEFFFFFFu);
}

}  // namespace
}  // namespace k730
