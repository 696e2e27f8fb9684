#include "pda/palm_usb_port.h"

#include <gtest/gtest.h>

#include "pda/palm_device_map.h"
#include "pda_fakes.h"

namespace k730 {
namespace {

using test::FakeTransport;

TEST(PalmUsbPort, NewPortIsClosedAndTouchesNothing) {
  FakeTransport transport;
  PalmUsbPort port(&transport);
  EXPECT_EQ(port.Handle(), -1);
  uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(port.Send(data, 4), 0u);
  EXPECT_EQ(port.Receive(data, 4), 0u);
  EXPECT_EQ(transport.sendCalls, 0);
  EXPECT_EQ(transport.receiveCalls, 0);
}

TEST(PalmUsbPort, OpenRecordsNameAndSetsZeroTimeouts) {
  FakeTransport transport;
  transport.openResult = 12;
  PalmUsbPort port(&transport);
  const std::string name = SimulatedPalmDeviceName(7);
  EXPECT_EQ(port.Open(name, kPalmCreatorId), 1);
  EXPECT_EQ(port.Handle(), 12);
  EXPECT_EQ(port.DeviceName(), name);
  EXPECT_EQ(transport.openedCreator, 0x70737973u);
  EXPECT_EQ(transport.timeoutHandle, 12);
  EXPECT_EQ(transport.timeoutValues[0], 0u);
  EXPECT_EQ(transport.timeoutValues[1], 0u);
}

TEST(PalmUsbPort, FailedOpenKeepsNameAndSetsNoTimeouts) {
  FakeTransport transport;
  transport.openResult = -1;
  PalmUsbPort port(&transport);
  EXPECT_EQ(port.Open("gone", kPalmCreatorId), 0);
  EXPECT_EQ(port.Handle(), -1);
  EXPECT_EQ(port.DeviceName(), "gone");
  EXPECT_EQ(transport.setTimeoutCalls, 0);
}

TEST(PalmUsbPort, OverlongNameIsCutTo259Characters) {
  FakeTransport transport;
  PalmUsbPort port(&transport);
  port.Open(std::string(400, 'x'), kPalmCreatorId);
  EXPECT_EQ(port.DeviceName().size(), 259u);
  EXPECT_EQ(transport.openedName.size(), 259u);
}

TEST(PalmUsbPort, ShortSendReturnsTheShortCount) {
  FakeTransport transport;
  transport.failSendAt = {0};
  PalmUsbPort port(&transport);
  ASSERT_EQ(port.Open("d", kPalmCreatorId), 1);
  uint8_t data[16] = {};
  EXPECT_EQ(port.Send(data, 16), 15u);
  EXPECT_EQ(port.Send(data, 16), 16u);
}

TEST(PalmUsbPort, RefusedCloseKeepsThePortUsable) {
  FakeTransport transport;
  PalmUsbPort port(&transport);
  ASSERT_EQ(port.Open("d", kPalmCreatorId), 1);
  transport.closeResult = 0;
  EXPECT_EQ(port.Close(), 0);
  EXPECT_TRUE(port.IsOpen());
  transport.Push({1, 2, 3});
  uint8_t buffer[3];
  EXPECT_EQ(port.Receive(buffer, 3), 3u);

  transport.closeResult = 1;
  EXPECT_EQ(port.Close(), 1);
  EXPECT_EQ(port.Handle(), -1);
  transport.Push({1, 2, 3});
  EXPECT_EQ(port.Receive(buffer, 3), 0u);
  EXPECT_EQ(transport.receiveCalls, 1);
}

TEST(PalmUsbPort, ReopeningClosesTheEarlierHandle) {
  FakeTransport transport;
  PalmUsbPort port(&transport);
  transport.openResult = 3;
  ASSERT_EQ(port.Open("d", kPalmCreatorId), 1);
  transport.openResult = 4;
  ASSERT_EQ(port.Open("d", kPalmCreatorId), 1);
  EXPECT_EQ(transport.closedHandles, std::vector<int>{3});
  EXPECT_EQ(port.Handle(), 4);
}

TEST(PalmUsbPort, WithoutTransportNothingOpens) {
  PalmUsbPort port;
  EXPECT_EQ(port.Open("d", kPalmCreatorId), 0);
  EXPECT_EQ(port.Close(), 0);
}

}  // namespace
}  // namespace k730
