#include "image/image_maker.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>

#include "image/crc32.h"
#include "image/file_io.h"

namespace k730 {
namespace {

constexpr const char* kMsgMakeFileName = "Make File Name";
constexpr const char* kMsgFilesNotSelected = "Files not selected";
constexpr const char* kMsgFileAccessError = "[ERROR]File Access error!\r\n";

MakeResult Message(const char* text, MessageButtons buttons, std::string reason) {
  MakeResult r;
  r.outcome = MakeOutcome::Message;
  r.message = text;
  r.buttons = buttons;
  r.reason = std::move(reason);
  return r;
}

// A refusal the operator must read: a message in the style of the window's
// own error texts; the same words, without decoration, are the reason.
MakeResult Refuse(const std::string& what) {
  MakeResult r;
  r.outcome = MakeOutcome::Message;
  r.message = "[ERROR]" + what + "!\r\n";
  r.icon = MessageIcon::Error;
  r.buttons = MessageButtons::Ok;
  r.reason = what;
  return r;
}

MakeResult Stop(std::string reason) {
  MakeResult r;
  r.outcome = MakeOutcome::Stopped;
  r.reason = std::move(reason);
  return r;
}

MakeResult Finish(std::vector<std::string> written) {
  MakeResult r;
  r.outcome = MakeOutcome::Finished;
  r.written = std::move(written);
  return r;
}

int ChosenIndex(SourceKind kind) {
  return kind == SourceKind::ImgOrPda ? -1 : static_cast<int>(kind);
}

// The component entry a source's choice records into, or null.
ComponentEntry* RecordedEntry(ImageMaker& maker, SourceKind kind) {
  switch (kind) {
    case SourceKind::Phone:
      return &maker.unitedHeader.entries[0];
    case SourceKind::Ipl:
      return &maker.pdaHeader.entries[0];
    case SourceKind::Widebin:
      return &maker.pdaHeader.entries[1];
    case SourceKind::Resource:
      return &maker.pdaHeader.entries[2];
    default:
      return nullptr;
  }
}

std::string U32(uint32_t v) {
  return std::to_string(v);
}

MakeResult PathTooLong(const std::string& path) {
  return Refuse("Output path longer than " + std::to_string(kMaxOutputPath) +
                " characters: " + path);
}

enum class CopyStatus { Ok, Short, ReadError, WriteError, Changed };

// Copies length bytes at offset into out. With expectedCrc, the bytes must
// still have the CRC recorded when the source was chosen; that needs a pass
// through buffer unless the file is known to be unchanged.
CopyStatus CopyRange(InputFile& in, uint64_t offset, uint32_t length, OutputFile& out,
                     std::vector<uint8_t>& buffer, const uint32_t* expectedCrc, bool unchanged) {
  // The kernel copies page-aligned sources fastest; from any other offset a
  // pass through the buffer is as quick.
  if (unchanged) expectedCrc = nullptr;
  if (!expectedCrc && offset % 4096 == 0) {
    switch (out.CopyFrom(in, offset, length)) {
      case OutputFile::CopyResult::Ok:
        return CopyStatus::Ok;
      case OutputFile::CopyResult::Short:
        return CopyStatus::Short;
      case OutputFile::CopyResult::ReadError:
        return CopyStatus::ReadError;
      case OutputFile::CopyResult::WriteError:
        return CopyStatus::WriteError;
      case OutputFile::CopyResult::Unsupported:
        break;
    }
  }
  uint32_t crc = 0;
  uint64_t done = 0;
  while (done < length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
    const long long got = in.ReadAt(offset + done, buffer.data(), want);
    if (got < 0) return CopyStatus::ReadError;
    if (static_cast<size_t>(got) != want) return CopyStatus::Short;
    if (expectedCrc) crc = Crc32Update(crc, buffer.data(), want);
    if (!out.Write(buffer.data(), want)) return CopyStatus::WriteError;
    done += want;
  }
  if (expectedCrc && crc != *expectedCrc) return CopyStatus::Changed;
  return CopyStatus::Ok;
}

MakeResult CopyFailure(CopyStatus status, const InputFile& in, const OutputFile& out) {
  switch (status) {
    case CopyStatus::Short:
      return Refuse(in.Path() + " is shorter than its recorded length");
    case CopyStatus::ReadError:
      return Refuse(in.Error());
    case CopyStatus::WriteError:
      return Refuse(out.Error());
    case CopyStatus::Changed:
      return Refuse(in.Path() + " has changed since it was chosen");
    case CopyStatus::Ok:
      break;
  }
  return Refuse("internal copy error");
}

}  // namespace

StampDateTime StampDateTime::LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  StampDateTime t;
  if (localtime_r(&now, &local)) {
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
  }
  return t;
}

