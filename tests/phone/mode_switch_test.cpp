#include "phone/mode_switch.h"

#include <gtest/gtest.h>

#include "phone_test_support.h"
#include "sim/phone_sim.h"

namespace k730 {
namespace {

using Bytes = std::vector<uint8_t>;

class ModeSwitchTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  test::ScopedPortDir portDir_{dir_.Path()};
};

TEST_F(ModeSwitchTest, FramesArePaddedToTheNextMultipleOfFour) {
  test::ScriptedPeer peer(dir_.Path(), 5);
  // Frames as the peer splits them at flags: the third exchange's leading
  // flag closes the second's tail, so four answers cover three exchanges.
  peer.Script({{'O', 'K'}, {'O', 'K'}, {'O', 'K'}, {'O', 'K'}});
  peer.Serve();
  ModeSwitch modeSwitch;
  ASSERT_EQ(modeSwitch.Port().Open(PhoneSettingsString(5)), 1);
  PhoneLink& link = modeSwitch.Link();

  const Bytes start2{0x7E, 0xAA, 0x28, 0xFA, 0x7E};
  std::copy(start2.begin(), start2.end(), link.Frame());
  link.Frame()[5] = 0xEE;  // stale bytes after the frame must not leak out
  EXPECT_EQ(modeSwitch.SwitchExchange(5, 1, 500, 10), 2);
  std::copy(start2.begin(), start2.end() - 1, link.Frame());
  std::copy(start2.begin(), start2.end() - 1, link.Frame() + 4);  // an 8-byte frame
  EXPECT_EQ(modeSwitch.SwitchExchange(8, 1, 500, 10), 2);
  const size_t jump = modeSwitch.Codec().BuildJump(link.Frame());
  ASSERT_EQ(jump, 10u);
  EXPECT_EQ(modeSwitch.SwitchExchange(10, 1, 500, 10), 2);

  Bytes expected = start2;
  expected.insert(expected.end(), {0, 0, 0});
  expected.insert(expected.end(), {0x7E, 0xAA, 0x28, 0xFA, 0x7E, 0xAA, 0x28, 0xFA, 0, 0, 0, 0});
  expected.insert(expected.end(),
                  {0x7E, 0xCC, 0x01, 0x14, 0x00, 0x00, 0x7D, 0x5F, 0x09, 0x7E, 0, 0});
  EXPECT_TRUE(test::WaitUntil([&] { return peer.AllReceived().size() >= expected.size(); }));
  EXPECT_EQ(peer.AllReceived(), expected);
}

TEST_F(ModeSwitchTest, AcceptanceLooksAtOkOrTheSecondByte) {
  test::ScriptedPeer peer(dir_.Path(), 6);
  peer.Script({{0x7E, 0x02, 0x6A, 0xD3, 0x7E},
               {0x02, 0x6A, 0xD3, 0x7E},
               {'O', 'K', '\r', '\n'},
               {0x7E, 0x05, 0x7E}});
  peer.Serve();
  ModeSwitch modeSwitch;
  ASSERT_EQ(modeSwitch.Port().Open(PhoneSettingsString(6)), 1);
  const uint32_t length =
      static_cast<uint32_t>(modeSwitch.Codec().BuildStart2(modeSwitch.Link().Frame()));
  EXPECT_EQ(modeSwitch.SwitchExchange(length, 1, 1000, 10), 2);
  // The bare acknowledgement's second byte is its CRC: not accepted.
  EXPECT_EQ(modeSwitch.SwitchExchange(length, 1, 1000, 10), 0x6A);
  EXPECT_EQ(modeSwitch.SwitchExchange(length, 1, 1000, 10), 2);
  EXPECT_EQ(modeSwitch.SwitchExchange(length, 1, 1000, 10), 0x05);
  EXPECT_EQ(peer.FramesReceived(), 4);
}

TEST_F(ModeSwitchTest, ButtonIndexPicksThePortAndTheProcedureLeavesThePhoneInDownloadMode) {
  // The AT replies are read after fixed waits: give the simulator room to answer.
  test::ScopedTimeScale scale(0.01);
  sim::PhoneSimConfig config;
  config.portDir = dir_.Path();
  config.portNumber = 4;
  sim::PhoneSim phone(config);
  std::string error;
  ASSERT_TRUE(phone.Start(error)) << error;

  ModeSwitch modeSwitch;
  modeSwitch.SetBasePort(3);
  EXPECT_EQ(kSwitchButtons[1], 1075);
  EXPECT_EQ(modeSwitch.SwitchPort(1), 1);
  EXPECT_EQ(phone.CurrentState(), sim::PhoneProtocol::State::Download);
  EXPECT_EQ(phone.Restarts(), 1);   // AT$USBDN re-attached it once
  EXPECT_EQ(phone.DpramPort(), 4);  // DA D2 04
  EXPECT_EQ(phone.BadFrames(), 0);  // the padding was no frame
  EXPECT_FALSE(modeSwitch.Port().IsOpen());
}

TEST_F(ModeSwitchTest, NoPhoneOnThePortEndsQuietlyWithThePortClosed) {
  ModeSwitch modeSwitch;
  modeSwitch.SetBasePort(20);
  EXPECT_EQ(modeSwitch.SwitchPort(0), 0);
  EXPECT_FALSE(modeSwitch.Port().IsOpen());
  EXPECT_EQ(modeSwitch.SwitchPort(8), 0);  // no such button
}

TEST_F(ModeSwitchTest, PhoneThatIgnoresAtCommandsIsLeftAlone) {
  sim::PhoneSimConfig config;
  config.portDir = dir_.Path();
  config.portNumber = 9;
  config.emergency = true;  // already in download mode: no AT answers
  sim::PhoneSim phone(config);
  std::string error;
  ASSERT_TRUE(phone.Start(error)) << error;
  ModeSwitch modeSwitch;
  modeSwitch.SetBasePort(9);
  EXPECT_EQ(modeSwitch.SwitchPort(0), 0);
  EXPECT_EQ(phone.Restarts(), 0);
  EXPECT_FALSE(modeSwitch.Port().IsOpen());
}

}  // namespace
}  // namespace k730
