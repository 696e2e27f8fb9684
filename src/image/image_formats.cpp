#include "image/image_formats.h"

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"

namespace k730 {
namespace {

bool RangeFits(uint64_t offset, uint64_t length, size_t dataLength) {
  return offset <= dataLength && length <= dataLength - offset;
}

}  // namespace

namespace {

bool ValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80             ? 1
                          : (lead & 0xE0) == 0xC0 ? 2
                          : (lead & 0xF0) == 0xE0 ? 3
                          : (lead & 0xF8) == 0xF0 ? 4
                                                  : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

}  // namespace

void SetTextField(std::array<char, kTextFieldSize>& field, const std::string& text) {
  field.fill('\0');
  size_t length = std::min<size_t>(text.size(), kTextFieldSize - 1);
  // Text that is UTF-8 (what the window and a UTF-8 shell give) is cut
  // between characters, not inside one; other 8-bit text is cut at the limit.
  if (length < text.size() && ValidUtf8(text)) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(field.data(), text.data(), length);
}

std::string TextField(const std::array<char, kTextFieldSize>& field) {
  const auto end = std::find(field.begin(), field.end(), '\0');
  return std::string(field.begin(), end);
}

const char* DescribeFormatError(FormatError error) {
  switch (error) {
    case FormatError::None:
      return "no error";
    case FormatError::TooShort:
      return "file is shorter than its header";
    case FormatError::BadHeaderSize:
      return "header size is neither 256 (United Binary) nor 212 (PDA image)";
    case FormatError::EntryOutOfBounds:
      return "a component lies beyond the end of the file";
    case FormatError::WidebinTooShort:
      return "widebin is shorter than its 131072-byte SmallRom part";
    case FormatError::TrailerTooShort:
      return "phone binary is shorter than its 36-byte trailer";
    case FormatError::NotBackToBack:
      return "the PDA components are not stored one after another";
  }
  return "unknown error";
}

bool EntriesBackToBack(const ImageHeader& header, int first, int last) {
  for (int k = first + 1; k <= last; ++k) {
    const ComponentEntry& before = header.entries[k - 1];
    if (static_cast<uint64_t>(before.offset) + before.length != header.entries[k].offset)
      return false;
  }
  return true;
}

FormatError ReadImageHeader(const uint8_t* data, size_t length, int entryCount,
                            ImageHeader& header) {
  if (entryCount != kPdaEntryCount && entryCount != kUnitedEntryCount)
    return FormatError::BadHeaderSize;
  if (!data || length < HeaderSizeFor(entryCount)) return FormatError::TooShort;
  header = ImageHeader{};
  header.headerSize = ReadU32LE(data + kOffHeaderSize);
  header.magic = ReadU32LE(data + kOffMagic);
  header.headerVersion = ReadU32LE(data + kOffHeaderVersion);
  std::memcpy(header.versionText.data(), data + kOffVersionText, kTextFieldSize);
  std::memcpy(header.buildStamp.data(), data + kOffBuildStamp, kTextFieldSize);
  header.totalSize = ReadU32LE(data + kOffTotalSize);
  for (int k = 0; k < entryCount; ++k) {
    const uint8_t* e = data + EntryPosition(k);
    ComponentEntry& entry = header.entries[k];
    std::memcpy(entry.sourceStamp.data(), e, kTextFieldSize);
    entry.offset = ReadU32LE(e + 32);
    entry.length = ReadU32LE(e + 36);
    entry.crc = ReadU32LE(e + 40);
  }
  return FormatError::None;
}

FormatError CheckImageHeader(const ImageHeader& header, int entryCount, size_t dataLength) {
  if (entryCount != kPdaEntryCount && entryCount != kUnitedEntryCount)
    return FormatError::BadHeaderSize;
  if (header.headerSize != HeaderSizeFor(entryCount)) return FormatError::BadHeaderSize;
  if (dataLength < HeaderSizeFor(entryCount)) return FormatError::TooShort;
  for (int k = 0; k < entryCount; ++k) {
    if (!RangeFits(header.entries[k].offset, header.entries[k].length, dataLength))
      return FormatError::EntryOutOfBounds;
  }
  return FormatError::None;
}

std::vector<uint8_t> WriteImageHeader(const ImageHeader& header, int entryCount) {
  const int count = entryCount == kPdaEntryCount ? kPdaEntryCount : kUnitedEntryCount;
  std::vector<uint8_t> out(HeaderSizeFor(count), 0);
  uint8_t* p = out.data();
  WriteU32LE(p + kOffHeaderSize, header.headerSize);
  WriteU32LE(p + kOffMagic, header.magic);
  WriteU32LE(p + kOffHeaderVersion, header.headerVersion);
  std::memcpy(p + kOffVersionText, header.versionText.data(), kTextFieldSize);
  std::memcpy(p + kOffBuildStamp, header.buildStamp.data(), kTextFieldSize);
  WriteU32LE(p + kOffTotalSize, header.totalSize);
  for (int k = 0; k < count; ++k) {
    uint8_t* e = p + EntryPosition(k);
    const ComponentEntry& entry = header.entries[k];
    std::memcpy(e, entry.sourceStamp.data(), kTextFieldSize);
    WriteU32LE(e + 32, entry.offset);
    WriteU32LE(e + 36, entry.length);
    WriteU32LE(e + 40, entry.crc);
  }
  return out;
}

uint32_t PeekHeaderSize(const uint8_t* data, size_t length) {
  return data && length >= 4 ? ReadU32LE(data) : 0;
}

FormatError LocateUnitedBinary(const uint8_t* data, size_t length, UnitedBinaryLayout& layout) {
  ImageHeader united;
  FormatError error = ReadImageHeader(data, length, kUnitedEntryCount, united);
  if (error != FormatError::None) return error;
  error = CheckImageHeader(united, kUnitedEntryCount, length);
  if (error != FormatError::None) return error;

  const ComponentEntry& phone = united.entries[0];
  const ComponentEntry& ipl = united.entries[1];
  const ComponentEntry& widebin = united.entries[2];
  const ComponentEntry& resource = united.entries[3];

  // The PDA image's total size as the writer defines it; its body is copied in
  // one run from entry 1, so the run and every rebased entry must stay inside.
  const int64_t pdaTotal =
      static_cast<int64_t>(united.totalSize) - phone.length - kComponentEntrySize;
  const uint64_t pieces = static_cast<uint64_t>(ipl.length) + widebin.length + resource.length;
  if (pdaTotal < static_cast<int64_t>(kPdaHeaderSize)) return FormatError::EntryOutOfBounds;
  const uint64_t bodyLength = static_cast<uint64_t>(pdaTotal) - kPdaHeaderSize;
  if (pieces > bodyLength || !RangeFits(ipl.offset, bodyLength, length))
    return FormatError::EntryOutOfBounds;
  if (!EntriesBackToBack(united, 1, 3)) return FormatError::NotBackToBack;

  ImageHeader pda;
  pda.headerSize = united.headerSize - kComponentEntrySize;
  pda.magic = united.magic;
  pda.headerVersion = united.headerVersion;
  pda.totalSize = static_cast<uint32_t>(pdaTotal);
  uint32_t offset = kPdaHeaderSize;
  for (int k = 0; k < kPdaEntryCount; ++k) {
    const ComponentEntry& source = united.entries[k + 1];
    pda.entries[k].offset = offset;
    pda.entries[k].length = source.length;
    pda.entries[k].crc = source.crc;
    offset += source.length;
  }

  layout.phone = ByteRange{phone.offset, phone.length};
  layout.pdaBody = ByteRange{ipl.offset, static_cast<uint32_t>(bodyLength)};
  layout.pdaHeader = WriteImageHeader(pda, kPdaEntryCount);
  return FormatError::None;
}

FormatError SplitUnitedBinary(const uint8_t* data, size_t length, UnitedBinarySplit& split) {
  UnitedBinaryLayout layout;
  const FormatError error = LocateUnitedBinary(data, length, layout);
  if (error != FormatError::None) return error;
  split.phone = layout.phone;
  split.pdaImage = std::move(layout.pdaHeader);
  const uint8_t* body = data + layout.pdaBody.offset;
  split.pdaImage.insert(split.pdaImage.end(), body, body + layout.pdaBody.length);
  return FormatError::None;
}

FormatError LocatePdaPieces(const uint8_t* pdaImage, size_t length, PdaPieces& pieces) {
  ImageHeader header;
  FormatError error = ReadImageHeader(pdaImage, length, kPdaEntryCount, header);
  if (error != FormatError::None) return error;
  error = CheckImageHeader(header, kPdaEntryCount, length);
  if (error != FormatError::None) return error;
  const ComponentEntry& widebin = header.entries[1];
  const ComponentEntry& resource = header.entries[2];
  if (widebin.length < kSmallRomSize) return FormatError::WidebinTooShort;
  pieces.resource = ByteRange{resource.offset, resource.length};
  pieces.smallRom = ByteRange{widebin.offset, kSmallRomSize};
  pieces.bigRom = ByteRange{widebin.offset + kSmallRomSize, widebin.length - kSmallRomSize};
  return FormatError::None;
}

FormatError SplitWidebin(size_t length, ByteRange& smallRom, ByteRange& bigRom) {
  if (length < kSmallRomSize) return FormatError::WidebinTooShort;
  if (length > UINT32_MAX) return FormatError::EntryOutOfBounds;
  smallRom = ByteRange{0, kSmallRomSize};
  bigRom = ByteRange{kSmallRomSize, static_cast<uint32_t>(length) - kSmallRomSize};
  return FormatError::None;
}

FormatError ReadPhoneTrailer(const uint8_t* data, size_t length, PhoneTrailer& trailer) {
  if (!data || length < kPhoneTrailerMinSize) return FormatError::TrailerTooShort;
  const uint8_t* end = data + length;
  std::memcpy(trailer.head.data(), end - 36, 3);
  trailer.trailerWord = ReadU32LE(end - 18);
  trailer.startAddress = ReadU32LE(end - 16);
  return FormatError::None;
}

bool StartAddressPasses(uint32_t address) {
  return address % 0x1000 == 0 && (address == 0 || address >= 0x4000);
}

}  // namespace k730
