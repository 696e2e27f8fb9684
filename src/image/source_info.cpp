#include "image/source_info.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>

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

}  // namespace

std::string FormatLocalTime(std::time_t time) {
  std::tm local{};
  char text[32] = "";
  if (!localtime_r(&time, &local) ||
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

SourceInfo ReadSourceInfo(SourceKind kind, const std::string& path) {
  SourceInfo info;
  auto fail = [&](std::string why) {
    info = SourceInfo{};
    info.text = SourceHeading(kind, path, false);
    info.error = std::move(why);
    return info;
  };

  InputFile file;
  if (!file.Open(path)) return fail(file.Error());
  if (file.Size() > UINT32_MAX) return fail("cannot use: " + path + ": 4 GiB or larger");

  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kStreamChunkSize]);
  if (!buffer) return fail("cannot read: " + path + ": out of memory");
  uint32_t crc = 0;
  uint64_t done = 0;
  while (done < file.Size()) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(kStreamChunkSize, file.Size() - done));
    const long long got = file.ReadAt(done, buffer.get(), want);
    if (got < 0) return fail(file.Error());
    if (static_cast<size_t>(got) != want)
      return fail("cannot read: " + path + ": the file became shorter while it was read");
    crc = Crc32Update(crc, buffer.get(), want);
    done += want;
  }

  info.opened = true;
  info.length = static_cast<uint32_t>(file.Size());
  info.crc = crc;
  info.identity = file.Identity();
  info.stamp = SourceStamp(file.ModificationTime());
  char pieces[96];
  std::snprintf(pieces, sizeof pieces, "[Size]:%" PRIu32 " bytes    ", info.length);
  info.text = SourceHeading(kind, path, true) + pieces + info.stamp;
  std::snprintf(pieces, sizeof pieces, "[CRC]:%" PRIX32 "   ", info.crc);
  info.text += pieces;
  return info;
}

}  // namespace k730
