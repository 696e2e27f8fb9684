#include <gtest/gtest.h>

#include "phone/phone_frame_codec.h"
#include "phone/phone_link.h"
#include "phone_test_support.h"

namespace k730 {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ScriptedPeer;

const Bytes kBareAck{0x02, 0x6A, 0xD3, 0x7E};
const Bytes kFlaggedAck{0x7E, 0x02, 0x6A, 0xD3, 0x7E};

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<ScriptedPeer>(dir_.Path(), 7);
    port_.Setup(2048, 2048);
    ASSERT_EQ(port_.Open(PhoneSettingsString(7)), 1);
    codec_.SetNoLeadingFlag(1);
  }
  uint8_t Run(std::vector<Bytes> script, int attempts) {
    peer_->Script(std::move(script));
    peer_->Serve();
    const size_t length = codec_.BuildVersion(link_.Frame());
    return link_.Exchange(static_cast<uint32_t>(length), attempts, kCommandSettleMs);
  }

  test::TempDir dir_;
  test::ScopedPortDir portDir_{dir_.Path()};
  std::unique_ptr<ScriptedPeer> peer_;
  SerialPort port_;
  PhoneFrameCodec codec_;
  PhoneLink link_{port_};
};

// The acceptance table: what the first bytes of a reply mean.
struct Acceptance {
  const char* name;
  Bytes reply;
  uint8_t result;
};

class ExchangeAcceptance : public ExchangeTest, public ::testing::WithParamInterface<Acceptance> {};

TEST_P(ExchangeAcceptance, FirstReplyDecides) {
  const Acceptance& a = GetParam();
  // A refused first reply is followed by silence, so the result is that reply's code.
  EXPECT_EQ(Run({a.reply}, 1), a.result);
  EXPECT_EQ(peer_->FramesReceived(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExchangeAcceptance,
    ::testing::Values(Acceptance{"BareAck", kBareAck, 2}, Acceptance{"FlaggedAck", kFlaggedAck, 2},
                      Acceptance{"LeadAck", {0x7F, 0x02, 0x11, 0x22, 0x7E}, 2},
                      Acceptance{"RepeatedFlag", {0x7E, 0x7E, 0x10}, 2},
                      Acceptance{"RepeatedLead", {0x7F, 0x7F}, 2},
                      Acceptance{"BareRefusalCodeIsFirstByte", {0x03, 0x12, 0x34, 0x7E}, 2},
                      Acceptance{"FlaggedRefusal", {0x7E, 0x03, 0xAA, 0x7E}, 0x03},
                      Acceptance{"LeadRefusal", {0x7F, 0x13}, 0x13},
                      Acceptance{"LoneFlag", {0x7E}, 0x00}),
    [](const ::testing::TestParamInfo<Acceptance>& info) { return info.param.name; });

TEST_F(ExchangeTest, RefusalInEveryAttemptReturnsTheLastCodeAfterAllWrites) {
  std::vector<Bytes> script(9, Bytes{0x7E, 0x03, 0x00, 0x7E});
  script.push_back({0x7E, 0x09, 0x7E});
  EXPECT_EQ(Run(script, kCommandAttempts), 0x09);
  EXPECT_EQ(peer_->FramesReceived(), 10);
}

TEST_F(ExchangeTest, RefusalThenAcknowledgeIsAcceptedOnTheSecondAttempt) {
  EXPECT_EQ(Run({{0x7E, 0x05, 0x7E}, kFlaggedAck, kFlaggedAck}, kCommandAttempts), 2);
  EXPECT_EQ(peer_->FramesReceived(), 2);
  EXPECT_EQ(link_.ReplyLength(), kFlaggedAck.size());
}

TEST_F(ExchangeTest, NoReplyGivesZeroAfterEveryAttemptWasWritten) {
  EXPECT_EQ(Run({}, 2), 0);
  EXPECT_EQ(peer_->FramesReceived(), 2);
  // Each attempt wrote the whole frame again.
  for (const Bytes& frame : peer_->Frames()) EXPECT_EQ(frame, (Bytes{0x00, 0x78, 0xF0}));
}

TEST_F(ExchangeTest, SilenceThenAnswerIsAcceptedLater) {
  EXPECT_EQ(Run({{}, {}, kBareAck}, kCommandAttempts), 2);
  EXPECT_EQ(peer_->FramesReceived(), 3);
}

TEST_F(ExchangeTest, OverlongReplyFillsTheBufferAndIsNotTakenForTheNextReply) {
  Bytes flood(1500, 0x41);
  EXPECT_EQ(Run({flood, {0x7E, 0x04, 0x7E}}, 1), 2);  // first byte is no flag: accepted
  EXPECT_EQ(link_.ReplyLength(), kReplyBufferSize);
  const size_t length = codec_.BuildVersion(link_.Frame());
  // Had the excess stayed queued, this would read 'A's and accept.
  EXPECT_EQ(link_.Exchange(static_cast<uint32_t>(length), 1, kCommandSettleMs), 0x04);
}

TEST_F(ExchangeTest, ClosedPortMovesNothingAndReturnsZero) {
  port_.Close();
  const size_t length = codec_.BuildVersion(link_.Frame());
  EXPECT_EQ(link_.Exchange(static_cast<uint32_t>(length), 2, kCommandSettleMs), 0);
  EXPECT_EQ(peer_->FramesReceived(), 0);
}

TEST_F(ExchangeTest, RawProbeSucceedsAtTheFirstAnsweredAttempt) {
  peer_->Script({{}, {}, {0x01}});
  peer_->Serve();
  const size_t length = PhoneFrameCodec::BuildAutotest(link_.Frame());
  EXPECT_EQ(link_.RawProbe(static_cast<uint32_t>(length)), 1);
  EXPECT_GE(peer_->FramesReceived(), 3);
}

TEST_F(ExchangeTest, RawProbeGivesUpAfterFiveSilentAttempts) {
  peer_->Serve();
  const size_t length = PhoneFrameCodec::BuildSio2dm(link_.Frame());
  EXPECT_EQ(link_.RawProbe(static_cast<uint32_t>(length)), 0);
  // Nothing answers, so the peer may still be reading the last frame when the
  // probe gives up; a sixth would have been written before it returned.
  EXPECT_TRUE(test::WaitUntil([&] { return peer_->FramesReceived() >= 5; }, 10));
  EXPECT_EQ(peer_->FramesReceived(), 5);
}

TEST_F(ExchangeTest, StopCutsTheAttemptsShort) {
  StopSignal stop;
  PhoneLink link(port_, &stop);
  stop.Request();
  peer_->Serve();
  const size_t length = codec_.BuildVersion(link.Frame());
  EXPECT_EQ(link.Exchange(static_cast<uint32_t>(length), kCommandAttempts, kCommandSettleMs), 0);
  EXPECT_EQ(link.RawProbe(static_cast<uint32_t>(length)), 0);
  EXPECT_EQ(peer_->FramesReceived(), 0);
}

}  // namespace
}  // namespace k730
