#include "image/source_info.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "core/clock.h"
#include "image/crc32.h"
#include "image/file_io.h"

namespace k730 {
namespace {

const char* FirstLine(SourceKind kind, const std::string& path, bool opened) {
  switch (kind) {
    case SourceKind::Phone:
      // The two texts differ in the first line; both are the system's own.
      return opened ? "Phonem binary" : "Phone binary";
    case SourceKind::Ipl:
      return "IPL binary";
    case SourceKind::Widebin:
      return "WIDEBIN";
    case SourceKind::Resource:
      return "Resource data";
    case SourceKind::PdaData:
      return "PDA data";
    case SourceKind::ImgOrPda:
      return path.size() >= 3 && path.compare(path.size() - 3, 3, "img") == 0 ? "IMG data"
                                                                              : "PDA data";
  }
  return "";
}

// CRC-32 of length bytes at offset, through a bounded buffer of its own.
// Empty text on success, else why the range could not be read whole.
std::string RangeCrc(const InputFile& file, uint64_t offset, uint64_t length, uint32_t& crc) {
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kStreamChunkSize]);
  if (!buffer) return "cannot read: " + file.Path() + ": out of memory";
  crc = 0;
  for (uint64_t done = 0; done < length;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kStreamChunkSize, length - done));
    int error = 0;
    const long long got = file.ReadAt(offset + done, buffer.get(), want, error);
    if (got < 0) return ErrnoText("cannot read", file.Path(), error);
    if (static_cast<size_t>(got) != want)
      return "cannot read: " + file.Path() + ": the file became shorter while it was read";
    crc = Crc32Update(crc, buffer.get(), want);
    done += want;
  }
  return {};
}

// Files this long are checked in two halves on two threads.
constexpr uint64_t kParallelCrcSize = 1 << 20;

bool FileCrc(const InputFile& file, uint32_t& crc, std::string& error) {
  const uint64_t size = file.Size();
  if (size >= kParallelCrcSize) {
    const uint64_t half = size / 2;
    uint32_t crcB = 0;
    std::string errorB;
    std::thread second;
    try {
      second = std::thread([&] { errorB = RangeCrc(file, half, size - half, crcB); });
    } catch (const std::system_error&) {
      // No thread to be had: one pass on this one.
    }
    if (second.joinable()) {
      std::string errorA = RangeCrc(file, 0, half, crc);
      second.join();
      error = !errorA.empty() ? errorA : errorB;
      if (!error.empty()) return false;
      crc = Crc32Combine(crc, crcB, size - half);
      return true;
    }
  }
  error = RangeCrc(file, 0, size, crc);
  return error.empty();
}

}  // namespace

std::string FormatLocalTime(std::time_t time) {
  std::tm local{};
  char text[32] = "";
  if (!LocalTimeOf(time, local) ||
      std::strftime(text, sizeof text, "%y/%m/%d-%H:%M:%S", &local) == 0)
    return "00/00/00-00:00:00";
  return text;
}

std::string SourceStamp(std::time_t modificationTime) {
  return "[Date]:" + FormatLocalTime(modificationTime) + "    ";
}

std::string SourceHeading(SourceKind kind, const std::string& path, bool opened) {
  return std::string(FirstLine(kind, path, opened)) + "\r\n[File]:" + path +
         (opened ? "\r\n" : " open error!\r\n");
}

namespace {

// Opens the file and fills everything but the CRC; the text gets the [Size]
// and [Date] pieces. On failure the open-error text.
SourceInfo Examine(SourceKind kind, const std::string& path, InputFile& file) {
  SourceInfo info;
  info.text = SourceHeading(kind, path, false);
  if (!file.Open(path)) {
    info.error = file.Error();
    return info;
  }
  if (file.Size() > UINT32_MAX) {
    info.error = "cannot use: " + path + ": 4 GiB or larger";
    return info;
  }
  info.opened = true;
  info.length = static_cast<uint32_t>(file.Size());
  info.stamp = SourceStamp(file.ModificationTime());
  char size[64];
  std::snprintf(size, sizeof size, "[Size]:%" PRIu32 " bytes    ", info.length);
  info.text = SourceHeading(kind, path, true) + size + info.stamp;
  return info;
}

}  // namespace

SourceInfo ReadSourceInfo(SourceKind kind, const std::string& path) {
  InputFile file;
  SourceInfo info = Examine(kind, path, file);
  if (!info.opened) return info;
  std::string readError;
  if (!FileCrc(file, info.crc, readError)) {
    info = SourceInfo{};
    info.text = SourceHeading(kind, path, false);
    info.error = readError;
    return info;
  }
  char crc[32];
  std::snprintf(crc, sizeof crc, "[CRC]:%" PRIX32 "   ", info.crc);
  info.text += crc;
  return info;
}

SourceInfo ExamineSource(SourceKind kind, const std::string& path) {
  InputFile file;
  return Examine(kind, path, file);
}

}  // namespace k730
