// The Windows side of the seams, under wine: the registry's settings and
// modem ports, files and their locks, and the WinUSB transport and the
// device-change watcher through fakes below them (no USB reaches wine).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "../support/temp_dir.h"
#include "app/settings.h"
#include "core/child_process.h"
#include "core/clock.h"
#include "core/file_access.h"
#include "core/pid_lock.h"
#include "core/windows_api.h"
#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "pda/usb_palm_transport.h"
#include "pda/winusb_bus.h"
#include "phone/port_discovery.h"
#include "phone/serial_port.h"

// Last: dbt.h's DBT_... macros would rename the console's own constants of
// the same names (the values are the same).
#include <dbt.h>

namespace k730 {
namespace {

using test::TempDir;

constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Registry values set for one test and removed again.
class RegistryValues {
 public:
  RegistryValues(const char* key, REGSAM view) {
    EXPECT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_VOLATILE,
                                KEY_ALL_ACCESS | view, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  ~RegistryValues() {
    for (const std::string& name : names_) ::RegDeleteValueA(key_, name.c_str());
    ::RegCloseKey(key_);
  }
  void Text(const std::string& name, const std::string& text) {
    names_.push_back(name);
    ::RegSetValueExA(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
  }
  void Number(const std::string& name, DWORD value) {
    names_.push_back(name);
    ::RegSetValueExA(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value);
  }

 private:
  HKEY key_ = nullptr;
  std::vector<std::string> names_;
};

TEST(WindowsSettings, LiveInTheRegistryUnlessAFileIsNamed) {
  ASSERT_EQ(SettingsFilePath(), "");
  ASSERT_EQ(WriteSetting(kSettingUploadPath, "c:\\images\\tova_korvan_release.img"), 1);
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "c:\\images\\tova_korvan_release.img");
  EXPECT_EQ(ReadSetting("NOT_STORED"), "");
  EXPECT_EQ(WriteSetting(kSettingUploadPath, "two\nlines"), 0);
  {
    // A number stored by someone else reads as the text of its bytes.
    RegistryValues values(kSettingsSection, KEY_WOW64_32KEY);
    values.Number(kSettingUploadPort, 0x00003337);
    EXPECT_EQ(ReadSetting(kSettingUploadPort), "73");
  }
  TempDir dir;
  test::ScopedEnv file("K730_SETTINGS_FILE", dir / "settings.ini");
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "");
  EXPECT_EQ(WriteSetting(kSettingUploadPath, "from the file"), 1);
  EXPECT_EQ(ReadSettingFromFile(dir / "settings.ini", kSettingUploadPath), "from the file");
}

TEST(WindowsPortScan, ModemValuesOfSerialCommInDeviceOrder) {
  RegistryValues values(kSerialComm, 0);
  values.Text("\\Device\\hvcdmdm0", "COM5");
  values.Text("\\Device\\hvcdmdm1", "COM5");
  values.Text("\\Device\\hvcdmdm3", "COM9");
  values.Text("\\Device\\hvcdmdm4", "LPT1");
  values.Text("\\Device\\Serial7", "COM3");
  int ports[kMaxComPorts];
  int slots = -1;
  int last = -1;
  DiscoverPhonePorts(ports, slots, last);
  EXPECT_EQ(slots, 2);
  EXPECT_EQ(ports[0], 5);
  EXPECT_EQ(ports[1], 9);
  EXPECT_EQ(ports[2], 0);
  EXPECT_EQ(last, 9);
  EXPECT_EQ(PortDevicePath("com12"), "\\\\.\\COM12");
  EXPECT_EQ(PortDevicePath("LPT1"), "");
}

TEST(WindowsThreads, RaisedPriorityIsTheCallingThreadsOnly) {
  int inThread = THREAD_PRIORITY_ERROR_RETURN;
  bool raised = false;
  std::thread worker([&] {
    raised = RaiseCurrentThreadPriority();
    inThread = ::GetThreadPriority(::GetCurrentThread());
  });
  worker.join();
  EXPECT_TRUE(raised);
  EXPECT_EQ(inThread, THREAD_PRIORITY_ABOVE_NORMAL);
  EXPECT_EQ(::GetThreadPriority(::GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

TEST(WindowsProcesses, ExitStatusAndOutputOfAChild) {
  char system[MAX_PATH];
  ASSERT_GT(::GetSystemDirectoryA(system, sizeof system), 0u);
  const std::string cmd = std::string(system) + "\\cmd.exe";
  ASSERT_TRUE(IsExecutable(cmd));
  EXPECT_EQ(RunProgram({cmd, "/c", "exit 3"}, ""), 3);
  ChildProcess child;
  std::string error;
  ASSERT_TRUE(
      child.Start({cmd, "/c", "echo", "from the child"}, ChildProcess::Output::ToPipe, "", error))
      << error;
  std::string output;
  char buffer[64];
  for (long n; (n = child.ReadOutput(buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  // An argument with blanks goes quoted (cmd echoes its command line as it is).
  EXPECT_EQ(output.substr(0, 16), "\"from the child\"");
  EXPECT_EQ(child.Wait(5000), 0);
  EXPECT_EQ(RunProgram({std::string(system) + "\\no-such-program.exe"}, ""), -1);
}

TEST(WindowsFiles, LocksReadableHolderAndConfinedNames) {
  TempDir dir;
  PidLockFile first, second;
  std::string previous, reason;
  long holder = 0;
  ASSERT_EQ(first.Take(dir / "bench.lock", "note\n", previous, holder, reason),
            PidLockFile::Result::Taken)
      << reason;
  // The holder's pid stays readable under the lock.
  EXPECT_EQ(second.Take(dir / "bench.lock", "", previous, holder, reason),
            PidLockFile::Result::HeldByOther);
  EXPECT_EQ(holder, ProcessId());
  first.Release();
  EXPECT_FALSE(std::filesystem::exists(dir / "bench.lock"));

  std::filesystem::create_directory(dir / "sub");
  { std::ofstream(dir / "sub/data.bin") << "x"; }
  const int fd = OpenConfinedFile(dir.Path(), {"sub", "data.bin"}, ConfinedAccess::Read);
  EXPECT_GE(fd, 0);
  if (fd >= 0) CloseFile(fd);
  // Names Windows takes for devices, drives or streams never open a file,
  // nor does a folder.
  for (const char* name : {"NUL", "con.txt", "COM1", "data.bin:stream", "c:x", "a?b", "sub"}) {
    SCOPED_TRACE(name);
    const int opened = OpenConfinedFile(dir.Path(), {name}, ConfinedAccess::WriteCreate);
    EXPECT_LT(opened, 0);
    if (opened >= 0) CloseFile(opened);
  }
  std::string why;
  EXPECT_LT(OpenRegularFile(dir / "sub", why), 0);
  EXPECT_EQ(why, "a directory, not a file");
  EXPECT_LT(OpenRegularFile("NUL", why), 0);
  EXPECT_EQ(why, "not a regular file");
}

// A handheld behind WinUSB, played by the test: its connection information
// names 'psys' on endpoints 2 and 0x82, and its IN pipe echoes what the OUT
// pipe took.
struct FakeHandheld {
  static FakeHandheld* current;
  bool initialized = false;
  bool freed = false;
  bool closed = false;
  ULONG outTimeout = 0;
  std::deque<uint8_t> echo;
  DWORD failReadWith = 0;

  static HANDLE Open(const char*) { return reinterpret_cast<HANDLE>(0x1234); }
  static void Close(HANDLE) { current->closed = true; }
  static BOOL WINAPI Initialize(HANDLE, PWINUSB_INTERFACE_HANDLE handle) {
    current->initialized = true;
    *handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(0x42);
    return TRUE;
  }
  static BOOL WINAPI Free(WINUSB_INTERFACE_HANDLE) {
    current->freed = true;
    return TRUE;
  }
  static BOOL WINAPI Associated(WINUSB_INTERFACE_HANDLE, UCHAR, PWINUSB_INTERFACE_HANDLE) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  static BOOL WINAPI Settings(WINUSB_INTERFACE_HANDLE, UCHAR, PUSB_INTERFACE_DESCRIPTOR d) {
    *d = USB_INTERFACE_DESCRIPTOR{};
    d->bNumEndpoints = 2;
    return TRUE;
  }
  static BOOL WINAPI Pipe(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR index,
                          PWINUSB_PIPE_INFORMATION pipe) {
    pipe->PipeType = UsbdPipeTypeBulk;
    pipe->PipeId = index == 0 ? 0x82 : 0x02;
    pipe->MaximumPacketSize = 64;
    return TRUE;
  }
  static BOOL WINAPI Policy(WINUSB_INTERFACE_HANDLE, UCHAR pipe, ULONG type, ULONG, PVOID value) {
    if (type == PIPE_TRANSFER_TIMEOUT && pipe == 0x02)
      current->outTimeout = *static_cast<ULONG*>(value);
    return TRUE;
  }
  static BOOL WINAPI Control(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                             ULONG length, PULONG moved, LPOVERLAPPED) {
    EXPECT_EQ(setup.RequestType, kPalmVendorRequestType);
    EXPECT_EQ(setup.Request, kPalmGetExtConnectionInfo);
    const uint8_t info[12] = {1, 1, 0, 0, 'p', 's', 'y', 's', 2, 0x22, 0, 0};
    *moved = std::min<ULONG>(length, sizeof info);
    std::memcpy(buffer, info, *moved);
    return TRUE;
  }
  static BOOL WINAPI Read(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length,
                          PULONG moved, LPOVERLAPPED) {
    EXPECT_EQ(pipe, 0x82);
    *moved = 0;
    if (current->failReadWith) {
      ::SetLastError(current->failReadWith);
      return FALSE;
    }
    while (*moved < length && !current->echo.empty()) {
      buffer[(*moved)++] = current->echo.front();
      current->echo.pop_front();
    }
    if (*moved > 0) return TRUE;
    ::SetLastError(ERROR_SEM_TIMEOUT);
    return FALSE;
  }
  static BOOL WINAPI Write(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR data, ULONG length,
                           PULONG moved, LPOVERLAPPED) {
    EXPECT_EQ(pipe, 0x02);
    current->echo.insert(current->echo.end(), data, data + length);
    *moved = length;
    return TRUE;
  }
};
FakeHandheld* FakeHandheld::current = nullptr;

constexpr WinUsbApi kFakeApi = {
    &FakeHandheld::Open, &FakeHandheld::Close,      &FakeHandheld::Initialize,
    &FakeHandheld::Free, &FakeHandheld::Associated, &FakeHandheld::Settings,
    &FakeHandheld::Pipe, &FakeHandheld::Policy,     &FakeHandheld::Control,
    &FakeHandheld::Read, &FakeHandheld::Write,
};

constexpr const char* kHandheldName =
    "\\\\?\\usb#vid_0830&pid_0061#5&2d8b8a2c&0&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

TEST(WinUsbTransport, OpensAListedHandheldAndMovesBytesOverItsPsysPipes) {
  FakeHandheld handheld;
  FakeHandheld::current = &handheld;
  {
    UsbPalmTransport transport(MakeWinUsbBus(&kFakeApi), 1000, DefaultHandsetIds());
    PalmUsbPort port(&transport);
    ASSERT_EQ(port.Open(kHandheldName, kPalmCreatorId), 1) << transport.LastOpenError();
    EXPECT_TRUE(handheld.initialized);
    const uint8_t packet[5] = {0xF3, 0, 0, 0, 9};
    EXPECT_EQ(port.Send(packet, 5), 5u);
    EXPECT_EQ(handheld.outTimeout, 1000u);  // no time-out of its own: the idle limit
    uint8_t back[5] = {};
    EXPECT_EQ(port.Receive(back, 5), 5u);
    EXPECT_EQ(std::memcmp(back, packet, 5), 0);
    // A handheld that has gone ends the receive with what came.
    handheld.failReadWith = ERROR_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(port.Receive(back, 5), 0u);
    EXPECT_EQ(port.Close(), 1);
    // Not on the id list, or not a device name at all: nothing is opened.
    for (const char* other : {"\\\\?\\usb#vid_1234&pid_0061#x#{a5dcbf10}", "COM7"}) {
      handheld.initialized = false;
      EXPECT_EQ(port.Open(other, kPalmCreatorId), 0) << other;
      EXPECT_FALSE(handheld.initialized);
    }
  }
  EXPECT_TRUE(handheld.freed);
  EXPECT_TRUE(handheld.closed);
  EXPECT_EQ(UsbResultOfWindowsError(ERROR_SEM_TIMEOUT), kUsbErrorTimeout);
  EXPECT_EQ(UsbResultOfWindowsError(ERROR_ACCESS_DENIED), kUsbErrorAccess);
}

class EventRecorder {
 public:
  void operator()(uint32_t event, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.emplace_back(event, name);
    changed_.notify_all();
  }
  std::vector<std::pair<uint32_t, std::string>> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return events_.size() >= count; });
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<uint32_t, std::string>> events_;
};

// What the system would send the watcher's window for a device interface.
void SendDeviceChange(HWND window, WPARAM event, const std::string& name) {
  std::vector<char> record(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + name.size(), '\0');
  auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
  header->dbcc_size = static_cast<DWORD>(record.size());
  header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(header->dbcc_name, name.c_str(), name.size() + 1);
  ::SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record.data()));
}

TEST(DeviceChangeWatcher, ReportsListedHandheldsByTheirSystemNames) {
  TempDir dir;
  { std::ofstream(dir / "ids.conf") << "palm 0830 0061 - the handheld of the test\n"; }
  test::ScopedEnv ids("K730_HANDSET_IDS", dir / "ids.conf");
  EventRecorder recorder;
  auto watcher = MakeUsbPalmWatcher();
  ASSERT_TRUE(watcher->Start([&](uint32_t e, const std::string& n) { recorder(e, n); }, false));
  const HWND window = ::FindWindowExA(HWND_MESSAGE, nullptr, "k730PalmDeviceWatcher", nullptr);
  ASSERT_NE(window, nullptr);
  const std::string lookAlike = "\\\\?\\usb#vid_0830&pid_7777#9#{a5dcbf10}";
  SendDeviceChange(window, DBT_DEVICEARRIVAL, kHandheldName);
  SendDeviceChange(window, DBT_DEVICEARRIVAL, "\\\\?\\usb#vid_046d&pid_c077#1#{a5dcbf10}");
  SendDeviceChange(window, DBT_DEVICEARRIVAL, lookAlike);
  SendDeviceChange(window, DBT_DEVICEQUERYREMOVE, kHandheldName);
  SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, kHandheldName);
  const auto events = recorder.WaitFor(3);
  watcher->Stop();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], std::make_pair(uint32_t{DBT_DEVICEARRIVAL}, std::string(kHandheldName)));
  EXPECT_EQ(events[1], std::make_pair(uint32_t{DBT_DEVICEARRIVAL}, std::string()));
  EXPECT_EQ(events[2],
            std::make_pair(uint32_t{DBT_DEVICEREMOVECOMPLETE}, std::string(kHandheldName)));
  // The device number the console maps by starts at character 37.
  EXPECT_EQ(DeviceNumberFromName(kHandheldName), 0u);
  EXPECT_EQ(::FindWindowExA(HWND_MESSAGE, nullptr, "k730PalmDeviceWatcher", nullptr), nullptr);
}

}  // namespace
}  // namespace k730
