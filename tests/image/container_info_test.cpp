#include "image/container_info.h"

#include <gtest/gtest.h>

#include "core/byte_order.h"
#include "file_helpers.h"
#include "image/crc32.h"
#include "image/demo_components.h"
#include "image/image_maker.h"

namespace k730 {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class ContainerInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(WriteDemoComponents(dir.Path(), 0.5, error)) << error;
    ImageMaker maker;
    maker.version = "ver";
    maker.buildDate = maker.buildTime = StampDateTime{2024, 1, 2, 3, 4, 5};
    const std::pair<SourceKind, const char*> sources[] = {
        {SourceKind::Phone, kDemoPhoneName},
        {SourceKind::Ipl, kDemoIplName},
        {SourceKind::Widebin, kDemoWidebinName},
        {SourceKind::Resource, kDemoResourceName}};
    for (const auto& [kind, name] : sources)
      ASSERT_TRUE(maker.ChooseSource(kind, dir / name).opened);
    ASSERT_EQ(maker.MakeImgTo(dir / "good.img").outcome, MakeOutcome::Finished);
    ASSERT_EQ(maker.MakePdaTo(dir / "good.pda").outcome, MakeOutcome::Finished);
    good = ReadFile(dir / "good.img");
  }

  // Header and verification problems of a file with the given bytes.
  std::vector<std::string> Problems(const std::vector<uint8_t>& bytes) {
    const std::string path = dir / "check.img";
    WriteFile(path, bytes);
    InputFile file;
    EXPECT_TRUE(file.Open(path));
    ImageHeader header;
    int count = 0;
    std::string error;
    if (!ReadContainerHeader(file, header, count, error)) return {"header: " + error};
    return VerifyContainer(file, header, count);
  }

  std::vector<uint8_t> Patched(uint32_t position, uint32_t value) {
    std::vector<uint8_t> f = good;
    WriteU32LE(&f[position], value);
    return f;
  }

  TempDir dir;
  std::vector<uint8_t> good;
};

