// Timed runs of k730-image make-img and split on generated components of about
// 42 MB, against cp of the same bytes, with the tool's peak memory.
//
//   image_tool_bench [--runs N] [--bin DIR] [--work DIR]
//
// bin defaults to this program's directory; work to a fresh directory in
// $TMPDIR (removed afterwards). Both programs run several times after one
// warm-up run, so the page cache treats them alike; the median and the fastest
// run are compared (the fastest is the fairer figure on a busy machine).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Timed {
  double seconds = 0;
  long maxRssKiB = 0;
};

// Runs argv[0] (searched in PATH) and waits; exits on failure.
Timed RunProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "%s: %s\n", argv[0], std::strerror(spawned));
    std::exit(1);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed: %s\n", args[0].c_str());
    std::exit(1);
  }
  Timed t;
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.maxRssKiB = usage.ru_maxrss;
  return t;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Min(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

void Reset(const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::string bin = fs::canonical("/proc/self/exe").parent_path().string();
  std::string work;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--bin")) bin = argv[i + 1];
    if (!std::strcmp(argv[i], "--work")) work = argv[i + 1];
  }
  const bool ownWork = work.empty();
  if (ownWork) {
    std::string pattern = (fs::temp_directory_path() / "k730-image-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    work = pattern;
  }
  const fs::path w(work);
  const std::string tool = bin + "/k730-image";
  const fs::path comp = w / "components";
  RunProgram({tool, "demo-components", "-C", comp.string(), "--size-scale", "100"});
  const std::vector<std::string> parts = {
      (comp / "phone.bin").string(), (comp / "ipl.bin").string(), (comp / "demo.widebin").string(),
      (comp / "resource.bin").string()};
  uintmax_t total = 0;
  for (const auto& p : parts) total += fs::file_size(p);
  const std::string img = (w / "made" / "bench.img").string();

  std::vector<double> cpParts, make, cpImg, split;
  long peakKiB = 0;
  for (int i = 0; i <= runs; ++i) {  // run 0 warms the page cache and is not counted
    Reset(w / "cp1");
    std::vector<std::string> cp = {"cp"};
    cp.insert(cp.end(), parts.begin(), parts.end());
    cp.push_back((w / "cp1").string());
    const Timed a = RunProgram(cp);

    Reset(w / "made");
    const Timed b = RunProgram({tool, "make-img", "--phone", parts[0], "--ipl", parts[1],
                                "--widebin", parts[2], "--resource", parts[3], "-o", img});

    Reset(w / "cp2");
    const Timed c = RunProgram({"cp", img, (w / "cp2" / "copy.img").string()});

    Reset(w / "split");
    const Timed d = RunProgram({tool, "split", img, "-C", (w / "split").string()});
    if (i == 0) continue;
    cpParts.push_back(a.seconds);
    make.push_back(b.seconds);
    cpImg.push_back(c.seconds);
    split.push_back(d.seconds);
    peakKiB = std::max({peakKiB, b.maxRssKiB, d.maxRssKiB});
  }

  const double mb = static_cast<double>(total) / 1e6;
  std::printf("components: %.1f MB (%ju bytes); %d runs, median and fastest\n", mb, total, runs);
  auto line = [](const char* what, const std::vector<double>& v) {
    std::printf("%-22s %7.1f ms  %7.1f ms\n", what, Median(v) * 1e3, Min(v) * 1e3);
  };
  line("cp of the components:", cpParts);
  line("k730-image make-img:", make);
  line("cp of the image:", cpImg);
  line("k730-image split:", split);
  std::printf("make-img / cp ratio: median %.2f, fastest %.2f (goal <= 1.5)\n",
              Median(make) / Median(cpParts), Min(make) / Min(cpParts));
  std::printf("split / cp ratio:    median %.2f, fastest %.2f (goal <= 1.5)\n",
              Median(split) / Median(cpImg), Min(split) / Min(cpImg));
  std::printf("peak memory of k730-image: %.1f MiB (goal <= 64 MiB)\n", peakKiB / 1024.0);

  if (ownWork) fs::remove_all(w);
  return 0;
}
