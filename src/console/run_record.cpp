#include "console/run_record.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "console/console_ids.h"
#include "core/clock.h"
#include "core/file_access.h"

namespace k730 {
namespace {

// Appends one row in one write, so that concurrent runners do not interleave
// lines. A file that does not end in a line end (an earlier write cut short)
// gets one first, so the row starts a line of its own; a row cut short here
// is taken back again when nobody has appended since.
bool AppendRow(const std::string& path, const std::string& row, const char* lineEnd,
               std::string& reason) {
  const int fd = OpenOutput(path, OutputMode::Append, LinkPolicy::Follow, reason);
  if (fd < 0) {
    reason = path + ": " + reason;
    return false;
  }
  FileStatus status;
  const bool regular = StatusOf(fd, status) && status.kind == FileKind::Regular;
  const uint64_t before = regular ? status.size : 0;
  std::string text;
  if (before > 0) {
    // Looked at through a reading descriptor of its own: the output's is
    // write-only, so that a FIFO nobody reads is refused rather than filled.
    std::string ignored;
    const int reader = OpenRegularFile(path, ignored);
    char last = '\n';
    int error = 0;
    if (reader >= 0 && ReadAt(reader, before - 1, &last, 1, error) == 1 && last != '\n')
      text = lineEnd;
    if (reader >= 0) CloseFile(reader);
  }
  text += row;
  bool ok = WriteAll(fd, text.data(), text.size(), reason);
  if (!ok) {
    reason = path + ": " + reason;
    FileStatus now;
    int ignored = 0;
    if (regular && StatusOf(fd, now) && now.size > before && now.size <= before + text.size())
      TruncateFile(fd, before, ignored);
  }
  int error = 0;
  if (!CloseFile(fd, &error) && ok) {
    reason = path + ": " + SystemErrorText(error);
    ok = false;
  }
  return ok;
}

}  // namespace

std::string RunRecordDirectory() {
  const char* dir = std::getenv("K730_LOG_DIR");
  if (dir && *dir) return dir;
  const std::string state = UserStateDirectory();
  return state.empty() ? "" : state + "/k730";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string DeviceModeName(int deviceMode) {
  switch (deviceMode) {
    case mode::kPdaPhone:
      return "PDA+PHONE";
    case mode::kPhone:
      return "PHONE";
    case mode::kPda:
      return "PDA";
    default:
      return std::to_string(deviceMode);
  }
}

std::string PhoneModeName(int phoneMode) {
  static const char* const kNames[] = {"[PH]Normal", "[PH]Emergency", "[PH]Ch.Normal",
                                       "[PH]Ch.Emergency", "[PH]Skip"};
  if (phoneMode >= 0 && phoneMode < 5) return kNames[phoneMode];
  return std::to_string(phoneMode);
}

std::string PdaModeName(int pdaMode) {
  static const char* const kNames[] = {"[PDA]smallrom", "[PDA]BigRom",  "[PDA]Resource",
                                       "[PDA]ALL",      "[PDA]DFormat", "[PDA]Widebin",
                                       "[PDA]Bigrom",   "[PDA]Skip"};
  if (pdaMode >= 0 && pdaMode < 8) return kNames[pdaMode];
  return std::to_string(pdaMode);
}

std::string LocalDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  LocalTimeOf(now, local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string FormatRunsCsvLine(const SlotRecord& r) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08X", r.imageCrc);
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f", r.durationSeconds);
  return CsvField(r.dateTime) + "," + std::to_string(r.slot) + "," + std::to_string(r.comPort) +
         "," + CsvField(r.palmDevice) + "," + CsvField(r.imagePath) + "," + crc + "," +
         CsvField(DeviceModeName(r.deviceMode)) + "," + CsvField(PhoneModeName(r.phoneMode)) + "," +
         CsvField(PdaModeName(r.pdaMode)) + "," + CsvField(r.result) + "," + duration;
}

RunRecorder::RunRecorder(std::string directory)
    : directory_(std::move(directory)), writer_([this] { WriterLoop(); }) {}

RunRecorder::~RunRecorder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void RunRecorder::SetFailureHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  onFailure_ = std::move(handler);
}

void RunRecorder::Submit(std::vector<SlotRecord> records) {
  if (records.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(records));
  }
  changed_.notify_all();
}

void RunRecorder::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

std::string RunRecorder::FirstFailure() {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstFailure_;
}

void RunRecorder::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) return;  // ending with nothing left
    std::vector<SlotRecord> records = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    std::string reason;
    const bool ok = Write(records, reason);
    lock.lock();
    if (!ok && !failureReported_) {
      failureReported_ = true;
      firstFailure_ = reason;
      auto handler = onFailure_;
      lock.unlock();
      if (handler) handler(reason);
      lock.lock();
    }
    busy_ = false;  // only now: Flush returns once the failure is reported
    changed_.notify_all();
  }
}

bool RunRecorder::Write(const std::vector<SlotRecord>& records, std::string& reason) {
  if (directory_.empty()) {
    reason = "no record directory";
    return false;
  }
  if (!MakeDirectories(directory_, reason)) {
    reason = "cannot create the directory " + reason;
    return false;
  }
  bool ok = true;
  const std::string csv = directory_ + "/runs.csv";
  for (const SlotRecord& r : records) {
    std::string failure;
    if (!r.logText.empty() &&
        !AppendRow(directory_ + "/slot" + std::to_string(r.slot) + "-history.log", r.logText,
                   "\r\n", failure)) {
      if (ok) reason = failure;
      ok = false;
    }
    // The header goes in front when the file is new; checked and written in
    // two steps, so two runners starting together may both write it, which a
    // reader of the CSV tolerates better than a missing one.
    const FileStatus existing = PathStatus(csv);
    const bool isNew = existing.kind == FileKind::Missing || existing.size == 0;
    if (!AppendRow(csv,
                   (isNew ? std::string(kRunsCsvHeader) + "\n" : "") + FormatRunsCsvLine(r) + "\n",
                   "\n", failure)) {
      if (ok) reason = failure;
      ok = false;
    }
  }
  return ok;
}

}  // namespace k730