std::string FormatBuildStamp(const StampDateTime& date, const StampDateTime& time) {
  char text[96];
  std::snprintf(text, sizeof text, "%02d/%02d/%02d-%02d:%02d:%02d", (date.year % 100 + 100) % 100,
                date.month, date.day, time.hour, time.minute, time.second);
  return text;
}

ImageMaker::ImageMaker() : buildDate(StampDateTime::LocalNow()), buildTime(buildDate) {}

bool ImageMaker::IsChosen(SourceKind kind) const {
  const int index = ChosenIndex(kind);
  return index >= 0 && chosen[index];
}

SourceInfo ImageMaker::ChooseSource(SourceKind kind, const std::optional<std::string>& path) {
  if (!path) return SourceInfo{};
  const int k = static_cast<int>(kind);
  sourcePath[k] = *path;
  if (kind == SourceKind::ImgOrPda)
    unitedBinary = path->size() >= 3 && path->compare(path->size() - 3, 3, "img") == 0;

  SourceInfo info = ReadSourceInfo(kind, *path);
  sourceText[k] = info.text;
  const int index = ChosenIndex(kind);
  if (!info.opened) {
    if (index >= 0) chosen[index] = false;
    identity_[k].reset();
    return info;
  }
  if (ComponentEntry* entry = RecordedEntry(*this, kind)) {
    SetTextField(entry->sourceStamp, info.stamp);
    entry->length = info.length;
    entry->crc = info.crc;
  }
  if (index >= 0) chosen[index] = true;
  identity_[k] = info.identity;
  return info;
}

std::string ImageMaker::OutputDirectory() const {
  return DirectoryPart(sourcePath[static_cast<int>(SourceKind::Widebin)]);
}

MakeResult ImageMaker::MakeFile() {
  if (fileName.empty())
    return Message(kMsgMakeFileName, MessageButtons::OkCancel, "no output file name");
  const std::string directory = OutputDirectory();
  switch (operation) {
    case ImageOperation::MakeImg:
      return MakeImgTo(directory + fileName + ".img");
    case ImageOperation::MakePda:
      return MakePdaTo(directory + fileName + ".pda");
    case ImageOperation::Combine:
      return CombineTo(directory + fileName + ".img");
    case ImageOperation::Split:
      return SplitTo(directory);
  }
  return Stop("unknown operation");
}

MakeResult ImageMaker::MakeImgTo(const std::string& outputPath) {
  return MakeContainer(outputPath, true);
}

MakeResult ImageMaker::MakePdaTo(const std::string& outputPath) {
  return MakeContainer(outputPath, false);
}

MakeResult ImageMaker::MakeContainer(const std::string& outputPath, bool united) {
  static constexpr SourceKind kUnitedSources[] = {SourceKind::Phone, SourceKind::Ipl,
                                                  SourceKind::Widebin, SourceKind::Resource};
  const SourceKind* sources = united ? kUnitedSources : kUnitedSources + 1;
  const int count = united ? kUnitedEntryCount : kPdaEntryCount;
  for (int k = 0; k < count; ++k) {
    if (!IsChosen(sources[k]))
      return Message(kMsgFilesNotSelected, MessageButtons::OkCancel, "not every source is chosen");
  }
  if (outputPath.size() > kMaxOutputPath) return PathTooLong(outputPath);
  if (!EnsureBuffer()) return Refuse("Out of memory");

  OutputFile out;
  if (!out.Create(outputPath)) return Stop(out.Error());

  ImageHeader& header = united ? unitedHeader : pdaHeader;
  if (united) {
    for (int k = 0; k < kPdaEntryCount; ++k) {
      unitedHeader.entries[k + 1].sourceStamp = pdaHeader.entries[k].sourceStamp;
      unitedHeader.entries[k + 1].length = pdaHeader.entries[k].length;
      unitedHeader.entries[k + 1].crc = pdaHeader.entries[k].crc;
    }
  }

  std::array<InputFile, kUnitedEntryCount> inputs;
  const uint32_t headerSize = HeaderSizeFor(count);
  uint64_t offset = headerSize;
  for (int k = 0; k < count; ++k) {
    if (!inputs[k].Open(sourcePath[static_cast<int>(sources[k])])) return Stop(inputs[k].Error());
    ComponentEntry& entry = header.entries[k];
    if (entry.length > kWorkBufferSize)
      return Refuse(inputs[k].Path() + " is larger than " + U32(kWorkBufferSize) + " bytes");
    entry.offset = static_cast<uint32_t>(offset);
    offset += entry.length;
  }

  header.headerSize = headerSize;
  header.magic = IMAGE_MAGIC;
  header.headerVersion = kImageHeaderVersion;
  SetTextField(header.versionText, version);
  SetTextField(header.buildStamp, FormatBuildStamp(buildDate, buildTime));
  header.totalSize = static_cast<uint32_t>(offset);  // at most 256 + 4 work buffers

  const std::vector<uint8_t> bytes = WriteImageHeader(header, count);
  if (!out.Write(bytes.data(), bytes.size())) return Refuse(out.Error());
  for (int k = 0; k < count; ++k) {
    const bool unchanged = identity_[static_cast<int>(sources[k])] == inputs[k].Identity();
    const CopyStatus status = CopyRange(inputs[k], 0, header.entries[k].length, out, buffer_,
                                        &header.entries[k].crc, unchanged);
    if (status != CopyStatus::Ok) return CopyFailure(status, inputs[k], out);
  }
  if (!out.Commit()) return Refuse(out.Error());
  return Finish({outputPath});
}

