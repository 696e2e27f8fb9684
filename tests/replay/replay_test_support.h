// Helpers of the replay tests: a temporary directory and recordings written
// record by record.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "replay/recording_format.h"

namespace k730::rec::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "k730rec.XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list) {
  return std::vector<uint8_t>(list);
}

inline std::vector<uint8_t> U32(uint32_t value, const std::vector<uint8_t>& tail = {}) {
  std::vector<uint8_t> payload(4);
  WriteU32LE(payload.data(), value);
  payload.insert(payload.end(), tail.begin(), tail.end());
  return payload;
}

inline std::vector<uint8_t> Text(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Payloads of each record type.
inline Record OpenRec(uint64_t time, int32_t result, bool held, const std::string& name) {
  std::vector<uint8_t> payload = U32(static_cast<uint32_t>(result), U32(held ? 1 : 0, Text(name)));
  return {RecordType::Open, time, payload};
}
inline Record CloseRec(uint64_t time, int32_t result, bool held) {
  return {RecordType::Close, time, U32(static_cast<uint32_t>(result), U32(held ? 1 : 0))};
}
inline Record SendRec(uint64_t time, uint32_t result, const std::vector<uint8_t>& data) {
  return {RecordType::Send, time, U32(result, data)};
}
inline Record RecvRec(uint64_t time, uint32_t asked, const std::vector<uint8_t>& data) {
  return {RecordType::Receive, time, U32(asked, data)};
}
inline Record WaitRec(uint64_t time) {
  return {RecordType::Wait, time, {}};
}
inline Record TimeoutsRec(uint64_t time, uint32_t readMs, uint32_t writeMs) {
  return {RecordType::Timeouts, time, U32(readMs, U32(writeMs))};
}
inline Record DeviceRec(uint64_t time, uint32_t event, const std::string& name) {
  return {RecordType::Device, time, U32(event, Text(name))};
}
inline Record WatchRec(uint64_t time) {
  return {RecordType::Watch, time, U32(1)};
}
inline Record ScanRec(uint64_t time, int slots, int last, const std::vector<int>& ports) {
  std::vector<uint8_t> payload =
      U32(static_cast<uint32_t>(slots), U32(static_cast<uint32_t>(last)));
  const std::vector<uint8_t> count = U32(static_cast<uint32_t>(ports.size()));
  payload.insert(payload.end(), count.begin(), count.end());
  for (int port : ports) {
    const std::vector<uint8_t> p = U32(static_cast<uint32_t>(port));
    payload.insert(payload.end(), p.begin(), p.end());
  }
  return {RecordType::Scan, time, payload};
}

inline FileHeader Header(LinkKind kind, uint32_t number, const std::string& name,
                         uint64_t session = 1000, uint64_t start = 10) {
  FileHeader header;
  header.kind = kind;
  header.number = number;
  header.scaleMillionths = 1000;
  header.sessionId = session;
  header.sessionTick = 0;
  header.startTick = start;
  header.name = name;
  return header;
}

// Writes a recording; fails the test when it cannot.
inline void WriteRecording(const std::string& path, const FileHeader& header,
                           const std::vector<Record>& records) {
  RecordingWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Create(path, header, error)) << error;
  for (const Record& r : records)
    ASSERT_TRUE(writer.Append(r.type, r.time, r.payload.data(), r.payload.size()));
  ASSERT_TRUE(writer.Close());
}

}  // namespace k730::rec::test
