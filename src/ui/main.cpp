// k730-downloader: the console window over the console core.
//
//   k730-downloader [FILE]        the console; FILE (a registered file opened) only starts it
//   k730-downloader --demo        three simulated handsets and a generated image
//   k730-downloader --configure   the console with the mode-switch window open
#include <QApplication>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/console_lock.h"
#include "app/downloader_app.h"
#include "app/file_types.h"
#include "console/console_ids.h"
#include "console/device_listing.h"
#include "console/downloader_dialog.h"
#include "console/real_platform.h"
#include "core/clock.h"
#include "core/file_access.h"
#include "core/stop_requests.h"
#include "phone/serial_port.h"
#include "replay/replay_session.h"
#include "ui/console_window.h"
#include "ui/demo_session.h"
#include "ui/file_dialogs.h"
#include "ui/gui_tasks.h"
#include "ui/ui_style.h"

namespace {

struct Arguments {
  bool demo = false;
  bool configure = false;
  std::string file;  // accepted so that opening a registered file starts the console
};

void Usage(FILE* out) {
  std::fputs(
      "usage: k730-downloader [--demo | --configure] [FILE]\n"
      "  --demo       start three simulated handsets (k730-sim) with a generated image\n"
      "               and select it; press Go to flash them. Everything is removed on exit.\n"
      "  --configure  open the USB download-mode switch window over the console\n"
      "  FILE         a registered file being opened: starts the console, which does\n"
      "               not read it (choose the image with Browse or by dropping it)\n",
      out);
}

// Qt takes its own options out of argv first.
bool ParseArguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--demo") {
      args.demo = true;
    } else if (arg == "--configure") {
      args.configure = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      std::exit(0);
    } else if (!arg.empty() && arg[0] != '-' && args.file.empty()) {
      args.file = arg;
    } else {
      std::fprintf(stderr, "k730-downloader: unexpected argument '%s'\n", arg.c_str());
      return false;
    }
  }
  return true;
}

std::string BinDirectory() {
  const std::string dir = k730::ProgramDirectory();
  return dir.empty() ? "." : dir;
}

// SIGINT and SIGTERM (Ctrl+C, the console closing) end the console the way
// the exit button does, so the demo's handsets and files are removed, but
// never with the question the operator gets during a run; a second one, or
// SIGHUP, ends the process at once, whatever the window waits for. Made
// first, before any thread, so that no thread takes a signal.
class StopRequests {
 public:
  StopRequests() : watcher_([this](k730::StopKind kind) { OnRequest(kind); }) {}

  // From now on a request ends window's console through tasks (GUI thread);
  // a request that came before ends it at once. Null detaches.
  void Attach(k730::ui::GuiTasks* tasks, k730::ui::ConsoleWindow* window) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_ = tasks;
    window_ = window;
    if (tasks_ && requested_) tasks_->Post([window] { window->ExitWithoutAsking(); });
  }

 private:
  void OnRequest(k730::StopKind kind) {
    if (kind == k730::StopKind::HangUp || requested_.exchange(true)) watcher_.EndNow();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!tasks_) return;
    k730::ui::ConsoleWindow* window = window_;
    tasks_->Post([window] { window->ExitWithoutAsking(); });
  }

  std::mutex mutex_;
  k730::ui::GuiTasks* tasks_ = nullptr;
  k730::ui::ConsoleWindow* window_ = nullptr;
  std::atomic<bool> requested_{false};
  k730::StopRequestWatcher watcher_;  // last: it calls back into the members above
};

// Selects the demo's modes once the dropped image is shown: the phone flashed
// normally and the whole PDA image after it.
void SelectDemoModes(k730::ui::ConsoleWindow& window) {
  using namespace k730;
  for (int id : {ctl::kPhNormal, ctl::kPdaAll}) {
    if (auto* radio = window.findChild<QRadioButton*>(QString::number(id))) radio->click();
  }
}

}  // namespace

