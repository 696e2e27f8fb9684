// Palm device-interface names and the mapping of a device to a console slot.
//
// A device-interface name carries the device number as decimal digits that
// start at character 37 (counting from 0). The names built here are
//   <37-character prefix><number>#<detail>
// where the prefix tells the transport (simulated socket or TCP, or real USB)
// and the detail locates the device on that transport:
//   simulated: \\?\k730#palm-simulated-device#socket<N>#palm<N>.sock
//   TCP:       \\?\k730#palm-tcp-loopback-dev#number<N>#palm<N>
//   real USB:
//   \\?\k730#palm-os-usb-device#usb-unit-<U>#bus<BBB>&dev<AAA>&vid_<VVVV>&pid_<PPPP>[&ser_<S>]
// N is the simulated device's number (the handset's phone port number). B and
// A are the USB bus and device address, S the device's USB serial number when
// it has one; U is the number of the handset's
// phone modem port (COM<U>) when the two halves were paired, else 0 (no
// slot's). On Windows a real device keeps the device-interface name the
// system gives it (\\?\usb#vid_<VVVV>&pid_<PPPP>#<instance>#{<class>}), whose
// character 37 falls in the instance part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/job_ids.h"
#include "pda/handset_ids.h"

namespace k730 {

class OperatorPrompt;

constexpr size_t kDeviceNumberPosition = 37;

// Names of simulated devices (socket palm<N>.sock) and real USB devices.
std::string SimulatedPalmDeviceName(uint32_t number);
// A serial number keeps only its letters, digits, '.', '_' and '-' (at most 64).
std::string UsbPalmDeviceName(uint32_t number, uint8_t bus, uint8_t address, uint16_t vendorId,
                              uint16_t productId, std::string_view serial = {});
std::string TcpPalmDeviceName(uint32_t number);
bool IsSimulatedPalmDeviceName(std::string_view name);
bool IsTcpPalmDeviceName(std::string_view name);
// The number of a simulated or TCP device's name, or of a bare "palm<N>";
// false for any other name.
bool SimulatedDeviceNumber(std::string_view name, uint32_t& number);
bool IsUsbPalmDeviceName(std::string_view name);
// Bus and address of a real device's name; false when the name is not one.
bool ParseUsbPalmDeviceName(std::string_view name, uint8_t& bus, uint8_t& address);
// The USB serial number a real handheld's name carries: the "&ser_" part of
// the names built here, or the instance part of a Windows interface name when
// that is a serial number (the system makes up instances with '&' for devices
// without one). "" when the name carries none, as simulated names never do.
std::string UsbSerialOfPalmDeviceName(std::string_view name);

// Vendor and product of a Windows device-interface name ("...vid_0830&pid_0061..."
// in either case); false when the name carries none.
bool UsbIdsOfInterfaceName(std::string_view name, uint16_t& vendorId, uint16_t& productId);

// What a Windows USB device-interface name is to the handset id list: a
// listed handheld, a device of a handheld's vendor that the list does not
// name (reported as not being a Palm OS device), or anything else (ignored).
enum class UsbInterfaceKind { Handheld, LookAlike, Other };
UsbInterfaceKind JudgeUsbInterfaceName(std::string_view name, const HandsetIds& ids);

// A USB device's place as sysfs names it: "<bus>-<port>.<port>...".
std::string UsbSysName(uint8_t bus, const uint8_t* ports, int portCount);

// The phone modem port (COM number) of the handset whose Palm OS half is the
// USB device usbSysName, when one can be told; the console's slots are
// found by that number.
using UsbDeviceNumbering = std::function<std::optional<uint32_t>(const std::string& usbSysName)>;

// Names real Palm devices as they come and go: the number is the paired modem
// port's (0 when unpaired, which no slot has), and a removal carries the name
// its arrival had, even when the modem port has gone first.
class UsbPalmDeviceNames {
 public:
  std::string Arrived(uint8_t bus, uint8_t address, std::optional<uint32_t> modemPort,
                      uint16_t vendorId, uint16_t productId, std::string_view serial = {});
  // The name the device arrived with; nothing when it was never reported.
  std::optional<std::string> Left(uint8_t bus, uint8_t address);

 private:
  static constexpr size_t kMaxRemembered = 256;
  std::map<uint16_t, std::string> names_;  // by bus << 8 | address
};

// The decimal number starting at character 37, read up to the first non-digit
// or maxDigits digits; 0 when character 37 is not a digit. Values are capped
// at 999,999,999 so that no name can overflow them.
uint32_t DeviceNumberFromName(std::string_view name, size_t maxDigits = SIZE_MAX);

// Arrival: slot 0 in device mode PDA; otherwise the first live slot whose
// COM port number equals the device number, slot 0 when none does.
// comPorts holds the console's 10 entries, slotCount its live slots (0-6).
int ArrivalSlot(int deviceMode, const int* comPorts, int slotCount, uint32_t deviceNumber);

constexpr int kNoSlot = -1;
constexpr const char* kMaxPortMessage =
    "[ERROR] PDA devID over MAXPORT.\n Check & Change Packet Ver 10";

// Removal: slot 0 in device mode PDA; for numbers up to 99 the number minus the
// COM port base, refused with the MAXPORT message box when beyond the live
// slots; for larger numbers number / 100 minus the base; negatives become 0.
// Returns kNoSlot when refused, and also (without the box for numbers of 100
// and more) for any slot outside the six, which is never to be written.
int RemovalSlot(int deviceMode, int comPortBase, int slotCount, uint32_t deviceNumber,
                OperatorPrompt& prompt);

}  // namespace k730
