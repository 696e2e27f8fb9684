// Shared pieces of the fuzz targets: a check that stops the run with a
// readable line, a cursor over the input, scratch directories and the console
// services the code under test calls. Every target is built twice: with
// libFuzzer for fuzzing and with the normal compiler into a test that replays
// its corpus, so nothing here may depend on libFuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/operator_prompt.h"
#include "core/slot_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// A broken invariant is a finding: report it and abort so that libFuzzer keeps
// the input and a replay test fails.
#define K730_FUZZ_CHECK(condition)                                               \
  do {                                                                           \
    if (!(condition)) ::k730::fuzz::CheckFailed(#condition, __FILE__, __LINE__); \
  } while (0)

namespace k730::fuzz {

[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

// Waits of the procedures shrink to (almost) nothing: a fuzz run measures
// inputs, not the protocol's pauses.
void UseTinyTimeScale();

// Reads the input front to back; past the end every value is 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  void Skip(size_t n) { pos_ += n < size_ - pos_ ? n : size_ - pos_; }
  const uint8_t* Rest() const { return data_ + pos_; }
  size_t RestSize() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A directory under TMPDIR for the life of the process, removed at exit.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Removes path and everything below it without following symbolic links.
void RemoveTree(const std::string& path);
// Writes the bytes to path (created or truncated); aborts when it cannot.
void WriteBytes(const std::string& path, const uint8_t* data, size_t size);
// The whole content of a regular file; false when it cannot be read.
bool ReadBytes(const std::string& path, std::vector<uint8_t>& content);

// Log lines and progress go nowhere, but each must respect the log's bound.
class NullWriter : public SlotWriter {
 public:
  void AppendSlotLog(int slot, const std::string& text) override;
  void ClearSlotLog(int) override {}
  void SetSlotProgress(int slot, uint32_t, uint32_t) override;
  void SetSlotStatus(int, int) override {}
  void EnableGo(bool) override {}
};

// Answers every question the same way and counts the boxes.
class FixedPrompt : public OperatorPrompt {
 public:
  explicit FixedPrompt(MessageAnswer answer) : answer_(answer) {}
  MessageAnswer ShowMessage(const std::string& text, MessageIcon, MessageButtons buttons) override;
  int Shown() const { return shown_; }
  void SetAnswer(MessageAnswer answer) { answer_ = answer; }

 private:
  MessageAnswer answer_;
  int shown_ = 0;
};

}  // namespace k730::fuzz
