#include "ui/demo_session.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace k730::ui {

namespace {

std::vector<char*> ArgvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

bool AllLowerCase(const std::string& text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return std::isupper(static_cast<unsigned char>(c)); });
}

bool Executable(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

int RunProgram(const std::vector<std::string>& args, const std::string& logPath) {
  if (args.empty()) return -1;
  std::vector<char*> argv = ArgvOf(args);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!logPath.empty()) {
      const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
      }
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  ::nftw(
      path.c_str(),
      [](const char* file, const struct stat*, int, struct FTW*) {
        return ::remove(file) == 0 ? 0 : 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

bool DemoSession::MakeDirectory(std::string& error) {
  // The console lower-cases the image path at Go, so the directory's name
  // must not hold upper-case letters.
  std::string base = "/tmp";
  if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp == '/' && AllLowerCase(tmp)) base = tmp;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate =
        base + "/k730-demo-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    if (::mkdir(candidate.c_str(), 0700) == 0) {
      directory_ = candidate;
      return true;
    }
    if (errno != EEXIST) break;
  }
  error = "cannot create a directory in " + base + ": " + std::strerror(errno);
  return false;
}

bool DemoSession::RunTool(const std::vector<std::string>& args, std::string& error) {
  const int status = RunProgram(args, directory_ + "/tools.log");
  if (status == 0) return true;
  error =
      args[0] + " failed (status " + std::to_string(status) + "); see " + directory_ + "/tools.log";
  return false;
}

void DemoSession::DrainSimulator(int fd) {
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    // Only the start-up lines matter; the rest is read so the simulator never blocks.
    if (simOutput_.size() < 4096) simOutput_.append(buffer, static_cast<size_t>(n));
    if (!ready_ && simOutput_.find("k730-sim: ready") != std::string::npos) {
      ready_ = true;
      readyChanged_.notify_all();
    }
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  simEnded_ = true;
  readyChanged_.notify_all();
}

bool DemoSession::StartSimulator(const Options& options, std::string& error) {
  const std::string sim = options.binDir + "/k730-sim";
  const std::vector<std::string> args = {sim,
                                         "--handsets",
                                         std::to_string(options.handsets),
                                         "--first-port",
                                         std::to_string(options.firstPort),
                                         "--port-dir",
                                         portDir_,
                                         "--palm-dir",
                                         palmDir_};
  std::vector<char*> argv = ArgvOf(args);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return false;
  }
  if (pid == 0) {
    // The handsets go away with the window, even when it dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  simPid_ = pid;
  drain_ = std::thread([this, fd = pipeFds[0]] { DrainSimulator(fd); });
  std::unique_lock<std::mutex> lock(mutex_);
  readyChanged_.wait_for(lock, std::chrono::milliseconds(options.readyTimeoutMs),
                         [this] { return ready_ || simEnded_; });
  if (ready_) return true;
  error = "k730-sim did not start: " + (simOutput_.empty() ? std::string("no output") : simOutput_);
  return false;
}

bool DemoSession::Start(const Options& options, std::string& error) {
  for (const char* tool : {"k730-sim", "k730-image"}) {
    if (!Executable(options.binDir + "/" + tool)) {
      error = std::string(tool) + " not found in " + options.binDir;
      return false;
    }
  }
  if (!MakeDirectory(error)) return false;
  portDir_ = directory_ + "/ports";
  palmDir_ = directory_ + "/palm";
  const std::string components = directory_ + "/components";
  if (::mkdir(components.c_str(), 0700) != 0) {
    error = "cannot create " + components;
    Stop();
    return false;
  }
  ::setenv("K730_PORT_DIR", portDir_.c_str(), 1);
  ::setenv("K730_PALM_DIR", palmDir_.c_str(), 1);
  if (!std::getenv("K730_TIME_SCALE")) {
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", options.timeScale);
    ::setenv("K730_TIME_SCALE", scale, 1);
  }
  ::setenv("K730_SETTINGS_FILE", (directory_ + "/settings.ini").c_str(), 1);
  ::setenv("K730_LOG_DIR", (directory_ + "/logs").c_str(), 1);

  const std::string image = options.binDir + "/k730-image";
  char sizeScale[32];
  std::snprintf(sizeScale, sizeof sizeScale, "%g", options.sizeScale);
  imagePath_ = directory_ + "/demo.img";
  if (!RunTool({image, "demo-components", "-C", components, "--size-scale", sizeScale}, error) ||
      !RunTool({image, "make-img", "--phone", components + "/phone.bin", "--ipl",
                components + "/ipl.bin", "--widebin", components + "/demo.widebin", "--resource",
                components + "/resource.bin", "-o", imagePath_},
               error) ||
      !StartSimulator(options, error)) {
    Stop();
    return false;
  }
  return true;
}

void DemoSession::Stop() {
  if (simPid_ > 0) {
    ::kill(simPid_, SIGTERM);
    // The simulator removes its ports and sockets on SIGTERM; one that hangs is killed.
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 300 && !reaped; ++i) {
      const pid_t done = ::waitpid(simPid_, &status, WNOHANG);
      if (done == simPid_ || (done < 0 && errno != EINTR)) {
        reaped = true;
      } else {
        ::usleep(10000);
      }
    }
    if (!reaped) {
      ::kill(simPid_, SIGKILL);
      ::waitpid(simPid_, &status, 0);
    }
    simPid_ = -1;
  }
  if (drain_.joinable()) drain_.join();
  RemoveTree(directory_);
  directory_.clear();
}

}  // namespace k730::ui
