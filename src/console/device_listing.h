// What the "Modem Ports" and "Device Manager" windows list, without any
// toolkit: the modem-port directory with what each entry links to and the USB
// device behind it, the USB devices that are handsets, and whether
// ModemManager could take a handset's modem port. Everything is read from
// the file system (the port directory, sysfs, /proc and the udev database);
// the roots are parameters so tests can hand in a tree of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/usb_sysfs.h"
#include "pda/handset_ids.h"

namespace k730 {

struct HandsetDevice {
  enum class Kind { PhoneModem, PalmOs, SimulatedPalm };
  Kind kind = Kind::PhoneModem;
  UsbDeviceInfo usb;               // not filled for simulated devices
  std::vector<std::string> ports;  // tty nodes of its interfaces ("ttyACM0")
  std::string path;                // the simulated device's socket
};

// USB devices under <sysRoot>/bus/usb/devices that the list names as
// handsets (phone modem interfaces and Palm OS devices), by bus and port path.
std::vector<HandsetDevice> ListHandsetDevices(const HandsetIds& ids,
                                              const std::string& sysRoot = "/sys");
// Simulated Palm OS devices: palm<N>.sock in palmDir ("" = none).
std::vector<HandsetDevice> ListSimulatedPalmDevices(const std::string& palmDir);

// True when a process named ModemManager runs.
bool ModemManagerRunning(const std::string& procRoot = "/proc");
// True when udev marked the character device at devicePath with
// ID_MM_DEVICE_IGNORE=1.
bool MarkedForModemManagerToIgnore(const std::string& devicePath,
                                   const std::string& udevDataRoot = "/run/udev/data");
// The warning the console shows once in slot 0, or "" when there is none:
// ModemManager runs and a USB modem port of portDir is not marked.
std::string ModemManagerWarning(const std::string& portDir, const std::string& procRoot = "/proc",
                                const std::string& sysRoot = "/sys",
                                const std::string& udevDataRoot = "/run/udev/data");

}  // namespace k730
