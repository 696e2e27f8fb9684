// Palm device-interface names and the mapping of a device to a console slot.
//
// A device-interface name carries the device number as decimal digits that
// start at character 37 (counting from 0). The names built here are
//   <37-character prefix><number>#<detail>
// where the prefix tells the transport (simulated socket or real USB) and the
// detail locates the device on that transport:
//   simulated: \\?\k730#palm-simulated-device#socket<N>#palm<N>.sock
//   real USB:  \\?\k730#palm-os-usb-device#usb-addr-<A>#bus<BBB>&vid_<VVVV>&pid_<PPPP>
// N is the socket's device number (the handset's phone port number); A and
// B are the USB device address and bus, so a real device's number is its
// address on the bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace k730 {

class OperatorPrompt;

// Windows device-change events the console's handler sees.
constexpr uint32_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE

constexpr size_t kDeviceNumberPosition = 37;

// Device modes of a job.
constexpr int kDeviceModePdaPhone = 0;
constexpr int kDeviceModePhone = 1;
constexpr int kDeviceModePda = 2;

// Names of simulated devices (socket palm<N>.sock) and real USB devices.
std::string SimulatedPalmDeviceName(uint32_t number);
std::string UsbPalmDeviceName(uint8_t bus, uint8_t address, uint16_t vendorId, uint16_t productId);
bool IsSimulatedPalmDeviceName(std::string_view name);
bool IsUsbPalmDeviceName(std::string_view name);
// Bus and address of a real device's name; false when the name is not one.
bool ParseUsbPalmDeviceName(std::string_view name, uint8_t& bus, uint8_t& address);

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
