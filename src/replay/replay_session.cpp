#include "replay/replay_session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "core/clock.h"
#include "pda/palm_device_map.h"

namespace k730::rec {
namespace {

// A console file holds a few events per run; this many is far beyond any
// session and keeps a damaged one from filling memory.
constexpr size_t kMaxConsoleRecords = 100000;
// Slots a scan can fill.
constexpr size_t kMaxScanSlots = 6;
// Longest single sleep of the watcher before it looks at its stop flag again.
constexpr uint64_t kMaxSleepMicros = 50000;

std::string FileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

std::string LinkLabel(LinkKind kind, uint32_t number) {
  return kind == LinkKind::Serial ? "COM" + std::to_string(number)
                                  : "Palm device " + std::to_string(number);
}

}  // namespace

// ---------------------------------------------------------------------------
// ReplayLink

ReplayLink::ReplayLink(ReplaySession& session, size_t index, std::string path)
    : session_(session), index_(index), path_(std::move(path)), name_(FileName(path_)) {}

bool ReplayLink::Start() {
  std::string error;
  if (!reader_.Open(path_, error)) {
    diverged_ = true;
    session_.Report(error, true);
    session_.Progress(index_, std::nullopt, UINT64_MAX);
    return false;
  }
  // The first record keeps its distance from the file's beginning, which
  // the recorded run reached when it first opened the link, as now.
  lastTime_ = reader_.Header().startTick;
  lastTick_ = TickCount();
  return true;
}

const Record* ReplayLink::Peek() {
  if (diverged_) return nullptr;
  if (have_) return &record_;
  if (ended_) return nullptr;
  const RecordingReader::Status status = reader_.Next(record_);
  if (status == RecordingReader::Status::Record) {
    have_ = true;
    paced_ = false;
    dataOffset_ = 0;
    return &record_;
  }
  ended_ = true;
  endStatus_ = status;
  session_.Progress(index_, std::nullopt, UINT64_MAX);
  return nullptr;
}

void ReplayLink::Pace() {
  if (!have_ || paced_) return;
  paced_ = true;
  const uint64_t due = lastTick_ + (record_.time - std::min(record_.time, lastTime_));
  const uint64_t now = TickCount();
  if (due <= now) return;
  const uint64_t ms = std::min<uint64_t>(due - now, UINT32_MAX);
  const uint64_t micros =
      std::min(ProcessClock().RealMicros(static_cast<uint32_t>(ms)), kMaxPaceMicros);
  std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

void ReplayLink::Consume(bool pace) {
  if (!have_) return;
  if (pace) Pace();
  const uint64_t time = record_.time;
  have_ = false;
  dataOffset_ = 0;
  ++played_;
  lastTime_ = time;
  lastTick_ = TickCount();
  const Record* next = Peek();
  session_.Progress(index_, time, next ? next->time : UINT64_MAX);
}

void ReplayLink::SkipPolls() {
  for (const Record* r = Peek(); r; r = Peek()) {
    const bool emptyRead = r->type == RecordType::Receive && r->payload.size() <= 4;
    if (r->type != RecordType::Wait && !emptyRead) return;
    Consume(false);
  }
}

void ReplayLink::Diverge(const std::string& what) {
  if (diverged_) return;
  const std::string where = Where();
  diverged_ = true;
  session_.Report(name_ + ": " + where + ": " + what, true);
  session_.Progress(index_, std::nullopt, UINT64_MAX);
}

bool ReplayLink::AtCleanEnd() {
  return !diverged_ && !Peek() && ended_ && endStatus_ == RecordingReader::Status::End;
}

bool ReplayLink::ReportBadEnd() {
  if (diverged_ || Peek() || !ended_ || endStatus_ == RecordingReader::Status::End) return false;
  if (!badEndReported_) {
    badEndReported_ = true;
    session_.Report(
        name_ + ": the recording ends early (" +
            (endStatus_ == RecordingReader::Status::Truncated ? "truncated" : "damaged") + ", " +
            reader_.Error() + "); the link is taken for gone",
        true);
  }
  return true;
}

std::string ReplayLink::Where() {
  const Record* r = diverged_ ? nullptr : Peek();
  if (!r) return "after record " + std::to_string(played_) + " (end of the recording)";
  const uint64_t ms = r->time - std::min(r->time, reader_.Header().sessionTick);
  return "record " + std::to_string(played_ + 1) + " (" + RecordTypeName(r->type) + " at " +
         std::to_string(ms) + " ms)";
}

// ---------------------------------------------------------------------------
// ReplaySession

ReplaySession::ReplaySession(std::string directory) : directory_(std::move(directory)) {
  sink_ = [](const std::string& line) { std::fprintf(stderr, "k730 replay: %s\n", line.c_str()); };
}

std::string ReplaySession::DirectoryFromEnvironment() {
  const char* dir = std::getenv("K730_REPLAY");
  return dir && *dir ? std::string(dir) : std::string();
}

std::shared_ptr<ReplaySession> ReplaySession::Open(const std::string& directory,
                                                   std::string& error) {
  std::shared_ptr<ReplaySession> session(new ReplaySession(directory));
  if (!session->Index(error)) return nullptr;
  return session;
}

bool ReplaySession::Index(std::string& error) {
  std::error_code ec;
  std::vector<std::string> paths;
  for (const auto& item : std::filesystem::directory_iterator(directory_, ec)) {
    const std::string name = item.path().filename().string();
    if (name.size() > std::string(kFileSuffix).size() && name.ends_with(kFileSuffix) &&
        item.is_regular_file(ec))
      paths.push_back(item.path().string());
  }
  if (ec) {
    error = directory_ + ": " + ec.message();
    return false;
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) {
    error = directory_ + ": no recordings (*" + kFileSuffix + ")";
    return false;
  }

  // Every file is read through once: a damaged one is refused now rather
  // than found in the middle of a run.
  std::vector<Entry> all;
  std::vector<std::string> truncated;
  for (const std::string& path : paths) {
    RecordingReader reader;
    if (!reader.Open(path, error)) return false;
    Entry entry;
    entry.path = path;
    entry.header = reader.Header();
    Record record;
    RecordingReader::Status status;
    while ((status = reader.Next(record)) == RecordingReader::Status::Record) {
      if (reader.RecordsRead() == 1) entry.firstTime = record.time;
    }
    if (status == RecordingReader::Status::Damaged) {
      error = path + ": " + reader.Error();
      return false;
    }
    if (status == RecordingReader::Status::Truncated)
      truncated.push_back(FileName(path) + " (" + reader.Error() + ")");
    entry.nextTime = entry.firstTime;
    all.push_back(std::move(entry));
  }

  uint64_t session = UINT64_MAX;
  for (const Entry& entry : all) session = std::min(session, entry.header.sessionId);
  std::vector<std::string> others;
  std::string consolePath;
  std::vector<std::string> switches;
  for (Entry& entry : all) {
    if (entry.header.kind == LinkKind::ModeSwitch) {
      switches.push_back(FileName(entry.path));
      continue;
    }
    if (entry.header.sessionId != session) {
      others.push_back(FileName(entry.path));
      continue;
    }
    if (entry.header.kind == LinkKind::Console) {
      if (consolePath.empty()) {
        consolePath = entry.path;
      } else {
        others.push_back(FileName(entry.path));
      }
      continue;
    }
    entries_.push_back(std::move(entry));
  }
  std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.header.startTick < b.header.startTick;
  });
  if (!consolePath.empty() && !LoadConsole(consolePath, error)) return false;
  if (consolePath.empty()) {
    // Without the console's file the scan is what the serial recordings name.
    PortScan scan;
    for (const Entry& entry : entries_) {
      const int number = static_cast<int>(entry.header.number);
      if (entry.header.kind == LinkKind::Serial && number > 0 &&
          std::find(scan.ports.begin(), scan.ports.end(), number) == scan.ports.end())
        scan.ports.push_back(number);
    }
    std::sort(scan.ports.begin(), scan.ports.end());
    if (scan.ports.size() > kMaxScanSlots) scan.ports.resize(kMaxScanSlots);
    scan.slotCount = static_cast<int>(scan.ports.size());
    scan.lastNumber = scan.ports.empty() ? 0 : scan.ports.back();
    scans_.push_back(std::move(scan));
    Report(
        "no console recording: the ports are those of the serial recordings and no Palm "
        "device arrives",
        false);
  }
  for (const std::string& name : truncated)
    Report("the recording ends in the middle of a record and is played up to there: " + name,
           false);
  if (!switches.empty()) {
    std::string list;
    for (const std::string& name : switches) list += (list.empty() ? "" : ", ") + name;
    Report("the mode switch's recordings are not played: " + list, false);
  }
  if (!others.empty()) {
    std::string list;
    for (const std::string& name : others) list += (list.empty() ? "" : ", ") + name;
    Report("not part of the session played (another process or a later run): " + list, false);
  }
  return true;
}

