// Timed runs of the headless console k730dl against the handset simulator,
// PDA+PHONE with [PH]Normal and [PDA]ALL and a 42 MB United Binary:
//   1. at the handsets' own rates (k730-sim's defaults: 115,200 baud on each
//      modem port, USB full speed for each Palm device, divided by the time
//      scale like every wait): one handset against six, with the floor the
//      reenumeration lock sets (computed from the one-handset run: the other
//      five wait one lock hold each) and the share of the six-handset run
//      during which a handset holds the lock; the wall times scaled back to
//      the protocol's own time are what a real bench would take;
//   2. the same six with --parallel-restarts (a lock per port);
//   3. the same one and six with no rate limit at all: the host's own cost;
//   4. the peak memory of k730dl for one slot and for six.
// Each run's CPU use (k730dl and k730-sim) is printed beside its wall time:
// the figures mean what they say only while the rates, not the two cores,
// set the pace.
// Usage: console_bench [--time-scale S] [--bin DIR]
// Not part of the tests: it takes a few minutes.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;

std::string gBin;
std::string gWork;
double gScale = 0.1;

// The reenumeration lock's hold in the final phase (protocol seconds): three
// JUMP2 writes of 1.5 s, 3 s, 5 s to the finish event and 2 s after it.
constexpr double kFinalHoldSeconds = 14.5;
// Go's pause between slots (protocol seconds): the last slot is posted this
// much later per slot before it.
constexpr double kSlotGapSeconds = 1;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// stdoutFd: where the child's standard output goes (-1: the file out).
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, int stdoutFd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || chdir(gWork.c_str()) != 0) _exit(126);
    dup2(stdoutFd >= 0 ? stdoutFd : fd, 1);
    dup2(fd, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

double CpuSeconds(const rusage& usage) {
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Line {
  double at = 0;  // seconds since k730dl started
  std::string text;
};

struct Outcome {
  int status = -1;
  double seconds = 0;
  long maxRssKb = 0;
  double cpuSeconds = 0;  // k730dl and k730-sim together
  std::vector<Line> lines;

  double CoresBusy() const { return seconds > 0 ? cpuSeconds / seconds : 0; }
  // When the first line holding text came after the one holding after (-1: never).
  double At(const std::string& text, const std::string& after = "") const {
    bool armed = after.empty();
    for (const Line& line : lines) {
      if (!armed) {
        armed = line.text.find(after) != std::string::npos;
        continue;
      }
      if (line.text.find(text) != std::string::npos) return line.at;
    }
    return -1;
  }
};

// One k730dl run against a fresh simulator with the given handsets.
Outcome DownloadRun(int handsets, const std::string& image, const std::string& tag,
                    const std::vector<std::string>& simExtra,
                    const std::vector<std::string>& dlExtra = {}) {
  const std::string ports = gWork + "/ports-" + tag;
  const std::string palm = gWork + "/palm-" + tag;
  std::filesystem::create_directories(ports);
  std::filesystem::create_directories(palm);
  setenv("K730_PORT_DIR", ports.c_str(), 1);
  setenv("K730_PALM_DIR", palm.c_str(), 1);
  const std::string simOut = gWork + "/sim-" + tag + ".out";
  std::vector<std::string> simArgs = {gBin + "/k730-sim",
                                      "--handsets",
                                      std::to_string(handsets),
                                      "--first-port",
                                      "3",
                                      "--port-dir",
                                      ports,
                                      "--palm-dir",
                                      palm};
  simArgs.insert(simArgs.end(), simExtra.begin(), simExtra.end());
  const pid_t sim = Spawn(simArgs, simOut);
  for (int i = 0; i < 400 && FileText(simOut).find("ready") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));

  std::vector<std::string> dlArgs = {gBin + "/k730dl",
                                     "--device",
                                     "pda+phone",
                                     "--phone-mode",
                                     "normal",
                                     "--pda-mode",
                                     "all",
                                     "--expect",
                                     std::to_string(handsets),
                                     "--wait",
                                     "10"};
  dlArgs.insert(dlArgs.end(), dlExtra.begin(), dlExtra.end());
  dlArgs.push_back(image);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  Outcome o;
  const auto start = Steady::now();
  const pid_t dl = Spawn(dlArgs, gWork + "/dl-" + tag + ".err", pipeFds[1]);
  close(pipeFds[1]);
  // Every log line with the moment it came.
  std::thread reader([&] {
    std::ofstream copy(gWork + "/dl-" + tag + ".out");
    std::string partial;
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      const double at = std::chrono::duration<double>(Steady::now() - start).count();
      copy.write(buffer, n);
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
          partial += buffer[i];
          continue;
        }
        o.lines.push_back({at, partial});
        partial.clear();
      }
    }
    close(pipeFds[0]);
  });
  int raw = 0;
  rusage usage{};
  wait4(dl, &raw, 0, &usage);
  o.seconds = std::chrono::duration<double>(Steady::now() - start).count();
  reader.join();
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  o.maxRssKb = usage.ru_maxrss;
  o.cpuSeconds = CpuSeconds(usage);
  kill(sim, SIGTERM);
  rusage simUsage{};
  wait4(sim, nullptr, 0, &simUsage);
  o.cpuSeconds += CpuSeconds(simUsage);
  if (o.status != 0)
    std::fprintf(stderr, "k730dl run %s exited %d (see %s/dl-%s.*)\n", tag.c_str(), o.status,
                 gWork.c_str(), tag.c_str());
  return o;
}