TEST_F(ContainerInfoTest, SoundFilesVerifyAndDescribeEveryField) {
  EXPECT_TRUE(Problems(good).empty());
  EXPECT_TRUE(Problems(ReadFile(dir / "good.pda")).empty());

  InputFile file;
  ASSERT_TRUE(file.Open(dir / "good.pda"));
  ImageHeader h;
  int count = 0;
  std::string error;
  ASSERT_TRUE(ReadContainerHeader(file, h, count, error));
  EXPECT_EQ(count, 3);
  const std::string text = DescribeContainer(h, count, file.Size());
  for (const char* expected :
       {"PDA image (3 entries)", "Header size:    212", "Magic:          0x12345678",
        "Header version: 1", "Version text:   \"ver\"", "Build stamp:    \"24/01/02-03:04:05\"",
        "Entry 0 (IPL):", "Entry 2 (resource data):", "  Offset: 212 (0x000000D4)", "[Date]:"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  char crcLine[40];
  std::snprintf(crcLine, sizeof crcLine, "  CRC:    0x%08X", h.entries[1].crc);
  EXPECT_NE(text.find(crcLine), std::string::npos);
}

TEST_F(ContainerInfoTest, VerifyReportsOneLinePerProblem) {
  std::vector<uint8_t> flipped = good;
  flipped[good.size() - 1] ^= 0x80;  // last byte of the resource data
  auto p = Problems(flipped);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_NE(p[0].find("entry 3 (resource data): CRC"), std::string::npos) << p[0];

  p = Problems(Patched(4, 0x87654321));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_NE(p[0].find("magic"), std::string::npos);

  p = Problems(Patched(8, 2));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_NE(p[0].find("header version"), std::string::npos);

  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  p = Problems(longer);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_NE(p[0].find("total size"), std::string::npos);

  // An entry moved off its back-to-back place and beyond the end: offset,
  // extent and (for entry 3) the missing CRC check are all reported.
  p = Problems(Patched(244, static_cast<uint32_t>(good.size())));
  ASSERT_EQ(p.size(), 2u);
  EXPECT_NE(p[0].find("entry 3 (resource data): offset"), std::string::npos) << p[0];
  EXPECT_NE(p[1].find("beyond the end"), std::string::npos) << p[1];

  // A widebin too short for its SmallRom part, and a phone binary not 2 MiB
  // (both lengths shrink, so offsets and total size follow as problems too).
  p = Problems(Patched(204, 1000));
  EXPECT_NE(std::find_if(p.begin(), p.end(),
                         [](const std::string& s) { return s.find("SmallRom") != s.npos; }),
            p.end());
  p = Problems(Patched(116, 1000));
  EXPECT_NE(std::find_if(p.begin(), p.end(),
                         [](const std::string& s) { return s.find("2097152") != s.npos; }),
            p.end());

  // Text fields without a NUL.
  std::vector<uint8_t> unterminated = good;
  std::fill(unterminated.begin() + 12, unterminated.begin() + 44, 'A');
  p = Problems(unterminated);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_NE(p[0].find("version text"), std::string::npos);
}

TEST_F(ContainerInfoTest, HeadersOfUnknownSizeOrTruncatedAreRefused) {
  EXPECT_EQ(Problems(Patched(0, 300)).at(0).rfind("header: ", 0), 0u);
  EXPECT_EQ(Problems({}).at(0).rfind("header: ", 0), 0u);
  EXPECT_EQ(
      Problems(std::vector<uint8_t>(good.begin(), good.begin() + 200)).at(0).rfind("header: ", 0),
      0u);
  std::array<char, kTextFieldSize> field{};
  const char raw[] = "ab\x01\\\xFF";
  std::copy(raw, raw + 5, field.begin());
  EXPECT_EQ(PrintableText(field), "ab\\x01\\x5C\\xFF");
}

TEST(DemoComponents, SizesTrailerAndDeterminism) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteDemoComponents(dir.Path(), 1, error)) << error;
  const std::vector<uint8_t> phone = ReadFile(dir / kDemoPhoneName);
  ASSERT_EQ(phone.size(), kPhoneImageSize);
  PhoneTrailer trailer;
  ASSERT_EQ(ReadPhoneTrailer(phone.data(), phone.size(), trailer), FormatError::None);
  EXPECT_NE(trailer.trailerWord, 0xFFFFFFFFu);
  EXPECT_EQ(trailer.startAddress, 0x00010000u);
  const std::vector<uint8_t> widebin = ReadFile(dir / kDemoWidebinName);
  EXPECT_GT(widebin.size(), kSmallRomSize);
  const DemoSizes sizes = DemoComponentSizes(1);
  EXPECT_EQ(ReadFile(dir / kDemoIplName).size(), sizes.ipl);
  EXPECT_EQ(ReadFile(dir / kDemoResourceName).size(), sizes.resource);

  // The same bytes again, and any range can be generated on its own.
  TempDir again;
  ASSERT_TRUE(WriteDemoComponents(again.Path(), 1, error));
  EXPECT_EQ(ReadFile(again / kDemoWidebinName), widebin);
  std::vector<uint8_t> piece(1001);
  FillDemoBytes(3, 12345, piece.data(), piece.size());
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), widebin.begin() + 12345));
  EXPECT_NE(ReadFile(dir / kDemoIplName), std::vector<uint8_t>(sizes.ipl, 0));

  // Scale 100 stays inside the console's limits.
  const DemoSizes max = DemoComponentSizes(kDemoMaxScale);
  EXPECT_LE(256ull + max.phone + max.ipl + max.widebin + max.resource, kWorkBufferSize);
  EXPECT_LE(max.widebin, 0x1500000u);
  EXPECT_LE(max.resource, 0x1000000u);
  EXPECT_GT(DemoComponentSizes(0.001).widebin, kSmallRomSize);
  EXPECT_FALSE(WriteDemoComponents(dir.Path(), 0, error));
  EXPECT_FALSE(WriteDemoComponents(dir.Path(), 101, error));
}

}  // namespace
}  // namespace k730
