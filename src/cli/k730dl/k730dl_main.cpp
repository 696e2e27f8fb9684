// k730dl: the download console without a window. Opens the console (port
// scan, banners), sets the job of the command line, presses Go and lives until
// the run ends; see dl_options.h for the command line and exit status.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "app/downloader_app.h"
#include "cli/k730dl/bench_commands.h"
#include "cli/k730dl/dl_options.h"
#include "cli/k730dl/terminal_view.h"
#include "console/console_ids.h"
#include "console/downloader_dialog.h"
#include "console/real_platform.h"
#include "phone/port_discovery.h"
#include "replay/replay_session.h"

namespace {

using namespace k730;

// Waits (real time) until expect modem ports exist or the time is up.
int WaitForPorts(int expect, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  for (;;) {
    int ports[kMaxComPorts] = {};
    int slotCount = 0;
    int comPort = 0;
    DiscoverPhonePorts(ports, slotCount, comPort);
    if (slotCount >= expect) return slotCount;
    if (std::chrono::steady_clock::now() >= deadline) return slotCount;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool WriteSlotLogs(const std::string& dir, const TerminalView& view) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "k730dl: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = true;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string text = view.SessionText(slot);
    if (text.empty()) continue;
    const std::string path = dir + "/slot" + std::to_string(slot) + ".log";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "k730dl: cannot write %s\n", path.c_str());
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
      return 0;
    }
  }
  DlOptions options;
  std::string error;
  if (!ParseDlOptions(args, options, error)) {
    std::fprintf(stderr, "k730dl: %s\n%s", error.c_str(), kDlUsage);
    return 2;
  }

  // SIGINT and SIGTERM end the run as the exit button would; SIGUSR1 ends the
  // signal thread itself.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // K730_REPLAY: the recordings in that directory stand in for the handsets.
  std::shared_ptr<rec::ReplaySession> replay;
  if (const std::string dir = rec::ReplaySession::DirectoryFromEnvironment(); !dir.empty()) {
    replay = rec::ReplaySession::Open(dir, error);
    if (!replay) {
      std::fprintf(stderr, "k730dl: cannot replay: %s\n", error.c_str());
      return 2;
    }
  }

  // A replay's ports are in its recordings.
  if (options.expect > 0 && !replay) {
    const int found = WaitForPorts(options.expect, options.waitSeconds);
    if (found < options.expect)
      std::fprintf(stderr, "k730dl: %d of %d modem ports present, going on\n", found,
                   options.expect);
  }

  DownloaderApp app;  // the process's locks; no desktop registration for a runner
  TerminalView view(stdout, stderr, isatty(STDOUT_FILENO) == 1, options.yes);
  RealPhonePlatform phone(app.ReenumerationLock(), replay);
  RealPdaPlatform pda(replay);
  DownloaderDialog::Options consoleOptions;
  consoleOptions.parallelRestarts = options.parallelRestarts;
  auto consoleOwner = std::make_unique<DownloaderDialog>(view, phone, pda, consoleOptions);
  DownloaderDialog& console = *consoleOwner;

  std::atomic<bool> interrupted{false};
  std::atomic<bool> consoleEnded{false};
  const pthread_t mainThread = pthread_self();
  (void)mainThread;
  std::thread signalThread([&] {
    int received = 0;
    while (sigwait(&signals, &received) == 0) {
      if (received == SIGUSR1) return;
      interrupted = true;
      console.RequestExit();
      view.Wake();
    }
  });
  std::thread consoleThread([&] {
    console.Run();
    consoleEnded = true;
    view.Wake();
  });

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
  console.PostCommand(ctl::kGo);

  view.WaitForOutcome([&] { return consoleEnded.load() || interrupted.load(); });
  console.RequestExit();
  consoleThread.join();
  pthread_kill(signalThread.native_handle(), SIGUSR1);
  signalThread.join();
  view.Finish();

  bool logsWritten = true;
  if (!options.logDir.empty()) logsWritten = WriteSlotLogs(options.logDir, view);
  const bool refused = view.Refused();
  const std::optional<RunSummary> summary = view.Summary();
  if (!refused && summary && !summary->slots.empty()) {
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
  consoleOwner.reset();
  if (replay && !replay->Finish()) {
    std::fprintf(stderr, "k730dl: the run did not follow the recording in %s\n",
                 replay->Directory().c_str());
    return 3;
  }
  if (refused) return 2;
  if (!summary) return 1;
  return summary->AllCompleted() && logsWritten && !interrupted ? 0 : 1;
}
