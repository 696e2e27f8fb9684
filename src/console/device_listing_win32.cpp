// What the device windows and k730dl --list see of the bench on Windows: the
// modem ports the port scan finds in the registry, and the USB device
// interfaces of the handsets' halves. Windows has no sysfs, no udev and no
// ModemManager; what depends on them is absent.
#include <cstdio>
#include <string>
#include <vector>

#include "console/device_listing.h"
#include "console/usb_sysfs.h"
#include "core/windows_api.h"
#include "pda/palm_device_map.h"
#include "pda/winusb_bus.h"
#include "phone/port_discovery.h"
#include "phone/serial_port.h"

namespace k730 {

std::optional<UsbDeviceInfo> UsbDeviceOfNode(const std::string&, const std::string&) {
  return std::nullopt;
}

std::vector<ModemPortEntry> ListModemPorts(const std::string& portDir, const std::string&) {
  int ports[kMaxComPorts] = {};
  int slots = 0;
  int last = 0;
  DiscoverPhonePorts(portDir, ports, slots, last);
  std::vector<ModemPortEntry> entries;
  for (const int number : ports) {
    if (number <= 0) break;
    ModemPortEntry entry;
    entry.number = number;
    entry.path = PortDevicePath("COM" + std::to_string(number));
    entry.node = "COM" + std::to_string(number);
    entry.present = true;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<uint32_t> ModemPortBesideUsbDevice(const std::string&, const std::string&,
                                                 const std::string&) {
  return std::nullopt;
}

std::optional<std::string> UdevProperty(const std::string&, const std::string&,
                                        const std::string&) {
  return std::nullopt;
}

std::string ParallelRestartObstacle(const std::vector<int>& comNumbers, const std::string&,
                                    const std::string&) {
  if (comNumbers.empty()) return "";
  return "COM" + std::to_string(comNumbers.front()) +
         " may come back under another name on Windows (not checked)";
}

// The registry key's values are watched, the notification armed anew after
// each change.
struct PortListChanges::State {
  HKEY key = nullptr;
  HANDLE changed = nullptr;
  HANDLE wake = nullptr;

  void Arm() {
    if (key && changed)
      ::RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                changed, TRUE);
  }
};

PortListChanges::PortListChanges(const std::string& portDir) : state_(std::make_unique<State>()) {
  state_->wake = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  state_->changed = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, portDir.c_str(), 0, KEY_NOTIFY, &state_->key) !=
      ERROR_SUCCESS)
    state_->key = nullptr;
  state_->Arm();
}

PortListChanges::~PortListChanges() {
  if (state_->key) ::RegCloseKey(state_->key);
  for (HANDLE event : {state_->changed, state_->wake})
    if (event) ::CloseHandle(event);
}

bool PortListChanges::Wait(int timeoutMs) {
  if (!state_->wake) return true;
  const HANDLE events[2] = {state_->wake, state_->changed};
  const DWORD count = state_->changed ? 2 : 1;
  const DWORD waited =
      ::WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(timeoutMs));
  if (waited == WAIT_OBJECT_0) return true;
  if (waited == WAIT_OBJECT_0 + 1) state_->Arm();
  return false;
}

void PortListChanges::Wake() {
  if (state_->wake) ::SetEvent(state_->wake);
}

std::vector<HandsetDevice> ListHandsetDevices(const HandsetIds& ids, const std::string&) {
  std::vector<HandsetDevice> devices;
  for (const std::string& name : PresentUsbDeviceInterfaces()) {
    uint16_t vendor = 0;
    uint16_t product = 0;
    if (!UsbIdsOfInterfaceName(name, vendor, product)) continue;
    HandsetDevice device;
    if (ids.IsPhone(vendor, product)) {
      device.kind = HandsetDevice::Kind::PhoneModem;
    } else if (ids.IsPalm(vendor, product)) {
      device.kind = HandsetDevice::Kind::PalmOs;
    } else {
      continue;
    }
    char hex[8];
    device.usb.sysName = name;
    std::snprintf(hex, sizeof hex, "%04x", vendor);
    device.usb.vendorId = hex;
    std::snprintf(hex, sizeof hex, "%04x", product);
    device.usb.productId = hex;
    devices.push_back(std::move(device));
  }
  return devices;
}

std::vector<HandsetDevice> ListSimulatedPalmDevices(const std::string&) {
  // Simulated handhelds on socket files are a Linux matter.
  return {};
}

bool ModemManagerRunning(const std::string&) {
  return false;
}

bool MarkedForModemManagerToIgnore(const std::string&, const std::string&) {
  return false;
}

std::string ModemManagerWarning(const std::string&, const std::string&, const std::string&,
                                const std::string&) {
  return "";
}

}  // namespace k730
