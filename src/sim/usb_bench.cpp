#include "sim/usb_bench.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <thread>

#include "core/byte_order.h"

namespace k730::sim {
namespace {

constexpr uint8_t kHandheldIn = 0x82;
constexpr uint8_t kHandheldOut = 0x02;
constexpr uint8_t kGetExtConnectionInfo = 0x04;
constexpr uint32_t kCreatorPsys = 0x70737973;   // 'psys'
constexpr uint32_t kCreatorOther = 0x636e635f;  // 'cnc_'
// What the bridge holds of the handheld's replies before it stops reading them.
constexpr size_t kInboundLimit = 64 * 1024;
// A pipe of this many full pages accepts no more writes.
constexpr size_t kPage = 4096;

bool IsHandheld(UsbDeviceKind kind) {
  return kind == UsbDeviceKind::Handheld || kind == UsbDeviceKind::HandheldNoPsys;
}

// "1-2.4" -> "1-2"; "" for a root port.
std::string ParentPort(const std::string& portPath) {
  const size_t dot = portPath.find_last_of('.');
  return dot == std::string::npos ? std::string() : portPath.substr(0, dot);
}

void Endpoint(std::vector<uint8_t>& d, uint8_t address, uint8_t attributes, uint16_t size) {
  d.insert(d.end(),
           {7, 5, address, attributes, static_cast<uint8_t>(size & 0xFF),
            static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(attributes == 3 ? 8 : 0)});
}

void Interface(std::vector<uint8_t>& d, uint8_t number, uint8_t endpoints, uint8_t cls,
               uint8_t subclass, uint8_t protocol) {
  d.insert(d.end(), {9, 4, number, 0, endpoints, cls, subclass, protocol, 0});
}

// The device and configuration descriptors, as the kernel keeps them in the
// "descriptors" attribute.
std::vector<uint8_t> Descriptors(const UsbDeviceSpec& spec, int& interfaces) {
  uint8_t deviceClass = 0;
  std::vector<uint8_t> config;
  switch (spec.kind) {
    case UsbDeviceKind::Hub:
      deviceClass = 9;
      Interface(config, 0, 1, 9, 0, 0);
      Endpoint(config, 0x81, 3, 1);
      interfaces = 1;
      break;
    case UsbDeviceKind::Modem:
      deviceClass = 2;
      Interface(config, 0, 1, 2, 2, 1);
      Endpoint(config, 0x81, 3, 16);
      Interface(config, 1, 2, 0x0a, 0, 0);
      Endpoint(config, 0x83, 2, 64);
      Endpoint(config, 0x03, 2, 64);
      interfaces = 2;
      break;
    case UsbDeviceKind::Handheld:
    case UsbDeviceKind::HandheldNoPsys:
    case UsbDeviceKind::BulkDevice:
      Interface(config, 0, 2, 0xff, 0, 0);
      Endpoint(config, kHandheldIn, 2, 64);
      Endpoint(config, kHandheldOut, 2, 64);
      interfaces = 1;
      break;
    case UsbDeviceKind::Mouse:
      Interface(config, 0, 1, 3, 1, 2);
      Endpoint(config, 0x81, 3, 8);
      interfaces = 1;
      break;
  }
  const uint16_t total = static_cast<uint16_t>(9 + config.size());
  std::vector<uint8_t> d = {18,
                            1,
                            0x00,
                            0x02,
                            deviceClass,
                            0,
                            0,
                            64,
                            static_cast<uint8_t>(spec.vendorId & 0xFF),
                            static_cast<uint8_t>(spec.vendorId >> 8),
                            static_cast<uint8_t>(spec.productId & 0xFF),
                            static_cast<uint8_t>(spec.productId >> 8),
                            0x00,
                            0x01,
                            1,
                            2,
                            3,
                            1};
  d.insert(d.end(), {9, 2, static_cast<uint8_t>(total & 0xFF), static_cast<uint8_t>(total >> 8),
                     static_cast<uint8_t>(interfaces), 1, 0, 0x80, 50});
  d.insert(d.end(), config.begin(), config.end());
  return d;
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

std::string Padded3(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%03d", value);
  return text;
}

}  // namespace

// One usbfs device node: a FIFO whose readiness for writing tells a host's
// poll() that a URB can be reaped, and the ioctl handler that plays the
// device. A handheld's bulk endpoints are bridged to its simulator.
class UsbfsDevice {
 public:
  UsbfsDevice(UMockdevTestbed* testbed, std::string node, UsbDeviceSpec spec,
              std::function<void(const UsbfsDevice*)> gone)
      : testbed_(testbed), node_(std::move(node)), spec_(std::move(spec)), gone_(std::move(gone)) {}

