// k730dl --list: the bench as the console sees it, and what stops a slot.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/k730dl/bench_commands.h"
#include "console/device_listing.h"
#include "console/usb_sysfs.h"
#include "pda/handset_ids.h"
#include "pda/palm_device_watcher.h"
#include "phone/port_discovery.h"
#include "phone/serial_port.h"

namespace k730 {
namespace {

constexpr const char* kListUsage =
    "usage: k730dl --list\n"
    "Lists the bench as the console sees it: each modem port with its slot and the\n"
    "handheld paired with it, the USB devices that are ignored, and what stops a\n"
    "slot from working, with the fix. Exit status: 0 every live slot has a usable\n"
    "modem port, 1 there is no modem port or one is unusable, 2 bad usage.\n";

constexpr const char* kRuleName = "70-k730-handsets.rules";

// One USB device of sysfs with what the list makes of it.
struct UsbEntry {
  UsbDeviceInfo info;
  int vendor = -1;
  int product = -1;
  bool hub = false;
  bool looksLikeHandheld = false;  // a vendor-specific interface with a bulk pair
};

// Reads the configuration out of a device's "descriptors" attribute.
void JudgeDescriptors(const std::string& blob, UsbEntry& entry) {
  const auto* d = reinterpret_cast<const uint8_t*>(blob.data());
  const size_t n = blob.size();
  if (n >= 18 && d[1] == 1) entry.hub = d[4] == 9;
  bool vendorInterface = false, in = false, out = false;
  for (size_t at = 0; at + 2 <= n;) {
    const size_t length = d[at];
    if (length < 2 || at + length > n) break;
    const uint8_t type = d[at + 1];
    if (type == 4 && length >= 9) {
      if (vendorInterface && in && out) break;
      vendorInterface = d[at + 5] == 0xff;
      in = out = false;
    } else if (type == 5 && length >= 7 && vendorInterface && (d[at + 3] & 3) == 2) {
      (d[at + 2] & 0x80 ? in : out) = true;
    }
    at += length;
  }
  entry.looksLikeHandheld = vendorInterface && in && out;
}

std::vector<UsbEntry> UsbDevices(const std::string& sysRoot) {
  std::vector<UsbEntry> devices;
  const std::string base = sysRoot + "/bus/usb/devices";
  for (const std::string& name : sysfs::DirectoryNames(base)) {
    if (name.find(':') != std::string::npos) continue;  // an interface
    const std::string dir = sysfs::RealPath(base + "/" + name);
    if (dir.empty()) continue;
    UsbEntry entry;
    entry.info = sysfs::ReadUsbDevice(dir);
    entry.info.sysName = name;
    if (!sysfs::ParseHex16(entry.info.vendorId, entry.vendor) ||
        !sysfs::ParseHex16(entry.info.productId, entry.product))
      continue;
    JudgeDescriptors(sysfs::ReadSmallFile(dir + "/descriptors"), entry);
    if (name.rfind("usb", 0) == 0) entry.hub = true;  // a root hub
    devices.push_back(std::move(entry));
  }
  return devices;
}

std::string Ids(const UsbEntry& entry) {
  return entry.info.vendorId + ":" + entry.info.productId;
}

std::string UsbNode(const UsbDeviceInfo& info) {
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", info.bus, info.address);
  return node;
}

bool RuleInstalled() {
  for (const char* dir : {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                          "/lib/udev/rules.d", "/usr/local/lib/udev/rules.d"}) {
    if (sysfs::Exists(std::string(dir) + "/" + kRuleName)) return true;
  }
  return false;
}

}  // namespace

int RunListCommand(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "k730dl: --list takes no arguments\n%s", kListUsage);
    return 2;
  }
  const std::string portDir = PortDirectory();
  const std::string palmDir = PalmDirectoryFromEnvironment();
  const bool simulated = !palmDir.empty();
  const LoadedHandsetIds loaded = LoadHandsetIds();
  std::vector<std::string> problems;

  std::printf("Handset id list: %s", loaded.path.c_str());
  if (loaded.readable) {
    int phones = 0, palms = 0;
    for (const HandsetId& id : loaded.ids.ids)
      (id.kind == HandsetId::Kind::Phone ? phones : palms)++;
    std::printf(" (%d phone, %d handheld entries, %zu bench slots)\n", phones, palms,
                loaded.ids.slots.size());
  } else {
    std::printf(" (unreadable)\n");
  }
  // Simulated handhelds are not judged by the list.
  if (!loaded.readable && !simulated) {
    problems.push_back("the handset id list " + loaded.path + " cannot be read (" +
                       loaded.readError +
                       "): only the handhelds 0830 and 082d are recognised; fix: install "
                       "handset-ids.conf there or set K730_HANDSET_IDS");
  }
  for (size_t i = 0; i < loaded.errors.size() && !simulated; ++i)
    problems.push_back("the handset id list " + loaded.path + " " + loaded.errors[i] +
                       " (ignored); fix: correct that line");

  // The scan's slots: the first six char-device entries in port order.
  const std::vector<ModemPortEntry> entries = ListModemPorts(portDir);
  std::vector<UsbEntry> usb = simulated ? std::vector<UsbEntry>{} : UsbDevices("/sys");
  std::map<std::string, std::optional<uint32_t>> pairing;  // handheld sysName -> modem port
  for (const UsbEntry& device : usb) {
    if (loaded.ids.IsPalm(static_cast<uint16_t>(device.vendor),
                          static_cast<uint16_t>(device.product)))
      pairing[device.info.sysName] = ModemPortBesideUsbDevice(device.info.sysName, portDir);
  }

  std::printf("Modem ports in %s:\n", portDir.c_str());
  int slot = 0;
  int usable = 0;
  const bool modemManager = ModemManagerRunning();
  for (const ModemPortEntry& entry : entries) {
    const std::string com = "COM" + std::to_string(entry.number);
    if (!entry.present) {
      std::printf("  %-6s -> %s (missing: no slot)\n", com.c_str(),
                  entry.target.empty() ? "?" : entry.target.c_str());
      continue;
    }
    const bool live = slot < kMaxPhoneSlots;
    std::string where = entry.usb ? "USB " + entry.usb->sysName + " (" + entry.usb->vendorId + ":" +
                                        entry.usb->productId + ")"
                                  : std::string("not on USB");
    std::string handheld = "none";
    if (simulated) {
      const std::string socket = palmDir + "/palm" + std::to_string(entry.number) + ".sock";
      if (sysfs::Exists(socket)) handheld = "simulated " + socket;
    } else {
      for (const auto& [sysName, port] : pairing) {
        if (port && static_cast<int>(*port) == entry.number) {
          handheld = "USB " + sysName;
          break;
        }
      }
    }
    std::printf("  %s %-6s -> %s, %s, handheld: %s\n",
                live ? ("slot " + std::to_string(slot)).c_str() : "(no slot)", com.c_str(),
                entry.node.c_str(), where.c_str(), handheld.c_str());
    if (!live) continue;
    ++slot;
    if (::access(entry.path.c_str(), R_OK | W_OK) != 0) {
      problems.push_back("no read/write access to " + entry.path + " (" + entry.node +
                         "); fix: install the udev rule " + kRuleName +
                         " (it gives the seated user access) or add the user to the group of " +
                         entry.node);
    } else {
      ++usable;
    }
    if (entry.usb && modemManager && !MarkedForModemManagerToIgnore(entry.path)) {
      problems.push_back("ModemManager runs and " + com +
                         " is not marked for it to ignore; fix: install the udev rule " +
                         kRuleName + " and reload udev");
    }
  }
  if (slot == 0) std::printf("  none\n");

  if (!simulated) {
    std::printf("Handhelds:\n");
    bool any = false;
    for (const UsbEntry& device : usb) {
      const auto it = pairing.find(device.info.sysName);
      if (it == pairing.end()) continue;
      any = true;
      std::printf("  USB %s (%s, address %d): %s\n", device.info.sysName.c_str(),
                  Ids(device).c_str(), device.info.address,
                  it->second ? ("COM" + std::to_string(*it->second)).c_str()
                             : "no modem port beside it: arrives in slot 0");
      const std::string node = UsbNode(device.info);
      if (::access(node.c_str(), R_OK | W_OK) != 0) {
        problems.push_back("no read/write access to the handheld's USB node " + node +
                           "; fix: install the udev rule " + kRuleName);
      }
    }
    if (!any) std::printf("  none\n");
    std::printf("USB devices ignored:\n");
    any = false;
    for (const UsbEntry& device : usb) {
      const uint16_t vendor = static_cast<uint16_t>(device.vendor);
      const uint16_t product = static_cast<uint16_t>(device.product);
      if (device.hub || loaded.ids.IsPalm(vendor, product) || loaded.ids.IsPhone(vendor, product))
        continue;
      any = true;
      std::printf(
          "  USB %s (%s)%s\n", device.info.sysName.c_str(), Ids(device).c_str(),
          device.looksLikeHandheld ? ": looks like a handheld, not on the handset id list" : "");
    }
    if (!any) std::printf("  none\n");
    bool onUsb = false;
    for (const ModemPortEntry& entry : entries) onUsb = onUsb || entry.usb.has_value();
    if ((onUsb || !pairing.empty()) && !RuleInstalled()) {
      problems.push_back(std::string("the udev rule ") + kRuleName +
                         " is not installed; fix: k730-udev-rules > /etc/udev/rules.d/" +
                         kRuleName + " && udevadm control --reload && udevadm trigger");
    }
  }

  return ReportBenchProblems(problems, slot, usable);
}

}  // namespace k730
