// Arrival and removal of Palm OS devices, reported with their device-interface
// names (palm_device_map.h). Real devices are watched through libusb hotplug
// (on Windows, device-change notifications); simulated ones through the
// simulator's TCP listing (K730_PALM_TCP), or on Linux by watching the
// K730_PALM_DIR directory for palm<N>.sock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "pda/palm_device_map.h"

namespace k730 {

// event is msg::DBT_DEVICEARRIVAL or msg::DBT_DEVICEREMOVECOMPLETE. Called on the watcher's own
// thread, one event at a time; the console copies the name and handles the
// event on its own thread. The callback must not call Stop.
// An empty name: the device is not a Palm OS device (as the notification
// library would have said), though it looks like one.
using PalmDeviceCallback = std::function<void(uint32_t event, const std::string& name)>;
// Lines for the console's slot 0 log, each ending in "\r\n": what the
// watcher found wrong with the handset id list or a device.
using PalmNoteSink = std::function<void(const std::string& line)>;

class PalmDeviceWatcher {
 public:
  virtual ~PalmDeviceWatcher() = default;
  // Starts watching. With reportPresent, devices already present are reported
  // as arrivals first. False when watching is not possible (nothing started).
  virtual bool Start(PalmDeviceCallback callback, bool reportPresent) = 0;
  // Stops and joins the watcher thread; no callback runs after it returns.
  virtual void Stop() = 0;
  // Where notes go; set before Start, called from the watcher's thread.
  virtual void SetNoteSink(PalmNoteSink) {}
};

// Watches directory for listening sockets named palm<N>.sock (Linux).
std::unique_ptr<PalmDeviceWatcher> MakeDirectoryPalmWatcher(const std::string& directory);
// Watches the USB bus for the handhelds of the handset id list. With libusb
// hotplug each is numbered by numbering (palm_device_map.h), and a handheld
// behind a hub whose modem port cannot be told yet is held back for up to
// the console's 8 s wait; on Windows each keeps the device-interface name
// the system gives it, and numbering is not used.
std::unique_ptr<PalmDeviceWatcher> MakeUsbPalmWatcher(UsbDeviceNumbering numbering = nullptr);
// The one the environment asks for: K730_PALM_TCP set -> the simulator's TCP
// listing, else K730_PALM_DIR set -> directory (Linux), else USB.
std::unique_ptr<PalmDeviceWatcher> MakePalmDeviceWatcher(UsbDeviceNumbering numbering = nullptr);

// The device number of a simulated device's socket file name ("palm7.sock" -> 7);
// false for any other name.
bool ParsePalmSocketName(const std::string& fileName, uint32_t& number);

// The simulated devices' directory: K730_PALM_DIR, "" when unset.
std::string PalmDirectoryFromEnvironment();

}  // namespace k730