  ~UsbfsDevice() {
    Stop();
    if (handler_) {
      g_signal_handlers_disconnect_by_data(handler_, this);
      g_object_unref(handler_);
    }
    for (Urb& urb : urbs_) g_object_unref(urb.data);
    if (fifo_ >= 0) ::close(fifo_);
  }

  bool Start(std::string& error) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    path_ = std::string(root ? root : "") + node_;
    g_free(root);
    const std::string& path = path_;
    // Made under another name and moved into place once its handler is
    // attached: a host that finds the node can always reach the device.
    const std::string staged = path + ".new";
    const std::string dir = path.substr(0, path.find_last_of('/'));
    std::error_code made;
    std::filesystem::create_directories(dir, made);
    if (made) {
      error = "cannot make " + dir + ": " + made.message();
      return false;
    }
    ::unlink(staged.c_str());
    if (::mkfifo(staged.c_str(), 0666) != 0 ||
        (fifo_ = ::open(staged.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
      error = "cannot make the node " + staged + ": " + std::strerror(errno);
      return false;
    }
    FillFifo();
    // The handheld's side is ready before any host can reach the node.
    if (IsHandheld(spec_.kind)) {
      int pair[2] = {-1, -1};
      if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 ||
          ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot connect the handheld: ") + std::strerror(errno);
        return false;
      }
      ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
      host_ = pair[0];
      sim_ = std::make_unique<PalmDeviceSim>(spec_.palm);
      if (!sim_->PlugStream(pair[1])) {
        ::close(pair[1]);
        error = "the handheld simulator did not start";
        return false;
      }
      bridge_ = std::thread([this] { Bridge(); });
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsDevice::OnIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(&UsbfsDevice::OnConnected), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&UsbfsDevice::OnVanished), this);
    GError* gerror = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &gerror)) {
      error = "cannot attach the usbfs handler: " +
              std::string(gerror ? gerror->message : "unknown error");
      if (gerror) g_error_free(gerror);
      return false;
    }
    attached_ = true;
    if (::rename(staged.c_str(), path.c_str()) != 0) {
      error = "cannot make the node " + path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }

