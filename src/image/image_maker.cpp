#include "image/image_maker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "core/clock.h"
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

// An output must not replace one of the operation's inputs (the new file
// would be made from what it destroys) nor anything that is not a plain file.
std::optional<MakeResult> OutputClash(const std::vector<std::string>& outputs,
                                      const std::vector<std::string>& inputs) {
  for (const std::string& output : outputs) {
    if (std::string problem = ReplaceProblem(output); !problem.empty()) return Refuse(problem);
    for (const std::string& input : inputs) {
      if (SameFile(output, input))
        return Refuse(output + ": is the input " + input + "; nothing written");
    }
  }
  return std::nullopt;
}

MakeResult PathTooLong(const std::string& path) {
  return Refuse("Output path longer than " + std::to_string(kMaxOutputPath) +
                " characters: " + path);
}

enum class CopyStatus { Ok, Short, ReadError, WriteError, Interrupted };

// The block the work buffer holds: large enough to keep the number of system
// calls small, small enough to stay in the processor's cache between the read
// that fills it and the write that empties it.
constexpr size_t kCopyBlockSize = 128 * 1024;

// Assembles an output in whole blocks of the work buffer, so that every write
// starts on a block boundary of the file whatever the components' lengths;
// sources are read straight into the block and checked on the way.
class BlockWriter {
 public:
  BlockWriter(OutputFile& out, std::vector<uint8_t>& block,
              const std::function<bool()>& interrupted)
      : out_(out), block_(block), interrupted_(interrupted) {}

  bool Append(const uint8_t* data, size_t count) {
    while (count > 0) {
      const size_t n = std::min(count, block_.size() - fill_);
      std::memcpy(block_.data() + fill_, data, n);
      fill_ += n;
      data += n;
      count -= n;
      if (fill_ == block_.size() && !Flush()) return false;
    }
    return true;
  }

  // Appends length bytes of in from offset; crc receives their CRC-32.
  CopyStatus AppendFrom(InputFile& in, uint64_t offset, uint32_t length, uint32_t& crc) {
    crc = 0;
    for (uint64_t done = 0; done < length;) {
      const size_t want =
          static_cast<size_t>(std::min<uint64_t>(block_.size() - fill_, length - done));
      if (interrupted_ && interrupted_()) return CopyStatus::Interrupted;
      const long long got = in.ReadAt(offset + done, block_.data() + fill_, want);
      if (got < 0) return CopyStatus::ReadError;
      if (static_cast<size_t>(got) != want) return CopyStatus::Short;
      crc = Crc32Update(crc, block_.data() + fill_, want);
      fill_ += want;
      done += want;
      if (fill_ == block_.size() && !Flush()) return CopyStatus::WriteError;
    }
    return CopyStatus::Ok;
  }

  bool Flush() {
    const bool ok = out_.Write(block_.data(), fill_);
    fill_ = 0;
    return ok;
  }

 private:
  OutputFile& out_;
  std::vector<uint8_t>& block_;
  const std::function<bool()>& interrupted_;
  size_t fill_ = 0;
};

MakeResult Changed(const InputFile& in) {
  return Refuse(in.Path() + " has changed since it was chosen");
}

