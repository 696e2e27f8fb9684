#include "pda/palm_usb_port.h"

#include <algorithm>

#include "core/clock.h"
#include "core/trace.h"
#include "pda/palm_device_map.h"

namespace k730 {
namespace {

// Long payloads are abbreviated in the trace: the head of a packet tells enough.
constexpr size_t kTraceShown = 32;

}  // namespace

uint32_t PalmIdleLimitRealMs() {
  // A minute, scaled like every other wait, but never under a second so that
  // a busy machine is not taken for a lost device.
  const uint64_t scaled = ProcessClock().RealMicros(kPalmIdleLimitMs) / 1000;
  return static_cast<uint32_t>(std::max<uint64_t>(scaled, 1000));
}

uint32_t PalmTimeoutRealMs(uint32_t protocolMs) {
  if (protocolMs == 0) return 0;
  const uint64_t real = ProcessClock().RealMicros(protocolMs) / 1000;
  return real == 0 ? 1 : static_cast<uint32_t>(std::min<uint64_t>(real, UINT32_MAX));
}

int PalmUsbPort::Open(const std::string& deviceName, uint32_t creatorId) {
  const std::string name = deviceName.substr(0, kPalmDeviceNameMax);
  {
    std::lock_guard<std::mutex> lock(nameMutex_);
    deviceName_ = name;
    traceLink_ = "palm" + std::to_string(DeviceNumberFromName(name));
  }
  // A port left open by the previous run (smallrom or Resource in device mode
  // PDA, every PDA+PHONE run) is closed first: its device would otherwise keep
  // serving the stale link and never answer the new one.
  if (IsOpen() && transport_ && transport_->ClosePort(Handle()) != 0) {
    handle_.store(kClosed, std::memory_order_release);
  }
  const int handle = transport_ ? transport_->OpenPort(name, creatorId) : kClosed;
  handle_.store(handle < 0 ? kClosed : handle, std::memory_order_release);
  if (handle < 0) return 0;
  timeouts_[0] = 0;
  timeouts_[1] = 0;
  transport_->SetTimeouts(handle, timeouts_);
  return 1;
}

int PalmUsbPort::Close() {
  const int handle = Handle();
  if (!transport_) return 0;
  const int result = transport_->ClosePort(handle);
  if (result != 0) handle_.store(kClosed, std::memory_order_release);
  return result;
}

uint32_t PalmUsbPort::Send(const uint8_t* data, uint32_t length) {
  const int handle = Handle();
  if (handle == kClosed || !transport_) return 0;
  uint32_t sent = 0;
  transport_->SendBytes(handle, data, length, &sent);
  if (sent > length) sent = length;
  Trace(TraceDirection::ToHandset, data, sent);
  return sent;
}

uint32_t PalmUsbPort::Receive(uint8_t* buffer, uint32_t length) {
  const int handle = Handle();
  if (handle == kClosed || !transport_) return 0;
  // Preset to 0: a transport that reports nothing has received nothing.
  uint32_t received = 0;
  transport_->ReceiveBytes(handle, buffer, length, &received);
  if (received > length) received = length;
  Trace(TraceDirection::FromHandset, buffer, received);
  return received;
}

void PalmUsbPort::Trace(TraceDirection direction, const uint8_t* data, uint32_t length) const {
  if (!TraceEnabled()) return;
  std::lock_guard<std::mutex> lock(nameMutex_);
  TraceBytes(traceLink_, direction, data, length, kTraceShown);
}

std::string PalmUsbPort::DeviceName() const {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return deviceName_;
}

}  // namespace k730
