// Replay on the desk: the recordings of one session (a directory written with
// K730_RECORD) stand in for the handsets. Each serial port or Palm link the
// console opens takes the next recording of its port or device number, in the
// order they were recorded; the host's bytes are checked against the
// recording and the recorded device bytes, time-outs and closes are given
// back. The first divergence of each link is reported and the link then acts
// as a device that has gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "replay/recording_format.h"

namespace k730::rec {

class ReplaySession;

// One recording being played. Its owner (a replayed port or transport)
// holds Mutex() around every use.
class ReplayLink {
 public:
  ReplayLink(ReplaySession& session, size_t index, std::string path);
  std::mutex& Mutex() { return mutex_; }

  // Opens the file; false (reported) when it cannot be read.
  bool Start();
  // The next record not yet played, or nullptr at the end of the recording
  // (or once the link has diverged).
  const Record* Peek();
  // Plays the record Peek returned, once its recorded distance from the
  // record before it has passed (pace false: at once).
  void Consume(bool pace = true);
  // Waits out the current record's distance from the one before it, once:
  // no call ends sooner than it did in the recorded run. At most
  // kMaxPaceMicros of real time, so that no replayed call blocks for long.
  void Pace();
  static constexpr uint64_t kMaxPaceMicros = 2000000;
  // Bytes of the next Receive record already handed over (a read smaller than
  // the recorded one takes the rest later).
  size_t& DataOffset() { return dataOffset_; }
  // Skips reads and waits that found nothing (serial polls the host need not repeat).
  void SkipPolls();

  // Reports the first divergence; the link then plays nothing more.
  void Diverge(const std::string& what);
  bool Diverged() const { return diverged_; }
  // True at a clean end of the file.
  bool AtCleanEnd();
  // Reports a damaged or truncated end once; true when the end is one.
  bool ReportBadEnd();

  // "record 12 (SEND at 3456 ms)" for messages.
  std::string Where();
  const std::string& Name() const { return name_; }
  uint64_t HostOffset() const { return hostOffset_; }
  void AdvanceHostOffset(uint64_t n) { hostOffset_ += n; }
  const FileHeader& Header() const { return reader_.Header(); }

 private:
  ReplaySession& session_;
  const size_t index_;
  const std::string path_;
  const std::string name_;  // file name without directory
  std::mutex mutex_;
  RecordingReader reader_;
  Record record_;
  bool have_ = false;
  bool ended_ = false;
  bool badEndReported_ = false;
  bool diverged_ = false;
  RecordingReader::Status endStatus_ = RecordingReader::Status::End;
  size_t dataOffset_ = 0;
  uint64_t hostOffset_ = 0;  // host-to-device bytes matched so far
  uint64_t played_ = 0;
  bool paced_ = false;     // the current record's distance was waited out
  uint64_t lastTime_ = 0;  // recorded time of the last record played
  uint64_t lastTick_ = 0;  // process tick when it was played
};

struct DeviceEvent {
  uint64_t time = 0;
  uint32_t event = 0;
  std::string name;
  uint32_t number = 0;  // the device number in the name
};

struct PortScan {
  int slotCount = 0;
  int lastNumber = 0;
  std::vector<int> ports;
};

class ReplaySession {
 public:
  using ReportSink = std::function<void(const std::string& line)>;

  // Indexes the recordings (*.k730rec) in directory. Refuses (nullptr, with a
  // reason) a directory without recordings or with a file that is damaged,
  // foreign or too new. With recordings of several sessions the earliest is
  // played and the others are named in a warning.
  static std::shared_ptr<ReplaySession> Open(const std::string& directory, std::string& error);
  // The directory of K730_REPLAY; empty when unset.
  static std::string DirectoryFromEnvironment();

  ReplaySession(const ReplaySession&) = delete;
  ReplaySession& operator=(const ReplaySession&) = delete;

  // Where divergences and warnings go, one line each (default: stderr).
  void SetReportSink(ReportSink sink);

  // The next port scan of the recording; the last one again once they run
  // out; nullopt when none was recorded. Without a console recording, one
  // scan listing the ports of the serial recordings.
  std::optional<PortScan> NextScan();
  // The next unclaimed recording of a link, started; nullptr (reported)
  // when none is left.
  std::shared_ptr<ReplayLink> Claim(LinkKind kind, uint32_t number);

  // The recorded device events, in order, and the watch start.
  const std::vector<DeviceEvent>& DeviceEvents() const { return events_; }
  // How many of them the recorded console saw between starting to watch and
  // its next port scan (the operator's Go): devices present before the run,
  // which a replayed watcher reports before its start returns.
  size_t EventsBeforeRun() const { return eventsBeforeRun_; }
  bool HasWatch() const { return watchTime_.has_value(); }
  // Waits until event k may be delivered and returns the process tick at
  // which it is due, so that it keeps its recorded distance to the link
  // records that came before it; nullopt when stopped first.
  std::optional<uint64_t> WaitForEvent(size_t k, const std::atomic<bool>& stop);
  // Sleeps until the process clock reaches tick; false when stopped first.
  bool SleepUntilTick(uint64_t tick, const std::atomic<bool>& stop);
  // The watcher's start, the anchor of events that no link record precedes.
  void WatchStarted();
  // Wakes WaitForEvent and SleepUntilTick (a watcher is being stopped).
  void Wake();

  // Checks, after the run, that every recording was played to its end.
  // False when anything diverged or was not played; each finding is reported.
  bool Finish();
  bool Diverged() const;
  // Every report so far.
  std::vector<std::string> Reports() const;
  const std::string& Directory() const { return directory_; }

  // Called by links.
  void Report(const std::string& line, bool divergence);
  void Progress(size_t index, std::optional<uint64_t> playedTime, uint64_t nextTime);

 private:
  struct Entry {
    std::string path;
    FileHeader header;
    uint64_t firstTime = UINT64_MAX;  // time of the first record
    bool claimed = false;
    std::shared_ptr<ReplayLink> link;
    // Progress: time of the next record still to play (UINT64_MAX at the
    // end), and of the last record played with the tick it was played at.
    uint64_t nextTime = UINT64_MAX;
    std::optional<uint64_t> lastTime;
    uint64_t lastTick = 0;
  };

  explicit ReplaySession(std::string directory);
  bool Index(std::string& error);
  bool LoadConsole(const std::string& path, std::string& error);
  bool EventGateOpen(const DeviceEvent& event, uint64_t& due) const;

  const std::string directory_;
  mutable std::mutex mutex_;
  std::condition_variable progress_;
  std::vector<Entry> entries_;
  std::vector<PortScan> scans_;
  size_t nextScan_ = 0;
  std::vector<DeviceEvent> events_;
  size_t eventsBeforeRun_ = 0;
  std::optional<uint64_t> watchTime_;
  std::optional<uint64_t> watchTick_;
  std::vector<std::string> reports_;
  bool diverged_ = false;
  ReportSink sink_;
};

}  // namespace k730::rec
