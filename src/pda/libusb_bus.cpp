// The only file that talks to libusb: the USB seam of the real Palm transport
// and the hotplug watcher for real handhelds.
#include <libusb.h>

#include <atomic>
#include <thread>

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

class LibusbPalmWatcher : public PalmDeviceWatcher {
 public:
  explicit LibusbPalmWatcher(UsbDeviceNumbering numbering) : names_(std::move(numbering)) {}
  ~LibusbPalmWatcher() override { Stop(); }

  bool Start(PalmDeviceCallback callback, bool reportPresent) override {
    if (thread_.joinable()) return false;
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
    thread_ = std::thread([this, reportPresent] { Run(reportPresent); });
    return true;
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    stop_ = true;
    // Deregistering wakes the event loop; the loop's time-out covers old libusb.
    libusb_hotplug_deregister_callback(context_, hotplug_);
    thread_.join();
    libusb_exit(context_);
    context_ = nullptr;
  }

 private:
  static int OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                       void* user) {
    auto* self = static_cast<LibusbPalmWatcher*>(user);
    if (self->stop_) return 0;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return 0;
    if (!IsPalmOsVendor(descriptor.idVendor)) return 0;
    const uint8_t bus = libusb_get_bus_number(device);
    const uint8_t address = libusb_get_device_address(device);
    uint8_t ports[8] = {};  // USB allows at most 7 tiers below the root
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    const std::string sysName = UsbSysName(bus, ports, depth > 0 ? depth : 0);
    // Callbacks and the first listing all run on the watcher's thread.
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
      self->callback_(
          kDeviceArrival,
          self->names_.Arrived(bus, address, sysName, descriptor.idVendor, descriptor.idProduct));
    } else {
      self->callback_(
          kDeviceRemoveComplete,
          self->names_.Left(bus, address, sysName, descriptor.idVendor, descriptor.idProduct));
    }
    return 0;
  }

  void Run(bool reportPresent) {
    if (reportPresent) {
      libusb_device** list = nullptr;
      const ssize_t count = libusb_get_device_list(context_, &list);
      for (ssize_t i = 0; i < count && !stop_; ++i) {
        OnHotplug(context_, list[i], LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, this);
      }
      if (count >= 0) libusb_free_device_list(list, 1);
    }
    while (!stop_) {
      timeval wait{0, 200000};
      libusb_handle_events_timeout_completed(context_, &wait, nullptr);
    }
  }

  libusb_context* context_ = nullptr;
  libusb_hotplug_callback_handle hotplug_{};
  PalmDeviceCallback callback_;
  UsbPalmDeviceNames names_;
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
