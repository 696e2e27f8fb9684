// The simulated Palm USB link over TCP, for programs that cannot reach the
// simulator's Unix sockets (a Windows build under wine): the handset
// simulator serves each handheld on a loopback TCP port of its own and lists
// the handhelds present on one listing port (K730_PALM_TCP=<address>:<port>).
//
// The listing: a client that connects receives one line per change of the
// handhelds present, each the whole set, "handhelds palm7:41234 palm8:41236"
// (just "handhelds" when there are none), starting with the set as it is. A
// handheld's port accepts one host at a time; the bytes flow unframed both
// ways, as over the USB bulk endpoints.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "pda/handle_table.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"

namespace k730 {

// Handheld number -> its TCP port.
using TcpHandhelds = std::map<uint32_t, uint16_t>;

// Parses one listing line (without its line end); false when malformed. The
// simulator writes the lines (sim::TcpListing::Line).
bool ParseTcpListingLine(const std::string& line, TcpHandhelds& handhelds);

// The listing endpoint K730_PALM_TCP names; false when unset or malformed.
bool TcpListingFromEnvironment(std::string& address, uint16_t& port);

class TcpPalmTransport : public PalmUsbTransport {
 public:
  static constexpr uint32_t kDefaultIdleLimitMs = 60000;  // real milliseconds

  TcpPalmTransport(std::string address, uint16_t listingPort,
                   uint32_t idleLimitMs = kDefaultIdleLimitMs);
  ~TcpPalmTransport() override;

  // Accepts TCP and simulated device names and bare "palm<N>" names.
  int OpenPort(const std::string& deviceName, uint32_t creatorId) override;
  void SetTimeouts(int handle, const uint32_t timeouts[2]) override;
  void SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) override;
  void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) override;
  int ClosePort(int handle) override;

 private:
  struct Connection;

  const std::string address_;
  const uint16_t listingPort_;
  const uint32_t idleLimitMs_;
  HandleTable<Connection> connections_;
};

// Reports the handhelds of the listing as they come and go, named by
// TcpPalmDeviceName; a listing that cannot be reached has none.
std::unique_ptr<PalmDeviceWatcher> MakeTcpPalmWatcher(const std::string& address,
                                                      uint16_t listingPort);

}  // namespace k730
