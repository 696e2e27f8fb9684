#include "pda/palm_device_map.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "core/operator_prompt.h"
#include "core/slot_writer.h"

namespace k730 {
namespace {

constexpr std::string_view kSimulatedPrefix = R"(\\?\k730#palm-simulated-device#socket)";
constexpr std::string_view kUsbPrefix = R"(\\?\k730#palm-os-usb-device#usb-unit-)";
constexpr std::string_view kTcpPrefix = R"(\\?\k730#palm-tcp-loopback-dev#number)";
static_assert(kSimulatedPrefix.size() == kDeviceNumberPosition);
static_assert(kTcpPrefix.size() == kDeviceNumberPosition);
static_assert(kUsbPrefix.size() == kDeviceNumberPosition);

constexpr uint32_t kNumberCap = 999999999;
constexpr std::string_view kSerialTag = "&ser_";
constexpr size_t kMaxSerial = 64;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// Digits at the front of text as a number; false when there are none or too many.
bool TakeNumber(std::string_view& text, uint32_t limit, uint32_t& value) {
  size_t n = 0;
  uint64_t v = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
    v = v * 10 + static_cast<uint32_t>(text[n] - '0');
    if (v > limit) return false;
    ++n;
  }
  if (n == 0) return false;
  value = static_cast<uint32_t>(v);
  text.remove_prefix(n);
  return true;
}

bool TakeText(std::string_view& text, std::string_view expected) {
  if (!StartsWith(text, expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

}  // namespace

std::string SimulatedPalmDeviceName(uint32_t number) {
  const std::string n = std::to_string(number);
  return std::string(kSimulatedPrefix) + n + "#palm" + n + ".sock";
}

std::string UsbPalmDeviceName(uint32_t number, uint8_t bus, uint8_t address, uint16_t vendorId,
                              uint16_t productId, std::string_view serial) {
  char detail[64];
  std::snprintf(detail, sizeof detail, "%u#bus%03u&dev%03u&vid_%04x&pid_%04x",
                std::min(number, kNumberCap), bus, address, vendorId, productId);
  std::string name = std::string(kUsbPrefix) + detail;
  std::string kept;
  for (char c : serial) {
    if (kept.size() >= kMaxSerial) break;
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-') kept += c;
  }
  if (!kept.empty()) name += std::string(kSerialTag) + kept;
  return name;
}

std::string TcpPalmDeviceName(uint32_t number) {
  const std::string n = std::to_string(number);
  return std::string(kTcpPrefix) + n + "#palm" + n;
}

bool IsSimulatedPalmDeviceName(std::string_view name) {
  return StartsWith(name, kSimulatedPrefix);
}

bool IsTcpPalmDeviceName(std::string_view name) {
  return StartsWith(name, kTcpPrefix);
}

bool SimulatedDeviceNumber(std::string_view name, uint32_t& number) {
  if (IsSimulatedPalmDeviceName(name) || IsTcpPalmDeviceName(name)) {
    std::string_view rest = name.substr(kDeviceNumberPosition);
    return TakeNumber(rest, kNumberCap, number);
  }
  std::string_view rest = name;
  return TakeText(rest, "palm") && TakeNumber(rest, kNumberCap, number) && rest.empty();
}

bool UsbIdsOfInterfaceName(std::string_view name, uint16_t& vendorId, uint16_t& productId) {
  const auto hexAt = [&name](size_t at, uint16_t& value) {
    if (at + 4 > name.size()) return false;
    uint32_t v = 0;
    for (size_t i = at; i < at + 4; ++i) {
      const char c = name[i];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      v = v * 16 + static_cast<uint32_t>(digit);
    }
    value = static_cast<uint16_t>(v);
    return true;
  };
  std::string lower(name);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  const size_t vid = lower.find("vid_");
  if (vid == std::string::npos || lower.compare(vid + 8, 5, "&pid_") != 0) return false;
  return hexAt(vid + 4, vendorId) && hexAt(vid + 13, productId);
}

bool IsUsbPalmDeviceName(std::string_view name) {
  return StartsWith(name, kUsbPrefix);
}

bool ParseUsbPalmDeviceName(std::string_view name, uint8_t& bus, uint8_t& address) {
  uint32_t number = 0;
  uint32_t b = 0;
  uint32_t a = 0;
  if (!TakeText(name, kUsbPrefix) || !TakeNumber(name, kNumberCap, number) ||
      !TakeText(name, "#bus") || !TakeNumber(name, 255, b) || !TakeText(name, "&dev") ||
      !TakeNumber(name, 255, a)) {
    return false;
  }
  bus = static_cast<uint8_t>(b);
  address = static_cast<uint8_t>(a);
  return true;
}

std::string UsbSerialOfPalmDeviceName(std::string_view name) {
  if (IsUsbPalmDeviceName(name)) {
    const size_t at = name.find(kSerialTag);
    return at == std::string_view::npos ? std::string()
                                        : std::string(name.substr(at + kSerialTag.size()));
  }
  // \\?\usb#vid_VVVV&pid_PPPP#<instance>#{class}
  std::string lower(name.substr(0, 8));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != R"(\\?\usb#)") return {};
  const size_t first = name.find('#');
  const size_t second = name.find('#', first + 1);
  if (second == std::string_view::npos) return {};
  const size_t third = name.find('#', second + 1);
  if (third == std::string_view::npos) return {};
  const std::string_view instance = name.substr(second + 1, third - second - 1);
  if (instance.empty() || instance.size() > kMaxSerial ||
      instance.find('&') != std::string_view::npos)
    return {};
  return std::string(instance);
}

UsbInterfaceKind JudgeUsbInterfaceName(std::string_view name, const HandsetIds& ids) {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  if (!UsbIdsOfInterfaceName(name, vendorId, productId)) return UsbInterfaceKind::Other;
  if (ids.IsPalm(vendorId, productId)) return UsbInterfaceKind::Handheld;
  for (const HandsetId& id : ids.ids)
    if (id.kind == HandsetId::Kind::Palm && id.vendor == vendorId)
      return UsbInterfaceKind::LookAlike;
  return UsbInterfaceKind::Other;
}

std::string UsbSysName(uint8_t bus, const uint8_t* ports, int portCount) {
  std::string name = std::to_string(bus);
  for (int i = 0; i < portCount; ++i) name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
  return name;
}

std::string UsbPalmDeviceNames::Arrived(uint8_t bus, uint8_t address,
                                        std::optional<uint32_t> modemPort, uint16_t vendorId,
                                        uint16_t productId, std::string_view serial) {
  // Unpaired: 0, the number of no slot, so that it lands in slot 0. Its
  // address would pick whichever slot's port happens to have that number.
  std::string name =
      UsbPalmDeviceName(modemPort.value_or(0), bus, address, vendorId, productId, serial);
  const uint16_t key = static_cast<uint16_t>(bus << 8 | address);
  if (names_.size() >= kMaxRemembered && !names_.count(key)) names_.erase(names_.begin());
  names_[key] = name;
  return name;
}

std::optional<std::string> UsbPalmDeviceNames::Left(uint8_t bus, uint8_t address) {
  const auto it = names_.find(static_cast<uint16_t>(bus << 8 | address));
  if (it == names_.end()) return std::nullopt;
  std::string name = std::move(it->second);
  names_.erase(it);
  return name;
}

uint32_t DeviceNumberFromName(std::string_view name, size_t maxDigits) {
  // 64 bits: a tenth digit after a 9-digit value would wrap 32 bits below the cap.
  uint64_t value = 0;
  for (size_t i = kDeviceNumberPosition, n = 0; i < name.size() && n < maxDigits; ++i, ++n) {
    const char c = name[i];
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > kNumberCap) return kNumberCap;
  }
  return static_cast<uint32_t>(value);
}

int ArrivalSlot(int deviceMode, const int* comPorts, int slotCount, uint32_t deviceNumber) {
  if (deviceMode == mode::kPda) return 0;
  const int live = slotCount < 0 ? 0 : (slotCount > kSlotCount ? kSlotCount : slotCount);
  for (int slot = 0; slot < live; ++slot) {
    if (comPorts[slot] >= 0 && static_cast<uint32_t>(comPorts[slot]) == deviceNumber) {
      return slot;
    }
  }
  return 0;
}

int RemovalSlot(int deviceMode, int comPortBase, int slotCount, uint32_t deviceNumber,
                OperatorPrompt& prompt) {
  if (deviceMode == mode::kPda) return 0;
  int64_t k = 0;
  if (deviceNumber <= 99) {
    k = static_cast<int64_t>(deviceNumber) - comPortBase;
    // Beyond the live slots, or beyond the six even when all six are live.
    if (k > slotCount || k >= kSlotCount) {
      prompt.ShowMessage(kMaxPortMessage, MessageIcon::None, MessageButtons::Ok);
      return kNoSlot;
    }
  } else {
    k = static_cast<int64_t>(deviceNumber / 100) - comPortBase;
    if (k >= kSlotCount) return kNoSlot;
  }
  if (k < 1) k = 0;
  return static_cast<int>(k);
}

}  // namespace k730
