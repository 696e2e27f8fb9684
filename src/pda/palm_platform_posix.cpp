// Which Palm transport and watcher the environment asks for, on Linux.
#include <memory>
#include <string>

#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "pda/socket_palm_transport.h"
#include "pda/tcp_palm_transport.h"
#include "pda/usb_palm_transport.h"

namespace k730 {
namespace {

// A transport that opens nothing, for when libusb cannot start.
class NoPalmTransport : public PalmUsbTransport {
 public:
  int OpenPort(const std::string&, uint32_t) override { return -1; }
  void SetTimeouts(int, const uint32_t*) override {}
  void SendBytes(int, const uint8_t*, uint32_t, uint32_t* sent) override { *sent = 0; }
  void ReceiveBytes(int, uint8_t*, uint32_t, uint32_t* received) override { *received = 0; }
  int ClosePort(int) override { return 0; }
};

}  // namespace

std::unique_ptr<PalmUsbTransport> MakePalmTransport() {
  std::string address;
  uint16_t port = 0;
  if (TcpListingFromEnvironment(address, port))
    return std::make_unique<TcpPalmTransport>(address, port, PalmIdleLimitRealMs());
  const std::string directory = PalmDirectoryFromEnvironment();
  if (!directory.empty())
    return std::make_unique<SocketPalmTransport>(directory, PalmIdleLimitRealMs());
  std::unique_ptr<UsbBus> bus = MakeLibusbBus();
  if (!bus) return std::make_unique<NoPalmTransport>();
  return std::make_unique<UsbPalmTransport>(std::move(bus), PalmIdleLimitRealMs(),
                                            LoadHandsetIds().ids);
}

std::unique_ptr<PalmDeviceWatcher> MakePalmDeviceWatcher(UsbDeviceNumbering numbering) {
  std::string address;
  uint16_t port = 0;
  if (TcpListingFromEnvironment(address, port)) return MakeTcpPalmWatcher(address, port);
  const std::string directory = PalmDirectoryFromEnvironment();
  if (!directory.empty()) return MakeDirectoryPalmWatcher(directory);
  return MakeUsbPalmWatcher(std::move(numbering));
}

}  // namespace k730
