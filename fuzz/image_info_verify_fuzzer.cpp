// What "k730-image info FILE --verify" runs on a file: header read, the
// description and the verification. The input is the file. A container that
// verifies without a problem must also be accepted by the in-memory readers
// the download uses, and its CRCs must be those of its components.

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "image/container_info.h"
#include "image/crc32.h"
#include "image/file_io.h"
#include "image/image_formats.h"

namespace {

using namespace k730;

void CheckSound(const uint8_t* data, size_t size, const ImageHeader& header, int entryCount) {
  K730_FUZZ_CHECK(header.totalSize == size);
  K730_FUZZ_CHECK(CheckImageHeader(header, entryCount, size) == FormatError::None);
  for (int k = 0; k < entryCount; ++k) {
    const ComponentEntry& e = header.entries[k];
    K730_FUZZ_CHECK(Crc32(data, e.offset, e.length) == e.crc);
  }
  if (entryCount == kPdaEntryCount) {
    PdaPieces pieces;
    K730_FUZZ_CHECK(LocatePdaPieces(data, size, pieces) == FormatError::None);
  } else {
    UnitedBinarySplit split;
    K730_FUZZ_CHECK(SplitUnitedBinary(data, size, split) == FormatError::None);
    PdaPieces pieces;
    K730_FUZZ_CHECK(LocatePdaPieces(split.pdaImage.data(), split.pdaImage.size(), pieces) ==
                    FormatError::None);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::ScratchDir dir("info");
  const std::string path = dir.File("image.img");
  fuzz::WriteBytes(path, data, size);

  InputFile file;
  K730_FUZZ_CHECK(file.Open(path));
  K730_FUZZ_CHECK(file.Size() == size);
  ImageHeader header;
  int entryCount = 0;
  std::string error;
  const bool read = ReadContainerHeader(file, header, entryCount, error);
  const uint32_t announced = PeekHeaderSize(data, size);
  const bool known = announced == kUnitedHeaderSize || announced == kPdaHeaderSize;
  K730_FUZZ_CHECK(read == (known && size >= announced));
  if (!read) {
    K730_FUZZ_CHECK(!error.empty());
    return 0;
  }
  K730_FUZZ_CHECK(header.headerSize == announced);
  K730_FUZZ_CHECK(HeaderSizeFor(entryCount) == announced);

  const std::string description = DescribeContainer(header, entryCount, file.Size());
  K730_FUZZ_CHECK(!description.empty());
  // The description is plain text: field texts are escaped.
  for (const char c : description) {
    const auto u = static_cast<unsigned char>(c);
    K730_FUZZ_CHECK(c == '\n' || (u >= 0x20 && u < 0x7F));
  }

  const std::vector<std::string> problems = VerifyContainer(file, header, entryCount);
  for (const std::string& p : problems) K730_FUZZ_CHECK(!p.empty());
  if (problems.empty()) CheckSound(data, size, header, entryCount);
  return 0;
}
