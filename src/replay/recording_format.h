// The recording file: the bytes of one link (a serial port, a Palm USB link)
// or the console's device events, with their times, in a versioned binary
// format that docs/recording-format.md describes field by field.
//
// All integers are little-endian. A file is a fixed header, the link's name,
// then records until the end of the file:
//   header  magic "K730REC\0", u16 version, u16 header size, u8 link kind,
//           u8 flags (0), u16 name length, u32 link number, u32 time scale in
//           millionths, u64 session id, u64 session tick, u64 start tick, name
//   record  u8 type, u8 flags (0), u16 reserved (0), u32 payload length,
//           u64 time (process-clock ticks in protocol ms), payload
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace k730::rec {

inline constexpr char kMagic[8] = {'K', '7', '3', '0', 'R', 'E', 'C', '\0'};
constexpr uint16_t kVersion = 1;
constexpr size_t kFixedHeaderSize = 48;
constexpr size_t kMaxNameLength = 1024;
constexpr size_t kRecordHeaderSize = 16;
// No call moves more than a few KiB; anything longer is refused by the writer
// and taken for damage by the reader.
constexpr uint32_t kMaxPayload = 1u << 20;
constexpr const char* kFileSuffix = ".k730rec";

// ModeSwitch: the mode-switch window's serial port; records as Serial does.
enum class LinkKind : uint8_t { Serial = 1, Palm = 2, Console = 3, ModeSwitch = 4 };

enum class RecordType : uint8_t {
  Open = 0x01,      // i32 result, u32 1 when the link is held open after it, then the name
  Close = 0x02,     // i32 result, u32 1 when the link is still held open after it
  Timeouts = 0x03,  // u32 read ms, u32 write ms
  Send = 0x10,      // u32 result, then the bytes the host offered
  Receive = 0x11,   // u32 bytes asked for (serial: 0 = what waits), then the bytes delivered
  Wait = 0x12,      // empty: a wait for input that ended with none
  Scan = 0x20,      // u32 slot count, u32 last port number, u32 n, n x u32 port numbers
  Device = 0x21,    // u32 event (arrival 0x8000, removal 0x8004), then the device name
  Watch = 0x22,     // u32 1 when present devices were to be reported: watching began
};

const char* LinkKindName(LinkKind kind);
const char* RecordTypeName(RecordType type);

struct FileHeader {
  uint16_t version = kVersion;
  LinkKind kind = LinkKind::Serial;
  uint32_t number = 0;           // COM port number, Palm device number, 0 for the console
  uint32_t scaleMillionths = 0;  // K730_TIME_SCALE x 1,000,000
  uint64_t sessionId = 0;        // wall-clock microseconds when the process began recording
  uint64_t sessionTick = 0;      // process-clock tick (protocol ms) at that moment
  uint64_t startTick = 0;        // process-clock tick when this file was begun
  std::string name;              // "COM3", a Palm device-interface name, "console"
};

struct Record {
  RecordType type = RecordType::Open;
  uint64_t time = 0;  // process-clock tick, protocol ms
  std::vector<uint8_t> payload;
};

// Header bytes; the name is cut to kMaxNameLength.
std::vector<uint8_t> EncodeHeader(const FileHeader& header);
// Record header and payload bytes (the payload is not checked here).
std::vector<uint8_t> EncodeRecordHead(RecordType type, uint64_t time, uint32_t payloadLength);

// Payload rules of each type; an empty string when payload fits type.
std::string CheckPayload(RecordType type, const uint8_t* payload, size_t length);

// Payload helpers.
uint32_t PayloadU32(const Record& record, size_t offset);
int32_t PayloadI32(const Record& record, size_t offset);
// The bytes from offset to the end (text of Open and Device, data of Send and Receive).
const uint8_t* PayloadTail(const Record& record, size_t offset, size_t& length);
std::string PayloadText(const Record& record, size_t offset);

// Writes one recording. Not thread-safe: its owner serialises calls.
class RecordingWriter {
 public:
  static constexpr size_t kBufferSize = 64 * 1024;

  RecordingWriter() = default;
  ~RecordingWriter();
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  // Creates path (never overwriting a file that exists) and writes the header.
  bool Create(const std::string& path, const FileHeader& header, std::string& error);
  // Appends a record whose payload is the concatenation of up to two pieces.
  bool Append(RecordType type, uint64_t time, const void* first, size_t firstLength,
              const void* second = nullptr, size_t secondLength = 0);
  bool Flush();
  // Flushes and closes; false when anything written since the last flush was lost.
  bool Close();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const char* what);

  std::FILE* file_ = nullptr;
  std::vector<char> buffer_;
  std::string error_;
};

// Reads one recording record by record; only one record is held at a time.
class RecordingReader {
 public:
  enum class Status { Record, End, Truncated, Damaged };

  RecordingReader() = default;
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  // Opens path and checks the header: false, with a reason, for a file that
  // is not a recording, is damaged, or was written by a newer version.
  bool Open(const std::string& path, std::string& error);
  const FileHeader& Header() const { return header_; }
  // The next record. End at a clean end of the file; Truncated when the file
  // ends inside a record; Damaged for a record that breaks the format. After
  // anything but Record the reader stays at its end. Error() says why.
  Status Next(Record& record);
  const std::string& Error() const { return error_; }
  // Records read so far.
  uint64_t RecordsRead() const { return records_; }
  // File offset of the next record.
  uint64_t Offset() const { return offset_; }

 private:
  Status Stop(Status status, std::string error);

  std::FILE* file_ = nullptr;
  FileHeader header_;
  std::string error_;
  uint64_t records_ = 0;
  uint64_t offset_ = 0;
  uint64_t lastTime_ = 0;
  bool ended_ = false;
  Status endStatus_ = Status::End;
};

}  // namespace k730::rec
