#include "core/trace.h"

#include <gtest/gtest.h>

namespace k730 {
namespace {

TEST(Trace, LineHoldsTimePortDirectionAndHexBytes) {
  const uint8_t frame[] = {0x00, 0x78, 0xF0, 0x7E};
  EXPECT_EQ(FormatTraceLine(12345, "COM7", TraceDirection::ToHandset, frame, 4, 100),
            "12.345 COM7 > 4 00 78 F0 7E\n");
  EXPECT_EQ(FormatTraceLine(5, "palm3", TraceDirection::FromHandset, frame, 4, 2),
            "0.005 palm3 < 4 00 78 ...(+2)\n");
}

}  // namespace
}  // namespace k730