bool ReplaySession::LoadConsole(const std::string& path, std::string& error) {
  RecordingReader reader;
  if (!reader.Open(path, error)) return false;
  Record record;
  RecordingReader::Status status;
  std::optional<uint64_t> runScan;  // the first scan after watching began
  while ((status = reader.Next(record)) == RecordingReader::Status::Record) {
    if (reader.RecordsRead() > kMaxConsoleRecords) {
      error = path + ": more console records than any session makes";
      return false;
    }
    if (record.type == RecordType::Scan) {
      PortScan scan;
      scan.slotCount = PayloadI32(record, 0);
      scan.lastNumber = PayloadI32(record, 4);
      const uint32_t count = PayloadU32(record, 8);
      for (uint32_t i = 0; i < count; ++i) scan.ports.push_back(PayloadI32(record, 12 + 4 * i));
      scans_.push_back(std::move(scan));
      if (watchTime_ && !runScan) runScan = record.time;
    } else if (record.type == RecordType::Device) {
      DeviceEvent event;
      event.time = record.time;
      event.event = PayloadU32(record, 0);
      event.name = PayloadText(record, 4);
      event.number = DeviceNumberFromName(event.name);
      events_.push_back(std::move(event));
    } else if (record.type == RecordType::Watch && !watchTime_) {
      watchTime_ = record.time;
    }
  }
  if (status == RecordingReader::Status::Damaged) {
    error = path + ": " + reader.Error();
    return false;
  }
  if (watchTime_) {
    while (eventsBeforeRun_ < events_.size() &&
           (!runScan || events_[eventsBeforeRun_].time < *runScan))
      ++eventsBeforeRun_;
  }
  return true;
}