MakeResult CopyFailure(CopyStatus status, const InputFile& in, const OutputFile& out) {
  switch (status) {
    case CopyStatus::Short:
      return Refuse(in.Path() + " is shorter than its recorded length");
    case CopyStatus::ReadError:
      return Refuse(in.Error());
    case CopyStatus::WriteError:
      return Refuse(out.Error());
    case CopyStatus::Interrupted:
      return Refuse("interrupted; " + out.FinalPath() + " not written");
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
  if (LocalTimeOf(now, local)) {
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
    return info;
  }
  if (ComponentEntry* entry = RecordedEntry(*this, kind)) {
    SetTextField(entry->sourceStamp, info.stamp);
    entry->length = info.length;
    entry->crc = info.crc;
  }
  if (index >= 0) chosen[index] = true;
  crcPending_[k] = false;
  return info;
}

SourceInfo ImageMaker::TakeSource(SourceKind kind, const std::string& path) {
  const int k = static_cast<int>(kind);
  sourcePath[k] = path;
  if (kind == SourceKind::ImgOrPda)
    unitedBinary = path.size() >= 3 && path.compare(path.size() - 3, 3, "img") == 0;
  SourceInfo info = ExamineSource(kind, path);
  sourceText[k] = info.text;
  const int index = ChosenIndex(kind);
  if (index >= 0) chosen[index] = info.opened;
  if (!info.opened) return info;
  if (ComponentEntry* entry = RecordedEntry(*this, kind)) {
    SetTextField(entry->sourceStamp, info.stamp);
    entry->length = info.length;
    entry->crc = 0;
  }
  crcPending_[k] = true;
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
  std::vector<std::string> sourcePaths;
  for (int k = 0; k < count; ++k) sourcePaths.push_back(sourcePath[static_cast<int>(sources[k])]);
  if (auto clash = OutputClash({outputPath}, sourcePaths)) return *clash;
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

  BlockWriter writer(out, buffer_, interrupted);
  std::vector<uint8_t> bytes = WriteImageHeader(header, count);
  if (!writer.Append(bytes.data(), bytes.size())) return Refuse(out.Error());
  bool crcsLearnt = false;
  for (int k = 0; k < count; ++k) {
    ComponentEntry& entry = header.entries[k];
    uint32_t crc = 0;
    const CopyStatus status = writer.AppendFrom(inputs[k], 0, entry.length, crc);
    if (status != CopyStatus::Ok) return CopyFailure(status, inputs[k], out);
    if (crcPending_[static_cast<int>(sources[k])]) {
      entry.crc = crc;
      RecordedEntry(*this, sources[k])->crc = crc;
      crcsLearnt = true;
    } else if (crc != entry.crc) {
      // The file is no longer what was chosen: its recorded CRC would be false.
      return Changed(inputs[k]);
    }
  }
  if (!writer.Flush()) return Refuse(out.Error());
  if (crcsLearnt) {
    bytes = WriteImageHeader(header, count);
    if (!out.WriteAt(0, bytes.data(), bytes.size())) return Refuse(out.Error());
  }
  if (!out.Commit()) return Refuse(out.Error());
  for (int k = 0; k < count; ++k) crcPending_[static_cast<int>(sources[k])] = false;
  return Finish({outputPath});
}

MakeResult ImageMaker::CombineTo(const std::string& outputPath) {
  if (!IsChosen(SourceKind::Phone) || !IsChosen(SourceKind::PdaData))
    return Message(kMsgFilesNotSelected, MessageButtons::OkCancel,
                   "the phone binary and the PDA image must both be chosen");
  if (outputPath.size() > kMaxOutputPath) return PathTooLong(outputPath);
  if (auto clash = OutputClash({outputPath}, {sourcePath[static_cast<int>(SourceKind::Phone)],
                                              sourcePath[static_cast<int>(SourceKind::PdaData)]}))
    return *clash;
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
  if (source.entries[0].offset != kPdaHeaderSize || !EntriesBackToBack(source, 0, 2))
    return Refuse(pda.Path() + ": its components are not stored one after another");

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

  BlockWriter writer(out, buffer_, interrupted);
  std::vector<uint8_t> bytes = WriteImageHeader(united, kUnitedEntryCount);
  if (!writer.Append(bytes.data(), bytes.size())) return Refuse(out.Error());
  uint32_t crc = 0;
  CopyStatus status = writer.AppendFrom(phone, 0, phoneEntry.length, crc);
  if (status != CopyStatus::Ok) return CopyFailure(status, phone, out);
  const bool phonePending = crcPending_[static_cast<int>(SourceKind::Phone)];
  if (phonePending)
    united.entries[0].crc = crc;
  else if (crc != phoneEntry.crc)
    return Changed(phone);
  // The PDA image's own CRCs are carried, not checked.
  status = writer.AppendFrom(pda, kPdaHeaderSize, source.totalSize - kPdaHeaderSize, crc);
  if (status != CopyStatus::Ok) return CopyFailure(status, pda, out);
  if (!writer.Flush()) return Refuse(out.Error());
  if (phonePending) {
    bytes = WriteImageHeader(united, kUnitedEntryCount);
    if (!out.WriteAt(0, bytes.data(), bytes.size())) return Refuse(out.Error());
  }
  if (!out.Commit()) return Refuse(out.Error());

  unitedHeader = united;
  pdaHeader = source;
  // The PDA components' recorded values are now the PDA image's: sources
  // chosen for them are checked against those, never silently re-recorded.
  crcPending_.fill(false);
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
  if (auto clash = OutputClash(paths, {in.Path()})) return *clash;

  // Every output is complete before any of them replaces a file.
  std::vector<OutputFile> outputs(count);
  for (int k = 0; k < count; ++k) {
    if (!outputs[k].Create(paths[k])) return Stop(outputs[k].Error());
    BlockWriter writer(outputs[k], buffer_, interrupted);
    uint32_t crc = 0;
    const CopyStatus status =
        writer.AppendFrom(in, header.entries[k].offset, header.entries[k].length, crc);
    if (status != CopyStatus::Ok) return CopyFailure(status, in, outputs[k]);
    if (!writer.Flush()) return Refuse(outputs[k].Error());
  }
  for (auto& output : outputs) {
    if (!output.Commit()) return Refuse(output.Error());
  }

  (unitedBinary ? unitedHeader : pdaHeader) = header;
  crcPending_.fill(false);
  return Finish(std::move(paths));
}

bool ImageMaker::EnsureBuffer() {
  if (!buffer_.empty()) return true;
  try {
    buffer_.resize(kCopyBlockSize);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace k730
