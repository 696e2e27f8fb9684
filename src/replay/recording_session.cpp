#include "replay/recording_session.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/byte_order.h"
#include "core/clock.h"

namespace k730::rec {
namespace {

uint64_t WallMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// Only characters that are safe in a file name on every platform.
std::string FileToken(const std::string& text) {
  std::string token;
  for (char c : text.substr(0, 64)) {
    const unsigned char u = static_cast<unsigned char>(c);
    token += std::isalnum(u) || c == '_' ? c : '_';
  }
  return token.empty() ? "_" : token;
}

void Warn(const std::string& text) {
  std::fprintf(stderr, "k730: recording: %s\n", text.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// LinkRecorder

LinkRecorder::LinkRecorder(std::string path, std::unique_ptr<RecordingWriter> writer,
                           uint64_t startTick)
    : path_(std::move(path)), writer_(std::move(writer)), lastTime_(startTick) {}

LinkRecorder::~LinkRecorder() {
  Finish();
}

bool LinkRecorder::Active() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writer_ && writer_->IsOpen();
}

void LinkRecorder::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!writer_ || !writer_->IsOpen()) return;
  if (!writer_->Close()) Warn(path_ + ": " + writer_->Error() + "; the end of the link is lost");
}

void LinkRecorder::Append(RecordType type, const void* first, size_t firstLength,
                          const void* second, size_t secondLength, bool flush) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!writer_ || !writer_->IsOpen()) return;
  // Taken under the lock, and never less than the record before: a process
  // clock whose scale a test changes may step back.
  const uint64_t time = std::max(TickCount(), lastTime_);
  lastTime_ = time;
  if (!writer_->Append(type, time, first, firstLength, second, secondLength) ||
      (flush && !writer_->Flush())) {
    Warn(path_ + ": " + writer_->Error() + "; this link is no longer recorded");
    writer_->Close();
  }
}

void LinkRecorder::Open(int32_t result, bool heldOpen, const std::string& name) {
  uint8_t head[8];
  WriteU32LE(head, static_cast<uint32_t>(result));
  WriteU32LE(head + 4, heldOpen ? 1 : 0);
  Append(RecordType::Open, head, 8, name.data(), std::min(name.size(), kMaxNameLength), true);
}

void LinkRecorder::Close(int32_t result, bool heldOpen) {
  uint8_t payload[8];
  WriteU32LE(payload, static_cast<uint32_t>(result));
  WriteU32LE(payload + 4, heldOpen ? 1 : 0);
  Append(RecordType::Close, payload, 8, nullptr, 0, true);
}

void LinkRecorder::Timeouts(uint32_t readMs, uint32_t writeMs) {
  uint8_t payload[8];
  WriteU32LE(payload, readMs);
  WriteU32LE(payload + 4, writeMs);
  Append(RecordType::Timeouts, payload, 8, nullptr, 0, false);
}

void LinkRecorder::Send(uint32_t result, const uint8_t* data, size_t length) {
  uint8_t head[4];
  WriteU32LE(head, result);
  Append(RecordType::Send, head, 4, data, length, false);
}

void LinkRecorder::Receive(uint32_t requested, const uint8_t* data, size_t length) {
  uint8_t head[4];
  WriteU32LE(head, requested);
  Append(RecordType::Receive, head, 4, data, length, false);
}

void LinkRecorder::Wait() {
  Append(RecordType::Wait, nullptr, 0, nullptr, 0, false);
}

void LinkRecorder::Scan(int slotCount, int lastNumber, const int* ports, size_t count) {
  std::vector<uint8_t> payload(12 + 4 * count);
  WriteU32LE(&payload[0], static_cast<uint32_t>(slotCount));
  WriteU32LE(&payload[4], static_cast<uint32_t>(lastNumber));
  WriteU32LE(&payload[8], static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i)
    WriteU32LE(&payload[12 + 4 * i], static_cast<uint32_t>(ports[i]));
  Append(RecordType::Scan, payload.data(), payload.size(), nullptr, 0, true);
}

void LinkRecorder::Device(uint32_t event, const std::string& name) {
  uint8_t head[4];
  WriteU32LE(head, event);
  Append(RecordType::Device, head, 4, name.data(), std::min(name.size(), kMaxNameLength), true);
}

void LinkRecorder::Watch(bool reportPresent) {
  uint8_t payload[4];
  WriteU32LE(payload, reportPresent ? 1 : 0);
  Append(RecordType::Watch, payload, 4, nullptr, 0, true);
}

// ---------------------------------------------------------------------------
// RecordingSession

RecordingSession::RecordingSession(std::string directory)
    : directory_(std::move(directory)), sessionId_(WallMicros()), sessionTick_(TickCount()) {}

RecordingSession* RecordingSession::FromEnvironment() {
  static RecordingSession* session = []() -> RecordingSession* {
    const char* dir = std::getenv("K730_RECORD");
    if (!dir || !*dir) return nullptr;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
      Warn(std::string(dir) + ": " + error.message() + "; nothing is recorded");
      return nullptr;
    }
    return new RecordingSession(dir);
  }();
  return session;
}

std::unique_ptr<LinkRecorder> RecordingSession::StartLink(LinkKind kind, const std::string& token,
                                                          const std::string& name,
                                                          uint32_t number) {
  FileHeader header;
  header.kind = kind;
  header.number = number;
  header.scaleMillionths =
      static_cast<uint32_t>(std::min(ProcessClock().Scale() * 1e6 + 0.5, 4294967295.0));
  header.sessionId = sessionId_;
  header.sessionTick = sessionTick_;
  header.startTick = TickCount();
  header.name = name;
  const std::string stem =
      std::string(LinkKindName(kind)) + (token.empty() ? "" : "-" + FileToken(token));

  std::lock_guard<std::mutex> lock(mutex_);
  int& sequence = nextSequence_[stem];
  if (sequence == 0) sequence = 1;
  // Files left by an earlier process in the same directory are kept: this
  // process takes the next free numbers.
  for (int attempt = 0; attempt < 10000; ++attempt, ++sequence) {
    const std::string path = directory_ + "/" + stem + "-" + std::to_string(sequence) + kFileSuffix;
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored)) continue;
    auto writer = std::make_unique<RecordingWriter>();
    std::string error;
    if (!writer->Create(path, header, error)) {
      Warn(error + "; this link is not recorded");
      return nullptr;
    }
    ++sequence;
    return std::make_unique<LinkRecorder>(path, std::move(writer), header.startTick);
  }
  Warn(directory_ + ": no free file name for " + stem);
  return nullptr;
}

LinkRecorder* RecordingSession::Console() {
  std::lock_guard<std::mutex> lock(consoleMutex_);
  if (!consoleTried_) {
    consoleTried_ = true;
    console_ = StartLink(LinkKind::Console, "", "console", 0);
  }
  return console_.get();
}

std::string SerialToken(const std::string& portName, uint32_t& number) {
  std::string name;
  for (char c : portName) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const std::string kPrefix = "\\\\.\\";
  if (name.compare(0, kPrefix.size(), kPrefix) == 0) name.erase(0, kPrefix.size());
  number = 0;
  bool digits = name.size() > 3 && name.size() <= 9 && name.compare(0, 3, "COM") == 0;
  for (size_t i = 3; digits && i < name.size(); ++i)
    digits = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
  if (digits) {
    number = static_cast<uint32_t>(std::stoul(name.substr(3)));
    return name;
  }
  return FileToken(name);
}

}  // namespace k730::rec
