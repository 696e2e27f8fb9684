#include "console/run_record.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console/console_ids.h"

namespace k730 {
namespace {

std::string Home() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "";
}

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash)))
    return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Appends text in one write so concurrent runners do not interleave lines.
bool AppendToFile(const std::string& path, const std::string& text, bool& wasEmpty,
                  std::string& reason) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    reason = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  wasEmpty = fstat(fd, &st) == 0 && st.st_size == 0;
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reason = path + ": " + std::strerror(n < 0 ? errno : EIO);
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && ok) {
    reason = path + ": " + std::strerror(errno);
    ok = false;
  }
  return ok;
}

}  // namespace

std::string RunRecordDirectory() {
  const char* dir = std::getenv("K730_LOG_DIR");
  if (dir && *dir) return dir;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') return std::string(state) + "/k730";
  const std::string home = Home();
  return home.empty() ? "" : home + "/.local/state/k730";
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
  localtime_r(&now, &local);
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
    busy_ = false;
    if (!ok && !failureReported_) {
      failureReported_ = true;
      auto handler = onFailure_;
      lock.unlock();
      if (handler) handler(reason);
      lock.lock();
    }
    changed_.notify_all();
  }
}

bool RunRecorder::Write(const std::vector<SlotRecord>& records, std::string& reason) {
  if (directory_.empty()) {
    reason = "no record directory";
    return false;
  }
  if (!MakeDirectories(directory_)) {
    reason = directory_ + ": cannot create the directory";
    return false;
  }
  bool ok = true;
  std::string lines;
  for (const SlotRecord& r : records) {
    lines += FormatRunsCsvLine(r) + "\n";
    bool wasEmpty = false;
    if (!r.logText.empty() &&
        !AppendToFile(directory_ + "/slot" + std::to_string(r.slot) + "-history.log", r.logText,
                      wasEmpty, reason))
      ok = false;
  }
  const std::string csv = directory_ + "/runs.csv";
  bool wasEmpty = false;
  // The header goes in front when the file is new; checked and written in two
  // steps, so two runners starting together may both write it, which a reader
  // of the CSV tolerates better than a missing one.
  struct stat st {};
  const bool isNew = stat(csv.c_str(), &st) != 0 || st.st_size == 0;
  if (!AppendToFile(csv, (isNew ? std::string(kRunsCsvHeader) + "\n" : "") + lines, wasEmpty,
                    reason))
    ok = false;
  return ok;
}

}  // namespace k730