  // The device left the bus: every pending URB ends with ENODEV and new ones are refused.
  void Disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_flag_) return;
    gone_flag_ = true;
    for (Urb& urb : urbs_) {
      if (!urb.done) Finish(urb, -ENODEV, 0);
    }
    UpdateReadinessLocked();
    Wake();
  }

  // Hosts that hold the node open are still answered (ENODEV); no new one gets in.
  void Detach() {
    if (!attached_) return;
    attached_ = false;
    // The node goes first: a host that opens it from now on finds none, as
    // on a real bus, instead of a node whose handler has gone.
    ::unlink(path_.c_str());
    umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
  }

  void Stop() {
    Disconnect();
    if (bridge_.joinable()) {
      Wake();
      bridge_.join();
    }
    if (host_ >= 0) ::close(host_);
    host_ = -1;
    if (sim_) sim_->Unplug();
    for (int& fd : wake_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  const std::string& Port() const { return spec_.portPath; }
  UsbDeviceActivity Activity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return activity_;
  }
  PalmSimStats Stats() const { return sim_ ? sim_->Stats() : PalmSimStats{}; }

 private:
  struct Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* data = nullptr;  // the client's urb, its buffer resolved
    unsigned long address = 0;          // the client's address of it
    uint8_t type = 0;
    uint8_t endpoint = 0;
    std::vector<uint8_t> out;  // bytes still to hand to the handheld
    bool done = false;
    int status = 0;
    int actual = 0;
    std::vector<uint8_t> in;  // bytes to copy into the client's buffer
  };

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<UsbfsDevice*>(self)->Handle(client);
    return TRUE;
  }
  static void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
    auto* device = static_cast<UsbfsDevice*>(self);
    std::lock_guard<std::mutex> lock(device->mutex_);
    ++device->activity_.opens;
  }
  static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* device = static_cast<UsbfsDevice*>(self);
    std::lock_guard<std::mutex> lock(device->mutex_);
    for (auto it = device->urbs_.begin(); it != device->urbs_.end();) {
      if (it->client != client) {
        ++it;
        continue;
      }
      g_object_unref(it->data);
      it = device->urbs_.erase(it);
    }
    device->UpdateReadinessLocked();
  }

  void Handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> lock(mutex_);
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (!data) return Complete(client, -1, EFAULT);
        const uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                              USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(data->data, &caps, sizeof caps);
        return Complete(client, 0, 0);
      }
      case USBDEVFS_CLAIMINTERFACE:
        ++activity_.claims;
        return Complete(client, gone_flag_ ? -1 : 0, gone_flag_ ? ENODEV : 0);
      case USBDEVFS_DISCONNECT_CLAIM:
        ++activity_.claims;
        ++activity_.detaches;
        return Complete(client, gone_flag_ ? -1 : 0, gone_flag_ ? ENODEV : 0);
      case USBDEVFS_IOCTL:
        ++activity_.detaches;
        return Complete(client, -1, gone_flag_ ? ENODEV : ENODATA);
      case USBDEVFS_GETDRIVER:
        return Complete(client, -1, gone_flag_ ? ENODEV : ENODATA);
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
      case USBDEVFS_SETINTERFACE:
        return Complete(client, gone_flag_ ? -1 : 0, gone_flag_ ? ENODEV : 0);
      case USBDEVFS_SUBMITURB:
        return Submit(client, arg);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        return Reap(client, arg);
      case USBDEVFS_DISCARDURB: {
        unsigned long address = 0;
        std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
        for (Urb& urb : urbs_) {
          if (urb.client != client || urb.address != address || urb.done) continue;
          Finish(urb, -ENOENT, urb.actual);
          UpdateReadinessLocked();
          return Complete(client, 0, 0);
        }
        return Complete(client, -1, EINVAL);
      }
      default:
        return Complete(client, -1, ENOTTY);
    }
  }

  void Complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
  }

  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (gone_flag_) return Complete(client, -1, ENODEV);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!data) return Complete(client, -1, EFAULT);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    if (urb->buffer_length < 0 || urb->buffer_length > 16 * 1024 * 1024)
      return Complete(client, -1, EINVAL);
    UMockdevIoctlData* buffer = nullptr;
    if (urb->buffer_length > 0) {
      buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                           static_cast<size_t>(urb->buffer_length), nullptr);
      if (!buffer) return Complete(client, -1, EFAULT);
    }
    Urb record;
    record.client = client;
    record.data = data;
    record.address = data->client_addr;
    record.type = urb->type;
    record.endpoint = urb->endpoint;
    const bool in = (urb->endpoint & 0x80) != 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
      ++activity_.controlRequests;
      Control(record, buffer ? buffer->data : nullptr, urb->buffer_length);
    } else if (!in) {
      ++activity_.outTransfers;
      if (IsHandheld(spec_.kind) && urb->endpoint == kHandheldOut && buffer) {
        record.out.assign(buffer->data, buffer->data + urb->buffer_length);
        record.actual = 0;
        if (record.out.empty()) Finish(record, 0, 0);
      } else {
        Finish(record, 0, urb->buffer_length);  // taken and dropped
      }
    }
    g_object_ref(data);
    urbs_.push_back(std::move(record));
    UpdateReadinessLocked();
    Wake();
    Complete(client, 0, 0);
  }

  // Control transfers complete at once: the setup packet is the buffer's first 8 bytes.
  void Control(Urb& record, const uint8_t* buffer, int length) {
    if (!buffer || length < 8) return Finish(record, -EPIPE, 0);
    const uint8_t requestType = buffer[0];
    const uint8_t request = buffer[1];
    const int wanted = std::min<int>(buffer[6] | buffer[7] << 8, length - 8);
    if (requestType != 0xC2 || request != kGetExtConnectionInfo || !IsHandheld(spec_.kind))
      return Finish(record, -EPIPE, 0);  // stalled: no such request
    uint8_t reply[4 + 8] = {1, 1, 0, 0};
    WriteU32BE(&reply[4], spec_.kind == UsbDeviceKind::Handheld ? kCreatorPsys : kCreatorOther);
    reply[8] = kHandheldOut;
    reply[9] = static_cast<uint8_t>((kHandheldIn & 0x0F) << 4 | kHandheldOut);
    const int n = std::min<int>(wanted, sizeof reply);
    record.in.assign(reply, reply + n);
    Finish(record, 0, n);
  }

  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (!target) return Complete(client, -1, EFAULT);
    // URBs of one endpoint complete in the order they were submitted.
    bool inWaiting = false;
    for (auto it = urbs_.begin(); it != urbs_.end(); ++it) {
      if (it->client != client) continue;
      const bool handheldIn = !it->done && it->type == USBDEVFS_URB_TYPE_BULK &&
                              it->endpoint == kHandheldIn && IsHandheld(spec_.kind);
      if (handheldIn && !inWaiting && !inbound_.empty()) {
        auto* urb = reinterpret_cast<usbdevfs_urb*>(it->data->data);
        const size_t n = std::min<size_t>(inbound_.size(), static_cast<size_t>(urb->buffer_length));
        it->in.assign(inbound_.begin(), inbound_.begin() + static_cast<ptrdiff_t>(n));
        inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<ptrdiff_t>(n));
        Finish(*it, 0, static_cast<int>(n));
        Wake();  // room for more of the handheld's bytes
      }
      if (handheldIn) inWaiting = true;
      if (!it->done) continue;
      auto* urb = reinterpret_cast<usbdevfs_urb*>(it->data->data);
      urb->status = it->status;
      urb->actual_length = it->actual;
      // A control transfer's data stage follows its 8-byte setup packet.
      const size_t at = it->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
      if (!it->in.empty() && urb->buffer && static_cast<size_t>(urb->buffer_length) > at) {
        std::memcpy(static_cast<uint8_t*>(urb->buffer) + at, it->in.data(),
                    std::min<size_t>(it->in.size(), static_cast<size_t>(urb->buffer_length) - at));
      }
      umockdev_ioctl_data_set_ptr(target, 0, it->data);
      g_object_unref(it->data);
      urbs_.erase(it);
      UpdateReadinessLocked();
      return Complete(client, 0, 0);
    }
    Complete(client, -1, gone_flag_ ? ENODEV : EAGAIN);
  }

  void Finish(Urb& urb, int status, int actual) {
    urb.done = true;
    urb.status = status;
    urb.actual = actual;
    urb.out.clear();
  }

  bool ReapableLocked() const {
    for (const Urb& urb : urbs_) {
      if (urb.done) return true;
      if (!inbound_.empty() && urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kHandheldIn)
        return true;
    }
    return false;
  }

  // A FIFO with every page full takes no writes: poll() then reports no
  // POLLOUT, and the host sleeps until a URB can be reaped.
  void FillFifo() {
    static const uint8_t page[kPage] = {};
    while (::write(fifo_, page, sizeof page) > 0) {
    }
  }

  void UpdateReadinessLocked() {
    const bool ready = ReapableLocked();
    if (ready == ready_) return;
    ready_ = ready;
    if (ready) {
      uint8_t page[kPage];
      while (::read(fifo_, page, sizeof page) < 0 && errno == EINTR) {
      }
    } else {
      FillFifo();
    }
  }

  void Wake() {
    if (wake_[1] < 0) return;
    const uint8_t byte = 1;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
  }

  // Moves bytes between the handheld's stream and the URBs of its bulk endpoints.
  void Bridge() {
    std::vector<uint8_t> block(kPage);
    for (;;) {
      short events = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_flag_) break;
        if (inbound_.size() < kInboundLimit) events |= POLLIN;
        for (const Urb& urb : urbs_) {
          if (!urb.done && !urb.out.empty()) {
            events |= POLLOUT;
            break;
          }
        }
      }
      pollfd fds[2] = {{host_, events, 0}, {wake_[0], POLLIN, 0}};
      const int r = ::poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) break;
      if (fds[1].revents) {
        uint8_t drain[64];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
      }
      bool closed = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
      std::unique_lock<std::mutex> lock(mutex_);
      if (fds[0].revents & POLLIN) {
        const ssize_t n = ::recv(host_, block.data(), block.size(), MSG_DONTWAIT);
        if (n > 0) {
          inbound_.insert(inbound_.end(), block.begin(), block.begin() + n);
          UpdateReadinessLocked();
        } else if (n == 0) {
          closed = true;
        }
      }
      if (fds[0].revents & POLLOUT) {
        for (Urb& urb : urbs_) {
          if (urb.done || urb.out.empty()) continue;
          const ssize_t n =
              ::send(host_, urb.out.data(), urb.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
          if (n > 0) {
            urb.actual += static_cast<int>(n);
            urb.out.erase(urb.out.begin(), urb.out.begin() + n);
            if (urb.out.empty()) Finish(urb, 0, urb.actual);
            UpdateReadinessLocked();
          } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            closed = true;
          }
          break;
        }
      }
      if (closed) {
        lock.unlock();
        // The handheld went away by itself (a fault): so does the device.
        Disconnect();
        if (gone_) gone_(this);
        break;
      }
    }
    // The handheld's session ends with its stream.
    ::shutdown(host_, SHUT_RDWR);
  }

  UMockdevTestbed* const testbed_;
  const std::string node_;
  std::string path_;  // the node in the testbed's root
  const UsbDeviceSpec spec_;
  const std::function<void(const UsbfsDevice*)> gone_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool attached_ = false;
  int fifo_ = -1;
  int host_ = -1;  // the bridge's end of the handheld's stream
  int wake_[2] = {-1, -1};
  std::unique_ptr<PalmDeviceSim> sim_;
  std::thread bridge_;

  mutable std::mutex mutex_;
  std::deque<Urb> urbs_;
  std::deque<uint8_t> inbound_;  // the handheld's bytes not yet reaped
  bool ready_ = false;
  bool gone_flag_ = false;
  UsbDeviceActivity activity_;
};

