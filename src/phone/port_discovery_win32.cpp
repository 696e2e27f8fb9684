// The modem-port scan on Windows: the handsets' modem driver publishes each
// modem as a value "\Device\hvcdmdm<d>" of HARDWARE\DEVICEMAP\SERIALCOMM
// under HKEY_LOCAL_MACHINE, whose text is its port name (COM7).
#include "core/windows_api.h"

#include <cstdio>
#include <string>
#include <vector>

#include "phone/port_discovery.h"
#include "phone/serial_port.h"

namespace k730 {
namespace {

constexpr int kModemValues = 30;

// The text of a string value, "" when it is missing or not text.
std::string ValueText(HKEY key, const char* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > 256)
    return "";
  std::vector<char> data(size + 1, '\0');
  if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS)
    return "";
  return data.data();
}

}  // namespace

void DiscoverPhonePorts(const std::string& portDir, int (&comPorts)[kMaxComPorts], int& slotCount,
                        int& comPort) {
  std::vector<int> numbers;
  // Read access is all a scan needs; any user may list the ports.
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, portDir.c_str(), 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    for (int d = 0; d < kModemValues; ++d) {
      char name[32];
      std::snprintf(name, sizeof name, "\\Device\\hvcdmdm%d", d);
      // Only a port name (COM<n>) is a port; anything else in a value names none.
      const int number = ComPortNumberFromName(ValueText(key, name));
      if (number >= 0) numbers.push_back(number);
    }
    ::RegCloseKey(key);
  }
  BindPhonePorts(numbers, comPorts, slotCount, comPort);
}

std::string PortHolder(const std::string& devicePath) {
  // Windows opens a COM port exclusively and does not say who has it.
  const HANDLE port = ::CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port != INVALID_HANDLE_VALUE) {
    ::CloseHandle(port);
    return "";
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return "";
  return "another program (Windows does not name it)";
}

}  // namespace k730
