// Running the built programs against each other: k730-sim plays the handsets,
// k730-image makes the images, k730dl (or a console in the test's own
// process) flashes them. Child processes get their own environment, working
// directory and output files, and are always reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace k730::e2e {

// The protocol time scale of end-to-end runs: the scaled waits must still
// outlast what the simulator and the console take to react on a loaded
// machine, and sanitized builds run several times slower.
#if defined(__SANITIZE_THREAD__)
constexpr double kRunTimeScale = 0.02;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kRunTimeScale = 0.01;
#else
constexpr double kRunTimeScale = 0.003;
#endif

// Generous bounds that turn a hang into a failure; not timing assertions.
constexpr auto kRunPatience = std::chrono::seconds(120);

// K730_TEST_BIN_DIR, else the test program's own directory.
std::string BinDir();

std::string FileText(const std::string& path);
bool FileExists(const std::string& path);
// text[offset, offset + length), empty when offset is beyond the end.
std::string Slice(const std::string& text, size_t offset, size_t length = std::string::npos);

// Size and modification time (nanoseconds) of a file; both 0 when it is absent.
struct FileStamp {
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

struct ProcessOptions {
  std::string cwd = ".";
  std::map<std::string, std::string> env;  // set or replaced in the inherited environment
  std::string outPath = "/dev/null";
  std::string errPath = "/dev/null";
  // A file-size limit in bytes (0: none): writes beyond it fail with EFBIG as
  // on a full disk; SIGXFSZ is ignored so the program sees the error.
  uint64_t fileSizeLimit = 0;
};

class Process {
 public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options);
  Process(const std::vector<std::string>& argv, const std::string& cwd,
          const std::map<std::string, std::string>& env, const std::string& outPath,
          const std::string& errPath)
      : Process(argv, ProcessOptions{cwd, env, outPath, errPath}) {}
  // Kills and reaps a process that is still running.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // The exit status (128 + signal when killed), or -1 when it did not end in time.
  int Wait(std::chrono::milliseconds patience);
  void Signal(int signal);
  void Terminate() { Signal(SIGTERM); }
  bool Running();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// A short real-time sleep between polls.
void PauseBriefly();
// Polls until condition() holds or patience runs out; the result of the last poll.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds patience);

// A scratch directory for one test: ports/, palm/, dump/, logs/, records/ and
// the demo components and United Binary made by k730-image.
class Bench {
 public:
  Bench();
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // The environment of every program of the bench (time scale, directories).
  const std::map<std::string, std::string>& Env() const { return env_; }
  void SetTimeScale(double scale);

  // Runs a tool to its end; its exit status (-1: it hung).
  int RunTool(const std::vector<std::string>& argv, uint64_t fileSizeLimit = 0);
  // Writes the demo components (once) and returns their paths.
  struct Components {
    std::string phone, ipl, widebin, resource;
  };
  const Components& MakeComponents();
  // A United Binary of the demo components at Path(name).
  std::string MakeImg(const std::string& name = "TOVA_Korvan_Release.img");

  // Starts k730-sim with handsets COM<firstPort>... and waits for its ready line.
  bool StartSim(int handsets, int firstPort, const std::vector<std::string>& extra = {});
  // Ends k730-sim as the operator would (SIGTERM); its exit status, 0 when
  // none runs. Anything but 0 means it crashed or hung.
  int StopSim();

  // Runs k730dl to its end, output in dl.out and dl.err.
  struct DlResult {
    int status = -1;
    std::string out, err;
  };
  DlResult RunDl(const std::vector<std::string>& args);
  ProcessOptions DlOptions() const;

  // The runs.csv lines after the header, and one line split into its fields
  // (no field of these runs holds a comma or quote).
  std::vector<std::string> RecordLines() const;
  static std::vector<std::string> Fields(const std::string& line);

  // What the simulator dumped for handset number n, and what it should be.
  std::string PhoneDump(int number) const;
  std::string PdaDump(int number, int target) const;
  bool PhoneDumpMatches(int number, uint32_t start = 0x10000);
  // Resource (2), SmallRom (0) and BigRom (6) parts of the demo image.
  bool PdaDumpsMatch(int number);

 private:
  std::string dir_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<Components> components_;
  std::unique_ptr<Process> sim_;
};

// The lines of one slot in k730dl's output ("[slot N] ..."), each ended with
// "\r\n" again.
std::string SlotLines(const std::string& out, int slot);
// How often needle occurs in text.
size_t Count(const std::string& text, const std::string& needle);
// Empty when lines occur in this order in text, else the first one missing.
std::string MissingInOrder(const std::string& text, const std::vector<std::string>& lines);

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    PauseBriefly();
  }
}

}  // namespace k730::e2e
