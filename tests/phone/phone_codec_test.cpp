#include "phone/phone_frame_codec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace k730 {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAreArray;

Bytes Frame(const PhoneFrameCodec& codec, const Bytes& payload, int style) {
  Bytes out(MaxFrameLength(payload.size()));
  out.resize(
      codec.BuildFrame(out.data(), payload.data(), static_cast<uint16_t>(payload.size()), style));
  return out;
}

template <typename Builder>
Bytes Built(Builder build) {
  Bytes out(kFrameBufferSize);
  out.resize(build(out.data()));
  return out;
}

TEST(Crc16, CheckValueAndTable) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc16::Compute(digits, sizeof digits), 0x906E);
  EXPECT_EQ(Crc16::Compute(nullptr, 0), 0x0000);
  // The table is the reflected-polynomial remainder of each index.
  for (int i = 0; i < 256; ++i) {
    uint16_t r = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : r >> 1;
    ASSERT_EQ(Crc16::Table()[i], r) << i;
  }
}

TEST(PhoneFrameCodec, CommandFramesWithAndWithoutTheLeadByte) {
  PhoneFrameCodec codec;
  codec.SetNoLeadingFlag(1);
  EXPECT_THAT(Built([&](uint8_t* o) { return codec.BuildVersion(o); }),
              ElementsAreArray(Bytes{0x00, 0x78, 0xF0, 0x7E}));
  EXPECT_THAT(Built([&](uint8_t* o) { return codec.BuildOffline(o); }),
              ElementsAreArray(Bytes{0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}));
  EXPECT_THAT(Built([&](uint8_t* o) { return codec.BuildDload(o); }),
              ElementsAreArray(Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
  codec.SetNoLeadingFlag(0);
  EXPECT_THAT(Built([&](uint8_t* o) { return codec.BuildVersion(o); }),
              ElementsAreArray(Bytes{0x7F, 0x00, 0x78, 0xF0, 0x7E}));
}

TEST(PhoneFrameCodec, FlaggedFramesIgnoreTheOption) {
  for (int option : {0, 1}) {
    PhoneFrameCodec codec;
    codec.SetNoLeadingFlag(option);
    EXPECT_THAT(Built([&](uint8_t* o) { return codec.BuildStart2(o); }),
                ElementsAreArray(Bytes{0x7E, 0xAA, 0x28, 0xFA, 0x7E}));
    EXPECT_THAT(Built([&](uint8_t* o) { return codec.BuildCopy(o); }),
                ElementsAreArray(Bytes{0x7E, 0xBB, 0x01, 0x14, 0x00, 0x00, 0x50, 0x2C, 0x7E}));
    // The CRC's low byte is 0x7F and goes out stuffed.
    EXPECT_THAT(
        Built([&](uint8_t* o) { return codec.BuildJump(o); }),
        ElementsAreArray(Bytes{0x7E, 0xCC, 0x01, 0x14, 0x00, 0x00, 0x7D, 0x5F, 0x09, 0x7E}));
  }
}

TEST(PhoneFrameCodec, ReservedBytesAreStuffedAndCrcIsOverTheUnstuffedPayload) {
  PhoneFrameCodec codec;
  const Bytes payload{0x7E, 0x7D, 0x7F, 0x7C, 0x80};
  const Bytes frame = Frame(codec, payload, Flagged);
  const uint16_t crc = Crc16::Compute(payload.data(), payload.size());
  Bytes expected{0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x5F, 0x7C, 0x80};
  for (uint8_t b : {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}) {
    if (IsReservedByte(b)) {
      expected.push_back(0x7D);
      expected.push_back(b ^ 0x20);
    } else {
      expected.push_back(b);
    }
  }
  expected.push_back(0x7E);
  EXPECT_THAT(frame, ElementsAreArray(expected));
  EXPECT_FALSE(IsReservedByte(0x7C));
  EXPECT_FALSE(IsReservedByte(0x80));
}

TEST(PhoneFrameCodec, EmptyPayloadAndWorstCase) {
  PhoneFrameCodec codec;
  EXPECT_THAT(Frame(codec, {}, Flagged), ElementsAreArray(Bytes{0x7E, 0x00, 0x00, 0x7E}));
  codec.SetNoLeadingFlag(1);
  EXPECT_THAT(Frame(codec, {}, Command), ElementsAreArray(Bytes{0x00, 0x00, 0x7E}));

  // Every byte reserved: 1 + 2062 + up to 4 + 1, and never beyond the bound.
  const Bytes all(kWritePayloadSize, 0x7E);
  const Bytes frame = Frame(codec, all, Flagged);
  EXPECT_LE(frame.size(), 2068u);
  EXPECT_GE(frame.size(), 2066u);
  EXPECT_EQ(MaxFrameLength(kWritePayloadSize), 2068u);
  EXPECT_GE(kFrameBufferSize, 2068u);
}

TEST(PhoneFrameCodec, RawFrames) {
  EXPECT_THAT(Built(PhoneFrameCodec::BuildAutotest),
              ElementsAreArray(Bytes{0x7F, 0xAA, 0xDD, 0x7E}));
  EXPECT_THAT(Built(PhoneFrameCodec::BuildSuspend),
              ElementsAreArray(Bytes{0x7F, 0xAA, 0x1F, 0x00, 0x7E}));
  EXPECT_THAT(Built(PhoneFrameCodec::BuildSio2dm), ElementsAreArray(Bytes{0x7F, 0xAA, 0x24, 0x7E}));
  EXPECT_THAT(Built(PhoneFrameCodec::BuildRestart),
              ElementsAreArray(Bytes{0x7F, 0xAA, 0x3F, 0x00, 0x7E}));
}

TEST(PhoneFrameCodec, PayloadsOfTheParameterisedCommands) {
  PhoneFrameCodec codec;
  // DPRAM_WRT carries the low byte of the port number.
  EXPECT_EQ(Built([&](uint8_t* o) { return codec.BuildDpramWrt(o, 0x104); }),
            Frame(codec, {0xDA, 0xD2, 0x04}, Flagged));
  EXPECT_EQ(Built([&](uint8_t* o) { return codec.BuildErase(o, 0x10000, 0x1F0000); }),
            Frame(codec, {0xEE, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x1F, 0x00}, Flagged));

  Bytes data(kWriteDataSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 0x7D);
  Bytes payload{0xDD, 0x00, 0xFC, 0x1F, 0x00, 0x00, 0x04};
  payload.insert(payload.end(), data.begin(), data.end());
  const Bytes frame = Built([&](uint8_t* o) { return codec.BuildWrite(o, 0x1FFC00, data.data()); });
  EXPECT_EQ(frame, Frame(codec, payload, Flagged));
}

TEST(PhoneFrameCodec, WriteFrameOfPlainDataIs1035Bytes) {
  PhoneFrameCodec codec;
  const Bytes data(kWriteDataSize, 0x11);
  const Bytes frame = Built([&](uint8_t* o) { return codec.BuildWrite(o, 0x10000, data.data()); });
  const uint8_t* crc = frame.data() + frame.size() - 3;
  // 1035 unless the CRC itself needs stuffing.
  EXPECT_EQ(frame.size(),
            1035u + (IsReservedByte(crc[0]) ? 1 : 0) + (IsReservedByte(crc[1]) ? 1 : 0));
}

TEST(ReplyCode, FlagLedAndBareReplies) {
  const uint8_t ack[] = {0x02, 0x6A, 0xD3, 0x7E};
  const uint8_t flaggedAck[] = {0x7E, 0x02, 0x6A, 0xD3, 0x7E};
  const uint8_t leadRefusal[] = {0x7F, 0x03};
  const uint8_t loneFlag[] = {0x7E};
  EXPECT_EQ(ReplyCode(ack, sizeof ack), 0x02);
  EXPECT_EQ(ReplyCode(flaggedAck, sizeof flaggedAck), 0x02);
  EXPECT_EQ(ReplyCode(leadRefusal, sizeof leadRefusal), 0x03);
  EXPECT_EQ(ReplyCode(loneFlag, sizeof loneFlag), 0x00);
  EXPECT_EQ(ReplyCode(ack, 0), 0x00);
}

}  // namespace
}  // namespace k730
