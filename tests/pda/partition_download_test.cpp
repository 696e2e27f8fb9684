#include "pda/partition_download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "core/clock.h"
#include "core/image_view.h"
#include "pda_fakes.h"

namespace k730 {
namespace {

using test::FakeConsole;
using test::FakeHandheld;
using test::FakeTransport;
using test::Response;
using test::Value;
using ::testing::ElementsAre;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 251);
  return data;
}

class PdaDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port.Open("d", kPalmCreatorId), 1); }

  int Run(const std::vector<uint8_t>& part, int target) {
    view.Attach(part.data(), static_cast<uint32_t>(part.size()));
    PdaJob job;
    job.slot = 3;
    job.console = &console;
    job.port = &port;
    job.view = &view;
    job.targetCode = target;
    job.deviceMode = 2;
    return DownloadPartition(job);
  }
  size_t Lines(const std::string& text) const { return console.writer.Count(text); }

  FakeConsole console;
  FakeTransport transport;
  FakeHandheld handheld{transport};
  PalmUsbPort port{&transport};
  ImageView view;
};

TEST_F(PdaDownloadTest, SuccessfulPartLogsEveryStepAndArrivesWhole) {
  const auto part = Pattern(3 * 4084 + 100);
  handheld.afterRamEnd = {Response(1, Value(10)), Response(1, Value(50)), Response(1, Value(100)),
                          Response(1, Value(kFlashWriteDone))};
  EXPECT_EQ(Run(part, 6), 1);
  EXPECT_EQ(handheld.ram, part);
  EXPECT_THAT(handheld.Commands(),
              ElementsAre(DL_MODE, PACKET_VER, RAM_DATA, RAM_DATA, RAM_DATA, RAM_DATA, RAM_END));
  EXPECT_EQ(ReadU32LE(handheld.packets[0].payload.data()), 6u);
  EXPECT_EQ(ReadU32LE(handheld.packets[1].payload.data()), 9u);
  EXPECT_THAT(console.writer.Lines(),
              ElementsAre("[PDA:3]Transmit Dl Mode OK\r\n", "[PDA:3]Packet Version is 9\r\n",
                          "[PDA:3]RAM Download Start\r\n", "[PDA:3]RAM Download OK\r\n",
                          "[PDA:3]FLASH Download Start\r\n", "[PDA:3]FLASH Download OK\r\n"));
  // RAM: after chunk 1 only, then 100; flash: 0, 10, 50, 100, then 100 at the end.
  EXPECT_THAT(console.writer.Percents(), ElementsAre(0, 100, 0, 10, 50, 100, 100));
}

TEST_F(PdaDownloadTest, ExactChunkAndEmptyPart) {
  EXPECT_EQ(Run(Pattern(4084), 0), 1);
  EXPECT_THAT(console.writer.Percents(), ElementsAre(0, 100, 0, 100));
  EXPECT_THAT(handheld.Commands(), ElementsAre(DL_MODE, PACKET_VER, RAM_DATA, RAM_END));

  FakeConsole empty;
  FakeTransport t2;
  FakeHandheld h2(t2);
  PalmUsbPort p2(&t2);
  p2.Open("d", kPalmCreatorId);
  std::vector<uint8_t> nothing;
  ImageView v2(nothing.data(), 0);
  PdaJob job{0, &empty, &p2, &v2, 2, 2, nullptr};
  EXPECT_EQ(DownloadPartition(job), 1);
  EXPECT_THAT(h2.Commands(), ElementsAre(DL_MODE, PACKET_VER, RAM_END));
  EXPECT_THAT(empty.writer.Percents(), ElementsAre(100, 0, 100));
}

TEST_F(PdaDownloadTest, ProgressCountsEachChunkAs4096Bytes) {
  const uint32_t length = 21 * 4084;
  EXPECT_EQ(Run(Pattern(length), 2), 1);
  // After chunk 1 (0) and chunk 21 (409,600 x 20 / L), then 100.
  const uint32_t at21 = static_cast<uint32_t>(409600ull * 20 / length);
  EXPECT_EQ(at21, 95u);
  EXPECT_THAT(console.writer.Percents(), ElementsAre(0, at21, 100, 0, 100));

  FakeConsole c2;
  FakeTransport t2;
  FakeHandheld h2(t2);
  PalmUsbPort p2(&t2);
  p2.Open("d", kPalmCreatorId);
  const auto part = Pattern(41 * 4084 + 1);
  ImageView v2(part.data(), static_cast<uint32_t>(part.size()));
  PdaJob job{0, &c2, &p2, &v2, 2, 2, nullptr};
  EXPECT_EQ(DownloadPartition(job), 1);
  const uint64_t l = part.size();
  EXPECT_THAT(c2.writer.Percents(),
              ElementsAre(0, 409600ull * 20 / l, 409600ull * 40 / l, 100, 0, 100));
}

