// Run records: what every run leaves behind for the operator and for quality
// checks. Each slot's log text of the run is appended to slot<N>-history.log
// and one line per slot to runs.csv, both in the record directory. Writing
// happens on a thread of its own, so a slow or failing disk never holds up a
// run; the first failure is reported through a callback, later ones are not.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace k730 {

struct SlotRecord {
  std::string dateTime;  // local time the slot started, "YYYY-MM-DD HH:MM:SS"
  int slot = 0;
  int comPort = 0;
  std::string palmDevice;  // the Palm device-interface name, "" when none
  std::string imagePath;
  uint32_t imageCrc = 0;  // CRC-32 of the whole image file
  int deviceMode = -1;
  int phoneMode = -1;
  int pdaMode = -1;
  std::string result;  // "completed", "failed at <step>", "not started"
  double durationSeconds = 0;
  std::string logText;  // the slot's log text of the run, "\r\n" as logged
};

constexpr const char* kRunsCsvHeader =
    "date_time,slot,com_port,palm_device,image_path,image_crc32,device_mode,phone_mode,pda_mode,"
    "result,duration_s";

// K730_LOG_DIR, else $XDG_STATE_HOME/k730, else ~/.local/state/k730.
std::string RunRecordDirectory();

// A CSV field, quoted when it holds a comma, quote or line break.
std::string CsvField(const std::string& text);
// One line of runs.csv, without the line end.
std::string FormatRunsCsvLine(const SlotRecord& record);
// Mode names as the radio captions show them ("PDA+PHONE", "[PH]Normal", ...).
std::string DeviceModeName(int deviceMode);
std::string PhoneModeName(int phoneMode);
std::string PdaModeName(int pdaMode);
// Local time as "YYYY-MM-DD HH:MM:SS".
std::string LocalDateTime();

class RunRecorder {
 public:
  explicit RunRecorder(std::string directory);
  // Writes what is still queued, then ends the writer thread.
  ~RunRecorder();
  RunRecorder(const RunRecorder&) = delete;
  RunRecorder& operator=(const RunRecorder&) = delete;

  // Called once, on the writer thread, with a reason for the first failure.
  void SetFailureHandler(std::function<void(const std::string&)> handler);
  void Submit(std::vector<SlotRecord> records);
  // Waits until everything submitted so far has been written or given up.
  void Flush();
  // Why the first record that could not be written whole failed; "" while
  // every one was written.
  std::string FirstFailure();
  const std::string& Directory() const { return directory_; }

 private:
  void WriterLoop();
  bool Write(const std::vector<SlotRecord>& records, std::string& reason);

  const std::string directory_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<SlotRecord>> queue_;
  bool busy_ = false;
  bool ending_ = false;
  bool failureReported_ = false;
  std::string firstFailure_;
  std::function<void(const std::string&)> onFailure_;
  std::thread writer_;
};

}  // namespace k730