MakeResult ImageMaker::CombineTo(const std::string& outputPath) {
  if (!IsChosen(SourceKind::Phone) || !IsChosen(SourceKind::PdaData))
    return Message(kMsgFilesNotSelected, MessageButtons::OkCancel,
                   "the phone binary and the PDA image must both be chosen");
  if (outputPath.size() > kMaxOutputPath) return PathTooLong(outputPath);
  if (!EnsureBuffer()) return Refuse("Out of memory");

  OutputFile out;
  if (!out.Create(outputPath)) return Stop(out.Error());
  InputFile phone, pda;
  if (!phone.Open(sourcePath[static_cast<int>(SourceKind::Phone)])) return Stop(phone.Error());
  if (!pda.Open(sourcePath[static_cast<int>(SourceKind::PdaData)])) return Stop(pda.Error());

  const ComponentEntry phoneEntry = unitedHeader.entries[0];
  if (phoneEntry.length > kWorkBufferSize)
    return Refuse(phone.Path() + " is larger than " + U32(kWorkBufferSize) + " bytes");
  if (pda.Size() > kWorkBufferSize)
    return Refuse(pda.Path() + " is larger than " + U32(kWorkBufferSize) + " bytes");
  if (pda.Size() < kPdaHeaderSize)
    return Refuse(pda.Path() + " is shorter than a PDA image header (212 bytes)");

  uint8_t raw[kPdaHeaderSize];
  const long long got = pda.ReadAt(0, raw, sizeof raw);
  if (got < 0) return Refuse(pda.Error());
  if (got != static_cast<long long>(sizeof raw))
    return Refuse(pda.Path() + " is shorter than a PDA image header (212 bytes)");
  ImageHeader source;
  ReadImageHeader(raw, sizeof raw, kPdaEntryCount, source);
  // A header of another kind, or one whose pieces do not fit its own total
  // size, would give a United Binary whose entries describe the wrong bytes.
  if (source.headerSize != kPdaHeaderSize)
    return Refuse(pda.Path() + " is not a PDA image: header size " + U32(source.headerSize));
  if (source.totalSize < kPdaHeaderSize)
    return Refuse(pda.Path() + ": total size " + U32(source.totalSize) +
                  " is smaller than its header");
  if (source.totalSize > pda.Size())
    return Refuse(pda.Path() + " is shorter than the total size in its header (" +
                  U32(source.totalSize) + " bytes)");
  const uint64_t pieces = static_cast<uint64_t>(source.entries[0].length) +
                          source.entries[1].length + source.entries[2].length;
  if (pieces > source.totalSize - kPdaHeaderSize)
    return Refuse(pda.Path() + ": its components run past the total size in its header");

  ImageHeader united = unitedHeader;
  united.headerSize = kUnitedHeaderSize;
  united.magic = IMAGE_MAGIC;
  united.headerVersion = kImageHeaderVersion;
  SetTextField(united.versionText, version);
  SetTextField(united.buildStamp, FormatBuildStamp(buildDate, buildTime));
  united.totalSize = phoneEntry.length + source.totalSize + kComponentEntrySize;
  united.entries[0] = phoneEntry;
  united.entries[0].offset = kUnitedHeaderSize;
  uint32_t offset = kUnitedHeaderSize + phoneEntry.length;
  for (int k = 0; k < kPdaEntryCount; ++k) {
    united.entries[k + 1] = source.entries[k];  // stamps, lengths and CRCs as they stand
    united.entries[k + 1].offset = offset;
    offset += source.entries[k].length;
  }

  const std::vector<uint8_t> bytes = WriteImageHeader(united, kUnitedEntryCount);
  if (!out.Write(bytes.data(), bytes.size())) return Refuse(out.Error());
  const bool unchanged = identity_[static_cast<int>(SourceKind::Phone)] == phone.Identity();
  CopyStatus status =
      CopyRange(phone, 0, phoneEntry.length, out, buffer_, &phoneEntry.crc, unchanged);
  if (status != CopyStatus::Ok) return CopyFailure(status, phone, out);
  status = CopyRange(pda, kPdaHeaderSize, source.totalSize - kPdaHeaderSize, out, buffer_, nullptr,
                     false);
  if (status != CopyStatus::Ok) return CopyFailure(status, pda, out);
  if (!out.Commit()) return Refuse(out.Error());

  unitedHeader = united;
  pdaHeader = source;
  ForgetIdentities({SourceKind::Ipl, SourceKind::Widebin, SourceKind::Resource});
  return Finish({outputPath});
}

