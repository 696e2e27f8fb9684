// Layouts of the firmware container files (United Binary, PDA image), the
// widebin split and the phone binary's trailer. All integers are unsigned
// 32-bit little-endian; every reader checks its bounds before it reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace k730 {

constexpr uint32_t IMAGE_MAGIC = 0x12345678;
constexpr uint32_t kImageHeaderVersion = 1;
constexpr uint32_t kHeaderFixedSize = 80;
constexpr uint32_t kComponentEntrySize = 44;
constexpr uint32_t kUnitedHeaderSize = 256;  // 4 entries
constexpr uint32_t kPdaHeaderSize = 212;     // 3 entries
constexpr int kUnitedEntryCount = 4;
constexpr int kPdaEntryCount = 3;
constexpr uint32_t kTextFieldSize = 32;
constexpr uint32_t kSmallRomSize = 0x20000;        // SmallRom part at the head of a widebin
constexpr uint32_t kPhoneImageSize = 0x200000;     // the phone half's whole flash
constexpr uint32_t kPhoneTrailerMinSize = 36;      // a trailer needs the last 36 bytes
constexpr uint32_t kMaxImageFileSize = 0x2900000;  // largest United Binary or PDA image

// Absolute positions in a header.
constexpr uint32_t kOffHeaderSize = 0;
constexpr uint32_t kOffMagic = 4;
constexpr uint32_t kOffHeaderVersion = 8;
constexpr uint32_t kOffVersionText = 12;
constexpr uint32_t kOffBuildStamp = 44;
constexpr uint32_t kOffTotalSize = 76;
constexpr uint32_t EntryPosition(int k) {
  return kHeaderFixedSize + kComponentEntrySize * k;
}
constexpr uint32_t HeaderSizeFor(int entryCount) {
  return EntryPosition(entryCount);
}

struct ComponentEntry {
  std::array<char, kTextFieldSize> sourceStamp{};  // "[Date]:%y/%m/%d-%H:%M:%S    "
  uint32_t offset = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
};

struct ImageHeader {
  uint32_t headerSize = 0;
  uint32_t magic = 0;
  uint32_t headerVersion = 0;
  std::array<char, kTextFieldSize> versionText{};
  std::array<char, kTextFieldSize> buildStamp{};
  uint32_t totalSize = 0;
  std::array<ComponentEntry, kUnitedEntryCount> entries{};
};

// Copies text into a fixed field, cut to 31 characters, NUL-terminated and zero-filled.
void SetTextField(std::array<char, kTextFieldSize>& field, const std::string& text);
// The text of a field up to its first NUL.
std::string TextField(const std::array<char, kTextFieldSize>& field);

enum class FormatError {
  None,
  TooShort,          // the data is shorter than the header it must hold
  BadHeaderSize,     // header size field is not 256 (United Binary) or 212 (PDA image)
  EntryOutOfBounds,  // a component lies (partly) beyond the end of the data
  WidebinTooShort,   // a widebin or entry 1 shorter than the 131,072-byte SmallRom part
  TrailerTooShort,   // a phone binary shorter than its 36-byte trailer
  NotBackToBack,     // the PDA components do not follow each other as their lengths say
};

// Text an operator can read, e.g. "header size 300 is neither 256 nor 212".
const char* DescribeFormatError(FormatError error);

struct ByteRange {
  uint32_t offset = 0;
  uint32_t length = 0;
  bool operator==(const ByteRange&) const = default;
};

// True when entries first..last each start where the one before ends: the PDA
// body is copied in one run and its entries rebuilt from their lengths, which
// only describes the same bytes then.
bool EntriesBackToBack(const ImageHeader& header, int first, int last);

// Reads a header with 3 or 4 entries. Fails with TooShort when the data is
// shorter than 212 or 256 bytes; checks nothing else (see CheckImageHeader).
FormatError ReadImageHeader(const uint8_t* data, size_t length, int entryCount,
                            ImageHeader& header);

// Checks that the header size matches the entry count and that every entry
// lies within dataLength bytes.
FormatError CheckImageHeader(const ImageHeader& header, int entryCount, size_t dataLength);

// The 212 or 256 bytes of a header.
std::vector<uint8_t> WriteImageHeader(const ImageHeader& header, int entryCount);

// The header size a container announces in its first four bytes, 0 when shorter.
uint32_t PeekHeaderSize(const uint8_t* data, size_t length);

struct UnitedBinaryLayout {
  ByteRange phone;                 // entry 0 within the United Binary
  ByteRange pdaBody;               // the PDA body (entries 1-3), one run from entry 1
  std::vector<uint8_t> pdaHeader;  // the PDA image's 212-byte header, built anew
};

// Where the halves of a United Binary held in memory lie, without copying
// them: the PDA image is pdaHeader followed by the pdaBody bytes. Refuses
// what SplitUnitedBinary refuses.
FormatError LocateUnitedBinary(const uint8_t* data, size_t length, UnitedBinaryLayout& layout);

struct UnitedBinarySplit {
  ByteRange phone;                // entry 0 within the United Binary
  std::vector<uint8_t> pdaImage;  // 212-byte header plus the PDA body, built anew
};

// Splits a United Binary held in memory into the phone half's range and a new
// PDA image. Refuses (without reading past length) a header whose size is not
// 256 or whose entries or body lie beyond the data.
FormatError SplitUnitedBinary(const uint8_t* data, size_t length, UnitedBinarySplit& split);

struct PdaPieces {
  ByteRange resource;
  ByteRange smallRom;
  ByteRange bigRom;
};

// Locates the download pieces of a PDA image (212-byte header).
FormatError LocatePdaPieces(const uint8_t* pdaImage, size_t length, PdaPieces& pieces);

// SmallRom and BigRom ranges of a raw widebin file of the given length.
FormatError SplitWidebin(size_t length, ByteRange& smallRom, ByteRange& bigRom);

struct PhoneTrailer {
  std::array<uint8_t, 3> head{};  // end - 36; no rule applies to it
  uint32_t trailerWord = 0;       // end - 18; all ones marks an unusable file
  uint32_t startAddress = 0;      // end - 16; the application start address
};

FormatError ReadPhoneTrailer(const uint8_t* data, size_t length, PhoneTrailer& trailer);

// The start-address rule of the phone feeder: a multiple of 4,096 that is 0 or at least 0x4000.
bool StartAddressPasses(uint32_t address);

}  // namespace k730