void ReplaySession::SetReportSink(ReportSink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

void ReplaySession::Report(const std::string& line, bool divergence) {
  std::lock_guard<std::mutex> lock(mutex_);
  reports_.push_back(line);
  if (divergence) diverged_ = true;
  if (sink_) sink_(line);
}

bool ReplaySession::Diverged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return diverged_;
}

std::vector<std::string> ReplaySession::Reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

std::optional<PortScan> ReplaySession::NextScan() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (scans_.empty()) return std::nullopt;
  const PortScan& scan = scans_[std::min(nextScan_, scans_.size() - 1)];
  if (nextScan_ < scans_.size()) ++nextScan_;
  return scan;
}

std::shared_ptr<ReplayLink> ReplaySession::Claim(LinkKind kind, uint32_t number) {
  std::shared_ptr<ReplayLink> link;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i) {
      Entry& entry = entries_[i];
      if (entry.claimed || entry.header.kind != kind || entry.header.number != number) continue;
      entry.claimed = true;
      entry.link = std::make_shared<ReplayLink>(*this, i, entry.path);
      link = entry.link;
      break;
    }
  }
  if (!link) {
    Report("no recording left for " + LinkLabel(kind, number) + ": it is taken for absent", true);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(link->Mutex());
  return link->Start() ? link : nullptr;
}

