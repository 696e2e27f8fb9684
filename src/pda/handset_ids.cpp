#include "pda/handset_ids.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "core/file_access.h"

#ifndef K730_HANDSET_IDS_FILE
#define K730_HANDSET_IDS_FILE "/etc/k730/handset-ids.conf"
#endif

namespace k730 {
namespace {

// A list is a few dozen lines; anything past this is not read.
constexpr size_t kMaxListBytes = 256 * 1024;
// The console shows at most this many malformed lines.
constexpr size_t kMaxLineWarnings = 5;
constexpr int kMaxComNumber = 255;

bool ParseHex(const std::string& text, size_t maxDigits, int& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  int v = 0;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v * 16 + (std::isdigit(static_cast<unsigned char>(c))
                      ? c - '0'
                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
  }
  value = v;
  return true;
}

// Decimal digits only, no sign, at most maxValue.
bool ParseDecimal(const std::string& text, int maxValue, int& value) {
  if (text.empty() || text.size() > 6) return false;
  int v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > maxValue) return false;
  value = v;
  return true;
}

std::string Trimmed(const std::string& text) {
  size_t start = 0, end = text.size();
  while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(start, end - start);
}

std::string Hex4(int value) {
  static const char* const kDigits = "0123456789abcdef";
  std::string text(4, '0');
  for (int i = 3; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 0xF];
  return text;
}

bool Matches(const HandsetId& id, HandsetId::Kind kind, uint16_t vendor, uint16_t product) {
  return id.kind == kind && id.vendor == vendor && (id.product < 0 || id.product == product);
}

// The udev match of a phone id line (after SUBSYSTEM=="tty").
std::string PhoneMatch(const HandsetId& id) {
  std::string match = ", ENV{ID_VENDOR_ID}==\"" + Hex4(id.vendor) + "\"";
  if (id.product >= 0) match += ", ENV{ID_MODEL_ID}==\"" + Hex4(id.product) + "\"";
  if (id.interface >= 0)
    match += ", ENV{ID_USB_INTERFACE_NUM}==\"" + Hex4(id.interface).substr(2) + "\"";
  return match;
}

std::string IdText(const HandsetId& id) {
  return Hex4(id.vendor) + ":" + (id.product < 0 ? std::string("*") : Hex4(id.product));
}

}  // namespace

bool HandsetIds::IsPhone(uint16_t vendor, uint16_t product) const {
  for (const HandsetId& id : ids)
    if (Matches(id, HandsetId::Kind::Phone, vendor, product)) return true;
  return false;
}

bool HandsetIds::IsPalm(uint16_t vendor, uint16_t product) const {
  for (const HandsetId& id : ids)
    if (Matches(id, HandsetId::Kind::Palm, vendor, product)) return true;
  return false;
}

HandsetIds DefaultHandsetIds() {
  HandsetIds ids;
  for (const uint16_t vendor : {0x0830, 0x082d})
    ids.ids.push_back(HandsetId{HandsetId::Kind::Palm, vendor, -1, -1, "Palm OS handheld"});
  return ids;
}

bool IsUsbPortPath(const std::string& text) {
  const size_t dash = text.find('-');
  int value = 0;
  if (dash == std::string::npos || !ParseDecimal(text.substr(0, dash), 255, value)) return false;
  std::string rest = text.substr(dash + 1);
  // USB allows at most 7 tiers below the root.
  for (int ports = 0; ports < 7; ++ports) {
    const size_t dot = rest.find('.');
    if (!ParseDecimal(rest.substr(0, dot), 255, value) || value == 0) return false;
    if (dot == std::string::npos) return true;
    rest = rest.substr(dot + 1);
  }
  return false;
}

