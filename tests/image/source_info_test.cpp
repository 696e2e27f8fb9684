#include "image/source_info.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../support/test_files.h"
#include "file_helpers.h"
#include "image/crc32.h"

namespace k730 {
namespace {

using test::TempDir;
using test::WriteFile;

class SourceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { test::UseTimeZone("UTC"); }
  // 2024-03-05 06:07:08 UTC.
  static constexpr std::time_t kStampTime = 1709618828;

  std::string MakeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir / name;
    WriteFile(path, bytes);
    EXPECT_TRUE(test::SetModificationTime(path, kStampTime));
    return path;
  }

  TempDir dir;
};

TEST_F(SourceInfoTest, TextOfEverySourceKindWhenTheFileOpens) {
  const std::string path = MakeFile("check.bin", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
  const std::string tail = "[Size]:9 bytes    [Date]:24/03/05-06:07:08    [CRC]:CBF43926   ";
  const std::pair<SourceKind, const char*> cases[] = {
      {SourceKind::Phone, "Phonem binary"}, {SourceKind::Ipl, "IPL binary"},
      {SourceKind::Widebin, "WIDEBIN"},     {SourceKind::Resource, "Resource data"},
      {SourceKind::PdaData, "PDA data"},    {SourceKind::ImgOrPda, "PDA data"},
  };
  for (const auto& [kind, first] : cases) {
    const SourceInfo info = ReadSourceInfo(kind, path);
    ASSERT_TRUE(info.opened) << info.error;
    EXPECT_EQ(info.text, std::string(first) + "\r\n[File]:" + path + "\r\n" + tail);
    EXPECT_EQ(info.length, 9u);
    EXPECT_EQ(info.crc, 0xCBF43926u);
    EXPECT_EQ(info.stamp, "[Date]:24/03/05-06:07:08    ");
    EXPECT_EQ(info.stamp.size(), 28u);
  }
}

TEST_F(SourceInfoTest, ImgSuffixIsCaseSensitiveAndDecidesTheFirstLine) {
  const std::string img = MakeFile("a.img", {1});
  const std::string upper = MakeFile("b.IMG", {1});
  const std::string pda = MakeFile("c.pda", {1});
  EXPECT_EQ(ReadSourceInfo(SourceKind::ImgOrPda, img).text.substr(0, 10), "IMG data\r\n");
  EXPECT_EQ(ReadSourceInfo(SourceKind::ImgOrPda, upper).text.substr(0, 10), "PDA data\r\n");
  EXPECT_EQ(ReadSourceInfo(SourceKind::ImgOrPda, pda).text.substr(0, 10), "PDA data\r\n");
  EXPECT_EQ(ReadSourceInfo(SourceKind::ImgOrPda, dir / "missing.img").text,
            "IMG data\r\n[File]:" + dir / "missing.img" + " open error!\r\n");
}

TEST_F(SourceInfoTest, OpenErrorTextsForMissingFilesDirectoriesAndFifos) {
  const std::string missing = dir / "nope.bin";
  const std::pair<SourceKind, const char*> cases[] = {
      {SourceKind::Phone, "Phone binary"}, {SourceKind::Ipl, "IPL binary"},
      {SourceKind::Widebin, "WIDEBIN"},    {SourceKind::Resource, "Resource data"},
      {SourceKind::PdaData, "PDA data"},
  };
  for (const auto& [kind, first] : cases) {
    const SourceInfo info = ReadSourceInfo(kind, missing);
    EXPECT_FALSE(info.opened);
    EXPECT_EQ(info.text, std::string(first) + "\r\n[File]:" + missing + " open error!\r\n");
    EXPECT_FALSE(info.error.empty());
  }
  // A directory opens on Linux but cannot be read: an open error, not a CRC of nothing.
  EXPECT_FALSE(ReadSourceInfo(SourceKind::Ipl, dir.Path()).opened);
  // A FIFO would block the open or yield endless data; it is refused at once.
  const std::string fifo = dir / "fifo";
  if (test::MakeFifo(fifo)) {
    const SourceInfo info = ReadSourceInfo(SourceKind::Widebin, fifo);
    EXPECT_FALSE(info.opened);
    EXPECT_EQ(info.text, "WIDEBIN\r\n[File]:" + fifo + " open error!\r\n");
  }
  EXPECT_EQ(ReadSourceInfo(SourceKind::Phone, "").text, "Phone binary\r\n[File]: open error!\r\n");
}

TEST_F(SourceInfoTest, EmptyAndMultiChunkFiles) {
  const SourceInfo empty = ReadSourceInfo(SourceKind::Resource, MakeFile("empty.bin", {}));
  ASSERT_TRUE(empty.opened);
  EXPECT_EQ(empty.length, 0u);
  EXPECT_EQ(empty.crc, 0u);
  EXPECT_NE(empty.text.find("[Size]:0 bytes    "), std::string::npos);
  EXPECT_NE(empty.text.find("[CRC]:0   "), std::string::npos);

  // Long enough to be read in two halves on two threads, not a multiple of
  // the streaming chunk; the CRC is shown without leading zeros.
  const std::vector<uint8_t> bytes = test::Pattern((5 << 20) + 12345, 3);
  const SourceInfo big = ReadSourceInfo(SourceKind::Widebin, MakeFile("big.widebin", bytes));
  ASSERT_TRUE(big.opened);
  EXPECT_EQ(big.length, bytes.size());
  EXPECT_EQ(big.crc, Crc32(bytes.data(), 0, bytes.size()));
  char crcText[32];
  std::snprintf(crcText, sizeof crcText, "[CRC]:%X   ", big.crc);
  EXPECT_EQ(big.text.substr(big.text.size() - std::strlen(crcText)), crcText);
}

TEST_F(SourceInfoTest, StampShowsTheModificationTimeInLocalTime) {
  test::UseTimeZone("JST-9");  // nine hours east of UTC, no daylight saving
  const SourceInfo info = ReadSourceInfo(SourceKind::Ipl, MakeFile("ipl.bin", {7}));
  EXPECT_EQ(info.stamp, "[Date]:24/03/05-15:07:08    ");
  EXPECT_EQ(FormatLocalTime(kStampTime), "24/03/05-15:07:08");
  test::UseTimeZone("UTC");
}

}  // namespace
}  // namespace k730
