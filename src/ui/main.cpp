// k730-downloader: the console window over the console core.
//
//   k730-downloader [FILE]        the console; FILE (a registered file opened) only starts it
//   k730-downloader --demo        three simulated handsets and a generated image
//   k730-downloader --configure   the console with the mode-switch window open
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>
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
#include "phone/serial_port.h"
#include "replay/replay_session.h"
#include "ui/console_window.h"
#include "ui/demo_session.h"
#include "ui/file_dialogs.h"
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
  const std::string program = k730::ProgramPath();
  const size_t slash = program.find_last_of('/');
  return slash == std::string::npos ? "." : program.substr(0, slash);
}

// SIGINT and SIGTERM close the window the way the exit button does, so the
// demo's handsets and files are removed; the handler only writes a byte. A
// second one ends the process at once, whatever the window waits for.
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t signalsReceived = 0;

void OnSignal(int signal) {
  if (signalsReceived != 0) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  signalsReceived = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void CloseOnSignals(QWidget& window) {
  if (::pipe(signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    char byte;
    [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
    window.close();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

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
    if (demoModesPending && window.ReadForm().imagePath == demo->ImagePath()) {
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

  CloseOnSignals(window);
  window.StartConsole(console);
  window.show();
  const int status = app.exec();
  window.StopConsole();
  if (demo) demo->Stop();
  return status;
}
