// The console window's start-up time and its CPU use, printed:
//   - from process start and from main to the window shown and the console opened;
//   - CPU while idle with the console open (goal: under 1% of a core);
//   - CPU while three simulated handsets flash (k730-sim runs in its own
//     process, so its work is not counted here).
// CPU is given for the whole process and for the GUI thread alone.
//
//   ui_console_bench [--idle SECONDS] [--time-scale S] [--size-scale S]
//
// Runs on the offscreen platform unless a display is set. Not part of the tests.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/downloader_app.h"
#include "app/file_types.h"
#include "console/console_ids.h"
#include "console/downloader_dialog.h"
#include "console/real_platform.h"
#include "core/clock.h"
#include "ui/console_window.h"
#include "ui/demo_session.h"
#include "ui/file_dialogs.h"
#include "ui/ui_style.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

// CPU seconds (user + system) of the process or of the calling thread.
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// Milliseconds since the process started, from /proc (10 ms resolution).
double MsSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  // Field 22 (starttime) counts from the comm field's end: fields 3.. follow.
  size_t pos = close + 2;
  for (int field = 3; field < 22 && pos != std::string::npos; ++field)
    pos = text.find(' ', pos) + 1;
  const double startTicks = std::strtod(text.c_str() + pos, nullptr);
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  const double nowMs = boot.tv_sec * 1e3 + boot.tv_nsec / 1e6;
  return nowMs - startTicks * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Usage {
  double wall = 0, process = 0, gui = 0;
  void Print(const char* what) const {
    std::printf("%-34s wall %7.2f s   process %6.2f%% of a core   GUI thread %6.2f%%\n", what, wall,
                100.0 * process / wall, 100.0 * gui / wall);
  }
};

// Runs the event loop until done() holds (checked on every batch of updates
// and once a second) or the bound passes; measures CPU meanwhile.
template <class Done>
Usage Measure(k730::ui::ConsoleWindow& window, double boundSeconds, Done done) {
  const auto start = Clock::now();
  const double process0 = CpuSeconds(RUSAGE_SELF), gui0 = CpuSeconds(RUSAGE_THREAD);
  QEventLoop loop;
  QTimer bound;
  bound.setSingleShot(true);
  QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
  bound.start(static_cast<int>(boundSeconds * 1000));
  window.OnUpdatesApplied([&] {
    if (done()) loop.quit();
  });
  if (!done()) loop.exec();
  window.OnUpdatesApplied(nullptr);
  Usage usage;
  usage.wall = std::chrono::duration<double>(Clock::now() - start).count();
  usage.process = CpuSeconds(RUSAGE_SELF) - process0;
  usage.gui = CpuSeconds(RUSAGE_THREAD) - gui0;
  return usage;
}

// Notes the first time the window is painted.
class ShownWatch : public QObject {
 public:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (!shown && (event->type() == QEvent::Paint || event->type() == QEvent::Expose)) {
      shown = true;
      at = Clock::now();
    }
    return QObject::eventFilter(object, event);
  }
  bool shown = false;
  Clock::time_point at;
};

}  // namespace

int main(int argc, char** argv) {
  const auto mainStart = Clock::now();
  const double sinceProcessStart = MsSinceProcessStart();
  double idleSeconds = 10, timeScale = 0.05, sizeScale = 1.0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--idle") idleSeconds = std::atof(argv[i + 1]);
    if (arg == "--time-scale") timeScale = std::atof(argv[i + 1]);
    if (arg == "--size-scale") sizeScale = std::atof(argv[i + 1]);
  }
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
  unsetenv("K730_TIME_SCALE");

  // Three handsets, as in the GUI demo; the environment is set before any thread starts.
  k730::ui::DemoSession demo;
  k730::ui::DemoSession::Options options;
  const std::string program = k730::ProgramPath();
  options.binDir = program.substr(0, program.find_last_of('/'));
  options.timeScale = timeScale;
  options.sizeScale = sizeScale;
  std::string error;
  if (!demo.Start(options, error)) {
    std::fprintf(stderr, "ui_console_bench: %s\n", error.c_str());
    return 1;
  }
  const auto demoReady = Clock::now();

  QApplication app(argc, argv);
  app.setFont(k730::ui::DialogFont());
  k730::DownloaderApp application;
  k730::ui::QtFileDialogs dialogs;
  k730::ui::ConsoleWindow window(dialogs);
  ShownWatch watch;
  window.installEventFilter(&watch);
  k730::RealPhonePlatform phone(application.ReenumerationLock());
  k730::RealPdaPlatform pda;
  k730::DownloaderDialog::Options consoleOptions;
  consoleOptions.stagingDirectory = demo.Directory();
  consoleOptions.hostFileDirectory = demo.Directory();
  consoleOptions.writeRunRecords = false;
  k730::DownloaderDialog console(window, phone, pda, consoleOptions);
  struct StopFirst {
    k730::ui::ConsoleWindow& window;
    ~StopFirst() { window.StopConsole(); }
  } stopFirst{window};
  bool opened = false;
  Clock::time_point openedAt;
  QEventLoop opening;
  window.OnConsoleOpened([&] {
    opened = true;
    openedAt = Clock::now();
    opening.quit();
  });
  window.StartConsole(console);
  window.show();
  if (!opened) opening.exec();

  auto ms = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
  };
  std::printf("k730-downloader console, %s platform\n", qPrintable(QApplication::platformName()));
  std::printf(
      "start to window shown:   %7.1f ms from main (%.0f ms from process start),\n"
      "                         %7.1f ms without preparing the demo handsets\n",
      ms(mainStart, watch.at), sinceProcessStart + ms(mainStart, watch.at),
      ms(demoReady, watch.at));
  std::printf("start to console opened: %7.1f ms from main, %7.1f ms without the demo\n",
              ms(mainStart, openedAt), ms(demoReady, openedAt));
  std::printf("(preparing the demo image and three handsets took %.1f ms)\n",
              ms(mainStart, demoReady));

  // Idle: the console open, nothing happening.
  Measure(window, idleSeconds, [] { return false; }).Print("idle");

  // Three slots flash: the demo job, Go, until every slot has completed.
  console.PostDropFiles({demo.ImagePath()});
  bool selected = false;
  Measure(window, 30, [&] {
    selected = window.ReadForm().imagePath == demo.ImagePath();
    return selected;
  });
  for (int id : {k730::ctl::kPhNormal, k730::ctl::kPdaAll})
    window.findChild<QRadioButton*>(QString::number(id))->click();
  auto* go = window.findChild<QPushButton*>(QString::number(k730::ctl::kGo));
  if (!selected || !go->isEnabled()) {
    std::fprintf(stderr, "ui_console_bench: the demo image was not selected or Go is disabled\n");
    return 1;
  }
  go->click();
  auto completed = [&] {
    for (int slot = 0; slot < 3; ++slot) {
      const std::string line = "[PDA:" + std::to_string(slot) + "]Download Completed";
      if (console.SlotText(slot).find(line) == std::string::npos) return false;
    }
    return go->isEnabled();
  };
  const Usage run = Measure(window, 600, completed);
  run.Print(completed() ? "three slots flashing (whole run)" : "three slots (did not complete)");
  std::printf("time scale %.3g; the simulator's own CPU is not counted\n", timeScale);

  window.StopConsole();
  demo.Stop();
  return 0;
}