std::string MakeImage(const std::string& name, const char* sizeScale) {
  const std::string dir = gWork + "/" + name;
  Spawn({gBin + "/k730-image", "demo-components", "-C", dir, "--size-scale", sizeScale},
        gWork + "/gen.out");
  wait(nullptr);
  const std::string img = gWork + "/" + name + ".img";
  Spawn({gBin + "/k730-image", "make-img", "--phone", dir + "/phone.bin", "--ipl", dir + "/ipl.bin",
         "--widebin", dir + "/demo.widebin", "--resource", dir + "/resource.bin", "-o", img},
        gWork + "/make.out");
  wait(nullptr);
  return img;
}

void PrintRun(const char* what, const Outcome& o) {
  std::printf("  %-34s %7.2f s wall, %6.1f s of protocol time; CPU %.2f of 2 cores\n", what,
              o.seconds, o.seconds / gScale, o.CoresBusy());
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--time-scale") gScale = std::strtod(argv[i + 1], nullptr);
    if (arg == "--bin") gBin = argv[i + 1];
  }
  if (!(gScale > 0)) {
    std::fprintf(stderr, "usage: console_bench [--time-scale S] [--bin DIR]\n");
    return 2;
  }
  if (gBin.empty()) gBin = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  std::string pattern = (std::filesystem::temp_directory_path() / "k730-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  gWork = pattern;
  char scaleText[32];
  std::snprintf(scaleText, sizeof scaleText, "%g", gScale);
  setenv("K730_TIME_SCALE", scaleText, 1);
  setenv("K730_LOG_DIR", (gWork + "/records").c_str(), 1);
  setenv("K730_SETTINGS_FILE", (gWork + "/settings.ini").c_str(), 1);

  const std::string image = MakeImage("large", "100");
  const double imageMb = static_cast<double>(std::filesystem::file_size(image)) / 1e6;
  std::printf(
      "k730dl against k730-sim, PDA+PHONE [PH]Normal [PDA]ALL, %.1f MB United Binary, "
      "K730_TIME_SCALE=%s\n",
      imageMb, scaleText);

  std::printf("At the handsets' own rates (115,200 baud, USB full speed):\n");
  const Outcome one = DownloadRun(1, image, "r1", {});
  PrintRun("1 handset", one);
  const Outcome six = DownloadRun(6, image, "r6", {});
  PrintRun("6 handsets", six);
  const Outcome parallel = DownloadRun(6, image, "p6", {}, {"--parallel-restarts"});
  PrintRun("6 handsets, --parallel-restarts", parallel);

  // The lock's hold at the restart (steps 8-9): from RESTART Ok to the port
  // reopened, as the one-handset run took it; the five other handsets of a
  // six-handset run wait for one such hold each, one after another.
  const double restarted = one.At("[PHONE:0]RESTART Ok.");
  const double reopened = one.At("[PHONE:0]Port-COM0-1.", "[PHONE:0]RESTART Ok.");
  const double hold = restarted >= 0 && reopened >= 0 ? reopened - restarted : 18.5 * gScale;
  const double floor = (one.seconds + 5 * hold) / one.seconds;
  const double ratio = six.seconds / one.seconds;
  const double lockHeld = 6 * (hold + kFinalHoldSeconds * gScale);
  std::printf(
      "  six against one: %.2f; the lock's floor %.2f (five restart holds of %.1f s of protocol "
      "time each), the run %.3f of the floor (goal <= 1.05)\n",
      ratio, floor, hold / gScale, ratio / floor);
  std::printf("  a handset holds the lock %.0f%% of the six-handset run (%.1f s of %.1f s)\n",
              100 * lockHeld / six.seconds, lockHeld / gScale, six.seconds / gScale);
  std::printf("  projected real bench: 1 handset %.0f s, 6 handsets %.0f s\n", one.seconds / gScale,
              six.seconds / gScale);
  // With a lock per port the console's waits of the slots run side by side;
  // what remains is Go's pause between slots before the launches start.
  const double consoleFloor = (one.seconds + 5 * kSlotGapSeconds * gScale) / one.seconds;
  std::printf(
      "  --parallel-restarts: six against one %.3f (goal <= 1.05); Go's 1 s between slots puts "
      "its floor at %.3f\n",
      parallel.seconds / one.seconds, consoleFloor);
  for (int slot = 0; slot < 6; ++slot) {
    const std::string tag = "[slot " + std::to_string(slot) + "] ";
    std::printf("    slot %d: phone finished %6.1f s, PDA port open %6.1f s, done %6.1f s\n", slot,
                parallel.At(tag + "[PHONE:" + std::to_string(slot) + "]Download Finish.") / gScale,
                parallel.At(tag + "[PDA:" + std::to_string(slot) + "]USB Port Open") / gScale,
                parallel.At(tag + "[PDA:" + std::to_string(slot) + "]Download Completed") / gScale);
  }

  std::printf("With no rate limit (the host's own cost, not a bench's pace):\n");
  const std::vector<std::string> unlimited = {"--baud", "0", "--usb-rate", "0"};
  const Outcome fastOne = DownloadRun(1, image, "n1", unlimited);
  PrintRun("1 handset", fastOne);
  const Outcome fastSix = DownloadRun(6, image, "n6", unlimited);
  PrintRun("6 handsets", fastSix);
  std::printf("  six against one: %.2f\n", fastSix.seconds / fastOne.seconds);

  const double limitMb = imageMb + 16.0 * 1.048576;
  std::printf(
      "Peak memory of k730dl: 1 slot %.1f MB, 6 slots %.1f MB (goal: at most the image plus "
      "16 MiB, %.1f MB)\n",
      one.maxRssKb * 1.024e-3, six.maxRssKb * 1.024e-3, limitMb);

  const bool ok = one.status == 0 && six.status == 0 && parallel.status == 0 &&
                  fastOne.status == 0 && fastSix.status == 0;
  if (ok) std::filesystem::remove_all(gWork);
  return ok ? 0 : 1;
}