HandsetIds ParseHandsetIds(const std::string& text, std::vector<std::string>* errors) {
  HandsetIds result;
  std::set<int> slotNumbers;
  std::set<std::string> slotPaths;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream fields(line);
    std::string kind;
    if (!(fields >> kind)) continue;
    auto fail = [&](const std::string& why) {
      if (errors) errors->push_back("line " + std::to_string(number) + ": " + why);
    };

    if (kind == "slot") {
      std::string com, path, extra;
      int n = 0;
      if (!(fields >> com) || com.compare(0, 3, "COM") != 0 ||
          !ParseDecimal(com.substr(3), kMaxComNumber, n) || n == 0) {
        fail("slot needs a port COM1 to COM255");
        continue;
      }
      if (!(fields >> path) || !IsUsbPortPath(path)) {
        fail("slot needs a USB port path such as 1-2.1");
        continue;
      }
      if (fields >> extra) {
        fail("slot takes a port and a USB port path only");
        continue;
      }
      if (!slotNumbers.insert(n).second) {
        fail(com + " is mapped twice");
        continue;
      }
      if (!slotPaths.insert(path).second) {
        fail("USB port " + path + " is mapped twice");
        continue;
      }
      result.slots.push_back(BenchSlot{n, path});
      continue;
    }

    HandsetId id;
    if (kind == "phone") {
      id.kind = HandsetId::Kind::Phone;
    } else if (kind == "palm") {
      id.kind = HandsetId::Kind::Palm;
    } else {
      fail("kind must be phone, palm or slot");
      continue;
    }
    std::string vendor, product, interface;
    int value = 0;
    if (!(fields >> vendor) || !ParseHex(vendor, 4, value)) {
      fail("vendor must be four hex digits");
      continue;
    }
    id.vendor = static_cast<uint16_t>(value);
    if (!(fields >> product) || (product != "*" && !ParseHex(product, 4, value))) {
      fail("product must be four hex digits or *");
      continue;
    }
    id.product = product == "*" ? -1 : value;
    if (fields >> interface) {
      if (interface != "-" && !ParseHex(interface, 2, value)) {
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
  if (env && *env) return env;
  // An installation without a fixed place keeps the list beside the program.
  const std::string installed = K730_HANDSET_IDS_FILE;
  if (IsAbsolutePath(installed)) return installed;
  const std::string program = ProgramDirectory();
  return program.empty() ? installed : program + "/" + installed;
}

LoadedHandsetIds LoadHandsetIds(const std::string& path) {
  LoadedHandsetIds loaded;
  loaded.path = path.empty() ? HandsetIdsPath() : path;
  std::string reason;
  const int fd = OpenRegularFile(loaded.path, reason);
  std::string text;
  if (fd >= 0) {
    char buffer[8192];
    int error = 0;
    while (text.size() < kMaxListBytes) {
      const long long n = ReadSome(fd, buffer, sizeof buffer, &error);
      if (n < 0) reason = SystemErrorText(error);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    CloseFile(fd);
  }
  if (!reason.empty()) {
    loaded.ids = DefaultHandsetIds();
    loaded.readError = reason;
    return loaded;
  }
  loaded.readable = true;
  loaded.ids = ParseHandsetIds(text, &loaded.errors);
  return loaded;
}

std::vector<std::string> HandsetIdsWarnings(const LoadedHandsetIds& loaded) {
  std::vector<std::string> lines;
  if (!loaded.readable) {
    lines.push_back("[WARNING]Handset id list " + loaded.path + ": " + loaded.readError +
                    "; using the Palm OS handhelds 0830 and 082d\r\n");
  }
  for (size_t i = 0; i < loaded.errors.size() && i < kMaxLineWarnings; ++i)
    lines.push_back("[WARNING]Handset id list " + loaded.path + " " + loaded.errors[i] +
                    "; line ignored\r\n");
  if (loaded.errors.size() > kMaxLineWarnings) {
    lines.push_back("[WARNING]Handset id list " + loaded.path + ": " +
                    std::to_string(loaded.errors.size() - kMaxLineWarnings) +
                    " more lines ignored\r\n");
  }
  return lines;
}

std::string UdevRulesFor(const HandsetIds& ids, const std::string& source) {
  std::string out;
  out += "# Handsets of the k730 Multi-Downloader, generated from " + source + ".\n";
  out += "# Edit that list and regenerate with k730-udev-rules; do not edit this file.\n\n";
  out += "ACTION==\"remove\", GOTO=\"k730_end\"\n\n";
  out += "# The USB ids of a modem port, where no earlier rule imported them.\n";
  out +=
      "SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", ENV{ID_VENDOR_ID}!=\"?*\", "
      "IMPORT{builtin}=\"usb_id\"\n\n";

  std::vector<const HandsetId*> phones;
  for (const HandsetId& id : ids.ids)
    if (id.kind == HandsetId::Kind::Phone) phones.push_back(&id);

  // The bench map first: a mapped modem gets its fixed name and no other.
  for (const BenchSlot& slot : ids.slots) {
    const std::string name = "COM" + std::to_string(slot.comNumber);
    const std::string action = ", SYMLINK+=\"k730/" + name +
                               "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", ENV{K730_BENCH_MAPPED}=\"1\", "
                               "TAG+=\"uaccess\", GOTO=\"k730_end\"\n";
    out += "# bench slot " + name + ": the phone modem below USB port " + slot.portPath + "\n";
    const std::string head = "SUBSYSTEM==\"tty\", KERNELS==\"" + slot.portPath + "\"";
    if (phones.empty()) out += head + action;
    for (const HandsetId* phone : phones) out += head + PhoneMatch(*phone) + action;
  }
  if (!ids.slots.empty()) out += "\n";

  for (const HandsetId& id : ids.ids) {
    if (id.kind == HandsetId::Kind::Phone) {
      out += "# phone modem " + IdText(id) + " interface " +
             (id.interface < 0 ? std::string("-") : Hex4(id.interface).substr(2)) + "\n";
      out += "SUBSYSTEM==\"tty\"" + PhoneMatch(id) +
             ", SYMLINK+=\"k730/COM%n\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n";
    } else {
      out += "# Palm OS device " + IdText(id) + "\n";
      out += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
             Hex4(id.vendor) + "\"";
      if (id.product >= 0) out += ", ATTR{idProduct}==\"" + Hex4(id.product) + "\"";
      out += ", TAG+=\"uaccess\"\n";
    }
  }
  out += "\nLABEL=\"k730_end\"\n";
  return out;
}

}  // namespace k730
