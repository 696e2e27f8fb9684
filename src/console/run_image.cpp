#include "console/run_image.h"

#include "console/job_rules.h"
#include "core/job_ids.h"
#include "core/slot_writer.h"
#include "image/crc32.h"
#include "image/file_io.h"
#include "image/image_formats.h"

namespace k730 {
namespace {

bool PdaModeUsesHeader(int pdaMode) {
  return pdaMode == mode::kPdaSmallRom || pdaMode == mode::kPdaResource ||
         pdaMode == mode::kPdaAll || pdaMode == mode::kPdaWidebin || pdaMode == mode::kPdaBigrom;
}

std::string TooShortPhone(uint32_t length) {
  return FormatBounded(255, "[ERROR]Phone image is too short(%u bytes, needs %u)\r\n", length,
                       kPhoneImageSize);
}

// Reads the whole file, leaving room for spare more bytes behind it.
std::string ReadWholeFile(const std::string& path, size_t spare, RunImages& images) {
  InputFile file;
  if (!file.Open(path)) return kFileAccessLine;
  if (file.Size() > kMaxImageFileSize)
    return FormatBounded(255, "[ERROR] File Size is abnormal(%llu bytes)\r\n",
                         static_cast<unsigned long long>(file.Size()));
  const size_t length = static_cast<size_t>(file.Size());
  images.bytes.reserve(length + spare);
  images.bytes.assign(length, 0);
  size_t done = 0;
  while (done < length) {
    const long long n = file.ReadAt(done, images.bytes.data() + done, length - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done != length) {
    images.bytes.clear();
    return kFileAccessLine;
  }
  images.fileRead = true;
  images.fileLength = static_cast<uint32_t>(length);
  images.crc = Crc32(images.bytes.data(), 0, images.bytes.size());
  return "";
}

std::string SplitUnited(const JobForm& job, RunImages& images) {
  std::vector<uint8_t>& data = images.bytes;
  UnitedBinaryLayout layout;
  const FormatError error = LocateUnitedBinary(data.data(), data.size(), layout);
  if (error != FormatError::None)
    return FormatBounded(255, "[ERROR]United Binary is damaged: %s\r\n",
                         DescribeFormatError(error));
  if (layout.phone.length < kPhoneImageSize) return TooShortPhone(layout.phone.length);
  // The header goes in before the body, into the room left behind the
  // file's bytes, so the halves stay ranges of the one buffer. A phone half
  // after the body moves along; one across the body's start (no such file is
  // made) is copied.
  const uint32_t at = layout.pdaBody.offset;
  const ByteRange phone = layout.phone;
  uint32_t phoneAt = phone.offset;
  if (phone.offset >= at) {
    phoneAt = phone.offset + kPdaHeaderSize;
  } else if (phone.offset + phone.length > at) {
    images.phoneCopy.assign(data.begin() + phone.offset,
                            data.begin() + phone.offset + phone.length);
  }
  data.insert(data.begin() + at, layout.pdaHeader.begin(), layout.pdaHeader.end());
  images.pda = data.data() + at;
  images.pdaLength = kPdaHeaderSize + layout.pdaBody.length;
  images.phone = images.phoneCopy.empty() ? data.data() + phoneAt : images.phoneCopy.data();
  images.phoneLength = phone.length;
  if (PdaModeUsesHeader(job.pdaMode)) {
    PdaPieces pieces;
    const FormatError pdaError = LocatePdaPieces(images.pda, images.pdaLength, pieces);
    if (pdaError != FormatError::None)
      return FormatBounded(255, "[ERROR]United Binary is damaged: %s\r\n",
                           DescribeFormatError(pdaError));
  }
  return "";
}

}  // namespace

std::string LoadRunImages(const JobForm& job, RunImages& images) {
  images = RunImages{};
  const size_t spare = job.deviceMode == mode::kPdaPhone ? kPdaHeaderSize : 0;
  if (std::string refusal = ReadWholeFile(job.imagePath, spare, images); !refusal.empty())
    return refusal;
  std::string refusal;
  if (job.deviceMode == mode::kPda) {
    // The worker cuts these modes into parts; a file they cannot be cut from
    // is refused before anything starts.
    FormatError error = FormatError::None;
    if (job.pdaMode == mode::kPdaAll) {
      PdaPieces pieces;
      error = LocatePdaPieces(images.bytes.data(), images.bytes.size(), pieces);
    } else if (job.pdaMode == mode::kPdaWidebin || job.pdaMode == mode::kPdaBigrom) {
      ByteRange smallRom, bigRom;
      error = SplitWidebin(images.bytes.size(), smallRom, bigRom);
    }
    if (error != FormatError::None) {
      refusal =
          FormatBounded(255, "[ERROR]PDA image is damaged: %s\r\n", DescribeFormatError(error));
    } else {
      images.pda = images.bytes.data();
      images.pdaLength = images.fileLength;
    }
  } else if (job.deviceMode == mode::kPhone) {
    if (images.fileLength < kPhoneImageSize) {
      refusal = TooShortPhone(images.fileLength);
    } else {
      images.phone = images.bytes.data();
      images.phoneLength = images.fileLength;
    }
  } else {
    refusal = SplitUnited(job, images);
  }
  if (!refusal.empty()) {
    const bool read = images.fileRead;
    const uint32_t length = images.fileLength;
    images = RunImages{};
    images.fileRead = read;
    images.fileLength = length;
  }
  return refusal;
}

}  // namespace k730
