#include "replay/recording_format.h"

#include <cerrno>
#include <cstring>

#include "core/byte_order.h"
#include "core/file_access.h"

namespace k730::rec {
namespace {

uint64_t ReadU64LE(const uint8_t* p) {
  return static_cast<uint64_t>(ReadU32LE(p)) | static_cast<uint64_t>(ReadU32LE(p + 4)) << 32;
}

void WriteU64LE(uint8_t* p, uint64_t v) {
  WriteU32LE(p, static_cast<uint32_t>(v));
  WriteU32LE(p + 4, static_cast<uint32_t>(v >> 32));
}

bool KnownKind(uint8_t kind) {
  return kind >= static_cast<uint8_t>(LinkKind::Serial) &&
         kind <= static_cast<uint8_t>(LinkKind::ModeSwitch);
}

bool KnownType(uint8_t type) {
  switch (static_cast<RecordType>(type)) {
    case RecordType::Open:
    case RecordType::Close:
    case RecordType::Timeouts:
    case RecordType::Send:
    case RecordType::Receive:
    case RecordType::Wait:
    case RecordType::Scan:
    case RecordType::Device:
    case RecordType::Watch:
      return true;
  }
  return false;
}

// Port numbers a scan may list: far more than the console's ten.
constexpr uint32_t kMaxScanPorts = 64;

}  // namespace

const char* LinkKindName(LinkKind kind) {
  switch (kind) {
    case LinkKind::Serial:
      return "serial";
    case LinkKind::Palm:
      return "palm";
    case LinkKind::Console:
      return "console";
    case LinkKind::ModeSwitch:
      return "switch";
  }
  return "?";
}

const char* RecordTypeName(RecordType type) {
  switch (type) {
    case RecordType::Open:
      return "OPEN";
    case RecordType::Close:
      return "CLOSE";
    case RecordType::Timeouts:
      return "TIMEOUTS";
    case RecordType::Send:
      return "SEND";
    case RecordType::Receive:
      return "RECEIVE";
    case RecordType::Wait:
      return "WAIT";
    case RecordType::Scan:
      return "SCAN";
    case RecordType::Device:
      return "DEVICE";
    case RecordType::Watch:
      return "WATCH";
  }
  return "?";
}

std::vector<uint8_t> EncodeHeader(const FileHeader& header) {
  const size_t nameLength = std::min(header.name.size(), kMaxNameLength);
  std::vector<uint8_t> bytes(kFixedHeaderSize + nameLength, 0);
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  WriteU16LE(&bytes[8], header.version);
  WriteU16LE(&bytes[10], static_cast<uint16_t>(bytes.size()));
  bytes[12] = static_cast<uint8_t>(header.kind);
  bytes[13] = 0;
  WriteU16LE(&bytes[14], static_cast<uint16_t>(nameLength));
  WriteU32LE(&bytes[16], header.number);
  WriteU32LE(&bytes[20], header.scaleMillionths);
  WriteU64LE(&bytes[24], header.sessionId);
  WriteU64LE(&bytes[32], header.sessionTick);
  WriteU64LE(&bytes[40], header.startTick);
  std::memcpy(bytes.data() + kFixedHeaderSize, header.name.data(), nameLength);
  return bytes;
}

std::vector<uint8_t> EncodeRecordHead(RecordType type, uint64_t time, uint32_t payloadLength) {
  std::vector<uint8_t> bytes(kRecordHeaderSize, 0);
  bytes[0] = static_cast<uint8_t>(type);
  WriteU32LE(&bytes[4], payloadLength);
  WriteU64LE(&bytes[8], time);
  return bytes;
}

std::string CheckPayload(RecordType type, const uint8_t* payload, size_t length) {
  switch (type) {
    case RecordType::Open:
      return length >= 8 ? "" : "payload shorter than its 8-byte head";
    case RecordType::Send:
    case RecordType::Receive:
    case RecordType::Device:
      return length >= 4 ? "" : "payload shorter than its 4-byte head";
    case RecordType::Close:
    case RecordType::Timeouts:
      return length == 8 ? "" : "payload is not 8 bytes";
    case RecordType::Watch:
      return length == 4 ? "" : "payload is not 4 bytes";
    case RecordType::Wait:
      return length == 0 ? "" : "payload is not empty";
    case RecordType::Scan: {
      if (length < 12) return "payload shorter than its 12-byte head";
      const uint32_t count = ReadU32LE(payload + 8);
      if (count > kMaxScanPorts) return "scan lists too many ports";
      if (length != 12 + 4 * static_cast<size_t>(count))
        return "scan length does not match its count";
      return "";
    }
  }
  return "unknown record type";
}

uint32_t PayloadU32(const Record& record, size_t offset) {
  if (offset + 4 > record.payload.size()) return 0;
  return ReadU32LE(record.payload.data() + offset);
}

int32_t PayloadI32(const Record& record, size_t offset) {
  return static_cast<int32_t>(PayloadU32(record, offset));
}

const uint8_t* PayloadTail(const Record& record, size_t offset, size_t& length) {
  if (offset >= record.payload.size()) {
    length = 0;
    return nullptr;
  }
  length = record.payload.size() - offset;
  return record.payload.data() + offset;
}

std::string PayloadText(const Record& record, size_t offset) {
  size_t length = 0;
  const uint8_t* text = PayloadTail(record, offset, length);
  return text ? std::string(reinterpret_cast<const char*>(text), length) : std::string();
}

// ---------------------------------------------------------------------------
// Writer

RecordingWriter::~RecordingWriter() {
  Close();
}

bool RecordingWriter::Fail(const char* what) {
  if (error_.empty()) error_ = std::string(what) + ": " + std::strerror(errno);
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  return false;
}

bool RecordingWriter::Create(const std::string& path, const FileHeader& header,
                             std::string& error) {
  Close();
  error_.clear();
  bool exists = false;
  std::string reason;
  const int fd = CreateNewFile(path, NewFileAccess::Shared, exists, reason);
  if (fd < 0) {
    error = path + ": " + reason;
    return false;
  }
  file_ = StreamOf(fd, "wb");
  if (!file_) {
    error = path + ": " + std::strerror(errno);
    CloseFile(fd);
    return false;
  }
  buffer_.resize(kBufferSize);
  setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
  const std::vector<uint8_t> bytes = EncodeHeader(header);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
  if (!written || !Flush()) {
    if (!written) Fail("write");
    error = path + ": " + error_;
    // A file without a whole header would make its directory unplayable.
    Close();
    RemoveFile(path);
    return false;
  }
  return true;
}

bool RecordingWriter::Append(RecordType type, uint64_t time, const void* first, size_t firstLength,
                             const void* second, size_t secondLength) {
  if (!file_) return false;
  const size_t length = firstLength + secondLength;
  if (length > kMaxPayload) {
    errno = EFBIG;
    return Fail("record too long");
  }
  const std::vector<uint8_t> head = EncodeRecordHead(type, time, static_cast<uint32_t>(length));
  if (std::fwrite(head.data(), 1, head.size(), file_) != head.size() ||
      (firstLength && std::fwrite(first, 1, firstLength, file_) != firstLength) ||
      (secondLength && std::fwrite(second, 1, secondLength, file_) != secondLength))
    return Fail("write");
  return true;
}

bool RecordingWriter::Flush() {
  if (!file_) return false;
  if (std::fflush(file_) != 0) return Fail("write");
  return true;
}

bool RecordingWriter::Close() {
  if (!file_) return error_.empty();
  std::FILE* file = file_;
  file_ = nullptr;
  const bool flushed = std::fflush(file) == 0;
  const bool closed = std::fclose(file) == 0;
  if ((!flushed || !closed) && error_.empty())
    error_ = std::string("write: ") + std::strerror(errno);
  return flushed && closed;
}

// ---------------------------------------------------------------------------
// Reader

RecordingReader::~RecordingReader() {
  if (file_) std::fclose(file_);
}

bool RecordingReader::Open(const std::string& path, std::string& error) {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  header_ = FileHeader();
  error_.clear();
  records_ = 0;
  offset_ = 0;
  lastTime_ = 0;
  ended_ = false;
  endStatus_ = Status::End;
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  auto refuse = [&](const std::string& why) {
    error = path + ": " + why;
    std::fclose(file_);
    file_ = nullptr;
    return false;
  };
  uint8_t fixed[kFixedHeaderSize];
  const size_t got = std::fread(fixed, 1, sizeof fixed, file_);
  if (got < sizeof kMagic || std::memcmp(fixed, kMagic, sizeof kMagic) != 0)
    return refuse("not a k730 recording");
  if (got < 10) return refuse("header cut short");
  const uint16_t version = ReadU16LE(fixed + 8);
  if (version == 0) return refuse("damaged header (version 0)");
  if (version > kVersion)
    return refuse("written by a newer version (format " + std::to_string(version) +
                  ", this program reads up to " + std::to_string(kVersion) + ")");
  if (got < sizeof fixed) return refuse("header cut short");
  const uint16_t headerSize = ReadU16LE(fixed + 10);
  const uint16_t nameLength = ReadU16LE(fixed + 14);
  if (!KnownKind(fixed[12])) return refuse("damaged header (unknown link kind)");
  if (fixed[13] != 0) return refuse("damaged header (flags)");
  if (nameLength > kMaxNameLength) return refuse("damaged header (name too long)");
  if (headerSize != kFixedHeaderSize + nameLength) return refuse("damaged header (size)");
  header_.version = version;
  header_.kind = static_cast<LinkKind>(fixed[12]);
  header_.number = ReadU32LE(fixed + 16);
  header_.scaleMillionths = ReadU32LE(fixed + 20);
  header_.sessionId = ReadU64LE(fixed + 24);
  header_.sessionTick = ReadU64LE(fixed + 32);
  header_.startTick = ReadU64LE(fixed + 40);
  header_.name.resize(nameLength);
  if (nameLength && std::fread(header_.name.data(), 1, nameLength, file_) != nameLength)
    return refuse("header cut short");
  if (header_.startTick < header_.sessionTick)
    return refuse("damaged header (start before session)");
  offset_ = headerSize;
  lastTime_ = header_.startTick;
  return true;
}

RecordingReader::Status RecordingReader::Stop(Status status, std::string error) {
  ended_ = true;
  endStatus_ = status;
  error_ = std::move(error);
  return status;
}

RecordingReader::Status RecordingReader::Next(Record& record) {
  if (!file_ || ended_) return ended_ ? endStatus_ : Status::End;
  uint8_t head[kRecordHeaderSize];
  const size_t got = std::fread(head, 1, sizeof head, file_);
  const std::string where =
      "record " + std::to_string(records_ + 1) + " at byte " + std::to_string(offset_);
  if (got == 0) return Stop(Status::End, "");
  if (got < sizeof head) return Stop(Status::Truncated, where + ": cut short in its header");
  const uint8_t type = head[0];
  if (!KnownType(type)) return Stop(Status::Damaged, where + ": unknown record type");
  if (head[1] != 0 || head[2] != 0 || head[3] != 0)
    return Stop(Status::Damaged, where + ": reserved bytes set");
  const uint32_t length = ReadU32LE(head + 4);
  const uint64_t time = ReadU64LE(head + 8);
  if (length > kMaxPayload) return Stop(Status::Damaged, where + ": payload length too large");
  if (time < lastTime_) return Stop(Status::Damaged, where + ": time runs backwards");
  record.type = static_cast<RecordType>(type);
  record.time = time;
  record.payload.resize(length);
  if (length && std::fread(record.payload.data(), 1, length, file_) != length)
    return Stop(Status::Truncated, where + ": cut short in its payload");
  const std::string problem = CheckPayload(record.type, record.payload.data(), length);
  if (!problem.empty())
    return Stop(Status::Damaged, where + " (" + RecordTypeName(record.type) + "): " + problem);
  lastTime_ = time;
  offset_ += sizeof head + length;
  ++records_;
  return Status::Record;
}

}  // namespace k730::rec
