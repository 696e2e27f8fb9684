// Simulated Palm devices as listening sockets in a directory, watched with
// inotify.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"

namespace k730 {
namespace {

class DirectoryPalmWatcher : public PalmDeviceWatcher {
 public:
  explicit DirectoryPalmWatcher(std::string directory) : directory_(std::move(directory)) {}
  ~DirectoryPalmWatcher() override { Stop(); }

  bool Start(PalmDeviceCallback callback, bool reportPresent) override {
    if (thread_.joinable() || directory_.empty()) return false;
    // The simulator may not have made the directory yet.
    if (::mkdir(directory_.c_str(), 0755) != 0 && errno != EEXIST) return false;
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0) return false;
    if (::inotify_add_watch(inotify_, directory_.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR) < 0 ||
        ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
      CloseAll();
      return false;
    }
    callback_ = std::move(callback);
    thread_ = std::thread([this, reportPresent] { Run(reportPresent); });
    return true;
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    const char byte = 1;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    CloseAll();
  }

 private:
  void CloseAll() {
    if (inotify_ >= 0) ::close(inotify_);
    for (int& fd : wake_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
    inotify_ = -1;
  }

  bool IsSocket(const std::string& fileName) const {
    struct stat info {};
    return ::lstat((directory_ + "/" + fileName).c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
  }

  void ReportPresent() {
    DIR* dir = ::opendir(directory_.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
      uint32_t number = 0;
      if (ParsePalmSocketName(entry->d_name, number) && IsSocket(entry->d_name)) {
        callback_(msg::DBT_DEVICEARRIVAL, SimulatedPalmDeviceName(number));
      }
    }
    ::closedir(dir);
  }

  void Run(bool reportPresent) {
    if (reportPresent) ReportPresent();
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      const int r = ::poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || fds[1].revents != 0) return;
      const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
      if (n <= 0) continue;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (at > n || event->len == 0) continue;
        const std::string fileName(event->name, strnlen(event->name, event->len));
        uint32_t number = 0;
        if (!ParsePalmSocketName(fileName, number)) continue;
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
          if (IsSocket(fileName))
            callback_(msg::DBT_DEVICEARRIVAL, SimulatedPalmDeviceName(number));
        } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
          callback_(msg::DBT_DEVICEREMOVECOMPLETE, SimulatedPalmDeviceName(number));
        }
      }
    }
  }

  const std::string directory_;
  PalmDeviceCallback callback_;
  int inotify_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<PalmDeviceWatcher> MakeDirectoryPalmWatcher(const std::string& directory) {
  return std::make_unique<DirectoryPalmWatcher>(directory);
}

}  // namespace k730
