// Runs as a program of its own: the trace file is chosen at the first trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/trace.h"
#include "pda/palm_device_map.h"
#include "pda/pda_packets.h"
#include "pda_fakes.h"

namespace k730 {
namespace {

TEST(PalmTrace, EveryPacketAndResponseIsOneLine) {
  const std::string file = testing::TempDir() + "k730_pda_trace_test.log";
  const char* path = file.c_str();
  std::remove(path);
  ::setenv("K730_TRACE", path, 1);
  ASSERT_TRUE(TraceEnabled());

  test::FakeTransport transport;
  PalmUsbPort port(&transport);
  ASSERT_EQ(port.Open(SimulatedPalmDeviceName(7), kPalmCreatorId), 1);
  const uint8_t nine[4] = {9, 0, 0, 0};
  ASSERT_TRUE(SendCommandPacket(port, PACKET_VER, 4, nine));
  std::vector<uint8_t> chunk(kMaxPacketPayload, 0xAB);
  ASSERT_TRUE(SendCommandPacket(port, RAM_DATA, kMaxPacketPayload, chunk.data()));
  transport.Push(test::Response(1, test::Value(100)));
  uint8_t value[4];
  ASSERT_TRUE(ReceiveResponse(port, value, sizeof value));

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" palm7 > 16 F3 00 00 00 04 00 00 00 09 00 00 00 09 00 00 00"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" palm7 > 4096 F1 00 00 00 F4 0F"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("...(+4064)"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" palm7 < 30 01 00 00 00 04 00 00 00 64 00 00 00 64 00 00 00"),
            std::string::npos)
      << lines[2];
}

}  // namespace
}  // namespace k730
