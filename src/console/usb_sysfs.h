// What sysfs tells about USB devices behind device nodes, and the modem-port
// directory with the USB device behind each entry. Nothing here needs a
// toolkit; the roots are parameters so tests can hand in a tree of their own.
// On Windows (device_listing_win32.cpp) the ports are the registry's and no
// USB device is known behind them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace k730 {

// The USB device a device node belongs to, from sysfs.
struct UsbDeviceInfo {
  std::string sysName;  // "1-1.4": bus and port path
  int bus = -1;
  int address = -1;
  std::string vendorId;  // four hex digits
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
  int interfaceNumber = -1;  // of the interface the node hangs off, when known
};

// The USB device above the character device node at devicePath (following
// links), or nothing when it is not on USB (a pseudo-terminal, say).
std::optional<UsbDeviceInfo> UsbDeviceOfNode(const std::string& devicePath,
                                             const std::string& sysRoot = "/sys");

struct ModemPortEntry {
  int number = -1;       // n of COM<n>
  std::string path;      // <dir>/COM<n>
  std::string target;    // what the link points to ("" when not a link)
  std::string node;      // the device node reached, "" when missing
  bool present = false;  // a character device is reachable
  std::optional<UsbDeviceInfo> usb;
};

// The COM<n> entries of portDir in ascending n.
std::vector<ModemPortEntry> ListModemPorts(const std::string& portDir,
                                           const std::string& sysRoot = "/sys");

// The handset's two halves hang off the handset's own hub: the modem port
// whose USB device is a sibling of the Palm OS device usbSysName ("1-2.4" and
// "1-2.1" share hub "1-2") is its phone half. Nothing when the device sits
// on a root port or not exactly one modem port qualifies.
std::optional<uint32_t> ModemPortBesideUsbDevice(const std::string& usbSysName,
                                                 const std::string& portDir,
                                                 const std::string& sysRoot = "/sys");

// The value of key in the udev database entry of the character device at
// devicePath (the lines "E:KEY=VALUE" of <udevDataRoot>/c<major>:<minor>);
// nothing when the device, its entry or the key is missing.
std::optional<std::string> UdevProperty(const std::string& devicePath, const std::string& key,
                                        const std::string& udevDataRoot = "/run/udev/data");

// Set by the generated udev rules on a modem port whose COM<n> name comes
// from the physical USB port it hangs off: such a port comes back under the
// same name however the kernel numbers its tty.
constexpr const char* kBenchMappedProperty = "K730_BENCH_MAPPED";

// Why handsets on these modem ports (COM numbers, in portDir) must not
// restart at the same time: the first port that is neither a pseudo-terminal
// (a simulated handset) nor marked K730_BENCH_MAPPED=1 in the udev database,
// as a phrase; "" when none.
std::string ParallelRestartObstacle(const std::vector<int>& comNumbers, const std::string& portDir,
                                    const std::string& udevDataRoot = "/run/udev/data");

// Tells when the modem-port listing may have changed: the port directory's
// entries (inotify), or on Windows the values of its registry key.
class PortListChanges {
 public:
  explicit PortListChanges(const std::string& portDir);
  ~PortListChanges();
  PortListChanges(const PortListChanges&) = delete;
  PortListChanges& operator=(const PortListChanges&) = delete;

  // Returns true when Wake was called (the watcher is to end); false after a
  // change, or after timeoutMs (real) without one.
  bool Wait(int timeoutMs);
  // Any thread.
  void Wake();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Small readers of sysfs and similar trees.
namespace sysfs {
std::string ReadSmallFile(const std::string& path);
std::string Trimmed(std::string text);
std::string Attribute(const std::string& dir, const char* name);
int IntAttribute(const std::string& dir, const char* name, int base);
bool Exists(const std::string& path);
std::string RealPath(const std::string& path);
std::vector<std::string> DirectoryNames(const std::string& dir);
bool ParseHex16(const std::string& text, int& value);
UsbDeviceInfo ReadUsbDevice(const std::string& dir);
bool CharDeviceNumbers(const std::string& path, unsigned& major, unsigned& minor);
}  // namespace sysfs

}  // namespace k730
