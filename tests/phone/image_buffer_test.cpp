#include "phone/image_buffer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/byte_order.h"
#include "phone_test_support.h"

namespace k730 {
namespace {

using test::MakePhoneImage;
using test::ScriptedPrompt;
using test::TempDir;

class ImageBufferTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::vector<uint8_t>& data) {
    const std::string path = dir_.File(name);
    test::WriteFile(path, data);
    return path;
  }
  TempDir dir_;
  ScriptedPrompt prompt_;
  ImageBuffer buffer_{&prompt_};
};

TEST_F(ImageBufferTest, TwoMegabyteFileGives2048RecordsShapedLikeWritePayloads) {
  const auto image = MakePhoneImage(0x200000, 0x10000);
  ASSERT_EQ(buffer_.OpenImage(Write("qpx_bin.tmp", image)), 1);
  EXPECT_EQ(buffer_.Size(), 0x200000u);
  EXPECT_EQ(buffer_.StartAddress(), 0x10000u);
  ASSERT_EQ(buffer_.BuildBlockTable(), 1);
  auto table = buffer_.Table();
  ASSERT_TRUE(table);
  EXPECT_EQ(table->Count(), 2048u);
  const uint8_t* record = buffer_.BlockAt(64);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record, table->BlockAt(64));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(record[i], 0);
  EXPECT_EQ(ReadU16LE(record + 5), 1024);
  EXPECT_EQ(0, std::memcmp(record + kBlockDataOffset, image.data() + 65536, 1024));
  EXPECT_EQ(0, std::memcmp(table->BlockAt(2047) + 7, image.data() + 2047 * 1024, 1024));
  EXPECT_EQ(table->BlockAt(2048), nullptr);
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(ImageBufferTest, PartialLastBlockIsZeroFilled) {
  const auto image = MakePhoneImage(1025, 0);
  ASSERT_EQ(buffer_.OpenImage(Write("short.bin", image)), 1);
  ASSERT_EQ(buffer_.BuildBlockTable(), 1);
  auto table = buffer_.Table();
  ASSERT_EQ(table->Count(), 2u);
  const uint8_t* last = table->BlockAt(1);
  EXPECT_EQ(last[7], image[1024]);
  for (int i = 1; i < 1024; ++i) ASSERT_EQ(last[7 + i], 0) << i;
  EXPECT_TRUE(table->Covers(0, 2));
  EXPECT_FALSE(table->Covers(1, 2));
  EXPECT_FALSE(table->Covers(3, 0));
}

