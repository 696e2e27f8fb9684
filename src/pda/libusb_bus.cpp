// The only file that talks to libusb: the USB seam of the real Palm transport
// and the hotplug watcher for real handhelds.
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <set>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "pda/handset_ids.h"
#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"
#include "pda/usb_palm_transport.h"

namespace k730 {
namespace {

int Result(int libusbCode) {
  // libusb's error codes are the seam's (same values); anything unknown is "other".
  return libusbCode >= kUsbErrorNotSupported ? libusbCode : kUsbErrorOther;
}

class LibusbLink : public UsbDeviceLink {
 public:
  explicit LibusbLink(libusb_device_handle* handle) : handle_(handle) {}
  ~LibusbLink() override { libusb_close(handle_); }

  int ControlIn(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                uint16_t length, uint32_t timeoutMs) override {
    return Result(libusb_control_transfer(handle_, requestType, request, value, index, data, length,
                                          timeoutMs));
  }

  int InterfaceOfEndpoint(uint8_t endpoint) override {
    int found = kUsbErrorNotFound;
    ForEachBulk([&](int interfaceNumber, uint8_t address) {
      if (found < 0 && address == endpoint) found = interfaceNumber;
    });
    return found;
  }

  int FirstBulkPair(int& interfaceNumber, uint8_t& inEndpoint, uint8_t& outEndpoint) override {
    int current = -1;
    uint8_t in = 0;
    uint8_t out = 0;
    bool done = false;
    const int r = ForEachBulk([&](int number, uint8_t address) {
      if (done) return;
      if (number != current) {
        current = number;
        in = 0;
        out = 0;
      }
      (address & LIBUSB_ENDPOINT_IN ? in : out) = address;
      if (in && out) {
        interfaceNumber = number;
        inEndpoint = in;
        outEndpoint = out;
        done = true;
      }
    });
    if (r < 0) return r;
    return done ? kUsbSuccess : kUsbErrorNotFound;
  }

  int KernelDriverActive(int interfaceNumber) override {
    return Result(libusb_kernel_driver_active(handle_, interfaceNumber));
  }
  int DetachKernelDriver(int interfaceNumber) override {
    return Result(libusb_detach_kernel_driver(handle_, interfaceNumber));
  }
  int ClaimInterface(int interfaceNumber) override {
    return Result(libusb_claim_interface(handle_, interfaceNumber));
  }
  int ReleaseInterface(int interfaceNumber) override {
    return Result(libusb_release_interface(handle_, interfaceNumber));
  }
  int BulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred,
                   uint32_t timeoutMs) override {
    *transferred = 0;
    return Result(libusb_bulk_transfer(handle_, endpoint, data, length, transferred, timeoutMs));
  }

 private:
  // Calls visit(interface, endpoint address) for every bulk endpoint of the
  // active configuration's first alternate settings.
  template <typename Visit>
  int ForEachBulk(Visit visit) {
    libusb_config_descriptor* config = nullptr;
    const int r = libusb_get_active_config_descriptor(libusb_get_device(handle_), &config);
    if (r < 0 || !config) return Result(r < 0 ? r : LIBUSB_ERROR_OTHER);
    for (int i = 0; i < config->bNumInterfaces; ++i) {
      const libusb_interface& interface = config->interface[i];
      if (interface.num_altsetting < 1) continue;
      const libusb_interface_descriptor& setting = interface.altsetting[0];
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK) {
          visit(setting.bInterfaceNumber, endpoint.bEndpointAddress);
        }
      }
    }
    libusb_free_config_descriptor(config);
    return kUsbSuccess;
  }

  libusb_device_handle* handle_;
};

class LibusbBus : public UsbBus {
 public:
  explicit LibusbBus(libusb_context* context) : context_(context) {}
  ~LibusbBus() override { libusb_exit(context_); }

