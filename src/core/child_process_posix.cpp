#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/child_process.h"

namespace k730 {
namespace {

std::vector<char*> ArgvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

struct ChildProcess::Native {
  int output = -1;  // the pipe's reading end
};

ChildProcess::ChildProcess() : native_(std::make_unique<Native>()) {}

ChildProcess::~ChildProcess() {
  if (started_ && !reaped_) {
    Kill();
    Wait(-1);
  }
  if (native_->output >= 0) ::close(native_->output);
}

bool ChildProcess::Start(const std::vector<std::string>& args, Output output,
                         const std::string& path, std::string& error) {
  if (started_ || args.empty()) {
    error = "nothing to start";
    return false;
  }
  std::vector<char*> argv = ArgvOf(args);
  int pipeFds[2] = {-1, -1};
  if (output == Output::ToPipe && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  int file = -1;
  if (output == Output::ToFile) {
    file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file < 0) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    for (int fd : {pipeFds[0], pipeFds[1], file})
      if (fd >= 0) ::close(fd);
    return false;
  }
  if (pid == 0) {
    // The child goes with its parent, even when the parent dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    if (pipeFds[1] >= 0) ::dup2(pipeFds[1], STDOUT_FILENO);
    if (file >= 0) {
      ::dup2(file, STDOUT_FILENO);
      ::dup2(file, STDERR_FILENO);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  if (file >= 0) ::close(file);
  native_->output = pipeFds[0];
  id_ = pid;
  started_ = true;
  return true;
}

long ChildProcess::ReadOutput(char* buffer, size_t size) {
  if (native_->output < 0) return -1;
  for (;;) {
    const ssize_t n = ::read(native_->output, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void ChildProcess::RequestEnd() {
  if (started_ && !reaped_) ::kill(static_cast<pid_t>(id_), SIGTERM);
}

void ChildProcess::Kill() {
  if (started_ && !reaped_) ::kill(static_cast<pid_t>(id_), SIGKILL);
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  if (!started_) return -1;
  if (reaped_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(static_cast<pid_t>(id_), &raw, timeoutMs < 0 ? 0 : WNOHANG);
    if (done == static_cast<pid_t>(id_)) {
      reaped_ = true;
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return status_;
    }
    if (done < 0 && errno != EINTR) {
      reaped_ = true;
      return -1;
    }
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    if (timeoutMs >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool IsExecutable(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace k730
