#include "console/device_listing.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "pda/palm_device_watcher.h"
#include "phone/port_discovery.h"

namespace k730 {

using namespace k730::sysfs;

namespace {

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

}  // namespace

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
  return UdevProperty(devicePath, "ID_MM_DEVICE_IGNORE", udevDataRoot) == "1";
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

}  // namespace k730
