// Arrival and removal of real handhelds on Windows: a message-only window,
// registered for the device-change notifications of USB device interfaces,
// on a thread of its own that pumps its messages. Each WM_DEVICECHANGE that
// concerns a handheld of the handset id list is reported with the interface
// name the system gave it; a device of a handheld's vendor that the list does
// not name is reported as not a Palm OS device.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/windows_api.h"
#include "pda/handset_ids.h"
#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"
#include "pda/winusb_bus.h"

// Last: dbt.h's DBT_... macros would rename the console's own constants of
// the same names (their values are the same: the callback gets these).
// initguid.h defines the class GUID here.
#include <dbt.h>
#include <initguid.h>
#include <usbiodef.h>

namespace k730 {
namespace {

constexpr const char* kWindowClass = "k730PalmDeviceWatcher";

class NotificationPalmWatcher : public PalmDeviceWatcher {
 public:
  ~NotificationPalmWatcher() override { Stop(); }

  void SetNoteSink(PalmNoteSink notes) override { notes_ = std::move(notes); }

  bool Start(PalmDeviceCallback callback, bool reportPresent) override {
    if (thread_.joinable()) return false;
    const LoadedHandsetIds loaded = LoadHandsetIds();
    ids_ = loaded.ids;
    callback_ = std::move(callback);
    started_ = Startup::Pending;
    thread_ = std::thread([this, reportPresent] { Run(reportPresent); });
    std::unique_lock<std::mutex> lock(mutex_);
    startupDone_.wait(lock, [this] { return started_ != Startup::Pending; });
    if (started_ == Startup::Failed) {
      lock.unlock();
      thread_.join();
      return false;
    }
    lock.unlock();
    if (notes_)
      for (const std::string& line : HandsetIdsWarnings(loaded)) notes_(line);
    return true;
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    HWND window = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      window = window_;
    }
    if (window) ::PostMessageA(window, WM_CLOSE, 0, 0);
    thread_.join();
  }

 private:
  enum class Startup { Pending, Running, Failed };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self =
        reinterpret_cast<NotificationPalmWatcher*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
      case WM_DEVICECHANGE:
        if (self && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE))
          self->OnDeviceChange(static_cast<uint32_t>(wParam),
                               reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
        return TRUE;
      case WM_CLOSE:
        ::DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
      default:
        return ::DefWindowProcA(window, message, wParam, lParam);
    }
  }

  void OnDeviceChange(uint32_t event, const DEV_BROADCAST_HDR* header) {
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A))
      return;
    // The name fills the record to its size; it is not trusted to end.
    const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
    const size_t room = header->dbch_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    const std::string name(record->dbcc_name, strnlen(record->dbcc_name, room));
    Judge(event, name);
  }

  void Judge(uint32_t event, const std::string& name) {
    switch (JudgeUsbInterfaceName(name, ids_)) {
      case UsbInterfaceKind::Handheld:
        callback_(event, name);
        break;
      case UsbInterfaceKind::LookAlike:
        callback_(event, "");
        break;
      case UsbInterfaceKind::Other:
        break;
    }
  }

  void Finish(Startup outcome, HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = outcome;
    window_ = window;
    startupDone_.notify_all();
  }

  void Run(bool reportPresent) {
    const HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &NotificationPalmWatcher::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    // A second watcher of the process finds the class registered already.
    if (!::RegisterClassExA(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      Finish(Startup::Failed, nullptr);
      return;
    }
    const HWND window = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          instance, nullptr);
    if (!window) {
      Finish(Startup::Failed, nullptr);
      return;
    }
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    const HDEVNOTIFY notify =
        ::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!notify) {
      ::DestroyWindow(window);
      Finish(Startup::Failed, nullptr);
      return;
    }
    Finish(Startup::Running, window);
    if (reportPresent)
      for (const std::string& name : PresentUsbDeviceInterfaces()) Judge(DBT_DEVICEARRIVAL, name);
    MSG message{};
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
    }
    ::UnregisterDeviceNotification(notify);
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = nullptr;
  }

  PalmDeviceCallback callback_;
  PalmNoteSink notes_;
  HandsetIds ids_;
  std::mutex mutex_;
  std::condition_variable startupDone_;
  Startup started_ = Startup::Pending;
  HWND window_ = nullptr;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<PalmDeviceWatcher> MakeUsbPalmWatcher(UsbDeviceNumbering) {
  return std::make_unique<NotificationPalmWatcher>();
}

}  // namespace k730
