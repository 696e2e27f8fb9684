// Container headers and everything that cuts a container in memory: header
// read/check/write, the United Binary split, the PDA piece locator and the
// widebin split. The input is the container file. It is also tried with
// zeros appended, so that headers announcing a full-size widebin (128 KiB
// SmallRom part) reach the locator from a small input.

#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "fuzz_support.h"
#include "image/image_formats.h"

namespace {

using namespace k730;

constexpr size_t kPadding = kSmallRomSize + 0x1000;

bool Fits(const ByteRange& range, size_t length) {
  return static_cast<uint64_t>(range.offset) + range.length <= length;
}

void CheckHeaderRoundTrip(const uint8_t* data, size_t size, int entryCount) {
  ImageHeader header;
  const FormatError read = ReadImageHeader(data, size, entryCount, header);
  if (size < HeaderSizeFor(entryCount)) {
    K730_FUZZ_CHECK(read == FormatError::TooShort);
    return;
  }
  K730_FUZZ_CHECK(read == FormatError::None);
  const std::vector<uint8_t> written = WriteImageHeader(header, entryCount);
  K730_FUZZ_CHECK(written.size() == HeaderSizeFor(entryCount));
  K730_FUZZ_CHECK(std::memcmp(written.data(), data, written.size()) == 0);
  K730_FUZZ_CHECK(PeekHeaderSize(data, size) == header.headerSize);

  if (CheckImageHeader(header, entryCount, size) == FormatError::None) {
    K730_FUZZ_CHECK(header.headerSize == HeaderSizeFor(entryCount));
    for (int k = 0; k < entryCount; ++k) {
      K730_FUZZ_CHECK(Fits(ByteRange{header.entries[k].offset, header.entries[k].length}, size));
    }
  }
}

void CheckLocate(const uint8_t* data, size_t size) {
  PdaPieces pieces;
  if (LocatePdaPieces(data, size, pieces) != FormatError::None) return;
  K730_FUZZ_CHECK(Fits(pieces.resource, size));
  K730_FUZZ_CHECK(Fits(pieces.smallRom, size));
  K730_FUZZ_CHECK(Fits(pieces.bigRom, size));
  K730_FUZZ_CHECK(pieces.smallRom.length == kSmallRomSize);
  K730_FUZZ_CHECK(pieces.bigRom.offset == pieces.smallRom.offset + kSmallRomSize);
}

void CheckSplit(const uint8_t* data, size_t size) {
  UnitedBinarySplit split;
  if (SplitUnitedBinary(data, size, split) != FormatError::None) return;
  K730_FUZZ_CHECK(Fits(split.phone, size));

  // The PDA image built anew must be a sound container of its own whose body
  // is the run of the United Binary starting at entry 1.
  const std::vector<uint8_t>& pda = split.pdaImage;
  K730_FUZZ_CHECK(pda.size() >= kPdaHeaderSize);
  ImageHeader header;
  K730_FUZZ_CHECK(ReadImageHeader(pda.data(), pda.size(), kPdaEntryCount, header) ==
                  FormatError::None);
  K730_FUZZ_CHECK(CheckImageHeader(header, kPdaEntryCount, pda.size()) == FormatError::None);
  K730_FUZZ_CHECK(header.totalSize == pda.size());
  const uint32_t iplOffset = ReadU32LE(data + EntryPosition(1) + 32);
  const size_t body = pda.size() - kPdaHeaderSize;
  K730_FUZZ_CHECK(static_cast<uint64_t>(iplOffset) + body <= size);
  K730_FUZZ_CHECK(std::memcmp(pda.data() + kPdaHeaderSize, data + iplOffset, body) == 0);
  CheckLocate(pda.data(), pda.size());
}

void CheckWidebin(uint64_t length) {
  ByteRange smallRom;
  ByteRange bigRom;
  if (SplitWidebin(static_cast<size_t>(length), smallRom, bigRom) != FormatError::None) return;
  K730_FUZZ_CHECK(smallRom.offset == 0 && smallRom.length == kSmallRomSize);
  K730_FUZZ_CHECK(bigRom.offset == kSmallRomSize);
  K730_FUZZ_CHECK(static_cast<uint64_t>(smallRom.length) + bigRom.length == length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every reader must refuse a missing buffer, too.
  ImageHeader header;
  K730_FUZZ_CHECK(ReadImageHeader(nullptr, size, kUnitedEntryCount, header) != FormatError::None);

  CheckHeaderRoundTrip(data, size, kPdaEntryCount);
  CheckHeaderRoundTrip(data, size, kUnitedEntryCount);
  CheckSplit(data, size);
  CheckLocate(data, size);

  std::vector<uint8_t> padded(data, data + size);
  padded.resize(size + kPadding, 0);
  CheckSplit(padded.data(), padded.size());
  CheckLocate(padded.data(), padded.size());

  uint64_t length = 0;
  for (size_t i = 0; i < 8 && i < size; ++i) length |= static_cast<uint64_t>(data[i]) << (8 * i);
  CheckWidebin(length);
  CheckWidebin(size);
  return 0;
}
