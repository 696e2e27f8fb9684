#include "pda/usb_palm_transport.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "pda/palm_device_map.h"

namespace k730 {
namespace {

constexpr uint32_t kControlTimeoutMs = 5000;
constexpr int kReceiveBlock = 4096;  // a multiple of every bulk packet size

// A device that answers every transfer with success and no bytes would keep a
// transfer loop spinning for ever: after a transfer's time-out without a byte
// moved, it is treated like a time-out.
class ProgressWatch {
 public:
  explicit ProgressWatch(uint32_t limitMs) : limit_(std::chrono::milliseconds(limitMs)) {}
  void Moved() { last_ = std::chrono::steady_clock::now(); }
  bool Stalled() const { return std::chrono::steady_clock::now() - last_ > limit_; }

 private:
  std::chrono::steady_clock::duration limit_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

const char* UsbResultName(int result) {
  switch (result) {
    case kUsbSuccess:
      return "success";
    case kUsbErrorIo:
      return "input/output error";
    case kUsbErrorInvalidParam:
      return "invalid parameter";
    case kUsbErrorAccess:
      return "access denied";
    case kUsbErrorNoDevice:
      return "no such device";
    case kUsbErrorNotFound:
      return "not found";
    case kUsbErrorBusy:
      return "resource busy";
    case kUsbErrorTimeout:
      return "timed out";
    case kUsbErrorOverflow:
      return "overflow";
    case kUsbErrorPipe:
      return "pipe error";
    case kUsbErrorInterrupted:
      return "interrupted";
    case kUsbErrorNoMem:
      return "out of memory";
    case kUsbErrorNotSupported:
      return "not supported";
    default:
      return "other error";
  }
}

bool ParseExtConnectionInfo(const uint8_t* reply, size_t length, uint32_t creatorId,
                            PalmEndpoints& endpoints) {
  // numPorts (1), endpointNumbersDiffer (1), reserved (2), then per port:
  // creator (4, as its characters), port (1), endpoints (1: IN high nibble,
  // OUT low nibble), reserved (2).
  if (!reply || length < 4) return false;
  const size_t ports = reply[0];
  const bool differ = reply[1] != 0;
  for (size_t i = 0; i < ports; ++i) {
    const size_t at = 4 + 8 * i;
    if (at + 8 > length) return false;
    if (ReadU32BE(&reply[at]) != creatorId) continue;
    const uint8_t port = reply[at + 4];
    const uint8_t pair = reply[at + 5];
    const uint8_t in = differ ? static_cast<uint8_t>(pair >> 4) : port;
    const uint8_t out = differ ? static_cast<uint8_t>(pair & 0x0F) : port;
    if (in == 0 || out == 0 || in > 15 || out > 15) return false;
    endpoints.inEndpoint = static_cast<uint8_t>(0x80 | in);
    endpoints.outEndpoint = out;
    return true;
  }
  return false;
}

struct UsbPalmTransport::Connection {
  Connection(std::unique_ptr<UsbDeviceLink> l, int i, PalmEndpoints e)
      : link(std::move(l)), interfaceNumber(i), endpoints(e) {}
  ~Connection() { link->ReleaseInterface(interfaceNumber); }
  std::unique_ptr<UsbDeviceLink> link;
  const int interfaceNumber;
  const PalmEndpoints endpoints;
  std::atomic<uint32_t> readTimeoutMs{0};
  std::atomic<uint32_t> writeTimeoutMs{0};
  std::atomic<bool> closed{false};
  // Bytes of a bulk packet beyond what the last receive asked for.
  std::vector<uint8_t> pending;
  size_t pendingAt = 0;
};

UsbPalmTransport::UsbPalmTransport(std::unique_ptr<UsbBus> bus, uint32_t idleLimitMs,
                                   HandsetIds ids)
    : bus_(std::move(bus)),
      idleLimitMs_(idleLimitMs == 0 ? 1 : idleLimitMs),
      ids_(std::move(ids)) {}

UsbPalmTransport::~UsbPalmTransport() {
  // Links go before the bus whose context they belong to.
  connections_.TakeAll();
}

std::unique_ptr<UsbDeviceLink> UsbBus::OpenNamed(const std::string& deviceName,
                                                 const HandsetIds& ids, int* error) {
  uint8_t busNumber = 0;
  uint8_t address = 0;
  if (!ParseUsbPalmDeviceName(deviceName, busNumber, address)) {
    *error = kUsbErrorInvalidParam;
    return nullptr;
  }
  const std::vector<UsbDeviceId> devices = ListDevices();
  const auto found = std::find_if(devices.begin(), devices.end(), [&](const UsbDeviceId& d) {
    return d.bus == busNumber && d.address == address && ids.IsPalm(d.vendorId, d.productId);
  });
  if (found == devices.end()) {
    *error = kUsbErrorNoDevice;
    return nullptr;
  }
  return OpenDevice(*found, error);
}

int UsbPalmTransport::OpenPort(const std::string& deviceName, uint32_t creatorId) {
  if (!bus_) {
    lastOpenError_ = kUsbErrorInvalidParam;
    return -1;
  }
  int error = kUsbSuccess;
  std::unique_ptr<UsbDeviceLink> link = bus_->OpenNamed(deviceName, ids_, &error);
  if (!link) {
    lastOpenError_ = error < 0 ? error : kUsbErrorOther;
    return -1;
  }

  PalmEndpoints endpoints;
  int interfaceNumber = -1;
  uint8_t info[kPalmExtConnectionInfoSize] = {};
  const int got = link->ControlIn(kPalmVendorRequestType, kPalmGetExtConnectionInfo, 0, 0, info,
                                  sizeof info, kControlTimeoutMs);
  if (got > 0) {
    // A device that lists its port functions without this one is not the
    // handheld to talk to: nothing is claimed or written.
    if (!ParseExtConnectionInfo(info, static_cast<size_t>(got), creatorId, endpoints)) {
      lastOpenError_ = kUsbErrorNotFound;
      return -1;
    }
    interfaceNumber = link->InterfaceOfEndpoint(endpoints.inEndpoint);
  } else {
    // Devices without the extended request: the interface's bulk pair.
    const int r = link->FirstBulkPair(interfaceNumber, endpoints.inEndpoint, endpoints.outEndpoint);
    if (r < 0) {
      lastOpenError_ = r;
      return -1;
    }
  }
  if (interfaceNumber < 0) {
    lastOpenError_ = interfaceNumber < -1 ? interfaceNumber : kUsbErrorNotFound;
    return -1;
  }

  const int active = link->KernelDriverActive(interfaceNumber);
  if (active == 1) {
    const int r = link->DetachKernelDriver(interfaceNumber);
    if (r < 0 && r != kUsbErrorNotFound) {
      lastOpenError_ = r;
      return -1;
    }
  } else if (active < 0 && active != kUsbErrorNotSupported) {
    lastOpenError_ = active;
    return -1;
  }
  const int claimed = link->ClaimInterface(interfaceNumber);
  if (claimed < 0) {
    lastOpenError_ = claimed;
    return -1;
  }

  auto connection = std::make_shared<Connection>(std::move(link), interfaceNumber, endpoints);
  lastOpenError_ = kUsbSuccess;
  return connections_.Add(std::move(connection));
}

void UsbPalmTransport::SetTimeouts(int handle, const uint32_t timeouts[2]) {
  const auto connection = Find(handle);
  if (!connection) return;
  connection->readTimeoutMs = PalmTimeoutRealMs(timeouts[0]);
  connection->writeTimeoutMs = PalmTimeoutRealMs(timeouts[1]);
}

void UsbPalmTransport::SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) {
  *sent = 0;
  const auto connection = Find(handle);
  if (!connection) return;
  const uint32_t timeout = connection->writeTimeoutMs;
  uint32_t total = 0;
  ProgressWatch watch(timeout ? timeout : idleLimitMs_);
  while (total < length && !connection->closed) {
    int moved = 0;
    const int r = connection->link->BulkTransfer(
        connection->endpoints.outEndpoint, const_cast<uint8_t*>(data + total),
        static_cast<int>(length - total), &moved, timeout ? timeout : idleLimitMs_);
    if (moved > 0) {
      total += std::min<uint32_t>(static_cast<uint32_t>(moved), length - total);
      watch.Moved();
    } else if (r == kUsbSuccess && watch.Stalled()) {
      break;
    }
    if (r == kUsbSuccess || (r == kUsbErrorTimeout && moved > 0 && timeout == 0)) continue;
    break;
  }
  *sent = total;
}

void UsbPalmTransport::ReceiveBytes(int handle, uint8_t* buffer, uint32_t length,
                                    uint32_t* received) {
  *received = 0;
  const auto connection = Find(handle);
  if (!connection) return;
  Connection& c = *connection;
  const uint32_t timeout = c.readTimeoutMs;
  uint32_t total = 0;
  std::vector<uint8_t> block;
  ProgressWatch watch(timeout ? timeout : idleLimitMs_);
  while (total < length) {
    if (c.pendingAt < c.pending.size()) {
      const size_t n = std::min<size_t>(c.pending.size() - c.pendingAt, length - total);
      std::memcpy(buffer + total, c.pending.data() + c.pendingAt, n);
      c.pendingAt += n;
      total += static_cast<uint32_t>(n);
      continue;
    }
    if (c.closed) break;
    // Whole blocks, so that a bulk packet longer than the rest asked for
    // cannot overflow; the surplus waits in pending for the next receive.
    block.resize(kReceiveBlock);
    int moved = 0;
    const int r = c.link->BulkTransfer(c.endpoints.inEndpoint, block.data(), kReceiveBlock, &moved,
                                       timeout ? timeout : idleLimitMs_);
    if (moved > 0) {
      c.pending.assign(block.begin(), block.begin() + std::min(moved, kReceiveBlock));
      c.pendingAt = 0;
      watch.Moved();
    } else if (r == kUsbSuccess && watch.Stalled()) {
      break;
    }
    if (r == kUsbSuccess || (r == kUsbErrorTimeout && moved > 0)) continue;
    if (moved > 0) continue;  // deliver what came before the error, then stop
    break;
  }
  *received = total;
}

int UsbPalmTransport::ClosePort(int handle) {
  const std::shared_ptr<Connection> connection = connections_.Take(handle);
  if (!connection) return 0;
  // A transfer still running on another thread ends at its time-out; the
  // interface is released when the last user lets go.
  connection->closed = true;
  return 1;
}

}  // namespace k730
