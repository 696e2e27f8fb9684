#include "pda/winusb_bus.h"

// After windows.h, which they need; initguid.h defines the class GUID here.
#include <initguid.h>
#include <setupapi.h>
#include <usbiodef.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "pda/handset_ids.h"
#include "pda/palm_device_map.h"

namespace k730 {
namespace {

HANDLE OpenDeviceFile(const char* path) {
  return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                       nullptr);
}

void CloseDeviceFile(HANDLE device) {
  ::CloseHandle(device);
}

template <typename Function>
bool Load(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return function != nullptr;
}

class WinUsbLink : public UsbDeviceLink {
 public:
  WinUsbLink(const WinUsbApi& api, HANDLE device, WINUSB_INTERFACE_HANDLE first)
      : api_(api), device_(device) {
    AddInterface(first);
    // The device's further interfaces, as WinUSB hands them out.
    for (UCHAR i = 0; i < 32; ++i) {
      WINUSB_INTERFACE_HANDLE next = nullptr;
      if (!api_.getAssociatedInterface(first, i, &next)) break;
      AddInterface(next);
    }
  }
  ~WinUsbLink() override {
    for (auto it = interfaces_.rbegin(); it != interfaces_.rend(); ++it) api_.free(it->handle);
    api_.closeDevice(device_);
  }

  int ControlIn(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                uint16_t length, uint32_t timeoutMs) override {
    const WINUSB_INTERFACE_HANDLE first = interfaces_.front().handle;
    ULONG timeout = timeoutMs;
    api_.setPipePolicy(first, 0, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout);
    WINUSB_SETUP_PACKET setup{};
    setup.RequestType = requestType;
    setup.Request = request;
    setup.Value = value;
    setup.Index = index;
    setup.Length = length;
    ULONG moved = 0;
    if (!api_.controlTransfer(first, setup, data, length, &moved, nullptr))
      return UsbResultOfWindowsError(::GetLastError());
    return static_cast<int>(std::min<ULONG>(moved, length));
  }

  int InterfaceOfEndpoint(uint8_t endpoint) override {
    for (const Interface& i : interfaces_)
      for (const uint8_t bulk : i.bulk)
        if (bulk == endpoint) return i.number;
    return kUsbErrorNotFound;
  }

  int FirstBulkPair(int& interfaceNumber, uint8_t& inEndpoint, uint8_t& outEndpoint) override {
    for (const Interface& i : interfaces_) {
      uint8_t in = 0;
      uint8_t out = 0;
      for (const uint8_t bulk : i.bulk) {
        if ((bulk & 0x80) && !in) in = bulk;
        if (!(bulk & 0x80) && !out) out = bulk;
      }
      if (in && out) {
        interfaceNumber = i.number;
        inEndpoint = in;
        outEndpoint = out;
        return kUsbSuccess;
      }
    }
    return kUsbErrorNotFound;
  }

  // WinUSB is the device's driver: there is no other to detach.
  int KernelDriverActive(int) override { return kUsbErrorNotSupported; }
  int DetachKernelDriver(int) override { return kUsbErrorNotSupported; }
  // WinUSB claimed every interface when it handed it out.
  int ClaimInterface(int interfaceNumber) override {
    return Find(interfaceNumber) ? kUsbSuccess : kUsbErrorNotFound;
  }
  int ReleaseInterface(int) override { return kUsbSuccess; }

  int BulkTransfer(uint8_t endpoint, uint8_t* data, int length, int* transferred,
                   uint32_t timeoutMs) override {
    *transferred = 0;
    const WINUSB_INTERFACE_HANDLE handle = HandleOfEndpoint(endpoint);
    if (!handle || length < 0) return kUsbErrorNotFound;
    if (!SetTimeout(handle, endpoint, timeoutMs)) return UsbResultOfWindowsError(::GetLastError());
    ULONG moved = 0;
    const BOOL ok =
        (endpoint & 0x80)
            ? api_.readPipe(handle, endpoint, data, static_cast<ULONG>(length), &moved, nullptr)
            : api_.writePipe(handle, endpoint, data, static_cast<ULONG>(length), &moved, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    *transferred = static_cast<int>(std::min<ULONG>(moved, static_cast<ULONG>(length)));
    return ok ? kUsbSuccess : UsbResultOfWindowsError(error);
  }

 private:
  struct Interface {
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    int number = 0;
    std::vector<uint8_t> bulk;  // endpoint addresses of its bulk pipes
  };

  void AddInterface(WINUSB_INTERFACE_HANDLE handle) {
    Interface entry;
    entry.handle = handle;
    USB_INTERFACE_DESCRIPTOR descriptor{};
    if (api_.queryInterfaceSettings(handle, 0, &descriptor)) {
      entry.number = descriptor.bInterfaceNumber;
      for (UCHAR p = 0; p < descriptor.bNumEndpoints; ++p) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (api_.queryPipe(handle, 0, p, &pipe) && pipe.PipeType == UsbdPipeTypeBulk)
          entry.bulk.push_back(pipe.PipeId);
      }
    }
    interfaces_.push_back(std::move(entry));
  }

  const Interface* Find(int number) const {
    for (const Interface& i : interfaces_)
      if (i.number == number) return &i;
    return nullptr;
  }

  WINUSB_INTERFACE_HANDLE HandleOfEndpoint(uint8_t endpoint) const {
    for (const Interface& i : interfaces_)
      if (std::find(i.bulk.begin(), i.bulk.end(), endpoint) != i.bulk.end()) return i.handle;
    return nullptr;
  }