struct UsbBench::Device {
  UsbDeviceSpec spec;
  std::string sysPath;                     // of the device
  std::vector<std::string> childSysPaths;  // interfaces and tty, in the order added
  int address = 0;
  std::unique_ptr<UsbfsDevice> usbfs;
};

UsbBench::UsbBench() {
  testbed_ = umockdev_testbed_new();
  gchar* root =
      umockdev_testbed_add_device(testbed_, "usb", "usb1", nullptr, "busnum", "1", "devnum", "1",
                                  "idVendor", "1d6b", "idProduct", "0002", "bDeviceClass", "09",
                                  "speed", "480", nullptr, "DEVTYPE", "usb_device", nullptr);
  g_free(root);
}

UsbBench::~UsbBench() {
  std::vector<std::unique_ptr<UsbfsDevice>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [path, device] : devices_)
      if (device->usbfs) all.push_back(std::move(device->usbfs));
    for (auto& retired : retired_) all.push_back(std::move(retired));
    devices_.clear();
    retired_.clear();
  }
  for (auto& usbfs : all) usbfs->Stop();
  g_object_unref(testbed_);
  all.clear();
}

std::string UsbBench::Root() const {
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  std::string text = root ? root : "";
  g_free(root);
  return text;
}

bool UsbBench::Plug(const UsbDeviceSpec& spec, std::string* error) {
  std::string why;
  auto fail = [&](const std::string& reason) {
    if (error) *error = reason;
    return false;
  };
  std::lock_guard<std::mutex> lock(mutex_);
  if (devices_.count(spec.portPath)) return fail(spec.portPath + " is taken");
  // Devices are added by their whole path below /sys/devices: umockdev looks
  // a parent up in the real /sys unless this process runs behind its preload.
  const std::string parentPort = ParentPort(spec.portPath);
  std::string parentSys = "/sys/devices/usb1";
  if (!parentPort.empty()) {
    const auto parent = devices_.find(parentPort);
    if (parent == devices_.end() || parent->second->spec.kind != UsbDeviceKind::Hub)
      return fail("no hub at " + parentPort);
    parentSys = parent->second->sysPath;
  }
  std::string ttyNumbers;
  if (spec.kind == UsbDeviceKind::Modem && !spec.ttyNode.empty()) {
    struct stat st {};
    if (::stat(spec.ttyNode.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
      return fail(spec.ttyNode + " is not a character device");
    ttyNumbers = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  }

  auto device = std::make_unique<Device>();
  device->spec = spec;
  device->address = nextAddress_;
  nextAddress_ = nextAddress_ >= 127 ? 2 : nextAddress_ + 1;
  const std::string address = std::to_string(device->address);
  const std::string node = "/dev/bus/usb/001/" + Padded3(device->address);
  int interfaces = 0;
  std::vector<uint8_t> descriptors = Descriptors(spec, interfaces);
  const std::string dev = "189:" + std::to_string(device->address - 1);
  const std::string product = spec.product.empty() ? "Device" : spec.product;
  const auto below = [](const std::string& sysPath, const std::string& name) {
    return sysPath.substr(std::strlen("/sys/devices/")) + "/" + name;
  };
  gchar* sys = umockdev_testbed_add_device(
      testbed_, "usb", below(parentSys, spec.portPath).c_str(), nullptr, "busnum", "1", "devnum",
      address.c_str(), "idVendor", Hex4(spec.vendorId).c_str(), "idProduct",
      Hex4(spec.productId).c_str(), "bConfigurationValue", "1", "bNumInterfaces",
      std::to_string(interfaces).c_str(), "speed", "12", "manufacturer", "k730 bench", "product",
      product.c_str(), "serial", ("K730-" + spec.portPath).c_str(), "dev", dev.c_str(), nullptr,
      "DEVNAME", node.c_str(), "DEVTYPE", "usb_device", "BUSNUM", "001", "DEVNUM",
      Padded3(device->address).c_str(), "PRODUCT",
      (Hex4(spec.vendorId) + "/" + Hex4(spec.productId) + "/100").c_str(), nullptr);
  if (!sys) return fail("umockdev refused " + spec.portPath);
  device->sysPath = sys;
  g_free(sys);
  umockdev_testbed_set_attribute_binary(testbed_, device->sysPath.c_str(), "descriptors",
                                        descriptors.data(), static_cast<int>(descriptors.size()));

  for (int i = 0; i < interfaces; ++i) {
    const std::string name = spec.portPath + ":1." + std::to_string(i);
    gchar* interfaceSys = umockdev_testbed_add_device(
        testbed_, "usb", below(device->sysPath, name).c_str(), nullptr, "bInterfaceNumber",
        ("0" + std::to_string(i)).c_str(), nullptr, "DEVTYPE", "usb_interface", nullptr);
    if (interfaceSys) device->childSysPaths.push_back(interfaceSys);
    g_free(interfaceSys);
  }
  if (spec.kind == UsbDeviceKind::Modem && !device->childSysPaths.empty()) {
    const std::string tty = "ttyACM" + std::to_string(nextTty_++);
    const std::string numbers =
        ttyNumbers.empty() ? "166:" + std::to_string(nextTty_ + 200) : ttyNumbers;
    gchar* ttySys = umockdev_testbed_add_device(
        testbed_, "tty", below(device->childSysPaths.front(), "tty/" + tty).c_str(), nullptr, "dev",
        numbers.c_str(), nullptr, "DEVNAME", ("/dev/" + tty).c_str(), nullptr);
    if (ttySys) device->childSysPaths.push_back(ttySys);
    g_free(ttySys);
  }

  device->usbfs = std::make_unique<UsbfsDevice>(
      testbed_, node, spec,
      [this, port = spec.portPath](const UsbfsDevice* usbfs) { Gone(port, usbfs); });
  if (!device->usbfs->Start(why)) {
    device->usbfs->Stop();
    umockdev_testbed_remove_device(testbed_, device->sysPath.c_str());
    return fail(why);
  }
  umockdev_testbed_uevent(testbed_, device->sysPath.c_str(), "add");
  for (const std::string& child : device->childSysPaths)
    umockdev_testbed_uevent(testbed_, child.c_str(), "add");
  devices_[spec.portPath] = std::move(device);
  return true;
}

void UsbBench::Unplug(const std::string& portPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  UnplugLocked(portPath);
}

void UsbBench::UnplugLocked(const std::string& portPath) {
  // Everything plugged into it goes first.
  std::vector<std::string> below;
  for (const auto& [path, device] : devices_)
    if (path.size() > portPath.size() && path.compare(0, portPath.size() + 1, portPath + ".") == 0)
      below.push_back(path);
  std::sort(below.rbegin(), below.rend());
  for (const std::string& path : below) UnplugLocked(path);

  const auto it = devices_.find(portPath);
  if (it == devices_.end()) return;
  Device& device = *it->second;
  if (device.usbfs) {
    device.usbfs->Disconnect();
    device.usbfs->Detach();
    retired_.push_back(std::move(device.usbfs));
  }
  // The uevents are read from sysfs: they go before the files.
  for (auto child = device.childSysPaths.rbegin(); child != device.childSysPaths.rend(); ++child)
    umockdev_testbed_uevent(testbed_, child->c_str(), "remove");
  umockdev_testbed_uevent(testbed_, device.sysPath.c_str(), "remove");
  // Each child on its own: removing the device's directory would leave their links behind.
  for (auto child = device.childSysPaths.rbegin(); child != device.childSysPaths.rend(); ++child)
    umockdev_testbed_remove_device(testbed_, child->c_str());
  umockdev_testbed_remove_device(testbed_, device.sysPath.c_str());
  devices_.erase(it);
}

void UsbBench::Gone(const std::string& portPath, const UsbfsDevice* usbfs) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = devices_.find(portPath);
  // Only the device that went, not a newer one plugged there since.
  if (it != devices_.end() && it->second->usbfs.get() == usbfs) UnplugLocked(portPath);
}

bool UsbBench::Plugged(const std::string& portPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_.count(portPath) != 0;
}

int UsbBench::Address(const std::string& portPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = devices_.find(portPath);
  return it == devices_.end() ? 0 : it->second->address;
}

const UsbfsDevice* UsbBench::LatestLocked(const std::string& portPath) const {
  const auto it = devices_.find(portPath);
  if (it != devices_.end() && it->second->usbfs) return it->second->usbfs.get();
  for (auto old = retired_.rbegin(); old != retired_.rend(); ++old)
    if ((*old)->Port() == portPath) return old->get();
  return nullptr;
}

UsbDeviceActivity UsbBench::Activity(const std::string& portPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  UsbDeviceActivity total;
  // Every device that was plugged there: a host may have touched an earlier one.
  auto add = [&](const UsbfsDevice& usbfs) {
    const UsbDeviceActivity a = usbfs.Activity();
    total.opens += a.opens;
    total.claims += a.claims;
    total.detaches += a.detaches;
    total.controlRequests += a.controlRequests;
    total.outTransfers += a.outTransfers;
  };
  const auto it = devices_.find(portPath);
  if (it != devices_.end() && it->second->usbfs) add(*it->second->usbfs);
  for (const auto& old : retired_)
    if (old->Port() == portPath) add(*old);
  return total;
}

PalmSimStats UsbBench::HandheldStats(const std::string& portPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const UsbfsDevice* usbfs = LatestLocked(portPath);
  return usbfs ? usbfs->Stats() : PalmSimStats{};
}

struct SimulatorOnBench::State {
  std::string ttyTarget;  // the simulator's link target the modem was plugged with
  std::chrono::steady_clock::time_point linkAt;
  bool linkPending = false;
  bool simHandheld = false;  // the simulator's handheld was there at the last look
};

SimulatorOnBench::SimulatorOnBench(UsbBench& bench, SimulatorBenchOptions options)
    : bench_(bench), options_(std::move(options)), states_(options_.handsets.size()) {}

SimulatorOnBench::~SimulatorOnBench() {
  Stop();
}

std::string SimulatorOnBench::HubPort(size_t index) const {
  return "1-" + std::to_string(index + 2);
}

bool SimulatorOnBench::Start(std::string& error) {
  for (size_t i = 0; i < options_.handsets.size(); ++i) {
    UsbDeviceSpec hub;
    hub.portPath = HubPort(i);
    hub.kind = UsbDeviceKind::Hub;
    hub.vendorId = 0x05e3;
    hub.productId = 0x0608;
    hub.product = "Handset hub";
    if (!bench_.Plug(hub, &error)) return false;
  }
  thread_ = std::thread([this] { Follow(); });
  return true;
}

void SimulatorOnBench::Stop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
  }
  stopChanged_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SimulatorOnBench::Follow() {
  for (;;) {
    for (size_t i = 0; i < states_.size(); ++i) Step(i, states_[i]);
    std::unique_lock<std::mutex> lock(stopMutex_);
    if (stopChanged_.wait_for(lock, std::chrono::milliseconds(5), [this] { return stopping_; }))
      return;
  }
}

