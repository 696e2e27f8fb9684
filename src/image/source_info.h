// Choosing a source file for the Image Maker: the text shown on the source's
// button and the stamp, length and CRC-32 recorded for its component entry.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace k730 {

enum class SourceKind { Phone = 0, Ipl = 1, Widebin = 2, Resource = 3, PdaData = 4, ImgOrPda = 5 };
constexpr int kSourceKindCount = 6;

// Sources are streamed through a buffer of this size, never held whole; small
// enough that the CRC pass reads it from the cache the kernel just filled.
constexpr size_t kStreamChunkSize = 64 * 1024;

struct SourceInfo {
  bool opened = false;  // false: text is the open-error text, error says why
  std::string text;     // the SourceInfo text for the source's button
  std::string stamp;    // "[Date]:%y/%m/%d-%H:%M:%S    ", 28 characters
  uint32_t length = 0;
  uint32_t crc = 0;
  std::string error;
};

// "%y/%m/%d-%H:%M:%S" of a time in the local time zone.
std::string FormatLocalTime(std::time_t time);

// "[Date]:%s    " of a file's modification time.
std::string SourceStamp(std::time_t modificationTime);

// The first two lines of the text, with or without " open error!".
std::string SourceHeading(SourceKind kind, const std::string& path, bool opened);

// Reads the whole file once, computes its CRC-32, and builds the text. A file
// that does not open, is not a regular file, is 4 GiB or longer, or fails to
// read completely yields the open-error text: a CRC of partial data is never shown.
SourceInfo ReadSourceInfo(SourceKind kind, const std::string& path);

// The same without reading the file: crc stays 0 and the text has no [CRC]
// piece. For callers that compute the CRC while they copy the file anyway.
SourceInfo ExamineSource(SourceKind kind, const std::string& path);

}  // namespace k730
