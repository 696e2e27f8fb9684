#include "sim_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace k730::e2e {

std::string BinDir() {
  const char* dir = std::getenv("K730_TEST_BIN_DIR");
  if (dir && *dir) return dir;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? "." : self.parent_path().string();
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string Slice(const std::string& text, size_t offset, size_t length) {
  return offset <= text.size() ? text.substr(offset, length) : "";
}

FileStamp StampOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return {static_cast<uint64_t>(info.st_size),
          static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

void PauseBriefly() {
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// ---------------------------------------------------------------------------
// Process

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  // Everything the child needs is built before the fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (!options.env.count(entry.substr(0, entry.find('=')))) environment.push_back(entry);
  }
  for (const auto& [name, value] : options.env) environment.push_back(name + "=" + value);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                     static_cast<rlim_t>(options.fileSizeLimit)};

  // Opened here too: behind a preload library (the USB bench's) open() and
  // chdir() take locks that another thread may hold at the fork.
  const int out = open(options.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(options.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int cwd = open(options.cwd.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

  pid_ = fork();
  if (pid_ == 0) {
    if (out < 0 || err < 0 || cwd < 0 || fchdir(cwd) != 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    // The test runner's blocked signals must not carry over to the program.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.fileSizeLimit > 0) {
      signal(SIGXFSZ, SIG_IGN);
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  for (const int fd : {out, err, cwd})
    if (fd >= 0) close(fd);
}

Process::~Process() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(30));
  }
}

int Process::Wait(std::chrono::milliseconds patience) {
  if (status_ >= 0 || pid_ <= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    int raw = 0;
    const pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void Process::Signal(int signal) {
  if (pid_ > 0 && status_ < 0) kill(pid_, signal);
}

bool Process::Running() {
  return pid_ > 0 && Wait(std::chrono::milliseconds(0)) < 0;
}

// ---------------------------------------------------------------------------
// Bench

Bench::Bench() {
  std::string pattern = (std::filesystem::temp_directory_path() / "k730-e2e-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  dir_ = pattern;
  for (const char* sub : {"ports", "palm", "dump", "logs", "records"})
    std::filesystem::create_directories(Path(sub));
  env_ = {{"K730_PORT_DIR", Path("ports")},
          {"K730_PALM_DIR", Path("palm")},
          {"K730_LOG_DIR", Path("records")},
          {"K730_SETTINGS_FILE", Path("settings.ini")}};
  SetTimeScale(kRunTimeScale);
}

Bench::~Bench() {
  StopSim();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void Bench::SetTimeScale(double scale) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", scale);
  env_["K730_TIME_SCALE"] = text;
}

int Bench::RunTool(const std::vector<std::string>& argv, uint64_t fileSizeLimit) {
  ProcessOptions options;
  options.cwd = dir_;
  options.env = env_;
  options.outPath = Path("tool.out");
  options.errPath = Path("tool.err");
  options.fileSizeLimit = fileSizeLimit;
  Process tool(argv, options);
  return tool.Wait(kRunPatience);
}

const Bench::Components& Bench::MakeComponents() {
  if (!components_) {
    if (RunTool({BinDir() + "/k730-image", "demo-components", "-C", Path("c")}) != 0) std::abort();
    components_ = std::make_unique<Components>(Components{
        Path("c/phone.bin"), Path("c/ipl.bin"), Path("c/demo.widebin"), Path("c/resource.bin")});
  }
  return *components_;
}

std::string Bench::MakeImg(const std::string& name) {
  const Components& c = MakeComponents();
  const std::string out = Path(name);
  const int status = RunTool({BinDir() + "/k730-image", "make-img", "--phone", c.phone, "--ipl",
                              c.ipl, "--widebin", c.widebin, "--resource", c.resource, "-o", out});
  return status == 0 ? out : "";
}

bool Bench::StartSim(int handsets, int firstPort, const std::vector<std::string>& extra) {
  StopSim();
  std::vector<std::string> argv = {BinDir() + "/k730-sim",
                                   "--handsets",
                                   std::to_string(handsets),
                                   "--first-port",
                                   std::to_string(firstPort),
                                   "--port-dir",
                                   Path("ports"),
                                   "--palm-dir",
                                   Path("palm"),
                                   "--dump",
                                   Path("dump"),
                                   "--restart-delay",
                                   "50",
                                   "--baud",
                                   "0",
                                   "--usb-rate",
                                   "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  ProcessOptions options;
  options.cwd = dir_;
  options.env = env_;
  options.outPath = Path("sim.out");
  options.errPath = Path("sim.err");
  sim_ = std::make_unique<Process>(argv, options);
  return WaitFor(
             [&] {
               return FileText(Path("sim.out")).find("ready") != std::string::npos ||
                      !sim_->Running();
             },
             std::chrono::seconds(30)) &&
         sim_->Running();
}

int Bench::StopSim() {
  if (!sim_) return 0;
  sim_->Signal(SIGTERM);
  const int status = sim_->Wait(std::chrono::seconds(30));
  sim_.reset();
  return status;
}

ProcessOptions Bench::DlOptions() const {
  ProcessOptions options;
  options.cwd = dir_;
  options.env = env_;
  options.outPath = dir_ + "/dl.out";
  options.errPath = dir_ + "/dl.err";
  return options;
}

Bench::DlResult Bench::RunDl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = args;
  argv.insert(argv.begin(), BinDir() + "/k730dl");
  Process dl(argv, DlOptions());
  DlResult result;
  result.status = dl.Wait(kRunPatience);
  result.out = FileText(Path("dl.out"));
  result.err = FileText(Path("dl.err"));
  return result;
}

std::vector<std::string> Bench::RecordLines() const {
  std::istringstream csv(FileText(Path("records/runs.csv")));
  std::vector<std::string> lines;
  std::string line;
  std::getline(csv, line);  // header
  while (std::getline(csv, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> Bench::Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t comma = line.find(',', at);
    fields.push_back(line.substr(at, comma == std::string::npos ? comma : comma - at));
    if (comma == std::string::npos) return fields;
    at = comma + 1;
  }
}

std::string Bench::PhoneDump(int number) const {
  return Path("dump/phone" + std::to_string(number) + ".bin");
}

std::string Bench::PdaDump(int number, int target) const {
  return Path("dump/pda" + std::to_string(number) + "-" + std::to_string(target) + ".bin");
}

bool Bench::PhoneDumpMatches(int number, uint32_t start) {
  const std::string image = FileText(MakeComponents().phone);
  const std::string dump = FileText(PhoneDump(number));
  return dump.size() == image.size() && Slice(dump, start) == Slice(image, start);
}

bool Bench::PdaDumpsMatch(int number) {
  const Components& c = MakeComponents();
  const std::string widebin = FileText(c.widebin);
  return FileExists(PdaDump(number, 2)) && FileText(PdaDump(number, 2)) == FileText(c.resource) &&
         FileExists(PdaDump(number, 0)) &&
         FileText(PdaDump(number, 0)) == Slice(widebin, 0, 0x20000) &&
         FileExists(PdaDump(number, 6)) && FileText(PdaDump(number, 6)) == Slice(widebin, 0x20000);
}

// ---------------------------------------------------------------------------
// Output

std::string SlotLines(const std::string& out, int slot) {
  const std::string prefix = "[slot " + std::to_string(slot) + "] ";
  std::istringstream lines(out);
  std::string line, text;
  while (std::getline(lines, line))
    if (line.rfind(prefix, 0) == 0) text += line.substr(prefix.size()) + "\r\n";
  return text;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::string MissingInOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = text.find(line, at);
    if (found == std::string::npos) return line;
    at = found + line.size();
  }
  return "";
}

}  // namespace k730::e2e
