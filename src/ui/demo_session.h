// The GUI demo's surroundings: a temporary directory with a generated United
// Binary, three simulated handsets served by k730-sim, and the environment
// that points the console at them. Everything is removed again by Stop.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/child_process.h"

namespace k730::ui {

class DemoSession {
 public:
  struct Options {
    std::string binDir;  // where k730-sim and k730-image are
    int handsets = 3;
    int firstPort = 1;
    double timeScale = 0.05;  // used when K730_TIME_SCALE is not set already
    double sizeScale = 1.0;   // of the generated components
    uint32_t readyTimeoutMs = 20000;
    std::vector<std::string> simArguments;  // further k730-sim options (faults, rates)
  };

  DemoSession() = default;
  ~DemoSession() { Stop(); }
  DemoSession(const DemoSession&) = delete;
  DemoSession& operator=(const DemoSession&) = delete;

  // Creates the directory, sets K730_PORT_DIR, K730_PALM_DIR, K730_TIME_SCALE,
  // K730_SETTINGS_FILE and K730_LOG_DIR for this process (call it before any
  // other thread starts), generates the image and starts the handsets. False
  // with error set; whatever was made is removed again.
  bool Start(const Options& options, std::string& error);
  // Stops the simulator and removes the directory. Safe to repeat.
  void Stop();

  const std::string& Directory() const { return directory_; }
  const std::string& ImagePath() const { return imagePath_; }
  const std::string& PortDirectory() const { return portDir_; }
  const std::string& PalmDirectory() const { return palmDir_; }
  long SimulatorPid() const { return sim_.Started() ? sim_.Id() : -1; }

 private:
  bool MakeDirectory(std::string& error);
  bool RunTool(const std::vector<std::string>& args, std::string& error);
  bool StartSimulator(const Options& options, std::string& error);
  void DrainSimulator();

  std::string directory_;
  std::string imagePath_;
  std::string portDir_;
  std::string palmDir_;
  ChildProcess sim_;
  std::thread drain_;
  std::mutex mutex_;
  std::condition_variable readyChanged_;
  bool ready_ = false;
  bool simEnded_ = false;
  std::string simOutput_;
};

// Removes a directory tree (no links are followed). Silent.
void RemoveTree(const std::string& path);

}  // namespace k730::ui
