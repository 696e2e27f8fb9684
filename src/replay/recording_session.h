// Recording in the field: with K730_RECORD=DIR every serial port and Palm link
// the console opens, and the console's port scans and Palm device events, are
// written to files in DIR (recording_format.h). Recording never fails a
// download: a link whose file cannot be written stops being recorded, with
// one warning on stderr.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "replay/recording_format.h"

namespace k730::rec {

// One file being written. Safe to use from several threads.
class LinkRecorder {
 public:
  // startTick: the header's; no record is timed before it.
  LinkRecorder(std::string path, std::unique_ptr<RecordingWriter> writer, uint64_t startTick);
  ~LinkRecorder();
  LinkRecorder(const LinkRecorder&) = delete;
  LinkRecorder& operator=(const LinkRecorder&) = delete;

  // heldOpen: whether the link is open after the call.
  void Open(int32_t result, bool heldOpen, const std::string& name);
  void Close(int32_t result, bool heldOpen);
  void Timeouts(uint32_t readMs, uint32_t writeMs);
  void Send(uint32_t result, const uint8_t* data, size_t length);
  void Receive(uint32_t requested, const uint8_t* data, size_t length);
  void Wait();
  void Scan(int slotCount, int lastNumber, const int* ports, size_t count);
  void Device(uint32_t event, const std::string& name);
  void Watch(bool reportPresent);
  // Flushes and closes the file; later records are dropped.
  void Finish();

  // False once the file is closed or writing it failed.
  bool Active() const;
  const std::string& Path() const { return path_; }

 private:
  void Append(RecordType type, const void* first, size_t firstLength, const void* second,
              size_t secondLength, bool flush);

  const std::string path_;
  mutable std::mutex mutex_;
  std::unique_ptr<RecordingWriter> writer_;
  uint64_t lastTime_;
};

class RecordingSession {
 public:
  // Records into directory (created when missing).
  explicit RecordingSession(std::string directory);
  RecordingSession(const RecordingSession&) = delete;
  RecordingSession& operator=(const RecordingSession&) = delete;

  // The process's session when K730_RECORD names a directory, read once;
  // nullptr when it is unset. Never destroyed: workers may record to the end.
  static RecordingSession* FromEnvironment();

  // A new file for a link: "<kind>-<token>-<n>.k730rec" with the lowest n
  // from 1 up that no file has; nullptr (after a warning) when it cannot be
  // created. name goes into the header.
  std::unique_ptr<LinkRecorder> StartLink(LinkKind kind, const std::string& token,
                                          const std::string& name, uint32_t number);
  // The console's events file ("console-<n>.k730rec"), begun at first use;
  // nullptr when it cannot be written.
  LinkRecorder* Console();

  const std::string& Directory() const { return directory_; }
  uint64_t SessionId() const { return sessionId_; }

 private:
  const std::string directory_;
  const uint64_t sessionId_;
  const uint64_t sessionTick_;
  std::mutex mutex_;
  std::map<std::string, int> nextSequence_;
  std::mutex consoleMutex_;  // guards the two below
  std::unique_ptr<LinkRecorder> console_;
  bool consoleTried_ = false;
};

// "COM3" and 3 for a port name such as "\\.\COM3"; a cleaned-up name and 0
// for a name of another shape.
std::string SerialToken(const std::string& portName, uint32_t& number);

}  // namespace k730::rec
