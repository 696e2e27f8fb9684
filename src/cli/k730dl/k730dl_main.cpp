// k730dl: the download console without a window. Opens the console (port
// scan, banners), sets the job of the command line, presses Go and lives until
// the run ends; see dl_options.h for the command line and exit status.
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "app/console_lock.h"
#include "app/downloader_app.h"
#include "cli/k730dl/bench_commands.h"
#include "cli/k730dl/dl_options.h"
#include "cli/k730dl/terminal_view.h"
#include "console/console_ids.h"
#include "console/downloader_dialog.h"
#include "console/real_platform.h"
#include "core/clock.h"
#include "core/file_access.h"
#include "core/stop_requests.h"
#include "phone/port_discovery.h"
#include "phone/serial_port.h"
#include "replay/replay_session.h"

namespace {

using namespace k730;

// SIGINT and SIGTERM (Ctrl+C, Ctrl+Break, the console window closing) end the
// run as the exit button would; a second one ends the process at once,
// whatever it waits for. SIGHUP, the terminal going away, does not end the
// run: it finishes and is recorded. In continuous operation SIGINT, SIGTERM
// and SIGHUP untick Repeat: the running units finish and the run ends; a
// second one ends the process at once.
class StopSignals {
 public:
  StopSignals() : watcher_([this](StopKind kind) { OnRequest(kind); }) {}
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Whom a stop request goes to; null before the console exists and after it ended.
  void Attach(DownloaderDialog* console, TerminalView* view, bool continuous = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    console_ = console;
    view_ = view;
    continuous_ = console && continuous;
    if (console_ && interrupted_) console_->RequestExit();
  }
  // A stop that ends the run as the exit button would (and fails it).
  bool Interrupted() const { return interrupted_; }

 private:
  void OnRequest(StopKind kind) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (continuous_ && !finishing_) {
        finishing_ = true;
        std::fprintf(stderr, "k730dl: the running units finish, then the run ends\n");
        console_->PostRepeat(false);
        return;
      }
    }
    if (kind == StopKind::HangUp && !finishing_) return;
    // The second request: the default action, now.
    if (finishing_ || interrupted_.exchange(true)) watcher_.EndNow();
    std::lock_guard<std::mutex> lock(mutex_);
    if (console_) console_->RequestExit();
    if (view_) view_->Wake();
  }

  std::mutex mutex_;
  DownloaderDialog* console_ = nullptr;
  TerminalView* view_ = nullptr;
  bool continuous_ = false;
  bool finishing_ = false;  // continuous operation was asked to end
  std::atomic<bool> interrupted_{false};
  StopRequestWatcher watcher_;  // last: it calls back into the members above
};

// Waits (real time) until expect modem ports exist, the time is up or a stop
// was asked for.
int WaitForPorts(int expect, double seconds, const StopSignals& signals) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  for (;;) {
    int ports[kMaxComPorts] = {};
    int slotCount = 0;
    int comPort = 0;
    DiscoverPhonePorts(ports, slotCount, comPort);
    if (slotCount >= expect || signals.Interrupted()) return slotCount;
    if (std::chrono::steady_clock::now() >= deadline) return slotCount;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The log folder is made (with its parents) and checked before anything is
// flashed, so that a run is not found unrecordable only once it is over.
bool PrepareLogDirectory(const std::string& dir, std::string& reason) {
  return MakeDirectories(dir, reason) && CanCreateFilesIn(dir, reason);
}

// Each slot's text into DIR/slot<N>.log. A link in a log's place is not
// followed and a FIFO nobody reads is skipped; every failure is reported.
bool WriteSlotLogs(const std::string& dir, const TerminalView& view) {
  bool ok = true;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string text = view.SessionText(slot);
    if (text.empty()) continue;
    const std::string path = dir + "/slot" + std::to_string(slot) + ".log";
    std::string reason;
    const int fd = OpenOutput(path, OutputMode::Truncate, LinkPolicy::Refuse, reason);
    bool written = fd >= 0 && WriteAll(fd, text.data(), text.size(), reason);
    int error = 0;
    if (fd >= 0 && !CloseFile(fd, &error) && written) {
      reason = SystemErrorText(error);
      written = false;
    }
    if (!written) {
      std::fprintf(stderr, "k730dl: cannot write %s: %s\n", path.c_str(), reason.c_str());
      ok = false;
    }
  }
  return ok;
}

int DeviceRadio(int deviceMode) {
  return deviceMode == mode::kPhone ? ctl::kDevicePhone
         : deviceMode == mode::kPda ? ctl::kDevicePda
                                    : ctl::kDevicePdaPhone;
}

// Each slot's units in continuous operation, one line per slot.
void PrintUnitSummary(const RunSummary& summary) {
  std::array<int, kSlotCount> completed{};
  std::array<int, kSlotCount> failed{};
  std::array<bool, kSlotCount> seen{};
  for (const SlotOutcome& unit : summary.slots) {
    if (unit.slot < 0 || unit.slot >= kSlotCount) continue;
    seen[unit.slot] = true;
    if (unit.result == SlotOutcome::Result::Completed) {
      ++completed[unit.slot];
    } else if (unit.result == SlotOutcome::Result::Failed) {
      ++failed[unit.slot];
    }
  }
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (seen[slot])
      std::fprintf(stderr, "k730dl: slot %d: %d units completed, %d failed\n", slot,
                   completed[slot], failed[slot]);
  }
}

constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitReplayDiverged = 3;
constexpr int kExitNotRecorded = 4;

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--udev-rules")
    return RunUdevRulesCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  if (!args.empty() && args[0] == "--list")
    return RunListCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDlUsage, stdout);
      return kExitCompleted;
    }
  }
  DlOptions options;
  std::string error;
  if (!ParseDlOptions(args, options, error)) {
    std::fprintf(stderr, "k730dl: %s\n%s", error.c_str(), kDlUsage);
    return kExitRefused;
  }
  if (const std::string problem = TimeScaleEnvironmentProblem(); !problem.empty()) {
    std::fprintf(stderr, "k730dl: %s\n", problem.c_str());
    return kExitRefused;
  }

  // A reader that quits must not end a flash: writes to it fail instead, and
  // the run goes on to its record and logs.
  IgnoreWriteSignals();
  StopSignals signals;

  if (!options.logDir.empty() && !PrepareLogDirectory(options.logDir, error)) {
    std::fprintf(stderr, "k730dl: --log-dir: %s; nothing flashed\n", error.c_str());
    return kExitRefused;
  }

  // K730_REPLAY: the recordings in that directory stand in for the handsets.
  std::shared_ptr<rec::ReplaySession> replay;
  if (const std::string dir = rec::ReplaySession::DirectoryFromEnvironment(); !dir.empty()) {
    replay = rec::ReplaySession::Open(dir, error);
    if (!replay) {
      std::fprintf(stderr, "k730dl: cannot replay: %s\n", error.c_str());
      return kExitRefused;
    }
  }

  // One console per bench; a replay's ports are in its recordings.
  ConsoleLock benchLock;
  if (!replay && !benchLock.Acquire(PortDirectory(), error)) {
    std::fprintf(stderr, "k730dl: %s; not started\n", error.c_str());
    return kExitRefused;
  }

  if (options.expect > 0 && !replay) {
    const int found = WaitForPorts(options.expect, options.waitSeconds, signals);
    if (signals.Interrupted()) return kExitFailed;
    if (found < options.expect)
      std::fprintf(stderr, "k730dl: %d of %d modem ports present, going on\n", found,
                   options.expect);
  }

  DownloaderApp app;  // the process's locks; no desktop registration for a runner
  TerminalView view(stdout, stderr, IsTerminal(stdout), options.yes);
  RealPhonePlatform phone(app.ReenumerationLock(), replay);
  RealPdaPlatform pda(replay);
  DownloaderDialog::Options consoleOptions;
  consoleOptions.parallelRestarts = options.parallelRestarts;
  auto consoleOwner = std::make_unique<DownloaderDialog>(view, phone, pda, consoleOptions);
  DownloaderDialog& console = *consoleOwner;

  std::atomic<bool> consoleEnded{false};
  std::thread consoleThread([&] {
    console.Run();
    consoleEnded = true;
    view.Wake();
  });
  signals.Attach(&console, &view);

  view.WaitOpened();
  JobForm job = view.ReadForm();  // the form as the console opened it
  job.imagePath = options.image;
  job.deviceMode = options.deviceMode;
  job.phoneMode = options.phoneMode;
  job.pdaMode = options.pdaMode;
  if (options.comBase) job.comPort = *options.comBase;
  view.SetPendingJob(job);
  // The operator's clicks: the device radio (it empties the path), the rest
  // of the form (applied on the console thread), then Go.
  console.PostCommand(DeviceRadio(options.deviceMode));
  console.PostSysCommand(0x0010);
  if (options.continuous) {
    console.PostRepeat(true);
    signals.Attach(&console, &view, true);
  }
  console.PostCommand(ctl::kGo);

  view.WaitForOutcome([&] { return consoleEnded.load() || signals.Interrupted(); });
  console.RequestExit();
  consoleThread.join();
  // The records of the run are written (or given up) before the logs, so
  // that a failure to write them is in slot 0's log too.
  const std::string recordFailure = console.FlushRunRecords();
  view.Finish();

  bool logsWritten = true;
  if (!options.logDir.empty()) logsWritten = WriteSlotLogs(options.logDir, view);
  if (!recordFailure.empty())
    std::fprintf(stderr, "k730dl: the run record could not be fully written: %s\n",
                 recordFailure.c_str());
  const bool outputLost = std::fflush(stdout) != 0 || std::ferror(stdout);
  if (outputLost)
    std::fprintf(stderr,
                 "k730dl: standard output could not be fully written; the run went on to its "
                 "end\n");
  const bool refused = view.Refused();
  const std::optional<RunSummary> summary = view.Summary();
  if (!refused && summary && options.continuous) {
    PrintUnitSummary(*summary);
    for (const SlotOutcome& slot : summary->slots) {
      if (slot.result == SlotOutcome::Result::Failed)
        std::fprintf(stderr, "k730dl: slot %d unit %d failed at %s\n", slot.slot, slot.unit,
                     slot.failedStep.c_str());
    }
  } else if (!refused && summary && !summary->slots.empty()) {
    for (const SlotOutcome& slot : summary->slots) {
      if (slot.result == SlotOutcome::Result::Completed) continue;
      std::fprintf(stderr, "k730dl: slot %d %s\n", slot.slot,
                   slot.result == SlotOutcome::Result::NotStarted
                       ? "not started"
                       : ("failed at " + slot.failedStep).c_str());
    }
  } else if (!refused && summary) {
    std::fprintf(stderr, "k730dl: no slot could start\n");
  }
  // The console's end closes the last links; only then is a replay complete.
  signals.Attach(nullptr, nullptr);
  consoleOwner.reset();
  if (replay && !replay->Finish()) {
    std::fprintf(stderr, "k730dl: the run did not follow the recording in %s\n",
                 replay->Directory().c_str());
    return kExitReplayDiverged;
  }
  if (refused) return kExitRefused;
  if (!summary || !summary->AllCompleted() || signals.Interrupted()) return kExitFailed;
  if (outputLost || !logsWritten || !recordFailure.empty()) return kExitNotRecorded;
  return kExitCompleted;
}
