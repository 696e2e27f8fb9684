#include "console/usb_sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "phone/port_discovery.h"

namespace k730 {
namespace sysfs {

// Attribute files of sysfs and the udev database are small; nothing longer is read.
constexpr size_t kMaxSmallFile = 64 * 1024;

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::string text(kMaxSmallFile, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  return text.substr(start);
}

std::string Attribute(const std::string& dir, const char* name) {
  return Trimmed(ReadSmallFile(dir + "/" + name));
}

int IntAttribute(const std::string& dir, const char* name, int base) {
  const std::string text = Attribute(dir, name);
  if (text.empty()) return -1;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, base);
  if (end == text.c_str() || value < 0 || value > INT_MAX) return -1;
  return static_cast<int>(value);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

std::vector<std::string> DirectoryNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool ParseHex16(const std::string& text, int& value) {
  if (text.empty() || text.size() > 4) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  value = static_cast<int>(std::strtol(text.c_str(), nullptr, 16));
  return true;
}

UsbDeviceInfo ReadUsbDevice(const std::string& dir) {
  UsbDeviceInfo info;
  const size_t slash = dir.find_last_of('/');
  info.sysName = slash == std::string::npos ? dir : dir.substr(slash + 1);
  info.bus = IntAttribute(dir, "busnum", 10);
  info.address = IntAttribute(dir, "devnum", 10);
  info.vendorId = Attribute(dir, "idVendor");
  info.productId = Attribute(dir, "idProduct");
  info.manufacturer = Attribute(dir, "manufacturer");
  info.product = Attribute(dir, "product");
  info.serial = Attribute(dir, "serial");
  return info;
}

bool CharDeviceNumbers(const std::string& path, unsigned& major, unsigned& minor) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  major = ::major(st.st_rdev);
  minor = ::minor(st.st_rdev);
  return true;
}

}  // namespace sysfs

using namespace sysfs;

std::optional<UsbDeviceInfo> UsbDeviceOfNode(const std::string& devicePath,
                                             const std::string& sysRoot) {
  unsigned major = 0, minor = 0;
  if (!CharDeviceNumbers(devicePath, major, minor)) return std::nullopt;
  const std::string root = RealPath(sysRoot);
  if (root.empty()) return std::nullopt;
  std::string dir =
      RealPath(sysRoot + "/dev/char/" + std::to_string(major) + ":" + std::to_string(minor));
  int interfaceNumber = -1;
  // Up the device tree to the first directory that describes a USB device.
  while (dir.size() > root.size() && dir.compare(0, root.size(), root) == 0) {
    if (interfaceNumber < 0 && Exists(dir + "/bInterfaceNumber"))
      interfaceNumber = IntAttribute(dir, "bInterfaceNumber", 16);
    if (Exists(dir + "/idVendor")) {
      UsbDeviceInfo info = ReadUsbDevice(dir);
      info.interfaceNumber = interfaceNumber;
      return info;
    }
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) break;
    dir.resize(slash);
  }
  return std::nullopt;
}

std::vector<ModemPortEntry> ListModemPorts(const std::string& portDir, const std::string& sysRoot) {
  std::vector<ModemPortEntry> entries;
  for (const std::string& name : DirectoryNames(portDir)) {
    const int number = ComPortNumberFromName(name);
    if (number < 0) continue;
    ModemPortEntry entry;
    entry.number = number;
    entry.path = portDir + "/" + name;
    struct stat st {};
    if (::lstat(entry.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t length = ::readlink(entry.path.c_str(), target, sizeof target - 1);
      if (length > 0) entry.target.assign(target, static_cast<size_t>(length));
    }
    unsigned major = 0, minor = 0;
    entry.present = CharDeviceNumbers(entry.path, major, minor);
    entry.node = entry.present ? RealPath(entry.path) : "";
    if (entry.present) entry.usb = UsbDeviceOfNode(entry.path, sysRoot);
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const ModemPortEntry& a, const ModemPortEntry& b) { return a.number < b.number; });
  return entries;
}

