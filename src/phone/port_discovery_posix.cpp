#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <algorithm>
#include <vector>

#include "phone/port_discovery.h"
#include "phone/serial_port.h"

namespace k730 {

void DiscoverPhonePorts(const std::string& portDir, int (&comPorts)[kMaxComPorts], int& slotCount,
                        int& comPort) {
  std::vector<int> numbers;
  if (DIR* dir = opendir(portDir.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const int number = ComPortNumberFromName(entry->d_name);
      if (number < 0) continue;
      // A link left behind by a handset that has gone is not a port.
      struct stat status {};
      const std::string path = portDir + "/" + entry->d_name;
      if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) continue;
      numbers.push_back(number);
    }
    closedir(dir);
  }
  std::stable_sort(numbers.begin(), numbers.end());
  BindPhonePorts(numbers, comPorts, slotCount, comPort);
}

namespace {

std::string ProcessName(const std::string& pid) {
  std::string name;
  std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
  return (name.empty() ? "a program" : name) + " (pid " + pid + ")";
}

// The process holding an advisory lock on the file (as /proc/locks lists
// them: "1: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> ..."), or "".
std::string LockHolder(const struct stat& file) {
  std::ifstream locks("/proc/locks");
  char device[64];
  std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                static_cast<unsigned long long>(file.st_ino));
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") fields >> kind;  // a waiter, listed under the holder
    fields >> advisory >> access >> pid >> where;
    if (kind == "FLOCK" && where == device) return ProcessName(pid);
  }
  return "";
}

// A process other than this one with target open: "name (pid N)", or "".
std::string ProcessWithOpen(const std::string& target) {
  const std::string self = std::to_string(getpid());
  DIR* proc = opendir("/proc");
  if (!proc) return "";
  std::string found;
  while (const dirent* process = readdir(proc)) {
    const std::string pid = process->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue;  // another user's process
    while (const dirent* fd = readdir(fds)) {
      char link[PATH_MAX];
      const ssize_t n = readlink((fdDir + "/" + fd->d_name).c_str(), link, sizeof link - 1);
      if (n <= 0 || target.compare(0, std::string::npos, link, static_cast<size_t>(n)) != 0)
        continue;
      found = ProcessName(pid);
      break;
    }
    closedir(fds);
    if (!found.empty()) break;
  }
  closedir(proc);
  return found;
}

}  // namespace

std::string PortHolder(const std::string& devicePath) {
  const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  bool held = fd < 0 && errno == EBUSY;  // opened exclusively by its holder
  if (fd >= 0) {
    held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
  }
  if (!held) return "";
  struct stat file {};
  std::string holder = stat(devicePath.c_str(), &file) == 0 ? LockHolder(file) : "";
  if (holder.empty()) {
    char* resolved = realpath(devicePath.c_str(), nullptr);
    holder = ProcessWithOpen(resolved ? resolved : devicePath);
    std::free(resolved);
  }
  return holder.empty() ? "its holder is not visible to this user" : holder;
}

}  // namespace k730
