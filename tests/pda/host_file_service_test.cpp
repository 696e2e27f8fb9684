#include "pda/host_file_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "../support/temp_dir.h"
#include "../support/test_files.h"
#include "core/file_access.h"
#include "pda_fakes.h"

namespace k730 {
namespace {

using test::FakeTransport;
using test::RecordingWriter;
using test::TempDir;
using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

Bytes Request(uint8_t code) {
  Bytes r(30, 0);
  r[0] = code;
  return r;
}

Bytes Message(const std::string& text, uint32_t lengthField = 0) {
  Bytes r = Request(HF_MESSAGE);
  WriteU32BE(&r[1], lengthField ? lengthField : static_cast<uint32_t>(5 + text.size()));
  std::memcpy(&r[5], text.data(), std::min<size_t>(text.size(), 25));
  return r;
}

Bytes OpenPiece(const std::string& piece, uint8_t mode, bool first, bool last,
                uint32_t lengthField = 0) {
  Bytes r = Request(HF_OPEN);
  WriteU32BE(&r[1], lengthField ? lengthField : static_cast<uint32_t>(8 + piece.size()));
  r[5] = mode;
  r[6] = last ? 1 : 0;
  r[7] = first ? 1 : 0;
  std::memcpy(&r[8], piece.data(), std::min<size_t>(piece.size(), 22));
  return r;
}

Bytes OnEntry(uint8_t code, uint8_t index) {
  Bytes r = Request(code);
  r[5] = index;
  return r;
}

Bytes ReadRequest(uint8_t index, uint32_t count) {
  Bytes r = OnEntry(HF_READ, index);
  WriteU32BE(&r[6], count);
  return r;
}

Bytes WriteRequest(uint8_t index, const std::string& data, uint32_t lengthField = 0) {
  Bytes r = OnEntry(HF_WRITE, index);
  WriteU32BE(&r[6], lengthField ? lengthField : static_cast<uint32_t>(10 + data.size()));
  std::memcpy(&r[10], data.data(), std::min<size_t>(data.size(), 20));
  return r;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class HostFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.Path().empty());
    ASSERT_EQ(port.Open("d", kPalmCreatorId), 1);
  }
  // Runs the service on the requests; it ends when they run out (short receive).
  Bytes Serve(const std::vector<Bytes>& requests) {
    for (const auto& r : requests) transport.Push(r);
    EXPECT_EQ(HostFileService(port, writer, table), 0);
    return transport.stream;
  }
  void MakeFile(const std::string& name, const std::string& data) {
    std::ofstream(dir.File(name), std::ios::binary) << data;
  }

  TempDir dir;
  HostFileTable table{dir.Path()};
  FakeTransport transport;
  PalmUsbPort port{&transport};
  RecordingWriter writer;
};

TEST_F(HostFileTest, NameInThreePiecesGetsOneIndexAndOpensAfterTheLast) {
  const Bytes replies =
      Serve({OpenPiece("fmt-", 4, true, false), OpenPiece("data", 4, false, false),
             OpenPiece(".bin", 4, false, true)});
  EXPECT_EQ(replies, (Bytes{1, 0, 1, 0, 1, 0}));
  EXPECT_TRUE(table.InUse(0));
  EXPECT_TRUE(std::filesystem::exists(dir.File("fmt-data.bin")));
}

TEST_F(HostFileTest, WriteRewindReadLengthAndClose) {
  const Bytes replies =
      Serve({OpenPiece("f.bin", 4, true, true), WriteRequest(0, "0123456789abcdefghij"),
             WriteRequest(0, "KL"), OnEntry(HF_CLOSE, 0), OpenPiece("f.bin", 5, true, true),
             OnEntry(HF_LENGTH, 0), ReadRequest(0, 5), OnEntry(HF_REWIND, 0), ReadRequest(0, 3)});
  EXPECT_EQ(Contents(dir.File("f.bin")), "0123456789abcdefghijKL");
  const Bytes expected{1, 0,                                     // open
                       1,                                        // write
                       1,                                        // write
                       1,                                        // close
                       1, 0,                                     // open again, same free entry
                       1, 22, 0, 0, 0,                           // length, little-endian
                       1, 0,  0, 0, 5, '0', '1', '2', '3', '4',  // read, count big-endian
                       1, 0,  0, 0, 0,                           // rewind
                       1, 0,  0, 0, 3, '0', '1', '2'};
  EXPECT_EQ(replies, expected);
}

