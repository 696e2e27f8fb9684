#include "ui/demo_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "console/job_rules.h"
#include "core/file_access.h"

namespace k730::ui {

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  // remove_all removes a link, never what it leads to.
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

bool DemoSession::MakeDirectory(std::string& error) {
  // The console lower-cases the image path at Go, so the directory's name
  // must not hold upper-case letters.
  std::string base = TemporaryDirectory();
  // A file system that ignores case finds the folder under its lower-case name.
  if (const std::string lower = ToLowerAscii(base); lower != base)
    base = SameFile(base, lower) ? lower : "/tmp";
  std::string reason;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate =
        base + "/k730-demo-" + std::to_string(ProcessId()) + "-" + std::to_string(attempt);
    if (PathStatus(candidate, LinkPolicy::Refuse).kind != FileKind::Missing) continue;
    if (MakeDirectories(candidate, reason, NewFileAccess::Private)) {
      directory_ = candidate;
      return true;
    }
    break;
  }
  error = "cannot create a directory in " + base + ": " + reason;
  return false;
}

bool DemoSession::RunTool(const std::vector<std::string>& args, std::string& error) {
  const int status = RunProgram(args, directory_ + "/tools.log");
  if (status == 0) return true;
  error =
      args[0] + " failed (status " + std::to_string(status) + "); see " + directory_ + "/tools.log";
  return false;
}

void DemoSession::DrainSimulator() {
  char buffer[512];
  for (;;) {
    const long n = sim_.ReadOutput(buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    // Only the start-up lines matter; the rest is read so the simulator never blocks.
    if (simOutput_.size() < 4096) simOutput_.append(buffer, static_cast<size_t>(n));
    if (!ready_ && simOutput_.find("k730-sim: ready") != std::string::npos) {
      ready_ = true;
      readyChanged_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  simEnded_ = true;
  readyChanged_.notify_all();
}

bool DemoSession::StartSimulator(const Options& options, std::string& error) {
  const std::string sim = options.binDir + "/k730-sim";
  std::vector<std::string> args = {sim,
                                   "--handsets",
                                   std::to_string(options.handsets),
                                   "--first-port",
                                   std::to_string(options.firstPort),
                                   "--port-dir",
                                   portDir_,
                                   "--palm-dir",
                                   palmDir_};
  args.insert(args.end(), options.simArguments.begin(), options.simArguments.end());
  // The handsets go away with the window, even when it dies.
  if (!sim_.Start(args, ChildProcess::Output::ToPipe, "", error)) return false;
  drain_ = std::thread([this] { DrainSimulator(); });
  std::unique_lock<std::mutex> lock(mutex_);
  readyChanged_.wait_for(lock, std::chrono::milliseconds(options.readyTimeoutMs),
                         [this] { return ready_ || simEnded_; });
  if (ready_) return true;
  error = "k730-sim did not start: " + (simOutput_.empty() ? std::string("no output") : simOutput_);
  return false;
}

bool DemoSession::Start(const Options& options, std::string& error) {
  for (const char* tool : {"k730-sim", "k730-image"}) {
    if (!IsExecutable(options.binDir + "/" + tool)) {
      error = std::string(tool) + " not found in " + options.binDir;
      return false;
    }
  }
  if (!MakeDirectory(error)) return false;
  portDir_ = directory_ + "/ports";
  palmDir_ = directory_ + "/palm";
  const std::string components = directory_ + "/components";
  std::string reason;
  if (!MakeDirectories(components, reason, NewFileAccess::Private)) {
    error = "cannot create " + reason;
    Stop();
    return false;
  }
  SetEnvironment("K730_PORT_DIR", portDir_);
  SetEnvironment("K730_PALM_DIR", palmDir_);
  if (std::string scale; !GetEnvironment("K730_TIME_SCALE", scale) || scale.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", options.timeScale);
    SetEnvironment("K730_TIME_SCALE", text);
  }
  SetEnvironment("K730_SETTINGS_FILE", directory_ + "/settings.ini");
  SetEnvironment("K730_LOG_DIR", directory_ + "/logs");

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
  if (sim_.Started()) {
    // The simulator removes its ports and sockets when asked to end; one
    // that hangs is killed.
    sim_.RequestEnd();
    if (!sim_.Wait(3000)) {
      sim_.Kill();
      sim_.Wait(-1);
    }
  }
  if (drain_.joinable()) drain_.join();
  RemoveTree(directory_);
  directory_.clear();
}

}  // namespace k730::ui