TEST_F(PdaDownloadTest, ProgressDoesNotWrapOnTheLargestParts) {
  // 10,527 chunks: 409,600 per chunk passes 2^32 before the end.
  transport.record = false;
  handheld.keepRam = false;
  const std::vector<uint8_t> part(0x2900000, 0x5A);
  EXPECT_EQ(Run(part, 1), 1);
  const auto percents = console.writer.Percents();
  // The RAM phase's values (before the final 100, the flash 0 and 100) never fall.
  ASSERT_GE(percents.size(), 4u);
  for (size_t i = 1; i + 3 < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
  EXPECT_GE(percents[percents.size() - 4], 99u);
}

TEST_F(PdaDownloadTest, CapacityEqualToPartPassesOneLessFails) {
  const auto part = Pattern(5000);
  handheld.capacity = 5000;
  EXPECT_EQ(Run(part, 2), 1);
  EXPECT_TRUE(console.prompt.Messages().empty());

  FakeConsole c2;
  FakeTransport t2;
  FakeHandheld h2(t2);
  h2.capacity = 4999;
  PalmUsbPort p2(&t2);
  p2.Open("d", kPalmCreatorId);
  ImageView v2(part.data(), 5000);
  PdaJob job{1, &c2, &p2, &v2, 2, 2, nullptr};
  EXPECT_EQ(DownloadPartition(job), 0);
  EXPECT_THAT(c2.prompt.Messages(), ElementsAre("[ERROR] FileSize is Bigger than BDKSize"));
  EXPECT_THAT(h2.Commands(), ElementsAre(DL_MODE));
  EXPECT_THAT(c2.writer.Lines(), ElementsAre("[PDA:1]Transmit Dl Mode OK\r\n"));
}

TEST_F(PdaDownloadTest, CapacityAnswerWithoutDataMeansNoRoom) {
  transport.onSend = [this](const uint8_t* data, uint32_t) {
    if (ReadU32LE(data) == DL_MODE) transport.Push(Response(1, {}));
  };
  EXPECT_EQ(Run(Pattern(10), 2), 0);
  EXPECT_EQ(console.prompt.Messages().size(), 1u);
}

TEST_F(PdaDownloadTest, ElevenFailedSendsEndTheExchange) {
  transport.failAllSends = true;
  EXPECT_EQ(Run(Pattern(100), 2), 0);
  EXPECT_EQ(transport.sendCalls, 11);
  EXPECT_EQ(Lines("[PDA:3]Re Send Command1\r\n"), 11u);
  EXPECT_EQ(console.writer.Lines().size(), 11u);
}

TEST_F(PdaDownloadTest, TenFailedSendsAreTolerated) {
  for (int i = 0; i < 10; ++i) transport.failSendAt.insert(i);
  EXPECT_EQ(Run(Pattern(100), 2), 1);
  EXPECT_EQ(Lines("[PDA:3]Re Send Command1\r\n"), 10u);
}

TEST_F(PdaDownloadTest, TenLostResponsesAreToleratedEleventhFails) {
  // Receive 0 answers DL_MODE; 1..10 are the first chunk's answers, all lost.
  for (int i = 1; i <= 10; ++i) transport.failReceiveAt.insert(i);
  const auto part = Pattern(5000);
  EXPECT_EQ(Run(part, 2), 1);
  EXPECT_EQ(Lines("[PDA:3]Re Send Command2\r\n"), 10u);
  EXPECT_EQ(handheld.ram, part);
  // The first transmission is RAM_DATA, its ten resends RAM_DATA_AGAIN with the same bytes.
  const auto commands = handheld.Commands();
  ASSERT_EQ(commands.size(), 2u + 11 + 1 + 1);
  EXPECT_EQ(commands[2], RAM_DATA);
  for (int i = 3; i < 13; ++i) {
    EXPECT_EQ(commands[i], RAM_DATA_AGAIN);
    EXPECT_EQ(handheld.packets[i].payload, handheld.packets[2].payload);
  }
  EXPECT_EQ(commands[13], RAM_DATA);

  FakeConsole c2;
  FakeTransport t2;
  FakeHandheld h2(t2);
  for (int i = 1; i <= 11; ++i) t2.failReceiveAt.insert(i);
  PalmUsbPort p2(&t2);
  p2.Open("d", kPalmCreatorId);
  ImageView v2(part.data(), 5000);
  PdaJob job{0, &c2, &p2, &v2, 2, 2, nullptr};
  EXPECT_EQ(DownloadPartition(job), 0);
  EXPECT_EQ(c2.writer.Count("[PDA:0]Re Send Command2\r\n"), 11u);
  EXPECT_EQ(c2.writer.Lines().back(), "[PDA:0]Re Send Command2\r\n");
}

TEST_F(PdaDownloadTest, DlModeIsResentUnchanged) {
  transport.failReceiveAt = {0};
  EXPECT_EQ(Run(Pattern(10), 2), 1);
  EXPECT_EQ(handheld.Commands()[0], DL_MODE);
  EXPECT_EQ(handheld.Commands()[1], DL_MODE);
  EXPECT_EQ(handheld.packets[1].payload, handheld.packets[0].payload);
}

TEST_F(PdaDownloadTest, FailingResendsCountOnTheThirdCounter) {
  // DL_MODE's answer is lost, then every resend of it fails to go out.
  transport.failReceiveAt = {0};
  for (int i = 1; i <= 11; ++i) transport.failSendAt.insert(i);
  EXPECT_EQ(Run(Pattern(10), 2), 0);
  EXPECT_EQ(Lines("[PDA:3]Re Send Command2\r\n"), 1u);
  EXPECT_EQ(Lines("[PDA:3]Re Send Command3\r\n"), 11u);

  // The third counter starts again at 0 before every resend.
  FakeConsole c2;
  FakeTransport t2;
  FakeHandheld h2(t2);
  t2.failReceiveAt = {0, 1};
  for (int i = 1; i <= 10; ++i) t2.failSendAt.insert(i);   // 10 failures, then through
  for (int i = 12; i <= 21; ++i) t2.failSendAt.insert(i);  // 10 more after the next loss
  PalmUsbPort p2(&t2);
  p2.Open("d", kPalmCreatorId);
  const auto part = Pattern(10);
  ImageView v2(part.data(), 10);
  PdaJob job{0, &c2, &p2, &v2, 2, 2, nullptr};
  EXPECT_EQ(DownloadPartition(job), 1);
  EXPECT_EQ(c2.writer.Count("[PDA:0]Re Send Command3\r\n"), 20u);
}

TEST_F(PdaDownloadTest, PacketVersionResendsAreBounded) {
  // Send 0 is DL_MODE; every PACKET_VER send after it fails.
  for (int i = 1; i <= 40; ++i) transport.failSendAt.insert(i);
  EXPECT_EQ(Run(Pattern(10), 2), 0);
  EXPECT_EQ(transport.sendCalls, 12);
  EXPECT_EQ(console.writer.Lines().back(), "[ERR:3]Packet Version Send Fail\r\n");
  EXPECT_EQ(Lines("[PDA:3]RAM Download Start\r\n"), 0u);
}

TEST_F(PdaDownloadTest, PacketVersionFailuresWithinTheBoundAreSilent) {
  for (int i = 1; i <= 10; ++i) transport.failSendAt.insert(i);
  EXPECT_EQ(Run(Pattern(10), 2), 1);
  EXPECT_EQ(Lines("[PDA:3]Re Send Command1\r\n"), 0u);
}

TEST_F(PdaDownloadTest, FlashWriteFailureAndSilence) {
  handheld.afterRamEnd = {Response(1, Value(30)), Response(1, Value(kFlashWriteFailed))};
  EXPECT_EQ(Run(Pattern(10), 2), 0);
  EXPECT_EQ(console.writer.Lines().back(), "[ERROE]FLASH Write Failed\r\n");
  EXPECT_EQ(console.writer.Percents().back(), 30u);

  FakeConsole c2;
  FakeTransport t2;
  FakeHandheld h2(t2);
  h2.afterRamEnd = {Response(1, Value(20))};  // then nothing
  PalmUsbPort p2(&t2);
  p2.Open("d", kPalmCreatorId);
  const auto part = Pattern(10);
  ImageView v2(part.data(), 10);
  PdaJob job{0, &c2, &p2, &v2, 2, 2, nullptr};
  EXPECT_EQ(DownloadPartition(job), 0);
  EXPECT_EQ(c2.writer.Lines().back(), "[ERROR]GetResponse failed\r\n");
  EXPECT_EQ(c2.writer.Count("[PDA:0]Re Send Command2\r\n"), 0u);
}

TEST_F(PdaDownloadTest, DFormatServesHostFilesAndEndsWithZero) {
  std::vector<uint8_t> message(30, 0);
  message[0] = HF_MESSAGE;
  WriteU32BE(&message[1], 5 + 4);
  std::memcpy(&message[5], "hi\r\n", 4);
  std::vector<uint8_t> end(30, 0);
  end[0] = 0x99;
  handheld.afterRamEnd = {message, end};
  EXPECT_EQ(Run(Pattern(100), 4), 0);
  const auto lines = console.writer.Lines();
  EXPECT_THAT(lines, ElementsAre("[PDA:3]Transmit Dl Mode OK\r\n", "[PDA:3]Packet Version is 9\r\n",
                                 "[PDA:3]RAM Download Start\r\n", "[PDA:3]RAM Download OK\r\n",
                                 "[PDA:3]DFormat Start\r\n", "hi\r\n"));
  // The message went to slot 0, the rest to the job's slot.
  EXPECT_EQ(console.writer.LineSlots().back(), 0);
  EXPECT_EQ(transport.stream.back(), 0x00);
}

TEST_F(PdaDownloadTest, StopEndsTheChunkLoop) {
  StopSignal stop;
  stop.Request();
  const auto part = Pattern(10000);
  view.Attach(part.data(), 10000);
  PdaJob job{0, &console, &port, &view, 2, 2, &stop};
  EXPECT_EQ(DownloadPartition(job), 0);
  EXPECT_THAT(handheld.Commands(), ElementsAre(DL_MODE, PACKET_VER));
}

}  // namespace
}  // namespace k730