TEST_F(HostFileTest, LengthAndReadOf300Bytes) {
  MakeFile("big", std::string(300, 'z'));
  const Bytes replies =
      Serve({OpenPiece("big", 0, true, true), OnEntry(HF_LENGTH, 0), ReadRequest(0, 1000)});
  ASSERT_EQ(replies.size(), 2u + 5 + 5 + 300);
  EXPECT_EQ(Bytes(replies.begin() + 2, replies.begin() + 7), (Bytes{1, 0x2C, 0x01, 0, 0}));
  EXPECT_EQ(Bytes(replies.begin() + 7, replies.begin() + 12), (Bytes{1, 0, 0, 0x01, 0x2C}));
  EXPECT_EQ(replies.back(), 'z');
}

TEST_F(HostFileTest, MessagesGoToSlotZeroAndAreBounded) {
  const Bytes replies =
      Serve({Message("Formatting...\r\n"), Message(std::string(25, 'm'), 200), Message("x", 3)});
  EXPECT_EQ(replies, (Bytes{0, 0, 0}));
  EXPECT_THAT(writer.Lines(), ElementsAre("Formatting...\r\n", std::string(25, 'm'), ""));
  EXPECT_THAT(writer.LineSlots(), ElementsAre(0, 0, 0));
}

TEST_F(HostFileTest, FullTableAnswersZeroAndEnds) {
  MakeFile("filler", "");
  for (uint32_t i = 0; i < kHostFileEntries; ++i) {
    std::string reason;
    ASSERT_TRUE(table.Take(i, OpenRegularFile(dir.File("filler"), reason)));
  }
  const Bytes replies = Serve({OpenPiece("x", 4, true, true), Message("after")});
  EXPECT_EQ(replies, (Bytes{0}));
  EXPECT_TRUE(writer.Lines().empty());
}

TEST_F(HostFileTest, CloseOfFreeOrBadEntryStillRepliesOne) {
  EXPECT_EQ(Serve({OnEntry(HF_CLOSE, 3), OnEntry(HF_CLOSE, 200)}), (Bytes{1, 1}));
}

TEST_F(HostFileTest, FailingWriteRepliesZeroThenOne) {
  MakeFile("ro", "abc");
  const Bytes replies = Serve({OpenPiece("ro", 0, true, true), WriteRequest(0, "zz")});
  EXPECT_EQ(replies, (Bytes{1, 0, 0, 1}));
  EXPECT_EQ(Contents(dir.File("ro")), "abc");
}

TEST_F(HostFileTest, UnknownCodeGetsNoReplyAndServiceGoesOn) {
  EXPECT_EQ(Serve({Request(0x42), Message("still here")}), (Bytes{0}));
  EXPECT_THAT(writer.Lines(), ElementsAre("still here"));
}

TEST_F(HostFileTest, EndCodesEndTheService) {
  for (uint8_t code : {HF_END, HF_END2, HF_END3}) {
    transport.stream.clear();
    transport.inbound.clear();
    EXPECT_EQ(Serve({Request(code), Message("not served")}), Bytes{});
  }
}

TEST_F(HostFileTest, EntriesStayOpenWhenTheServiceEnds) {
  Serve({OpenPiece("keep", 4, true, true), Request(HF_END3)});
  EXPECT_TRUE(table.InUse(0));
  EXPECT_EQ(table.UsedCount(), 1u);
}

TEST_F(HostFileTest, FailedOpenEndsWithoutReply) {
  EXPECT_EQ(Serve({OpenPiece("missing", 0, true, true), Message("x")}), Bytes{});
  EXPECT_EQ(table.UsedCount(), 0u);
}

TEST_F(HostFileTest, UnsentOpenReplyClosesTheFile) {
  transport.failSendAt = {0};
  EXPECT_EQ(Serve({OpenPiece("new", 4, true, true), Message("x")}), Bytes{});
  EXPECT_EQ(table.UsedCount(), 0u);
}

TEST_F(HostFileTest, HostileEntryIndexesAreAnsweredAsFailures) {
  MakeFile("f", "abc");
  const Bytes replies = Serve({ReadRequest(20, 4), ReadRequest(255, 4), ReadRequest(7, 4),
                               WriteRequest(20, "a"), WriteRequest(7, "a"), OnEntry(HF_REWIND, 20),
                               OnEntry(HF_LENGTH, 31), Message("alive")});
  const Bytes expected{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // three reads
                       0, 1, 0, 1,                                   // two writes
                       0, 1, 0, 0, 0, 0,                             // rewind
                       0, 0, 0, 0, 0,                                // length
                       0};
  EXPECT_EQ(replies, expected);
  EXPECT_THAT(writer.Lines(), ElementsAre("alive"));
}