void ReplaySession::Progress(size_t index, std::optional<uint64_t> playedTime, uint64_t nextTime) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= entries_.size()) return;
    Entry& entry = entries_[index];
    entry.nextTime = nextTime;
    if (playedTime) {
      entry.lastTime = playedTime;
      entry.lastTick = TickCount();
    }
  }
  progress_.notify_all();
}

void ReplaySession::WatchStarted() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    watchTick_ = TickCount();
  }
  progress_.notify_all();
}

void ReplaySession::Wake() {
  // Taking the lock orders the waker's stop flag before the waiter's check.
  { std::lock_guard<std::mutex> lock(mutex_); }
  progress_.notify_all();
}

bool ReplaySession::EventGateOpen(const DeviceEvent& event, uint64_t& due) const {
  // The links of the handset the device belongs to (its phone port has the
  // same number); every link when none has it.
  bool any = false;
  for (const Entry& entry : entries_) any = any || entry.header.number == event.number;
  const uint64_t now = TickCount();
  due = now;
  for (const Entry& entry : entries_) {
    if (any && entry.header.number != event.number) continue;
    if (entry.nextTime <= event.time) return false;
    if (!entry.lastTime) continue;
    if (*entry.lastTime <= event.time) {
      due = std::max(due, entry.lastTick + (event.time - *entry.lastTime));
    }
  }
  if (watchTime_ && watchTick_ && *watchTime_ <= event.time)
    due = std::max(due, *watchTick_ + (event.time - *watchTime_));
  return true;
}

std::optional<uint64_t> ReplaySession::WaitForEvent(size_t k, const std::atomic<bool>& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (k >= events_.size()) return std::nullopt;
  for (;;) {
    if (stop.load(std::memory_order_acquire)) return std::nullopt;
    uint64_t due = 0;
    if (EventGateOpen(events_[k], due)) return due;
    progress_.wait(lock);
  }
}

bool ReplaySession::SleepUntilTick(uint64_t tick, const std::atomic<bool>& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop.load(std::memory_order_acquire)) return false;
    const uint64_t now = TickCount();
    if (now >= tick) return true;
    const uint64_t ms = std::min<uint64_t>(tick - now, UINT32_MAX);
    const uint64_t micros = std::clamp<uint64_t>(
        ProcessClock().RealMicros(static_cast<uint32_t>(ms)), 1, kMaxSleepMicros);
    progress_.wait_for(lock, std::chrono::microseconds(micros));
  }
}

bool ReplaySession::Finish() {
  std::vector<std::pair<Entry*, std::shared_ptr<ReplayLink>>> links;
  std::vector<std::string> unplayed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : entries_) {
      if (entry.link) {
        links.emplace_back(&entry, entry.link);
      } else {
        unplayed.push_back(FileName(entry.path) + " (" +
                           LinkLabel(entry.header.kind, entry.header.number) + ")");
      }
    }
  }
  for (const std::string& name : unplayed)
    Report(name + ": not played: the run never opened this link", true);
  for (auto& [entry, link] : links) {
    std::lock_guard<std::mutex> lock(link->Mutex());
    if (link->Diverged()) continue;
    if (link->Header().kind == LinkKind::Serial) link->SkipPolls();
    if (link->ReportBadEnd() || link->AtCleanEnd()) continue;
    const std::string where = link->Where();
    Report(link->Name() + ": the run ended at " + where + "; the recording goes on", true);
  }
  return !Diverged();
}

}  // namespace k730::rec
