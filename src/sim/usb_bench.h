// An emulated USB bench: handsets' hubs, phone modems and Palm OS handhelds
// as the kernel shows them in sysfs, in uevents and through usbfs, so that
// the real libusb code and the sysfs readers run against them unchanged.
//
// The bench is a umockdev testbed in this process: programs started from it
// with the umockdev preload library (UmockdevPreloadEnvironment) see its
// /sys and /dev, and every usbfs ioctl they make on a bench device is played
// here. A handheld's bulk endpoints carry the PDA packet protocol to and from
// the simulator's own handheld (PalmDeviceSim), over a socket pair.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/palm_sim.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace k730::sim {

enum class UsbDeviceKind {
  Hub,
  Modem,           // CDC-ACM: a control and a data interface; its tty is ttyNode
  Handheld,        // vendor interface with a bulk pair; its connection information names 'psys'
  HandheldNoPsys,  // the same, but its connection information lacks 'psys'
  BulkDevice,      // vendor interface with a bulk pair that answers no vendor request
  Mouse,           // one HID interface with an interrupt endpoint
};

struct UsbDeviceSpec {
  std::string portPath;  // where it is plugged: "1-2" (root port 2), "1-2.4" (port 4 of hub 1-2)
  UsbDeviceKind kind = UsbDeviceKind::Hub;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string product;
  // Modem: the character device that is its tty (a pseudo-terminal of
  // k730-sim, say); its numbers tie the tty in sysfs to it. Empty: none.
  std::string ttyNode;
  // Handheld: the simulator's handheld that plays it.
  PalmSimOptions palm;
};

// What hosts did to a device, counted from its first plug on.
struct UsbDeviceActivity {
  int opens = 0;
  int claims = 0;
  int detaches = 0;
  int controlRequests = 0;
  int outTransfers = 0;  // bulk or interrupt OUT transfers submitted
};

class UsbfsDevice;

class UsbBench {
 public:
  // Creates the testbed with a root hub (bus 1) and points UMOCKDEV_DIR at it.
  UsbBench();
  ~UsbBench();
  UsbBench(const UsbBench&) = delete;
  UsbBench& operator=(const UsbBench&) = delete;

  std::string Root() const;

  // Adds the device (its hub must be plugged) and announces it. False with
  // error set when it cannot be added.
  bool Plug(const UsbDeviceSpec& spec, std::string* error = nullptr);
  // Announces the removal of the device and of everything plugged into it,
  // and removes them. A handheld's simulator is unplugged with it.
  void Unplug(const std::string& portPath);
  bool Plugged(const std::string& portPath) const;
  // The device's address on bus 1 (0 when not plugged).
  int Address(const std::string& portPath) const;

  UsbDeviceActivity Activity(const std::string& portPath) const;
  // The handheld simulator's figures (the last one plugged at that port).
  PalmSimStats HandheldStats(const std::string& portPath) const;

 private:
  struct Device;
  void UnplugLocked(const std::string& portPath);
  const UsbfsDevice* LatestLocked(const std::string& portPath) const;
  void Gone(const std::string& portPath, const UsbfsDevice* usbfs);

  UMockdevTestbed* testbed_ = nullptr;
  mutable std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Device>> devices_;  // by port path
  // usbfs devices outlive their unplug: a host may still hold them open.
  std::vector<std::unique_ptr<UsbfsDevice>> retired_;
  int nextAddress_ = 2;
  int nextTty_ = 0;
};

// One k730-sim handset on the bench: its own hub on root port 1-<2+index>,
// the phone modem on the hub's port 1 and the handheld on port 2.
struct BenchHandset {
  int number = 0;  // COM<number>, as k730-sim numbers the handset
  UsbDeviceKind handheld = UsbDeviceKind::Handheld;
  PalmFaults faults;
  // Real milliseconds between the modem's appearance and its link in the
  // console's port directory (udev's lag).
  uint32_t linkDelayMs = 0;
};

struct SimulatorBenchOptions {
  std::string simPortDir;      // k730-sim's --port-dir
  std::string simPalmDir;      // k730-sim's --palm-dir: its handhelds' presence
  std::string consolePortDir;  // the console's K730_PORT_DIR, kept as udev keeps /dev/k730
  std::string dumpDir;         // where the bench's handhelds write their dumps
  uint16_t modemVendor = 0, modemProduct = 0;
  uint16_t palmVendor = 0, palmProduct = 0;
  std::vector<BenchHandset> handsets;
};

// Puts k730-sim's handsets on the bench as they come and go: a modem while
// the simulator's port exists (its tty being that pseudo-terminal, so the
// real serial code runs), a usbfs handheld while the simulator's own
// handheld is there (so it appears and leaves with the phone's restarts).
class SimulatorOnBench {
 public:
  SimulatorOnBench(UsbBench& bench, SimulatorBenchOptions options);
  ~SimulatorOnBench();
  bool Start(std::string& error);
  void Stop();
  std::string HubPort(size_t index) const;
  std::string ModemPort(size_t index) const { return HubPort(index) + ".1"; }
  std::string HandheldPort(size_t index) const { return HubPort(index) + ".2"; }

 private:
  struct State;
  void Follow();
  void Step(size_t index, State& state);

  UsbBench& bench_;
  const SimulatorBenchOptions options_;
  std::vector<State> states_;
  std::mutex stopMutex_;
  std::condition_variable stopChanged_;
  bool stopping_ = false;
  std::thread thread_;
};

// The environment that puts a program on the bench: the preload library
// (and, for AddressSanitizer builds, leave to start behind it).
std::map<std::string, std::string> UmockdevPreloadEnvironment();

}  // namespace k730::sim