int main(int argc, char** argv) {
  StopRequests stopRequests;
  // The demo's environment must be in place before any thread reads it.
  std::vector<char*> args(argv, argv + argc);
  Arguments arguments;
  {
    // Qt's own options are skipped here and parsed by QApplication below.
    std::vector<char*> mine;
    mine.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "-platform" || arg == "-style" || arg == "-qwindowgeometry") {
        ++i;
        continue;
      }
      mine.push_back(argv[i]);
    }
    if (!ParseArguments(static_cast<int>(mine.size()), mine.data(), arguments)) {
      Usage(stderr);
      return 2;
    }
  }
  if (const std::string problem = k730::TimeScaleEnvironmentProblem(); !problem.empty()) {
    std::fprintf(stderr, "k730-downloader: %s\n", problem.c_str());
    return 2;
  }
  std::unique_ptr<k730::ui::DemoSession> demo;
  if (arguments.demo) {
    demo = std::make_unique<k730::ui::DemoSession>();
    k730::ui::DemoSession::Options options;
    options.binDir = BinDirectory();
    std::string error;
    std::fprintf(stderr, "k730-downloader: preparing the demo (image and three handsets)...\n");
    if (!demo->Start(options, error)) {
      std::fprintf(stderr, "k730-downloader: demo: %s\n", error.c_str());
      return 1;
    }
  }

  QApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("k730-downloader"));
  app.setFont(k730::ui::DialogFont());
  app.setWindowIcon(k730::ui::AppIcon());

  k730::DownloaderApp application;
  // The demo leaves nothing behind, file-type registrations included.
  if (!demo) application.InitInstance();

  k730::ui::QtFileDialogs dialogs;
  k730::ui::ConsoleWindow window(dialogs);
  // K730_REPLAY: recordings stand in for the handsets; divergences go to stderr.
  std::shared_ptr<k730::rec::ReplaySession> replay;
  if (const std::string dir = k730::rec::ReplaySession::DirectoryFromEnvironment(); !dir.empty()) {
    std::string error;
    replay = k730::rec::ReplaySession::Open(dir, error);
    if (!replay) {
      std::fprintf(stderr, "k730-downloader: cannot replay: %s\n", error.c_str());
      return 2;
    }
  }
  // One console per bench (the demo's bench is its own folder); a replay's
  // ports are in its recordings.
  k730::ConsoleLock benchLock;
  if (std::string reason; !replay && !benchLock.Acquire(k730::PortDirectory(), reason)) {
    std::fprintf(stderr, "k730-downloader: %s; not started\n", reason.c_str());
    QMessageBox::critical(nullptr, QStringLiteral("k730-downloader"),
                          QString::fromStdString(reason + "; not started."));
    if (demo) demo->Stop();
    return 2;
  }
  k730::RealPhonePlatform phone(application.ReenumerationLock(), replay);
  k730::RealPdaPlatform pda(replay);
  k730::DownloaderDialog::Options options;
  if (demo) {
    options.stagingDirectory = demo->Directory();
    options.hostFileDirectory = demo->Directory();
  }
  k730::DownloaderDialog console(window, phone, pda, options);

  bool demoModesPending = false;
  window.OnUpdatesApplied([&] {
    if (demoModesPending && window.CurrentForm().imagePath == demo->ImagePath()) {
      demoModesPending = false;
      SelectDemoModes(window);
    }
  });
  window.OnConsoleOpened([&] {
    const std::string warning = k730::ModemManagerWarning(k730::PortDirectory());
    if (!warning.empty()) console.AppendSlotLog(0, warning);
    if (demo) {
      demoModesPending = true;
      console.PostDropFiles({demo->ImagePath()});
    }
    if (arguments.configure) {
      QTimer::singleShot(0, &window, [&] { window.RunCommand(k730::ctl::kConfiguration); });
    }
  });
  QObject::connect(&window, &k730::ui::ConsoleWindow::consoleEnded, &app, &QApplication::quit,
                   Qt::QueuedConnection);

  k730::ui::GuiTasks tasks(&window);
  stopRequests.Attach(&tasks, &window);
  window.StartConsole(console);
  window.show();
  const int status = app.exec();
  stopRequests.Attach(nullptr, nullptr);
  window.StopConsole();
  if (demo) demo->Stop();
  return status;
}
