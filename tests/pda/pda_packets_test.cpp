#include "pda/pda_packets.h"

#include <gtest/gtest.h>

#include "pda_fakes.h"

namespace k730 {
namespace {

using test::FakeTransport;
using test::Response;
using test::Value;

class PdaPacketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port.Open("d", kPalmCreatorId), 1); }
  FakeTransport transport;
  PalmUsbPort port{&transport};
};

TEST(PacketChecksum, SumsBytesFromStartAndWraps) {
  const uint8_t abc[] = {0x61, 0x62, 0x63};
  EXPECT_EQ(PacketChecksum(0, abc, 3), 0x126u);
  EXPECT_EQ(PacketChecksum(0xFFFFFFFF, abc, 1), 0x60u);
  EXPECT_EQ(PacketChecksum(0, nullptr, 0), 0u);
}

TEST_F(PdaPacketTest, RamEndIsTwelveBytes) {
  ASSERT_TRUE(SendCommandPacket(port, RAM_END, 0, nullptr));
  EXPECT_EQ(transport.sends.at(0), (std::vector<uint8_t>{0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PdaPacketTest, PacketVersionIsSixteenBytes) {
  const uint8_t nine[4] = {9, 0, 0, 0};
  ASSERT_TRUE(SendCommandPacket(port, PACKET_VER, 4, nine));
  EXPECT_EQ(transport.sends.at(0),
            (std::vector<uint8_t>{0xF3, 0, 0, 0, 4, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0}));
}

TEST_F(PdaPacketTest, DlModeForTarget6CarriesChecksum6) {
  const uint8_t six[4] = {6, 0, 0, 0};
  ASSERT_TRUE(SendCommandPacket(port, DL_MODE, 4, six));
  const auto& p = transport.sends.at(0);
  EXPECT_EQ(ReadU32LE(&p[0]), DL_MODE);
  EXPECT_EQ(ReadU32LE(&p[8]), 6u);
}

TEST_F(PdaPacketTest, FullChunkIsOnePacketOf4096Bytes) {
  std::vector<uint8_t> payload(kMaxPacketPayload, 0xFF);
  ASSERT_TRUE(SendCommandPacket(port, RAM_DATA, kMaxPacketPayload, payload.data()));
  const auto& p = transport.sends.at(0);
  ASSERT_EQ(p.size(), 4096u);
  EXPECT_EQ(ReadU32LE(&p[4]), 4084u);
  EXPECT_EQ(ReadU32LE(&p[8]), 4084u * 255u);
}

TEST_F(PdaPacketTest, OverlongPayloadAndShortSendFail) {
  std::vector<uint8_t> payload(kMaxPacketPayload + 1);
  EXPECT_FALSE(SendCommandPacket(port, RAM_DATA, kMaxPacketPayload + 1, payload.data()));
  EXPECT_EQ(transport.sendCalls, 0);
  transport.failSendAt = {0};
  EXPECT_FALSE(SendCommandPacket(port, RAM_END, 0, nullptr));
}

TEST_F(PdaPacketTest, GoodResponseCarriesItsValue) {
  transport.Push(Response(1, {0x64, 0, 0, 0}));
  uint8_t value[4] = {};
  uint32_t length = 99;
  ASSERT_TRUE(ReceiveResponse(port, value, sizeof value, &length));
  EXPECT_EQ(ReadU32LE(value), 100u);
  EXPECT_EQ(length, 4u);
}

TEST_F(PdaPacketTest, EmptyResponseNeedsChecksumZero) {
  uint8_t value[4] = {};
  transport.Push(Response(1, {}));
  EXPECT_TRUE(ReceiveResponse(port, value, sizeof value));
  transport.Push(Response(1, {}, 1));
  EXPECT_FALSE(ReceiveResponse(port, value, sizeof value));
}

TEST_F(PdaPacketTest, StatusOrChecksumFailureStillCopiesTheData) {
  uint8_t value[4] = {};
  transport.Push(Response(0, Value(42)));
  EXPECT_FALSE(ReceiveResponse(port, value, sizeof value));
  EXPECT_EQ(ReadU32LE(value), 42u);
  transport.Push(Response(1, Value(43), 5));
  EXPECT_FALSE(ReceiveResponse(port, value, sizeof value));
  EXPECT_EQ(ReadU32LE(value), 43u);
}

TEST_F(PdaPacketTest, ShortReceiveFailsWithoutTouchingDestination) {
  auto r = Response(1, Value(7));
  r.pop_back();  // 29 bytes
  transport.Push(r);
  uint8_t value[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_FALSE(ReceiveResponse(port, value, sizeof value));
  EXPECT_EQ(ReadU32LE(value), 0xAAAAAAAAu);
}

TEST_F(PdaPacketTest, LengthBeyondResponseOrDestinationIsRefusedUncopied) {
  uint8_t value[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  // 8 data bytes into a 4-byte destination.
  transport.Push(Response(1, {1, 2, 3, 4, 5, 6, 7, 8}));
  uint32_t length = 99;
  EXPECT_FALSE(ReceiveResponse(port, value, sizeof value, &length));
  EXPECT_EQ(ReadU32LE(value), 0xAAAAAAAAu);
  EXPECT_EQ(length, 0u);

  // A length field of 19, more than a 30-byte response can carry.
  auto r = Response(1, {});
  WriteU32LE(&r[4], 19);
  transport.Push(r);
  uint8_t big[64];
  std::memset(big, 0xAA, sizeof big);
  EXPECT_FALSE(ReceiveResponse(port, big, sizeof big));
  EXPECT_EQ(big[0], 0xAA);

  // 18 bytes fit a 30-byte destination.
  transport.Push(Response(1, std::vector<uint8_t>(18, 1)));
  EXPECT_TRUE(ReceiveResponse(port, big, 30));
}

}  // namespace
}  // namespace k730
