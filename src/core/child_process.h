// Starting other programs and waiting for them (the GUI demo starts the
// handset simulator and the image tool): fork and exec on POSIX,
// CreateProcess on Windows (child_process_posix.cpp, child_process_win32.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace k730 {

class ChildProcess {
 public:
  enum class Output { Inherit, ToFile, ToPipe };

  ChildProcess();
  // A child still running is killed and waited for.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a path) with argv. Its standard output and error go where
  // output says (file: appended to path). The child ends with this process,
  // also when this one dies. False with error set.
  bool Start(const std::vector<std::string>& argv, Output output, const std::string& path,
             std::string& error);
  // What the child wrote to the pipe, blocking until some comes; 0 at its
  // end, -1 on error. One reader thread at a time.
  long ReadOutput(char* buffer, size_t size);
  // Asks the child to end (SIGTERM; on Windows it is terminated).
  void RequestEnd();
  void Kill();
  // Waits up to timeoutMs (< 0: for ever) for the child's end: its exit
  // status (-1 when a signal ended it), or nothing when it still runs.
  std::optional<int> Wait(int timeoutMs);
  bool Started() const { return started_; }
  long Id() const { return id_; }

 private:
  struct Native;  // the platform's handles of the child and its output
  std::unique_ptr<Native> native_;
  bool started_ = false;
  bool reaped_ = false;
  long id_ = -1;
  int status_ = -1;
};

// Runs argv to its end with its output to logPath ("" = inherited): its exit
// status, or -1 when it could not be started or was killed.
int RunProgram(const std::vector<std::string>& argv, const std::string& logPath);

// Whether path is a program this process may start.
bool IsExecutable(const std::string& path);

}  // namespace k730