  std::vector<UsbDeviceId> ListDevices() override {
    std::vector<UsbDeviceId> result;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) return result;
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
      result.push_back(UsbDeviceId{libusb_get_bus_number(list[i]),
                                   libusb_get_device_address(list[i]), descriptor.idVendor,
                                   descriptor.idProduct});
    }
    libusb_free_device_list(list, 1);
    return result;
  }

  std::unique_ptr<UsbDeviceLink> OpenDevice(const UsbDeviceId& id, int* error) override {
    *error = kUsbErrorNoDevice;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) {
      *error = Result(static_cast<int>(count));
      return nullptr;
    }
    std::unique_ptr<UsbDeviceLink> link;
    for (ssize_t i = 0; i < count; ++i) {
      if (libusb_get_bus_number(list[i]) != id.bus ||
          libusb_get_device_address(list[i]) != id.address) {
        continue;
      }
      libusb_device_handle* handle = nullptr;
      const int r = libusb_open(list[i], &handle);
      if (r == 0 && handle) {
        link = std::make_unique<LibusbLink>(handle);
        *error = kUsbSuccess;
      } else {
        *error = Result(r);
      }
      break;
    }
    libusb_free_device_list(list, 1);
    return link;
  }

 private:
  libusb_context* context_;
};

// What a device offers that a handheld offers: a vendor-specific interface
// with a bulk IN and a bulk OUT endpoint.
bool OffersHandheldInterface(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(device, 0, &config) != 0 || !config) return false;
  bool offers = false;
  for (int i = 0; i < config->bNumInterfaces && !offers; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting && !offers; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC) continue;
      bool in = false, out = false;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
          continue;
        (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN ? in : out) = true;
      }
      offers = in && out;
    }
  }
  libusb_free_config_descriptor(config);
  return offers;
}

enum class PsysCheck { Offered, NoAnswer, NotOffered, NotOpened };

// Asks a listed device for its port functions, as the transport's open does;
// nothing is claimed, detached or written.
PsysCheck CheckPsys(libusb_device* device, int& openError) {
  libusb_device_handle* handle = nullptr;
  openError = libusb_open(device, &handle);
  if (openError != 0 || !handle) return PsysCheck::NotOpened;
  uint8_t info[kPalmExtConnectionInfoSize] = {};
  const int got = libusb_control_transfer(handle, kPalmVendorRequestType, kPalmGetExtConnectionInfo,
                                          0, 0, info, sizeof info, 5000);
  libusb_close(handle);
  if (got <= 0) return PsysCheck::NoAnswer;
  PalmEndpoints endpoints;
  return ParseExtConnectionInfo(info, static_cast<size_t>(got), kPalmCreatorId, endpoints)
             ? PsysCheck::Offered
             : PsysCheck::NotOffered;
}

// Watches the bus through libusb hotplug and reports what the handset id list
// calls a handheld. Hotplug callbacks only queue the device: judging it opens
// it, which libusb does not allow inside its callbacks.
class LibusbPalmWatcher : public PalmDeviceWatcher {
 public:
  explicit LibusbPalmWatcher(UsbDeviceNumbering numbering) : numbering_(std::move(numbering)) {}
  ~LibusbPalmWatcher() override { Stop(); }

  void SetNoteSink(PalmNoteSink notes) override { notes_ = std::move(notes); }

  bool Start(PalmDeviceCallback callback, bool reportPresent) override {
    if (thread_.joinable()) return false;
    const LoadedHandsetIds loaded = LoadHandsetIds();
    ids_ = loaded.ids;
    if (libusb_init(&context_) != 0) {
      context_ = nullptr;
      return false;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
      libusb_exit(context_);
      context_ = nullptr;
      return false;
    }
    callback_ = std::move(callback);
    stop_ = false;
    const int r = libusb_hotplug_register_callback(
        context_,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, &LibusbPalmWatcher::OnHotplug, this, &hotplug_);
    if (r != LIBUSB_SUCCESS) {
      libusb_exit(context_);
      context_ = nullptr;
      return false;
    }
    for (const std::string& line : HandsetIdsWarnings(loaded)) Note(line);
    thread_ = std::thread([this, reportPresent] { Run(reportPresent); });
    return true;
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    stop_ = true;
    // Deregistering wakes the event loop; the loop's time-out covers old libusb.
    libusb_hotplug_deregister_callback(context_, hotplug_);
    thread_.join();
    for (Event& event : queue_) libusb_unref_device(event.device);
    queue_.clear();
    for (Held& held : held_) libusb_unref_device(held.device);
    held_.clear();
    libusb_exit(context_);
    context_ = nullptr;
  }

