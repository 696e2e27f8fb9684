#include "image/container_info.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "image/crc32.h"
#include "image/source_info.h"

namespace k730 {
namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

bool Terminated(const std::array<char, kTextFieldSize>& field) {
  return std::find(field.begin(), field.end(), '\0') != field.end();
}

}  // namespace

bool ReadContainerHeader(InputFile& file, ImageHeader& header, int& entryCount,
                         std::string& error) {
  uint8_t raw[kUnitedHeaderSize];
  long long got = file.ReadAt(0, raw, 4);
  if (got < 0) {
    error = file.Error();
    return false;
  }
  if (got < 4) {
    error = file.Path() + " is shorter than a container header";
    return false;
  }
  const uint32_t headerSize = PeekHeaderSize(raw, 4);
  if (headerSize == kUnitedHeaderSize) {
    entryCount = kUnitedEntryCount;
  } else if (headerSize == kPdaHeaderSize) {
    entryCount = kPdaEntryCount;
  } else {
    error = file.Path() + ": header size " + std::to_string(headerSize) +
            " is neither 256 (United Binary) nor 212 (PDA image)";
    return false;
  }
  got = file.ReadAt(0, raw, headerSize);
  if (got < 0) {
    error = file.Error();
    return false;
  }
  if (got != static_cast<long long>(headerSize)) {
    error = file.Path() + " is shorter than its " + std::to_string(headerSize) + "-byte header";
    return false;
  }
  ReadImageHeader(raw, headerSize, entryCount, header);
  return true;
}

const char* ComponentName(int entryCount, int entry) {
  static const char* const kNames[] = {"phone binary", "IPL", "widebin", "resource data"};
  const int index = entryCount == kPdaEntryCount ? entry + 1 : entry;
  return index >= 0 && index < 4 ? kNames[index] : "?";
}

std::string PrintableText(const std::array<char, kTextFieldSize>& field) {
  std::string out;
  for (char c : field) {
    if (c == '\0') break;
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\') {
      out += c;
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", u);
      out += esc;
    }
  }
  return out;
}

std::string DescribeContainer(const ImageHeader& h, int entryCount, uint64_t fileSize) {
  std::string text;
  text += Format("Kind:           %s (%d entries)\n",
                 entryCount == kUnitedEntryCount ? "United Binary" : "PDA image", entryCount);
  text += Format("Header size:    %" PRIu32 "\n", h.headerSize);
  text += Format("Magic:          0x%08" PRIX32 "\n", h.magic);
  text += Format("Header version: %" PRIu32 "\n", h.headerVersion);
  text += "Version text:   \"" + PrintableText(h.versionText) + "\"\n";
  text += "Build stamp:    \"" + PrintableText(h.buildStamp) + "\"\n";
  text += Format("Total size:     %" PRIu32 " (file: %" PRIu64 " bytes)\n", h.totalSize, fileSize);
  for (int k = 0; k < entryCount; ++k) {
    const ComponentEntry& e = h.entries[k];
    text += Format("Entry %d (%s):\n", k, ComponentName(entryCount, k));
    text += "  Stamp:  \"" + PrintableText(e.sourceStamp) + "\"\n";
    text += Format("  Offset: %" PRIu32 " (0x%08" PRIX32 ")\n", e.offset, e.offset);
    text += Format("  Length: %" PRIu32 " (0x%08" PRIX32 ")\n", e.length, e.length);
    text += Format("  CRC:    0x%08" PRIX32 "\n", e.crc);
  }
  return text;
}

std::vector<std::string> VerifyContainer(InputFile& file, const ImageHeader& h, int entryCount) {
  std::vector<std::string> problems;
  const uint64_t fileSize = file.Size();
  if (h.magic != IMAGE_MAGIC)
    problems.push_back(Format("magic is 0x%08" PRIX32 ", not 0x%08" PRIX32, h.magic, IMAGE_MAGIC));
  if (h.headerVersion != kImageHeaderVersion)
    problems.push_back(Format("header version is %" PRIu32 ", not 1", h.headerVersion));
  if (!Terminated(h.versionText)) problems.push_back("version text has no terminating NUL");
  if (!Terminated(h.buildStamp)) problems.push_back("build stamp has no terminating NUL");
  if (h.totalSize != fileSize)
    problems.push_back(Format("total size %" PRIu32 " differs from the file size %" PRIu64,
                              h.totalSize, fileSize));

  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kStreamChunkSize]);
  uint64_t expectedOffset = h.headerSize;
  for (int k = 0; k < entryCount; ++k) {
    const ComponentEntry& e = h.entries[k];
    const char* name = ComponentName(entryCount, k);
    if (e.offset != expectedOffset)
      problems.push_back(Format("entry %d (%s): offset %" PRIu32 ", expected %" PRIu64, k, name,
                                e.offset, expectedOffset));
    expectedOffset = static_cast<uint64_t>(e.offset) + e.length;
    const int component = entryCount == kPdaEntryCount ? k + 1 : k;  // 0 phone ... 3 resource
    if (component == 2 && e.length < kSmallRomSize)
      problems.push_back(Format("entry %d (%s): length %" PRIu32 " is shorter than its %" PRIu32
                                "-byte SmallRom part",
                                k, name, e.length, kSmallRomSize));
    if (component == 0 && e.length != kPhoneImageSize)
      problems.push_back(Format("entry %d (%s): length %" PRIu32
                                ", the phone download takes %" PRIu32,
                                k, name, e.length, kPhoneImageSize));
    if (static_cast<uint64_t>(e.offset) + e.length > fileSize) {
      problems.push_back(Format("entry %d (%s): bytes %" PRIu32 "-%" PRIu64
                                " lie beyond the end of the file (%" PRIu64 " bytes)",
                                k, name, e.offset, static_cast<uint64_t>(e.offset) + e.length,
                                fileSize));
      continue;
    }
    if (!buffer) {
      problems.push_back(Format("entry %d (%s): CRC not checked: out of memory", k, name));
      continue;
    }
    uint32_t crc = 0;
    uint64_t done = 0;
    bool readFailed = false;
    while (done < e.length) {
      const size_t want =
          static_cast<size_t>(std::min<uint64_t>(kStreamChunkSize, e.length - done));
      const long long got = file.ReadAt(e.offset + done, buffer.get(), want);
      if (got != static_cast<long long>(want)) {
        readFailed = true;
        break;
      }
      crc = Crc32Update(crc, buffer.get(), want);
      done += want;
    }
    if (readFailed) {
      problems.push_back(Format("entry %d (%s): CRC not checked: %s", k, name,
                                file.Error().empty() ? "file ended early" : file.Error().c_str()));
    } else if (crc != e.crc) {
      problems.push_back(Format("entry %d (%s): CRC 0x%08" PRIX32 " in the header, 0x%08" PRIX32
                                " computed",
                                k, name, e.crc, crc));
    }
  }
  return problems;
}

}  // namespace k730