namespace {

// "1-2.4" -> "1-2"; "" for a device on a root port ("1-2").
std::string ParentHub(const std::string& sysName) {
  const size_t dot = sysName.find_last_of('.');
  return dot == std::string::npos ? std::string() : sysName.substr(0, dot);
}

}  // namespace

std::optional<uint32_t> ModemPortBesideUsbDevice(const std::string& usbSysName,
                                                 const std::string& portDir,
                                                 const std::string& sysRoot) {
  const std::string hub = ParentHub(usbSysName);
  if (hub.empty()) return std::nullopt;
  std::optional<uint32_t> found;
  std::string foundDevice;
  for (const ModemPortEntry& entry : ListModemPorts(portDir, sysRoot)) {
    if (!entry.usb || entry.usb->sysName == usbSysName || ParentHub(entry.usb->sysName) != hub)
      continue;
    if (found) {
      // Two ports of one modem (two interfaces): its lowest. Two modems: no telling.
      if (entry.usb->sysName != foundDevice) return std::nullopt;
      continue;
    }
    found = static_cast<uint32_t>(entry.number);
    foundDevice = entry.usb->sysName;
  }
  return found;
}

std::optional<std::string> UdevProperty(const std::string& devicePath, const std::string& key,
                                        const std::string& udevDataRoot) {
  unsigned major = 0, minor = 0;
  if (!CharDeviceNumbers(devicePath, major, minor)) return std::nullopt;
  const std::string data =
      ReadSmallFile(udevDataRoot + "/c" + std::to_string(major) + ":" + std::to_string(minor));
  const std::string prefix = "E:" + key + "=";
  size_t at = 0;
  while (at < data.size()) {
    size_t end = data.find('\n', at);
    if (end == std::string::npos) end = data.size();
    const std::string line = Trimmed(data.substr(at, end - at));
    if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    at = end + 1;
  }
  return std::nullopt;
}

namespace {

// Unix98 pseudo-terminal terminals have majors 136 to 143.
bool IsPseudoTerminal(unsigned major) {
  return major >= 136 && major <= 143;
}

}  // namespace

std::string ParallelRestartObstacle(const std::vector<int>& comNumbers, const std::string& portDir,
                                    const std::string& udevDataRoot) {
  for (int number : comNumbers) {
    const std::string name = "COM" + std::to_string(number);
    const std::string path = portDir + "/" + name;
    unsigned major = 0, minor = 0;
    if (!CharDeviceNumbers(path, major, minor)) return name + " is not present";
    if (IsPseudoTerminal(major)) continue;
    if (UdevProperty(path, kBenchMappedProperty, udevDataRoot) != "1")
      return name + " is not named by its USB port (udev has no " +
             std::string(kBenchMappedProperty) + "=1 for it)";
  }
  return "";
}

struct PortListChanges::State {
  int inotify = -1;
  int wake[2] = {-1, -1};
};

PortListChanges::PortListChanges(const std::string& portDir) : state_(std::make_unique<State>()) {
  if (::pipe2(state_->wake, O_CLOEXEC | O_NONBLOCK) != 0) state_->wake[0] = state_->wake[1] = -1;
  state_->inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (state_->inotify >= 0)
    ::inotify_add_watch(state_->inotify, portDir.c_str(),
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB);
}

PortListChanges::~PortListChanges() {
  for (int* fd : {&state_->inotify, &state_->wake[0], &state_->wake[1]})
    if (*fd >= 0) ::close(*fd);
}

bool PortListChanges::Wait(int timeoutMs) {
  pollfd fds[2] = {{state_->wake[0], POLLIN, 0}, {state_->inotify, POLLIN, 0}};
  const int rc = ::poll(fds, 2, timeoutMs);
  if (rc < 0 && errno != EINTR) return true;
  if (fds[0].revents) return true;
  if (state_->inotify >= 0 && fds[1].revents) {
    alignas(inotify_event) char events[4096];
    while (::read(state_->inotify, events, sizeof events) > 0) {
    }
  }
  return false;
}

void PortListChanges::Wake() {
  const char wake = 1;
  if (state_->wake[1] >= 0) [[maybe_unused]]
    const ssize_t n = ::write(state_->wake[1], &wake, 1);
}

}  // namespace k730
