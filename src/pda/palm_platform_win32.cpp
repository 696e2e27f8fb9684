// Which Palm transport and watcher the environment asks for, on Windows:
// the simulator's TCP handhelds when K730_PALM_TCP is set, else WinUSB.
#include <memory>
#include <string>

#include "pda/handset_ids.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "pda/tcp_palm_transport.h"
#include "pda/usb_palm_transport.h"
#include "pda/winusb_bus.h"

namespace k730 {

std::unique_ptr<PalmUsbTransport> MakePalmTransport() {
  std::string address;
  uint16_t port = 0;
  if (TcpListingFromEnvironment(address, port))
    return std::make_unique<TcpPalmTransport>(address, port, PalmIdleLimitRealMs());
  return std::make_unique<UsbPalmTransport>(MakeWinUsbBus(), PalmIdleLimitRealMs(),
                                            LoadHandsetIds().ids);
}

std::unique_ptr<PalmDeviceWatcher> MakePalmDeviceWatcher(UsbDeviceNumbering numbering) {
  std::string address;
  uint16_t port = 0;
  if (TcpListingFromEnvironment(address, port)) return MakeTcpPalmWatcher(address, port);
  return MakeUsbPalmWatcher(std::move(numbering));
}

}  // namespace k730
