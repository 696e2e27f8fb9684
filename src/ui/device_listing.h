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

namespace k730::ui {

// One line of the handset id list: which USB ids are handsets.
struct HandsetId {
  enum class Kind { Phone, Palm };
  Kind kind = Kind::Phone;
  uint16_t vendor = 0;
  int product = -1;    // -1: any product of the vendor
  int interface = -1;  // phone only: the modem interface number, -1 any
  std::string description;
};

struct HandsetIds {
  std::vector<HandsetId> ids;
  bool IsPhone(uint16_t vendor, uint16_t product) const;
  bool IsPalm(uint16_t vendor, uint16_t product) const;
};

// Lines "phone|palm VENDOR PRODUCT|* [INTERFACE|-] [description...]", hex
// ids, '#' comments. Lines that do not parse are reported in errors (with
// their line number) and skipped.
HandsetIds ParseHandsetIds(const std::string& text, std::vector<std::string>* errors = nullptr);

// K730_HANDSET_IDS when set, else the installed list.
std::string HandsetIdsPath();
// The list at HandsetIdsPath(); a missing or unreadable file gives the Palm
// OS vendors alone.
HandsetIds LoadHandsetIds();

using k730::ListModemPorts;
using k730::ModemPortEntry;
using k730::UsbDeviceInfo;
using k730::UsbDeviceOfNode;

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

}  // namespace k730::ui
