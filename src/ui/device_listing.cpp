#include "ui/device_listing.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "pda/palm_device_watcher.h"
#include "pda/usb_palm_transport.h"
#include "phone/port_discovery.h"

#ifndef K730_HANDSET_IDS_FILE
#define K730_HANDSET_IDS_FILE "/etc/k730/handset-ids.conf"
#endif

namespace k730::ui {

namespace {

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

// The tty nodes of a USB device's interfaces: "<if>/tty/ttyACM0" (modem
// class) or "<if>/ttyUSB0" (serial converters).
std::vector<std::string> InterfacePorts(const std::string& deviceDir, const std::string& sysName) {
  std::vector<std::string> ports;
  for (const std::string& name : DirectoryNames(deviceDir)) {
    if (name.rfind(sysName + ":", 0) != 0) continue;
    const std::string interfaceDir = deviceDir + "/" + name;
    for (const std::string& tty : DirectoryNames(interfaceDir + "/tty")) ports.push_back(tty);
    for (const std::string& child : DirectoryNames(interfaceDir))
      if (child.rfind("ttyUSB", 0) == 0) ports.push_back(child);
  }
  return ports;
}

bool CharDeviceNumbers(const std::string& path, unsigned& major, unsigned& minor) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  major = ::major(st.st_rdev);
  minor = ::minor(st.st_rdev);
  return true;
}

}  // namespace

bool HandsetIds::IsPhone(uint16_t vendor, uint16_t product) const {
  for (const HandsetId& id : ids) {
    if (id.kind == HandsetId::Kind::Phone && id.vendor == vendor &&
        (id.product < 0 || id.product == product))
      return true;
  }
  return false;
}

bool HandsetIds::IsPalm(uint16_t vendor, uint16_t product) const {
  if (IsPalmOsVendor(vendor)) return true;
  for (const HandsetId& id : ids) {
    if (id.kind == HandsetId::Kind::Palm && id.vendor == vendor &&
        (id.product < 0 || id.product == product))
      return true;
  }
  return false;
}

HandsetIds ParseHandsetIds(const std::string& text, std::vector<std::string>* errors) {
  HandsetIds result;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream fields(line);
    std::string kind, vendor, product, interface;
    if (!(fields >> kind)) continue;
    auto fail = [&](const char* why) {
      if (errors) errors->push_back("line " + std::to_string(number) + ": " + why);
    };
    HandsetId id;
    if (kind == "phone") {
      id.kind = HandsetId::Kind::Phone;
    } else if (kind == "palm") {
      id.kind = HandsetId::Kind::Palm;
    } else {
      fail("kind must be phone or palm");
      continue;
    }
    int value = 0;
    if (!(fields >> vendor) || !ParseHex16(vendor, value)) {
      fail("vendor must be four hex digits");
      continue;
    }
    id.vendor = static_cast<uint16_t>(value);
    if (!(fields >> product) || (product != "*" && !ParseHex16(product, value))) {
      fail("product must be four hex digits or *");
      continue;
    }
    id.product = product == "*" ? -1 : value;
    if (fields >> interface) {
      if (interface != "-" && (!ParseHex16(interface, value) || value > 0xFF)) {
        fail("interface must be a hex number or -");
        continue;
      }
      id.interface = interface == "-" ? -1 : value;
      std::getline(fields, id.description);
      id.description = Trimmed(id.description);
    }
    result.ids.push_back(id);
  }
  return result;
}

std::string HandsetIdsPath() {
  const char* env = std::getenv("K730_HANDSET_IDS");
  return env && *env ? std::string(env) : std::string(K730_HANDSET_IDS_FILE);
}

HandsetIds LoadHandsetIds() {
  return ParseHandsetIds(ReadSmallFile(HandsetIdsPath()));
}

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

std::vector<HandsetDevice> ListHandsetDevices(const HandsetIds& ids, const std::string& sysRoot) {
  std::vector<HandsetDevice> devices;
  const std::string base = sysRoot + "/bus/usb/devices";
  for (const std::string& name : DirectoryNames(base)) {
    if (name.find(':') != std::string::npos) continue;  // an interface, not a device
    const std::string dir = RealPath(base + "/" + name);
    if (dir.empty()) continue;
    int vendor = 0, product = 0;
    if (!ParseHex16(Attribute(dir, "idVendor"), vendor) ||
        !ParseHex16(Attribute(dir, "idProduct"), product))
      continue;
    HandsetDevice device;
    if (ids.IsPhone(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product))) {
      device.kind = HandsetDevice::Kind::PhoneModem;
    } else if (ids.IsPalm(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product))) {
      device.kind = HandsetDevice::Kind::PalmOs;
    } else {
      continue;
    }
    device.usb = ReadUsbDevice(dir);
    device.usb.sysName = name;
    device.ports = InterfacePorts(dir, name);
    devices.push_back(std::move(device));
  }
  return devices;
}

std::vector<HandsetDevice> ListSimulatedPalmDevices(const std::string& palmDir) {
  std::vector<HandsetDevice> devices;
  if (palmDir.empty()) return devices;
  for (const std::string& name : DirectoryNames(palmDir)) {
    uint32_t number = 0;
    if (!ParsePalmSocketName(name, number)) continue;
    HandsetDevice device;
    device.kind = HandsetDevice::Kind::SimulatedPalm;
    device.path = palmDir + "/" + name;
    devices.push_back(std::move(device));
  }
  return devices;
}

bool ModemManagerRunning(const std::string& procRoot) {
  for (const std::string& name : DirectoryNames(procRoot)) {
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        }))
      continue;
    if (Trimmed(ReadSmallFile(procRoot + "/" + name + "/comm")) == "ModemManager") return true;
  }
  return false;
}

bool MarkedForModemManagerToIgnore(const std::string& devicePath, const std::string& udevDataRoot) {
  unsigned major = 0, minor = 0;
  if (!CharDeviceNumbers(devicePath, major, minor)) return false;
  const std::string data =
      ReadSmallFile(udevDataRoot + "/c" + std::to_string(major) + ":" + std::to_string(minor));
  std::istringstream lines(data);
  std::string line;
  while (std::getline(lines, line))
    if (Trimmed(line) == "E:ID_MM_DEVICE_IGNORE=1") return true;
  return false;
}

std::string ModemManagerWarning(const std::string& portDir, const std::string& procRoot,
                                const std::string& sysRoot, const std::string& udevDataRoot) {
  if (!ModemManagerRunning(procRoot)) return "";
  for (const ModemPortEntry& entry : ListModemPorts(portDir, sysRoot)) {
    // ModemManager probes USB modems only; pseudo-terminals are safe.
    if (!entry.present || !entry.usb) continue;
    if (MarkedForModemManagerToIgnore(entry.path, udevDataRoot)) continue;
    char line[256];
    std::snprintf(line, sizeof line,
                  "[WARNING]ModemManager is running and may take COM%d: install the udev rule "
                  "70-k730-handsets.rules\r\n",
                  entry.number);
    return line;
  }
  return "";
}

}  // namespace k730::ui