TEST_F(ImageBufferTest, StartAddressRuleAndTheOperatorsAnswer) {
  for (uint32_t good : {0x10000u, 0u, 0x4000u}) {
    ASSERT_EQ(buffer_.OpenImage(Write("good.bin", MakePhoneImage(4096, good))), 1) << good;
  }
  EXPECT_TRUE(prompt_.shown.empty());

  for (uint32_t odd : {0x2000u, 0x10800u}) {
    ScriptedPrompt yes(MessageAnswer::Yes), no(MessageAnswer::No);
    ImageBuffer asksYes(&yes), asksNo(&no);
    const std::string path = Write("odd.bin", MakePhoneImage(4096, odd));
    EXPECT_EQ(asksYes.OpenImage(path), 1);
    EXPECT_EQ(asksYes.StartAddress(), odd);
    EXPECT_EQ(asksNo.OpenImage(path), 0);
    EXPECT_EQ(asksNo.BuildBlockTable(), 0);
    ASSERT_EQ(no.shown.size(), 1u);
    EXPECT_EQ(no.shown[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(no.shown[0].buttons, MessageButtons::YesNo);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", odd);
    EXPECT_EQ(no.shown[0].text, std::string("Application 다운로딩 시작 주소가 0x") + hex +
                                    " 입니다.\n다운로딩이 실패할 수 있습니다.\n계속 다운로딩 "
                                    "하시겠습니가?");
  }
  // Nobody to ask: the risky file is refused.
  ImageBuffer unattended;
  EXPECT_EQ(unattended.OpenImage(Write("odd2.bin", MakePhoneImage(4096, 0x2000))), 0);
}

TEST_F(ImageBufferTest, AllOnesTrailerWordIsRefusedSilentlyAndGivesNoBlocks) {
  auto image = MakePhoneImage(4096, 0x10000);
  WriteU32LE(image.data() + image.size() - 18, 0xFFFFFFFF);
  EXPECT_EQ(buffer_.OpenImage(Write("ff.bin", image)), 0);
  EXPECT_TRUE(prompt_.shown.empty());
  EXPECT_TRUE(buffer_.IsOpen());  // left open, as before
  EXPECT_EQ(buffer_.BuildBlockTable(), 0);
  EXPECT_FALSE(buffer_.Table());
  EXPECT_EQ(buffer_.BlockAt(0), nullptr);
}

TEST_F(ImageBufferTest, OverlappingTrailerFieldsAreReadFromTheEnd) {
  auto image = MakePhoneImage(4096, 0);
  // end-18..end-15 and end-16..end-13 share two bytes.
  const uint8_t tail[] = {0x11, 0x22, 0x00, 0x00, 0x01, 0x00};
  std::memcpy(image.data() + image.size() - 18, tail, sizeof tail);
  ASSERT_EQ(buffer_.OpenImage(Write("overlap.bin", image)), 1);
  EXPECT_EQ(buffer_.TrailerWord(), 0x00002211u);
  EXPECT_EQ(buffer_.StartAddress(), 0x00010000u);
}

TEST_F(ImageBufferTest, MissingAndDamagedFilesAreReportedWithTheirTexts) {
  const std::string missing = dir_.File("nope.bin");
  EXPECT_EQ(buffer_.OpenImage(missing), 0);
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_EQ(prompt_.shown[0].text, " Fail to read from " + missing + "\n Please Check bin_file !");
  EXPECT_EQ(prompt_.shown[0].icon, MessageIcon::Information);

  EXPECT_EQ(buffer_.OpenImage(Write("tiny.bin", std::vector<uint8_t>(35, 1))), 0);
  ASSERT_EQ(prompt_.shown.size(), 2u);
  EXPECT_EQ(prompt_.shown[1].text, "This is a damaged file,replace this file with a good one");
  EXPECT_EQ(prompt_.shown[1].icon, MessageIcon::None);
  EXPECT_FALSE(buffer_.IsOpen());

  EXPECT_EQ(buffer_.OpenImage(dir_.Path()), 0);  // a directory has no phone image in it
  EXPECT_EQ(prompt_.shown.size(), 3u);
  EXPECT_EQ(buffer_.BuildBlockTable(), 0);

  // Exactly 36 bytes is enough for the trailer.
  EXPECT_EQ(buffer_.OpenImage(Write("36.bin", MakePhoneImage(36, 0))), 1);
  EXPECT_EQ(buffer_.BuildBlockTable(), 1);
  EXPECT_EQ(buffer_.Table()->Count(), 1u);
}

TEST_F(ImageBufferTest, RebuildLeavesAWorkersSnapshotIntact) {
  const auto first = MakePhoneImage(0x200000, 0x10000, 1);
  const auto second = MakePhoneImage(0x8000, 0x10000, 2);
  ASSERT_EQ(buffer_.OpenImage(Write("a.bin", first)), 1);
  ASSERT_EQ(buffer_.BuildBlockTable(), 1);
  std::shared_ptr<const BlockTable> held = buffer_.Table();

  // The next launch reloads the feeder while the worker still writes.
  ASSERT_EQ(buffer_.OpenImage(Write("b.bin", second)), 1);
  EXPECT_FALSE(buffer_.Table());
  ASSERT_EQ(buffer_.BuildBlockTable(), 1);
  EXPECT_EQ(buffer_.Table()->Count(), 32u);
  ASSERT_EQ(held->Count(), 2048u);
  EXPECT_EQ(0, std::memcmp(held->BlockAt(1000) + 7, first.data() + 1000 * 1024, 1024));

  buffer_.Close();
  EXPECT_FALSE(buffer_.Table());
  EXPECT_FALSE(buffer_.IsOpen());
  EXPECT_EQ(0, std::memcmp(held->BlockAt(2047) + 7, first.data() + 2047 * 1024, 1024));
}

TEST_F(ImageBufferTest, ConcurrentReadersAndRebuildsStayConsistent) {
  const auto image = MakePhoneImage(0x10000, 0, 3);
  const std::string path = Write("c.bin", image);
  ASSERT_EQ(buffer_.OpenImage(path), 1);
  ASSERT_EQ(buffer_.BuildBlockTable(), 1);
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        auto table = buffer_.Table();
        if (!table) continue;
        for (uint32_t n = 0; n < table->Count(); ++n)
          if (std::memcmp(table->BlockAt(n) + 7, image.data() + n * 1024, 1024) != 0) ++mismatches;
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(buffer_.OpenImage(path), 1);
    ASSERT_EQ(buffer_.BuildBlockTable(), 1);
  }
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace k730
