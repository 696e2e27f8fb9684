// The phone binary's trailer and the image feeder that loads a phone half
// from disk: the input is the file. When the feeder accepts it, its block
// table must hold exactly the file's bytes, zero-padded to whole blocks.

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "fuzz_support.h"
#include "image/image_formats.h"
#include "phone/image_buffer.h"

namespace {

using namespace k730;

void CheckTrailer(const uint8_t* data, size_t size) {
  PhoneTrailer trailer;
  const FormatError error = ReadPhoneTrailer(data, size, trailer);
  if (size < kPhoneTrailerMinSize) {
    K730_FUZZ_CHECK(error == FormatError::TrailerTooShort);
    return;
  }
  K730_FUZZ_CHECK(error == FormatError::None);
  const uint8_t* end = data + size;
  K730_FUZZ_CHECK(std::memcmp(trailer.head.data(), end - 36, 3) == 0);
  K730_FUZZ_CHECK(trailer.trailerWord == ReadU32LE(end - 18));
  K730_FUZZ_CHECK(trailer.startAddress == ReadU32LE(end - 16));
}

void CheckFeeder(const uint8_t* data, size_t size, MessageAnswer answer) {
  static fuzz::ScratchDir dir("trailer");
  const std::string path = dir.File("phone.bin");
  fuzz::WriteBytes(path, data, size);

  fuzz::FixedPrompt prompt(answer);
  ImageBuffer feeder(&prompt);
  const int opened = feeder.OpenImage(path);

  bool expected = size >= ImageBuffer::kMinFileSize;
  if (expected) {
    const uint32_t word = ReadU32LE(data + size - 18);
    const uint32_t start = ReadU32LE(data + size - 16);
    expected = word != 0xFFFFFFFFu && (StartAddressPasses(start) || answer == MessageAnswer::Yes);
    if (expected) K730_FUZZ_CHECK(feeder.StartAddress() == start);
  }
  K730_FUZZ_CHECK(opened == (expected ? 1 : 0));

  const int built = feeder.BuildBlockTable();
  K730_FUZZ_CHECK(built == opened);
  if (!built) {
    K730_FUZZ_CHECK(feeder.Table() == nullptr);
    return;
  }
  const auto table = feeder.Table();
  K730_FUZZ_CHECK(table != nullptr);
  K730_FUZZ_CHECK(table->Count() == (size + kBlockSize - 1) / kBlockSize);
  K730_FUZZ_CHECK(table->BlockAt(table->Count()) == nullptr);
  for (uint32_t n = 0; n < table->Count(); ++n) {
    const uint8_t* record = table->BlockAt(n);
    K730_FUZZ_CHECK(record != nullptr);
    K730_FUZZ_CHECK(ReadU16LE(record + 5) == kBlockSize);
    const size_t offset = size_t{n} * kBlockSize;
    const size_t have = std::min<size_t>(kBlockSize, size - offset);
    const uint8_t* blockData = record + kBlockDataOffset;
    K730_FUZZ_CHECK(std::memcmp(blockData, data + offset, have) == 0);
    for (size_t i = have; i < kBlockSize; ++i) K730_FUZZ_CHECK(blockData[i] == 0);
  }
  feeder.Close();
  K730_FUZZ_CHECK(feeder.BlockAt(0) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckTrailer(data, size);
  // The operator's answer to the start-address question comes from the input
  // too, so both ways through the question are taken.
  const MessageAnswer answer = size > 0 && (data[0] & 1) ? MessageAnswer::Yes : MessageAnswer::No;
  CheckFeeder(data, size, answer);
  return 0;
}
