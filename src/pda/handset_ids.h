// The handset id list (handset-ids.conf): which USB devices are the halves of
// a handset, and the bench map that names each USB port's modem. Everything
// that decides what a real USB device is reads it through this one parser:
// the Palm watcher and transport, the pairing, the device windows, the
// bench listing and the udev rule generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace k730 {

// One device line: "phone|palm VENDOR PRODUCT|* [INTERFACE|-] [description]".
struct HandsetId {
  enum class Kind { Phone, Palm };
  Kind kind = Kind::Phone;
  uint16_t vendor = 0;
  int product = -1;    // -1: any product of the vendor
  int interface = -1;  // phone only: the modem interface number, -1 any
  std::string description;
};

// One bench map line: "slot COM<n> <usb-port-path>": the modem of the handset
// plugged into that physical USB port is always COM<n>.
struct BenchSlot {
  int comNumber = 0;
  std::string portPath;  // "1-2.1"
};

struct HandsetIds {
  std::vector<HandsetId> ids;
  std::vector<BenchSlot> slots;
  bool IsPhone(uint16_t vendor, uint16_t product) const;
  bool IsPalm(uint16_t vendor, uint16_t product) const;
};

// The list as the shipped file enables it: the Palm OS handhelds of vendors
// 0830 and 082d, no phone, no bench map.
HandsetIds DefaultHandsetIds();

// Parses the text of a list; '#' starts a comment. Lines that do not parse are
// skipped and described in errors as "line N: why".
HandsetIds ParseHandsetIds(const std::string& text, std::vector<std::string>* errors = nullptr);

// "1-2.1": a bus number, '-', then port numbers joined by '.'.
bool IsUsbPortPath(const std::string& text);

// K730_HANDSET_IDS when set, else the installed list.
std::string HandsetIdsPath();

struct LoadedHandsetIds {
  HandsetIds ids;
  std::string path;
  bool readable = false;            // false: ids are DefaultHandsetIds()
  std::string readError;            // why it was not readable
  std::vector<std::string> errors;  // malformed lines
};
// The list at path (HandsetIdsPath() when empty); an unreadable list gives
// DefaultHandsetIds().
LoadedHandsetIds LoadHandsetIds(const std::string& path = "");

// The console's warnings about the list for slot 0, each ending in "\r\n": the
// fallback when it is unreadable, and each malformed line (at most a few).
std::vector<std::string> HandsetIdsWarnings(const LoadedHandsetIds& loaded);

// The udev rule for the list; source names the list in the rule's header.
std::string UdevRulesFor(const HandsetIds& ids, const std::string& source);

}  // namespace k730