MakeResult ImageMaker::SplitTo(const std::string& directory) {
  InputFile in;
  if (!in.Open(sourcePath[static_cast<int>(SourceKind::ImgOrPda)]))
    return Message(kMsgFileAccessError, MessageButtons::Ok, in.Error());
  if (!EnsureBuffer()) return Refuse("Out of memory");

  const int count = unitedBinary ? kUnitedEntryCount : kPdaEntryCount;
  const uint32_t headerSize = HeaderSizeFor(count);
  const char* kind = unitedBinary ? "United Binary" : "PDA image";
  uint8_t raw[kUnitedHeaderSize];
  const long long got = in.ReadAt(0, raw, headerSize);
  if (got < 0) return Refuse(in.Error());
  if (got != static_cast<long long>(headerSize))
    return Refuse(in.Path() + " is shorter than a " + kind + " header (" + U32(headerSize) +
                  " bytes)");
  ImageHeader header;
  ReadImageHeader(raw, headerSize, count, header);
  if (header.headerSize != headerSize)
    return Refuse(in.Path() + " is not a " + kind + ": header size " + U32(header.headerSize));
  if (CheckImageHeader(header, count, in.Size()) != FormatError::None)
    return Refuse(in.Path() + ": a component lies beyond the end of the file");

  static constexpr const char* kNames[] = {kSplitPhoneName, kSplitIplName, kSplitWidebinName,
                                           kSplitResourceName};
  const char* const* names = unitedBinary ? kNames : kNames + 1;
  std::vector<std::string> paths;
  for (int k = 0; k < count; ++k) {
    paths.push_back(directory + names[k]);
    if (paths.back().size() > kMaxOutputPath) return PathTooLong(paths.back());
  }

  // Every output is complete before any of them replaces a file.
  std::vector<OutputFile> outputs(count);
  for (int k = 0; k < count; ++k) {
    if (!outputs[k].Create(paths[k])) return Stop(outputs[k].Error());
    const CopyStatus status = CopyRange(in, header.entries[k].offset, header.entries[k].length,
                                        outputs[k], buffer_, nullptr, false);
    if (status != CopyStatus::Ok) return CopyFailure(status, in, outputs[k]);
  }
  for (auto& output : outputs) {
    if (!output.Commit()) return Refuse(output.Error());
  }

  if (unitedBinary) {
    unitedHeader = header;
    ForgetIdentities({SourceKind::Phone});
  } else {
    pdaHeader = header;
    ForgetIdentities({SourceKind::Ipl, SourceKind::Widebin, SourceKind::Resource});
  }
  return Finish(std::move(paths));
}

void ImageMaker::ForgetIdentities(std::initializer_list<SourceKind> kinds) {
  for (SourceKind kind : kinds) identity_[static_cast<int>(kind)].reset();
}

bool ImageMaker::EnsureBuffer() {
  if (!buffer_.empty()) return true;
  try {
    buffer_.resize(kStreamChunkSize);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace k730
