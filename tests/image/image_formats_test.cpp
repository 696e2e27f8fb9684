#include "image/image_formats.h"

#include <gtest/gtest.h>

#include <numeric>

#include "core/byte_order.h"

namespace k730 {
namespace {

// A United Binary laid out as the writers lay it out, with recognisable bytes.
std::vector<uint8_t> MakeUnited(uint32_t p, uint32_t i, uint32_t w, uint32_t r) {
  ImageHeader h;
  h.headerSize = kUnitedHeaderSize;
  h.magic = IMAGE_MAGIC;
  h.headerVersion = 1;
  SetTextField(h.versionText, "10");
  const uint32_t lengths[4] = {p, i, w, r};
  uint32_t offset = kUnitedHeaderSize;
  for (int k = 0; k < 4; ++k) {
    h.entries[k].offset = offset;
    h.entries[k].length = lengths[k];
    h.entries[k].crc = 0xC0DE0000u + k;
    offset += lengths[k];
  }
  h.totalSize = offset;
  std::vector<uint8_t> file = WriteImageHeader(h, kUnitedEntryCount);
  for (int k = 0; k < 4; ++k)
    for (uint32_t n = 0; n < lengths[k]; ++n) file.push_back(static_cast<uint8_t>(k * 50 + n % 7));
  return file;
}

TEST(ImageFormats, HeaderFieldsSitAtTheirAbsolutePositions) {
  std::vector<uint8_t> file = MakeUnited(10, 20, 30, 40);
  ASSERT_EQ(file.size(), 256u + 100u);
  EXPECT_EQ(ReadU32LE(&file[0]), 256u);
  EXPECT_EQ(ReadU32LE(&file[4]), 0x12345678u);
  EXPECT_EQ(ReadU32LE(&file[8]), 1u);
  EXPECT_EQ(file[12], '1');
  EXPECT_EQ(file[13], '0');
  EXPECT_EQ(file[14], 0);
  EXPECT_EQ(ReadU32LE(&file[76]), 356u);
  const uint32_t offsets[4] = {112, 156, 200, 244};
  const uint32_t expected[4] = {256, 266, 286, 316};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(ReadU32LE(&file[offsets[k]]), expected[k]);
    EXPECT_EQ(ReadU32LE(&file[offsets[k] + 4]), 10u * (k + 1));
    EXPECT_EQ(ReadU32LE(&file[offsets[k] + 8]), 0xC0DE0000u + k);
  }
  ImageHeader back;
  ASSERT_EQ(ReadImageHeader(file.data(), file.size(), 4, back), FormatError::None);
  EXPECT_EQ(WriteImageHeader(back, 4), std::vector<uint8_t>(file.begin(), file.begin() + 256));
  EXPECT_EQ(TextField(back.versionText), "10");
}

TEST(ImageFormats, TextFieldsKeep31BytesAndNeverHalfACharacter) {
  std::array<char, kTextFieldSize> field{};
  SetTextField(field, std::string(40, 'v'));
  EXPECT_EQ(TextField(field), std::string(31, 'v'));
  EXPECT_EQ(field[31], '\0');
  std::string hangul;
  for (int k = 0; k < 11; ++k) hangul += "\xEA\xB0\x80";  // 33 bytes of UTF-8
  SetTextField(field, hangul);
  EXPECT_EQ(TextField(field), hangul.substr(0, 30));
  SetTextField(field, hangul.substr(0, 30));
  EXPECT_EQ(TextField(field), hangul.substr(0, 30));
  // Text in a single-byte code page is not UTF-8: cut at the limit.
  SetTextField(field, std::string(40, '\xE9'));
  EXPECT_EQ(TextField(field), std::string(31, '\xE9'));
}

TEST(ImageFormats, SplitBuildsThePdaImageOfTheExample) {
  // Phone 0 bytes long is allowed; entries 1-3 of 100, 200 and 300 bytes.
  std::vector<uint8_t> file = MakeUnited(64, 100, 200, 300);
  UnitedBinarySplit split;
  ASSERT_EQ(SplitUnitedBinary(file.data(), file.size(), split), FormatError::None);
  EXPECT_EQ(split.phone, (ByteRange{256, 64}));
  ASSERT_EQ(split.pdaImage.size(), 812u);
  ImageHeader pda;
  ASSERT_EQ(ReadImageHeader(split.pdaImage.data(), split.pdaImage.size(), 3, pda),
            FormatError::None);
  EXPECT_EQ(pda.headerSize, 212u);
  EXPECT_EQ(pda.totalSize, 812u);
  EXPECT_EQ(pda.entries[0].offset, 212u);
  EXPECT_EQ(pda.entries[1].offset, 312u);
  EXPECT_EQ(pda.entries[2].offset, 512u);
  EXPECT_EQ(pda.entries[2].crc, 0xC0DE0003u);
  EXPECT_TRUE(
      std::equal(split.pdaImage.begin() + 212, split.pdaImage.end(), file.begin() + 256 + 64));

  PdaPieces pieces;
  EXPECT_EQ(LocatePdaPieces(split.pdaImage.data(), split.pdaImage.size(), pieces),
            FormatError::WidebinTooShort);
}

TEST(ImageFormats, LocatesPiecesAndSplitsWidebins) {
  std::vector<uint8_t> file = MakeUnited(16, 8, kSmallRomSize + 100, 0);
  UnitedBinarySplit split;
  ASSERT_EQ(SplitUnitedBinary(file.data(), file.size(), split), FormatError::None);
  PdaPieces pieces;
  ASSERT_EQ(LocatePdaPieces(split.pdaImage.data(), split.pdaImage.size(), pieces),
            FormatError::None);
  EXPECT_EQ(pieces.smallRom, (ByteRange{220, kSmallRomSize}));
  EXPECT_EQ(pieces.bigRom, (ByteRange{220 + kSmallRomSize, 100}));
  // A length-0 component starts where the next one would.
  EXPECT_EQ(pieces.resource, (ByteRange{220 + kSmallRomSize + 100, 0}));

  ByteRange small, big;
  ASSERT_EQ(SplitWidebin(0x30000, small, big), FormatError::None);
  EXPECT_EQ(small, (ByteRange{0, 0x20000}));
  EXPECT_EQ(big, (ByteRange{0x20000, 0x10000}));
  EXPECT_EQ(SplitWidebin(kSmallRomSize - 1, small, big), FormatError::WidebinTooShort);
}

TEST(ImageFormats, HostileHeadersAreRefusedWithoutReadingPastTheData) {
  std::vector<uint8_t> good = MakeUnited(64, 100, 200, 300);
  UnitedBinarySplit split;

  // Truncated below the header, and exactly at it.
  EXPECT_EQ(SplitUnitedBinary(good.data(), 255, split), FormatError::TooShort);
  EXPECT_EQ(SplitUnitedBinary(good.data(), 0, split), FormatError::TooShort);

  auto patched = [&](uint32_t position, uint32_t value) {
    std::vector<uint8_t> f = good;
    WriteU32LE(&f[position], value);
    return f;
  };
  for (uint32_t size : {0u, 212u, 300u, 0xFFFFFFFFu}) {
    auto f = patched(0, size);
    EXPECT_EQ(SplitUnitedBinary(f.data(), f.size(), split), FormatError::BadHeaderSize) << size;
  }
  // Entry offsets and lengths that overflow or run past the end.
  for (auto [pos, value] : std::vector<std::pair<uint32_t, uint32_t>>{
           {112, 0xFFFFFF00u}, {116, 0xFFFFFFFFu}, {160, 1000}, {244, 2000}, {248, 0x7FFFFFFF}}) {
    auto f = patched(pos, value);
    EXPECT_EQ(SplitUnitedBinary(f.data(), f.size(), split), FormatError::EntryOutOfBounds) << pos;
  }
  // A total size that claims a longer body than the file has.
  auto longTotal = patched(76, static_cast<uint32_t>(good.size()) + 5000);
  EXPECT_EQ(SplitUnitedBinary(longTotal.data(), longTotal.size(), split),
            FormatError::EntryOutOfBounds);
  // PDA components that do not follow each other: the body copied in one run
  // would not hold them where the rebuilt entries say.
  ASSERT_EQ(ReadU32LE(&good[200]), 256u + 64 + 100);
  auto overlapping = patched(200, 256 + 64 + 100 - 1);
  EXPECT_EQ(SplitUnitedBinary(overlapping.data(), overlapping.size(), split),
            FormatError::NotBackToBack);
  // A total size too small for the pieces it must contain.
  auto shortTotal = patched(76, 300);
  EXPECT_EQ(SplitUnitedBinary(shortTotal.data(), shortTotal.size(), split),
            FormatError::EntryOutOfBounds);

  PdaPieces pieces;
  std::vector<uint8_t> tiny(211, 0);
  EXPECT_EQ(LocatePdaPieces(tiny.data(), tiny.size(), pieces), FormatError::TooShort);
  std::vector<uint8_t> pdaBadSize(212, 0);
  EXPECT_EQ(LocatePdaPieces(pdaBadSize.data(), pdaBadSize.size(), pieces),
            FormatError::BadHeaderSize);
}

TEST(ImageFormats, PhoneTrailerAndStartAddressRule) {
  std::vector<uint8_t> phone(kPhoneImageSize, 0x11);
  WriteU32LE(&phone[phone.size() - 18], 0xA5A50000);
  WriteU32LE(&phone[phone.size() - 16], 0x00004000);
  PhoneTrailer t;
  ASSERT_EQ(ReadPhoneTrailer(phone.data(), phone.size(), t), FormatError::None);
  // The two reads overlap by two bytes.
  EXPECT_EQ(t.trailerWord, 0x40000000u);  // 00 00 then the first two bytes of 00 40 00 00
  EXPECT_EQ(t.startAddress, 0x4000u);
  EXPECT_EQ(ReadPhoneTrailer(phone.data(), 35, t), FormatError::TrailerTooShort);
  EXPECT_EQ(ReadPhoneTrailer(phone.data(), 36, t), FormatError::None);

  EXPECT_TRUE(StartAddressPasses(0));
  EXPECT_TRUE(StartAddressPasses(0x4000));
  EXPECT_TRUE(StartAddressPasses(0x10000));
  EXPECT_FALSE(StartAddressPasses(0x2000));
  EXPECT_FALSE(StartAddressPasses(0x4800));
  EXPECT_FALSE(StartAddressPasses(0x10800));
}

}  // namespace
}  // namespace k730
