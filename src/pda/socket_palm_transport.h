// The simulated Palm USB link: device N is the listening Unix stream socket
// palm<N>.sock in a directory; opening connects to it and the bytes flow
// unframed both ways, as over the USB bulk endpoints.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "pda/handle_table.h"
#include "pda/palm_usb_port.h"

namespace k730 {

class SocketPalmTransport : public PalmUsbTransport {
 public:
  // A link that stays silent for idleLimitMs real milliseconds ends a transfer
  // that has no time-out of its own (the device is taken to be gone).
  static constexpr uint32_t kDefaultIdleLimitMs = 60000;  // real milliseconds

  explicit SocketPalmTransport(std::string directory, uint32_t idleLimitMs = kDefaultIdleLimitMs);
  ~SocketPalmTransport() override;

  // Accepts simulated names (palm_device_map.h) and bare "palm<N>" names.
  int OpenPort(const std::string& deviceName, uint32_t creatorId) override;
  void SetTimeouts(int handle, const uint32_t timeouts[2]) override;
  void SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) override;
  void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) override;
  int ClosePort(int handle) override;

  const std::string& Directory() const { return directory_; }

 private:
  struct Connection;
  std::shared_ptr<Connection> Find(int handle) { return connections_.Find(handle); }

  const std::string directory_;
  const uint32_t idleLimitMs_;
  HandleTable<Connection> connections_;
};

}  // namespace k730