  // The pipe's time-out, set only when it changes.
  bool SetTimeout(WINUSB_INTERFACE_HANDLE handle, uint8_t endpoint, uint32_t timeoutMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = timeouts_.find(endpoint);
    if (it != timeouts_.end() && it->second == timeoutMs) return true;
    ULONG timeout = timeoutMs;
    if (!api_.setPipePolicy(handle, endpoint, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout))
      return false;
    timeouts_[endpoint] = timeoutMs;
    return true;
  }

  const WinUsbApi& api_;
  const HANDLE device_;
  std::vector<Interface> interfaces_;  // the first is WinUsb_Initialize's
  std::mutex mutex_;                   // guards timeouts_ (both directions use it)
  std::map<uint8_t, uint32_t> timeouts_;
};

class WinUsbBus : public UsbBus {
 public:
  explicit WinUsbBus(const WinUsbApi* api) : api_(api) {}

  // The present devices by their place in the system's list (bus 0).
  std::vector<UsbDeviceId> ListDevices() override {
    std::vector<UsbDeviceId> devices;
    const std::vector<std::string> names = PresentUsbDeviceInterfaces();
    for (size_t i = 0; i < names.size() && i < 255; ++i) {
      UsbDeviceId id;
      id.address = static_cast<uint8_t>(i + 1);
      if (UsbIdsOfInterfaceName(names[i], id.vendorId, id.productId)) devices.push_back(id);
    }
    return devices;
  }

  std::unique_ptr<UsbDeviceLink> OpenDevice(const UsbDeviceId& id, int* error) override {
    const std::vector<std::string> names = PresentUsbDeviceInterfaces();
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    if (id.address == 0 || id.address > names.size() ||
        !UsbIdsOfInterfaceName(names[id.address - 1], vendorId, productId) ||
        vendorId != id.vendorId || productId != id.productId) {
      *error = kUsbErrorNoDevice;
      return nullptr;
    }
    return OpenPath(names[id.address - 1], error);
  }

  // The name is the system's own device-interface name.
  std::unique_ptr<UsbDeviceLink> OpenNamed(const std::string& deviceName, const HandsetIds& ids,
                                           int* error) override {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    if (!UsbIdsOfInterfaceName(deviceName, vendorId, productId)) {
      *error = kUsbErrorInvalidParam;
      return nullptr;
    }
    if (!ids.IsPalm(vendorId, productId)) {
      *error = kUsbErrorNoDevice;
      return nullptr;
    }
    return OpenPath(deviceName, error);
  }

 private:
  std::unique_ptr<UsbDeviceLink> OpenPath(const std::string& path, int* error) {
    if (!api_) {
      *error = kUsbErrorNotSupported;
      return nullptr;
    }
    const HANDLE device = api_->openDevice(path.c_str());
    if (device == INVALID_HANDLE_VALUE) {
      *error = UsbResultOfWindowsError(::GetLastError());
      return nullptr;
    }
    WINUSB_INTERFACE_HANDLE first = nullptr;
    if (!api_->initialize(device, &first)) {
      *error = UsbResultOfWindowsError(::GetLastError());
      api_->closeDevice(device);
      return nullptr;
    }
    *error = kUsbSuccess;
    return std::make_unique<WinUsbLink>(*api_, device, first);
  }

  const WinUsbApi* api_;
};

}  // namespace

int UsbResultOfWindowsError(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return kUsbSuccess;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
      return kUsbErrorTimeout;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
      return kUsbErrorNoDevice;
    case ERROR_ACCESS_DENIED:
      return kUsbErrorAccess;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return kUsbErrorBusy;
    case ERROR_OPERATION_ABORTED:
      return kUsbErrorInterrupted;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return kUsbErrorNoMem;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return kUsbErrorNotSupported;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
      return kUsbErrorInvalidParam;
    default:
      return kUsbErrorIo;
  }
}

const WinUsbApi* SystemWinUsbApi() {
  static const WinUsbApi* api = []() -> const WinUsbApi* {
    // From the system folder only, never from beside the program.
    const HMODULE module = ::LoadLibraryExA("winusb.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) return nullptr;
    static WinUsbApi loaded{};
    loaded.openDevice = &OpenDeviceFile;
    loaded.closeDevice = &CloseDeviceFile;
    const bool all = Load(module, "WinUsb_Initialize", loaded.initialize) &&
                     Load(module, "WinUsb_Free", loaded.free) &&
                     Load(module, "WinUsb_GetAssociatedInterface", loaded.getAssociatedInterface) &&
                     Load(module, "WinUsb_QueryInterfaceSettings", loaded.queryInterfaceSettings) &&
                     Load(module, "WinUsb_QueryPipe", loaded.queryPipe) &&
                     Load(module, "WinUsb_SetPipePolicy", loaded.setPipePolicy) &&
                     Load(module, "WinUsb_ControlTransfer", loaded.controlTransfer) &&
                     Load(module, "WinUsb_ReadPipe", loaded.readPipe) &&
                     Load(module, "WinUsb_WritePipe", loaded.writePipe);
    return all ? &loaded : nullptr;
  }();
  return api;
}

std::vector<std::string> PresentUsbDeviceInterfaces() {
  std::vector<std::string> names;
  const HDEVINFO set = ::SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return names;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, i, &entry))
      break;
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailA(set, &entry, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || size > 4096) continue;
    std::vector<char> buffer(size, '\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (::SetupDiGetDeviceInterfaceDetailA(set, &entry, detail, size, nullptr, nullptr))
      names.push_back(detail->DevicePath);
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return names;
}

std::unique_ptr<UsbBus> MakeWinUsbBus(const WinUsbApi* api) {
  return std::make_unique<WinUsbBus>(api);
}

}  // namespace k730
