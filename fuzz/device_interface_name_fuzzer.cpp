// Device-interface names as arrival and removal notices carry them: the
// device number read from character 37, the slot mappings of arrival and
// removal, the name parsers of both transports, and opening a device by name
// (a simulated device in an empty directory, a real one on a bus whose
// devices never open).
//
// Input: device mode, COM port base, live slot count, ten COM port numbers,
// then the name.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "pda/socket_palm_transport.h"
#include "pda/usb_palm_transport.h"

namespace {

using namespace k730;

constexpr uint32_t kNumberCap = 999999999;

// The number at character 37 as the mapping must read it.
uint32_t ReferenceNumber(std::string_view name, size_t maxDigits) {
  uint64_t value = 0;
  for (size_t i = kDeviceNumberPosition, n = 0; i < name.size() && n < maxDigits; ++i, ++n) {
    if (name[i] < '0' || name[i] > '9') break;
    value = value * 10 + static_cast<uint32_t>(name[i] - '0');
    if (value > kNumberCap) return kNumberCap;
  }
  return static_cast<uint32_t>(value);
}

// A bus holding one Palm device at bus 1, address 2 that refuses to open.
class ClosedBus : public UsbBus {
 public:
  std::vector<UsbDeviceId> ListDevices() override { return {UsbDeviceId{1, 2, 0x0830, 0x0061}}; }
  std::unique_ptr<UsbDeviceLink> OpenDevice(const UsbDeviceId& id, int* error) override {
    K730_FUZZ_CHECK(id.bus == 1 && id.address == 2);
    ++opens;
    *error = kUsbErrorAccess;
    return nullptr;
  }
  int opens = 0;
};

void CheckMappings(fuzz::Input& input, const std::string& name) {
  const int deviceMode = input.Byte() % 4;  // 3 is no mode at all
  const int comPortBase = static_cast<int8_t>(input.Byte());
  const int slotCount = static_cast<int8_t>(input.Byte()) % 10;
  int comPorts[10];
  for (int& port : comPorts) port = static_cast<int8_t>(input.Byte());

  const uint32_t number = DeviceNumberFromName(name);
  K730_FUZZ_CHECK(number == ReferenceNumber(name, SIZE_MAX));
  const uint32_t short3 = DeviceNumberFromName(name, 3);
  K730_FUZZ_CHECK(short3 == ReferenceNumber(name, 3) && short3 <= 999);

  const int arrival = ArrivalSlot(deviceMode, comPorts, slotCount, number);
  K730_FUZZ_CHECK(arrival >= 0 && arrival < kSlotCount);
  if (arrival > 0) {
    K730_FUZZ_CHECK(arrival < slotCount);
    K730_FUZZ_CHECK(comPorts[arrival] >= 0 && static_cast<uint32_t>(comPorts[arrival]) == number);
  }

  for (const uint32_t n : {number, short3}) {
    fuzz::FixedPrompt prompt(MessageAnswer::Ok);
    const int removal = RemovalSlot(deviceMode, comPortBase, slotCount, n, prompt);
    K730_FUZZ_CHECK(removal == kNoSlot || (removal >= 0 && removal < kSlotCount));
    if (prompt.Shown() > 0) K730_FUZZ_CHECK(removal == kNoSlot);
    if (deviceMode == mode::kPda) K730_FUZZ_CHECK(removal == 0);
  }
}

void CheckNameParsers(const std::string& name) {
  const bool simulated = IsSimulatedPalmDeviceName(name);
  const bool usb = IsUsbPalmDeviceName(name);
  K730_FUZZ_CHECK(!(simulated && usb));

  uint8_t bus = 0;
  uint8_t address = 0;
  if (ParseUsbPalmDeviceName(name, bus, address)) {
    K730_FUZZ_CHECK(usb);
    // The name a device at that place gets reads back to the same place and number.
    const uint32_t number = DeviceNumberFromName(name);
    const std::string built = UsbPalmDeviceName(number, bus, address, 0x0830, 0x0061);
    uint8_t bus2 = 0;
    uint8_t address2 = 0;
    K730_FUZZ_CHECK(ParseUsbPalmDeviceName(built, bus2, address2));
    K730_FUZZ_CHECK(bus2 == bus && address2 == address);
    K730_FUZZ_CHECK(DeviceNumberFromName(built) == number);
  }

  uint32_t socketNumber = 0;
  if (ParsePalmSocketName(name, socketNumber)) {
    K730_FUZZ_CHECK(name == "palm" + std::to_string(socketNumber) + ".sock" ||
                    name.substr(4, 1) == "0");
    const std::string device = SimulatedPalmDeviceName(socketNumber);
    K730_FUZZ_CHECK(IsSimulatedPalmDeviceName(device));
    K730_FUZZ_CHECK(DeviceNumberFromName(device) == socketNumber);
  }
}

void CheckOpens(const std::string& name) {
  static fuzz::ScratchDir emptyDir("palmdir");
  SocketPalmTransport sockets(emptyDir.Path(), 1);
  PalmUsbPort socketPort(&sockets);
  K730_FUZZ_CHECK(socketPort.Open(name, kPalmCreatorId) == 0);
  K730_FUZZ_CHECK(socketPort.DeviceName() == name.substr(0, kPalmDeviceNameMax));

  auto bus = std::make_unique<ClosedBus>();
  ClosedBus& closedBus = *bus;
  UsbPalmTransport usb(std::move(bus), 1);
  PalmUsbPort usbPort(&usb);
  K730_FUZZ_CHECK(usbPort.Open(name, kPalmCreatorId) == 0);
  uint8_t parsedBus = 0;
  uint8_t parsedAddress = 0;
  const std::string kept = name.substr(0, kPalmDeviceNameMax);
  const bool here = ParseUsbPalmDeviceName(kept, parsedBus, parsedAddress) && parsedBus == 1 &&
                    parsedAddress == 2;
  K730_FUZZ_CHECK(closedBus.opens == (here ? 1 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  fuzz::Input parameters = input;
  input.Skip(13);
  const std::string name(reinterpret_cast<const char*>(input.Rest()), input.RestSize());
  CheckMappings(parameters, name);
  CheckNameParsers(name);
  CheckOpens(name);
  return 0;
}
