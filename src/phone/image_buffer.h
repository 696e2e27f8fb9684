// The phone image feeder: the console's one copy of the phone half, cut into
// numbered 1024-byte blocks that every phone worker reads.
//
// Threads: OpenImage, BuildBlockTable and Close run on the console's thread.
// Workers take a snapshot of the table with Table(); a rebuild swaps a new
// table in and the old one lives on until the last snapshot of it is dropped,
// so a worker in its write phase is never disturbed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/operator_prompt.h"

namespace k730 {

// One block as the WRITE payload carries it: 5 zero bytes, 1024 as u16 LE,
// then the 1024 file bytes (zero past the end of the file).
constexpr uint32_t kBlockRecordSize = 1031;
constexpr uint32_t kBlockDataOffset = 7;
constexpr uint32_t kBlockSize = 1024;

// Texts shown by the feeder.
constexpr const char* kFailReadFormat = " Fail to read from %s";
constexpr const char* kFailInfoFormat = " Fail to get file info from %s";
constexpr const char* kCheckBinFile = "\n Please Check bin_file !";
constexpr const char* kDamagedFile = "This is a damaged file,replace this file with a good one";
constexpr const char* kStartAddressFormat = "Application 다운로딩 시작 주소가 0x%lX 입니다.";
constexpr const char* kStartAddressWarn1 = "\n다운로딩이 실패할 수 있습니다.";
constexpr const char* kStartAddressWarn2 = "\n계속 다운로딩 하시겠습니가?";

class BlockTable {
 public:
  explicit BlockTable(uint32_t count) : count_(count), records_(size_t{count} * kBlockRecordSize) {}
  uint32_t Count() const { return count_; }
  // Record n, or nullptr when n is not below Count().
  const uint8_t* BlockAt(uint32_t n) const {
    return n < count_ ? records_.data() + size_t{n} * kBlockRecordSize : nullptr;
  }
  uint8_t* MutableBlock(uint32_t n) { return records_.data() + size_t{n} * kBlockRecordSize; }
  // True when blocks first ... first + count - 1 all exist.
  bool Covers(uint32_t first, uint32_t count) const {
    return first <= count_ && count <= count_ - first;
  }

 private:
  uint32_t count_;
  std::vector<uint8_t> records_;
};

class ImageBuffer {
 public:
  // Largest file the feeder takes (the phone half is 2 MiB).
  static constexpr uint32_t kMaxFileSize = 0x2900000;
  static constexpr uint32_t kMinFileSize = 36;

  explicit ImageBuffer(OperatorPrompt* prompt = nullptr) : prompt_(prompt) {}
  virtual ~ImageBuffer();
  ImageBuffer(const ImageBuffer&) = delete;
  ImageBuffer& operator=(const ImageBuffer&) = delete;

  // Where the feeder's message boxes and its start-address question go.
  void SetPrompt(OperatorPrompt* prompt) { prompt_ = prompt; }

  // Opens path and checks its trailer; 1 when accepted. Forgets the current
  // table (workers holding a snapshot keep theirs).
  int OpenImage(const std::string& path);
  // Cuts the accepted file into records and swaps the new table in. 1 on
  // success; 0 (and no table) when the last OpenImage did not accept a file.
  int BuildBlockTable();
  // Record n of the current table, or nullptr. For the console's thread: a
  // worker uses Table() so a rebuild cannot pull the records away.
  const uint8_t* BlockAt(uint32_t n) const;
  // The current table (null when none is built).
  std::shared_ptr<const BlockTable> Table() const;
  // Drops the table and closes the file.
  void Close();

  bool IsOpen() const { return file_ != nullptr; }
  const std::string& Path() const { return path_; }
  uint32_t Size() const { return size_; }
  uint32_t TrailerWord() const { return trailerWord_; }
  uint32_t StartAddress() const { return startAddress_; }
  // Why the last OpenImage did not accept its file ("" when it did), in words
  // that follow "refused: ".
  const std::string& Refusal() const { return refusal_; }

 private:
  void CloseFile();
  void Show(const std::string& text, MessageIcon icon, MessageButtons buttons,
            MessageAnswer& answer);

  OperatorPrompt* prompt_;
  std::FILE* file_ = nullptr;
  bool accepted_ = false;
  std::string path_;
  uint32_t size_ = 0;
  uint32_t trailerWord_ = 0;
  uint32_t startAddress_ = 0;
  std::string refusal_;
  mutable std::mutex tableMutex_;
  std::shared_ptr<const BlockTable> table_;
};

}  // namespace k730
