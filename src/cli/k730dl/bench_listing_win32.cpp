// k730dl --list on Windows: the modem ports the scan finds in the registry
// with their slots, the handhelds the handset id list names among the USB
// device interfaces present, and what stops a slot.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/k730dl/bench_commands.h"
#include "console/device_listing.h"
#include "pda/handset_ids.h"
#include "pda/palm_device_map.h"
#include "pda/tcp_palm_transport.h"
#include "pda/winusb_bus.h"
#include "phone/port_discovery.h"
#include "phone/serial_port.h"

namespace k730 {
namespace {

constexpr const char* kListUsage =
    "usage: k730dl --list\n"
    "Lists the bench as the console sees it: each modem port with its slot, the\n"
    "handhelds present, and what stops a slot from working, with the fix. Exit\n"
    "status: 0 every live slot has a usable modem port, 1 there is no modem port or\n"
    "one is unusable, 2 bad usage.\n";

}  // namespace

int RunListCommand(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "k730dl: --list takes no arguments\n%s", kListUsage);
    return 2;
  }
  const LoadedHandsetIds loaded = LoadHandsetIds();
  std::vector<std::string> problems;
  std::printf("Handset id list: %s%s\n", loaded.path.c_str(),
              loaded.readable ? "" : " (unreadable)");
  if (!loaded.readable)
    problems.push_back("the handset id list " + loaded.path + " cannot be read (" +
                       loaded.readError +
                       "): only the handhelds 0830 and 082d are recognised; fix: put "
                       "handset-ids.conf beside k730dl.exe or set K730_HANDSET_IDS");
  for (const std::string& error : loaded.errors)
    problems.push_back("the handset id list " + loaded.path + " " + error +
                       " (ignored); fix: correct that line");

  std::printf("Modem ports in %s:\n", PortDirectory().c_str());
  int slot = 0;
  int usable = 0;
  for (const ModemPortEntry& entry : ListModemPorts(PortDirectory())) {
    const std::string com = "COM" + std::to_string(entry.number);
    if (slot >= kMaxPhoneSlots) {
      std::printf("  (no slot) %s\n", com.c_str());
      continue;
    }
    const std::string holder = PortHolder(entry.path);
    std::printf("  slot %d %-6s -> %s%s\n", slot, com.c_str(), entry.path.c_str(),
                holder.empty() ? "" : (", held by " + holder).c_str());
    if (holder.empty()) {
      ++usable;
    } else {
      problems.push_back(com + " is open in " + holder + "; fix: close that program");
    }
    ++slot;
  }
  if (slot == 0) std::printf("  none\n");

  std::string address;
  uint16_t listing = 0;
  std::printf("Handhelds:\n");
  if (TcpListingFromEnvironment(address, listing)) {
    std::printf("  simulated, listed on %s:%u (K730_PALM_TCP)\n", address.c_str(),
                static_cast<unsigned>(listing));
  } else {
    bool any = false;
    for (const HandsetDevice& device : ListHandsetDevices(loaded.ids)) {
      if (device.kind != HandsetDevice::Kind::PalmOs) continue;
      any = true;
      std::printf("  %s (%s:%s): device number %u\n", device.usb.sysName.c_str(),
                  device.usb.vendorId.c_str(), device.usb.productId.c_str(),
                  DeviceNumberFromName(device.usb.sysName));
    }
    if (!any) std::printf("  none\n");
    if (any && !SystemWinUsbApi())
      problems.push_back(
          "WinUSB (winusb.dll) cannot be loaded; fix: bind WinUSB to the "
          "handhelds with a driver installation tool");
  }

  return ReportBenchProblems(problems, slot, usable);
}

}  // namespace k730