 private:
  struct Event {
    bool arrived = false;
    libusb_device* device = nullptr;  // referenced
  };
  // A handheld whose modem link is not there yet.
  struct Held {
    libusb_device* device = nullptr;  // referenced
    std::chrono::steady_clock::time_point until;
  };
  struct Identity {
    uint8_t bus = 0;
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string sysName;
    uint16_t Key() const { return static_cast<uint16_t>(bus << 8 | address); }
  };

  static Identity IdentityOf(libusb_device* device) {
    Identity id;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == 0) {
      id.vendorId = descriptor.idVendor;
      id.productId = descriptor.idProduct;
    }
    id.bus = libusb_get_bus_number(device);
    id.address = libusb_get_device_address(device);
    uint8_t ports[8] = {};  // USB allows at most 7 tiers below the root
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    id.sysName = UsbSysName(id.bus, ports, depth > 0 ? depth : 0);
    return id;
  }

  static int OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                       void* user) {
    auto* self = static_cast<LibusbPalmWatcher*>(user);
    if (self->stop_) return 0;
    self->queue_.push_back(
        Event{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, libusb_ref_device(device)});
    return 0;
  }

  void Note(const std::string& line) {
    if (notes_) notes_(line);
  }

  void Arrived(libusb_device* device) {
    const Identity id = IdentityOf(device);
    if (reported_.count(id.Key()) || foreign_.count(id.Key())) return;  // listed and announced
    for (const Held& held : held_)
      if (IdentityOf(held.device).Key() == id.Key()) return;
    const bool offers = OffersHandheldInterface(device);
    if (!ids_.IsPalm(id.vendorId, id.productId)) {
      // Never opened: looking like a handheld is not being one.
      if (offers) {
        foreign_.insert(id.Key());
        callback_(msg::DBT_DEVICEARRIVAL, "");
      }
      return;
    }
    int openError = 0;
    switch (CheckPsys(device, openError)) {
      case PsysCheck::NotOffered: {
        char line[192];
        std::snprintf(line, sizeof line,
                      "[PDA]USB device %s (%04x:%04x) offers no Palm OS system port ('psys'): "
                      "left alone\r\n",
                      id.sysName.c_str(), id.vendorId, id.productId);
        Note(line);
        foreign_.insert(id.Key());
        callback_(msg::DBT_DEVICEARRIVAL, "");
        return;
      }
      case PsysCheck::NotOpened: {
        char line[192];
        std::snprintf(line, sizeof line,
                      "[WARNING]USB device %s (%04x:%04x) cannot be opened to check it: %s\r\n",
                      id.sysName.c_str(), id.vendorId, id.productId,
                      UsbResultName(Result(openError)));
        Note(line);
        break;
      }
      case PsysCheck::Offered:
      case PsysCheck::NoAnswer:
        break;
    }
    const std::optional<uint32_t> port = numbering_ ? numbering_(id.sysName) : std::nullopt;
    // Behind a hub, the handset's modem may still be on its way (its link
    // comes from udev): held as long as the console waits for a handheld.
    if (!port && numbering_ && id.sysName.find('.') != std::string::npos) {
      const auto wait = std::chrono::microseconds(ProcessClock().RealMicros(kHandheldHoldMs));
      held_.push_back(Held{libusb_ref_device(device), std::chrono::steady_clock::now() + wait});
      return;
    }
    Report(id, port);
  }

  // The kernel keeps the serial string it read at enumeration; asking the
  // device again would need it opened, which only a listed handheld may be.
  static std::string SerialOf(const Identity& id) {
    const std::string path = "/sys/bus/usb/devices/" + id.sysName + "/serial";
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (!file) return {};
    char text[128] = {};  // a string descriptor holds at most 126 characters
    const bool read = std::fgets(text, sizeof text, file) != nullptr;
    std::fclose(file);
    if (!read) return {};
    std::string serial(text);
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\r')) serial.pop_back();
    return serial;
  }

  void Report(const Identity& id, std::optional<uint32_t> port) {
    reported_.insert(id.Key());
    callback_(msg::DBT_DEVICEARRIVAL,
              names_.Arrived(id.bus, id.address, port, id.vendorId, id.productId, SerialOf(id)));
  }

  void Left(libusb_device* device) {
    const Identity id = IdentityOf(device);
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (IdentityOf(it->device).Key() != id.Key()) continue;
      libusb_unref_device(it->device);
      held_.erase(it);
      return;  // never reported, so never removed
    }
    if (foreign_.erase(id.Key())) {
      callback_(msg::DBT_DEVICEREMOVECOMPLETE, "");
      return;
    }
    reported_.erase(id.Key());
    if (const std::optional<std::string> name = names_.Left(id.bus, id.address))
      callback_(msg::DBT_DEVICEREMOVECOMPLETE, *name);
  }

  void ReleaseHeld() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = held_.begin(); it != held_.end();) {
      const Identity id = IdentityOf(it->device);
      const std::optional<uint32_t> port = numbering_(id.sysName);
      if (!port && now < it->until) {
        ++it;
        continue;
      }
      libusb_unref_device(it->device);
      it = held_.erase(it);
      Report(id, port);
    }
  }

  void Run(bool reportPresent) {
    if (reportPresent) {
      libusb_device** list = nullptr;
      const ssize_t count = libusb_get_device_list(context_, &list);
      for (ssize_t i = 0; i < count && !stop_; ++i) Arrived(list[i]);
      if (count >= 0) libusb_free_device_list(list, 1);
    }
    while (!stop_) {
      // While a handheld is held its modem link is looked for often.
      timeval wait{0, held_.empty() ? 200000 : 20000};
      libusb_handle_events_timeout_completed(context_, &wait, nullptr);
      while (!queue_.empty() && !stop_) {
        const Event event = queue_.front();
        queue_.pop_front();
        if (event.arrived) {
          Arrived(event.device);
        } else {
          Left(event.device);
        }
        libusb_unref_device(event.device);
      }
      if (!held_.empty()) ReleaseHeld();
    }
  }

  // The console's wait before it opens a handheld's port.
  static constexpr uint32_t kHandheldHoldMs = 8000;

  libusb_context* context_ = nullptr;
  libusb_hotplug_callback_handle hotplug_{};
  PalmDeviceCallback callback_;
  PalmNoteSink notes_;
  UsbDeviceNumbering numbering_;
  HandsetIds ids_;
  UsbPalmDeviceNames names_;
  // Only the watcher's thread touches these (hotplug callbacks run on it too).
  std::deque<Event> queue_;
  std::vector<Held> held_;
  std::set<uint16_t> reported_;  // handhelds announced, by bus << 8 | address
  std::set<uint16_t> foreign_;   // look-alikes announced as not Palm OS devices
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<UsbBus> MakeLibusbBus() {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return nullptr;
  return std::make_unique<LibusbBus>(context);
}

std::unique_ptr<PalmDeviceWatcher> MakeUsbPalmWatcher(UsbDeviceNumbering numbering) {
  return std::make_unique<LibusbPalmWatcher>(std::move(numbering));
}

}  // namespace k730
