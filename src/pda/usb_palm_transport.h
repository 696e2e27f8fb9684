// The Palm USB link to real handhelds, written against a small USB seam
// (UsbBus / UsbDeviceLink) whose real implementations are libusb-1.0
// (libusb_bus.cpp) and, on Windows, WinUSB (winusb_bus.cpp); tests drive the
// same logic through a fake bus.
//
// Opening follows what Linux tools do: the device must be a handheld of the
// handset id list; the vendor request "get extended connection information" lists
// the device's port functions by creator ID, and the function of creator
// 'psys' gives the bulk endpoints (else the first bulk IN/OUT pair of the
// interface is used); a kernel driver that holds the interface is detached,
// the interface claimed, and bytes move by bulk transfers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pda/handle_table.h"
#include "pda/handset_ids.h"
#include "pda/palm_usb_port.h"

namespace k730 {

// Result codes of the seam, the values of libusb's own.
enum UsbResult : int {
  kUsbSuccess = 0,
  kUsbErrorIo = -1,
  kUsbErrorInvalidParam = -2,
  kUsbErrorAccess = -3,
  kUsbErrorNoDevice = -4,
  kUsbErrorNotFound = -5,
  kUsbErrorBusy = -6,
  kUsbErrorTimeout = -7,
  kUsbErrorOverflow = -8,
  kUsbErrorPipe = -9,
  kUsbErrorInterrupted = -10,
  kUsbErrorNoMem = -11,
  kUsbErrorNotSupported = -12,
  kUsbErrorOther = -99,
};
const char* UsbResultName(int result);

struct UsbDeviceId {
  uint8_t bus = 0;
  uint8_t address = 0;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

// One opened USB device.
class UsbDeviceLink {
 public:
  virtual ~UsbDeviceLink() = default;
  // Bytes transferred (>= 0) or a negative UsbResult.
  virtual int ControlIn(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        uint8_t* data, uint16_t length, uint32_t timeoutMs) = 0;
  // The interface holding endpoint (any direction), or a negative UsbResult.
  virtual int InterfaceOfEndpoint(uint8_t endpoint) = 0;
  // The first interface with a bulk IN and a bulk OUT endpoint.
  virtual int FirstBulkPair(int& interfaceNumber, uint8_t& inEndpoint, uint8_t& outEndpoint) = 0;
  // 1 active, 0 not, or a negative UsbResult (kUsbErrorNotSupported is harmless).
  virtual int KernelDriverActive(int interfaceNumber) = 0;
  virtual int DetachKernelDriver(int interfaceNumber) = 0;
  virtual int ClaimInterface(int interfaceNumber) = 0;
  virtual int ReleaseInterface(int interfaceNumber) = 0;
  // *transferred is set also on errors (a time-out may move part of the data).
  virtual int BulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred,
                           uint32_t timeoutMs) = 0;
};

class UsbBus {
 public:
  virtual ~UsbBus() = default;
  virtual std::vector<UsbDeviceId> ListDevices() = 0;
  // nullptr with *error set when the device cannot be opened.
  virtual std::unique_ptr<UsbDeviceLink> OpenDevice(const UsbDeviceId& id, int* error) = 0;
  // The device a Palm device-interface name designates, opened when ids list
  // it as a handheld; nullptr with *error set otherwise. Here the name
  // carries the bus and address (palm_device_map.h); a bus whose devices have
  // names of the system's own opens by those.
  virtual std::unique_ptr<UsbDeviceLink> OpenNamed(const std::string& deviceName,
                                                   const HandsetIds& ids, int* error);
};

// libusb-1.0 behind the seam (Linux); nullptr when libusb cannot be initialised.
std::unique_ptr<UsbBus> MakeLibusbBus();

// The vendor request listing a device's port functions.
constexpr uint8_t kPalmGetExtConnectionInfo = 0x04;
constexpr uint8_t kPalmVendorRequestType = 0xC2;  // device to host, vendor, endpoint
constexpr uint16_t kPalmExtConnectionInfoSize = 4 + 8 * 8;

struct PalmEndpoints {
  uint8_t inEndpoint = 0;
  uint8_t outEndpoint = 0;
};

// Finds the port function of creatorId in an extended connection information
// reply of length bytes; false when the reply is malformed or lacks it.
bool ParseExtConnectionInfo(const uint8_t* reply, size_t length, uint32_t creatorId,
                            PalmEndpoints& endpoints);

class UsbPalmTransport : public PalmUsbTransport {
 public:
  static constexpr uint32_t kDefaultIdleLimitMs = 60000;  // real milliseconds
  // Only devices that ids lists as Palm OS handhelds are opened.
  explicit UsbPalmTransport(std::unique_ptr<UsbBus> bus, uint32_t idleLimitMs = kDefaultIdleLimitMs,
                            HandsetIds ids = DefaultHandsetIds());
  ~UsbPalmTransport() override;

  int OpenPort(const std::string& deviceName, uint32_t creatorId) override;
  void SetTimeouts(int handle, const uint32_t timeouts[2]) override;
  void SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) override;
  void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) override;
  int ClosePort(int handle) override;

  // The last error of an open, for diagnosis (UsbResult).
  int LastOpenError() const { return lastOpenError_.load(); }

 private:
  struct Connection;
  std::shared_ptr<Connection> Find(int handle) { return connections_.Find(handle); }

  std::unique_ptr<UsbBus> bus_;
  const uint32_t idleLimitMs_;
  const HandsetIds ids_;
  HandleTable<Connection> connections_;
  std::atomic<int> lastOpenError_{0};
};

}  // namespace k730
