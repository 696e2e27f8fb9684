#include "phone/image_buffer.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/file_access.h"
#include "image/image_formats.h"

namespace k730 {
namespace {

std::string FormatPath(const char* format, const std::string& path) {
  std::string text(std::strlen(format) + path.size() + 1, '\0');
  const int n = std::snprintf(text.data(), text.size(), format, path.c_str());
  text.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return text;
}

}  // namespace

ImageBuffer::~ImageBuffer() {
  Close();
}

void ImageBuffer::Show(const std::string& text, MessageIcon icon, MessageButtons buttons,
                       MessageAnswer& answer) {
  // Without anyone to ask, a question is answered No: nothing risky goes ahead.
  answer = buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
  if (prompt_) answer = prompt_->ShowMessage(text, icon, buttons);
}

void ImageBuffer::CloseFile() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

int ImageBuffer::OpenImage(const std::string& path) {
  {
    // Forgotten, not freed: workers of earlier slots may still hold it.
    std::lock_guard<std::mutex> lock(tableMutex_);
    table_.reset();
  }
  accepted_ = false;
  trailerWord_ = 0;
  size_ = 0;
  path_ = path;
  refusal_ = "it could not be read";
  CloseFile();

  MessageAnswer answer;
  // Never waits on a FIFO in the file's place.
  std::string reason;
  const int fd = OpenRegularFile(path, reason);
  file_ = fd >= 0 ? StreamOf(fd, "rb") : nullptr;
  if (!file_) {
    if (fd >= 0) k730::CloseFile(fd);
    Show(FormatPath(kFailReadFormat, path) + kCheckBinFile, MessageIcon::Information,
         MessageButtons::Ok, answer);
    return 0;
  }
  FileStatus status;
  if (!StatusOf(fd, status) || status.kind != FileKind::Regular) {
    CloseFile();
    Show(FormatPath(kFailInfoFormat, path) + kCheckBinFile, MessageIcon::Information,
         MessageButtons::Ok, answer);
    return 0;
  }
  if (status.size < kMinFileSize || status.size > kMaxFileSize) {
    CloseFile();
    refusal_ = "it is damaged";
    Show(kDamagedFile, MessageIcon::None, MessageButtons::Ok, answer);
    return 0;
  }
  size_ = static_cast<uint32_t>(status.size);

  uint8_t tail[kMinFileSize];
  PhoneTrailer trailer;
  if (std::fseek(file_, static_cast<long>(size_ - kMinFileSize), SEEK_SET) != 0 ||
      std::fread(tail, 1, sizeof tail, file_) != sizeof tail ||
      ReadPhoneTrailer(tail, sizeof tail, trailer) != FormatError::None) {
    CloseFile();
    refusal_ = "it is damaged";
    Show(kDamagedFile, MessageIcon::None, MessageButtons::Ok, answer);
    return 0;
  }
  // An all-ones trailer word marks an unusable file; refused without a word.
  if (trailer.trailerWord == 0xFFFFFFFFu) {
    refusal_ = "its trailer word is FF FF FF FF";
    return 0;
  }
  trailerWord_ = trailer.trailerWord;

  const uint32_t start = trailer.startAddress;
  if (!StartAddressPasses(start)) {
    char first[160];
    std::snprintf(first, sizeof first, kStartAddressFormat, static_cast<unsigned long>(start));
    Show(std::string(first) + kStartAddressWarn1 + kStartAddressWarn2, MessageIcon::Exclamation,
         MessageButtons::YesNo, answer);
    if (answer != MessageAnswer::Yes) {
      char text[64];
      std::snprintf(text, sizeof text, "its start address 0x%lX was not accepted",
                    static_cast<unsigned long>(start));
      refusal_ = text;
      return 0;
    }
  }
  startAddress_ = start;
  accepted_ = true;
  refusal_.clear();
  return 1;
}

int ImageBuffer::BuildBlockTable() {
  if (!file_ || !accepted_) return 0;
  const uint32_t count = size_ / kBlockSize + (size_ % kBlockSize ? 1 : 0);
  auto table = std::make_shared<BlockTable>(count);
  if (std::fseek(file_, 0, SEEK_SET) != 0) return 0;
  for (uint32_t n = 0; n < count; ++n) {
    uint8_t* record = table->MutableBlock(n);
    WriteU16LE(record + 5, static_cast<uint16_t>(kBlockSize));
    // A short read at the end leaves the record's zeros.
    const size_t got = std::fread(record + kBlockDataOffset, 1, kBlockSize, file_);
    if (got < kBlockSize && n + 1 < count) return 0;
  }
  std::lock_guard<std::mutex> lock(tableMutex_);
  table_ = std::move(table);
  return 1;
}

const uint8_t* ImageBuffer::BlockAt(uint32_t n) const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  return table_ ? table_->BlockAt(n) : nullptr;
}

std::shared_ptr<const BlockTable> ImageBuffer::Table() const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  return table_;
}

void ImageBuffer::Close() {
  {
    std::lock_guard<std::mutex> lock(tableMutex_);
    table_.reset();
  }
  accepted_ = false;
  CloseFile();
}

}  // namespace k730