void SimulatorOnBench::Step(size_t index, State& state) {
  const BenchHandset& handset = options_.handsets[index];
  const std::string com = "COM" + std::to_string(handset.number);
  const std::string simPort = options_.simPortDir + "/" + com;
  const std::string consolePort = options_.consolePortDir + "/" + com;
  char target[512];
  const ssize_t length = ::readlink(simPort.c_str(), target, sizeof target - 1);
  struct stat st {};
  const bool simModem = length > 0 && ::stat(simPort.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
  const std::string ttyTarget = simModem ? std::string(target, static_cast<size_t>(length)) : "";

  // The modem follows the simulator's port; a new pseudo-terminal is a new enumeration.
  if (bench_.Plugged(ModemPort(index)) && ttyTarget != state.ttyTarget) {
    ::unlink(consolePort.c_str());
    state.linkPending = false;
    bench_.Unplug(ModemPort(index));
    state.ttyTarget.clear();
  }
  if (simModem && !bench_.Plugged(ModemPort(index))) {
    UsbDeviceSpec modem;
    modem.portPath = ModemPort(index);
    modem.kind = UsbDeviceKind::Modem;
    modem.vendorId = options_.modemVendor;
    modem.productId = options_.modemProduct;
    modem.product = "Handset modem";
    modem.ttyNode = simPort;
    if (bench_.Plug(modem)) {
      state.ttyTarget = ttyTarget;
      state.linkPending = true;
      state.linkAt =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(handset.linkDelayMs);
    }
  }
  if (state.linkPending && std::chrono::steady_clock::now() >= state.linkAt) {
    state.linkPending = false;
    ::unlink(consolePort.c_str());
    if (::symlink(state.ttyTarget.c_str(), consolePort.c_str()) != 0)
      std::fprintf(stderr, "bench: cannot link %s: %s\n", consolePort.c_str(),
                   std::strerror(errno));
  }

  // The handheld comes and goes with the simulator's own.
  struct stat socketStat {};
  const std::string socket =
      options_.simPalmDir + "/palm" + std::to_string(handset.number) + ".sock";
  const bool simHandheld = ::lstat(socket.c_str(), &socketStat) == 0;
  if (simHandheld && !state.simHandheld) {
    bench_.Unplug(HandheldPort(index));
    UsbDeviceSpec palm;
    palm.portPath = HandheldPort(index);
    palm.kind = handset.handheld;
    palm.vendorId = options_.palmVendor;
    palm.productId = options_.palmProduct;
    palm.product = "Palm OS handheld";
    palm.palm.number = static_cast<uint32_t>(handset.number);
    palm.palm.dumpDirectory = options_.dumpDir;
    palm.palm.faults = handset.faults;
    bench_.Plug(palm);
  } else if (!simHandheld && state.simHandheld) {
    bench_.Unplug(HandheldPort(index));
  }
  state.simHandheld = simHandheld;
}

std::map<std::string, std::string> UmockdevPreloadEnvironment() {
  std::map<std::string, std::string> env;
  std::string preload = "libumockdev-preload.so.0";
  if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing)
    preload = std::strstr(existing, "libumockdev-preload") ? existing : preload + ":" + existing;
  env["LD_PRELOAD"] = preload;
  // AddressSanitizer wants to be the first library loaded; behind the preload
  // it is not, which is harmless here.
  std::string asan = "verify_asan_link_order=0";
  if (const char* existing = std::getenv("ASAN_OPTIONS"); existing && *existing)
    asan = std::strstr(existing, "verify_asan_link_order") ? existing : existing + (":" + asan);
  env["ASAN_OPTIONS"] = asan;
  return env;
}

}  // namespace k730::sim