TEST_F(HostFileTest, OversizedReadIsBoundedTo1020Bytes) {
  MakeFile("big", std::string(5000, 'q'));
  const Bytes replies = Serve({OpenPiece("big", 0, true, true), ReadRequest(0, 0xFFFFFFFF)});
  ASSERT_EQ(replies.size(), 2u + 5 + 1020);
  EXPECT_EQ(ReadU32BE(&replies[3]), 1020u);
}

TEST_F(HostFileTest, OversizedWriteIsRefusedNotTruncated) {
  const Bytes replies = Serve({OpenPiece("w", 4, true, true), WriteRequest(0, "abc", 10 + 21),
                               WriteRequest(0, "abc", 9), WriteRequest(0, "", 10)});
  EXPECT_EQ(replies, (Bytes{1, 0, 0, 1, 0, 1, 1}));
  EXPECT_EQ(Contents(dir.File("w")), "");
}

TEST_F(HostFileTest, OversizedNamePieceMakesTheOpenFail) {
  EXPECT_EQ(Serve({OpenPiece("abc", 4, true, false, 8 + 23), OpenPiece("d", 4, false, true)}),
            (Bytes{1, 0}));
  EXPECT_EQ(table.UsedCount(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(HostFileTest, NameOver255CharactersMakesTheOpenFail) {
  std::vector<Bytes> requests;
  for (int i = 0; i < 12; ++i)
    requests.push_back(OpenPiece(std::string(22, 'n'), 4, i == 0, false));
  requests.push_back(OpenPiece("end", 4, false, true));  // 267 characters in all
  const Bytes replies = Serve(requests);
  EXPECT_EQ(replies.size(), 24u);  // every non-final piece answered, the open not
  EXPECT_EQ(table.UsedCount(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(HostFileTest, UnknownOpenModeFails) {
  MakeFile("f", "abc");
  EXPECT_EQ(Serve({OpenPiece("f", 2, true, true)}), Bytes{});
  EXPECT_EQ(table.UsedCount(), 0u);
}

TEST_F(HostFileTest, NamesCannotLeaveTheDirectory) {
  TempDir outside;
  std::ofstream(outside.File("secret"), std::ios::binary) << "s";
  const std::string up = "../" + std::filesystem::path(outside.Path()).filename().string();
  std::vector<std::string> names = {outside.File("secret"), up + "/secret", "a/../../x", "..",
                                    "\\etc"};
  // Links and FIFOs where the platform makes them.
  if (test::MakeSymlink(outside.File("secret"), dir.File("link"))) names.push_back("link");
  if (test::MakeSymlink(outside.Path(), dir.File("linkdir"))) names.push_back("linkdir/secret");
  if (test::MakeFifo(dir.File("fifo"))) names.push_back("fifo");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_LT(table.OpenHostFile(name, HostOpenMode::ReadOnly), 0);
    EXPECT_LT(table.OpenHostFile(name, HostOpenMode::WriteCreate), 0);
  }
  EXPECT_EQ(Contents(outside.File("secret")), "s");
}

TEST_F(HostFileTest, SubdirectoriesWithEitherSeparatorAreAllowed) {
  std::filesystem::create_directory(dir.File("sub"));
  MakeFile("sub/in", "data");
  for (const char* name : {"sub/in", "sub\\in", "sub//in"}) {
    const int fd = table.OpenHostFile(name, HostOpenMode::ReadOnly);
    EXPECT_GE(fd, 0) << name;
    if (fd >= 0) CloseFile(fd);
  }
}

TEST(HostOpenMode, ModesMapAsDocumented) {
  EXPECT_EQ(HostOpenModeFromByte(0), HostOpenMode::ReadOnly);
  EXPECT_EQ(HostOpenModeFromByte(1), HostOpenMode::ReadOnly);
  EXPECT_EQ(HostOpenModeFromByte(4), HostOpenMode::WriteCreate);
  EXPECT_EQ(HostOpenModeFromByte(5), HostOpenMode::ReadWrite);
  EXPECT_EQ(HostOpenModeFromByte(8), HostOpenMode::ReadAppend);
  for (int m : {2, 3, 6, 7, 9, 255}) {
    EXPECT_EQ(HostOpenModeFromByte(static_cast<uint8_t>(m)), HostOpenMode::Invalid);
  }
}

TEST_F(HostFileTest, ModeFiveNeedsAnExistingFileAndModeFourTruncates) {
  EXPECT_LT(table.OpenHostFile("absent", HostOpenMode::ReadWrite), 0);
  MakeFile("t", "old contents");
  const int fd = table.OpenHostFile("t", HostOpenMode::WriteCreate);
  ASSERT_GE(fd, 0);
  CloseFile(fd);
  EXPECT_EQ(Contents(dir.File("t")), "");
}

}  // namespace
}  // namespace k730
