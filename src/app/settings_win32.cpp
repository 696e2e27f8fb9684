// Settings on Windows: string values of one key under HKEY_LOCAL_MACHINE,
// opened and closed for every read and write. The key is taken from the
// registry's 32-bit view, where the settings of the bench's earlier 32-bit
// tool live, so that both see the same last image and port base.
#include "core/windows_api.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "app/settings.h"

namespace k730 {
namespace {

constexpr const char* kSettingsKeyClass = "Halvek Talmo Downloader";
constexpr REGSAM kView = KEY_WOW64_32KEY;

std::string OverriddenFile() {
  const char* file = std::getenv("K730_SETTINGS_FILE");
  return file && *file ? std::string(file) : std::string();
}

}  // namespace

std::string SettingsFilePath() {
  return OverriddenFile();
}

std::string ReadSetting(const std::string& name) {
  if (const std::string file = OverriddenFile(); !file.empty())
    return ReadSettingFromFile(file, name);
  if (!ValidSettingName(name)) return "";
  // Read access only, so that a user who may not change the machine's
  // settings still finds the image path stored by one who may.
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsSection, 0, KEY_QUERY_VALUE | kView, &key) !=
      ERROR_SUCCESS)
    return "";
  DWORD type = 0;
  DWORD size = 0;
  std::string text;
  if (::RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    // Whatever its type, the value's bytes are read as text up to a NUL.
    std::vector<char> data(static_cast<size_t>(size) + 1, '\0');
    DWORD got = size;
    if (::RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                           &got) == ERROR_SUCCESS) {
      data[got < size ? got : size] = '\0';
      text = data.data();
    }
  }
  ::RegCloseKey(key);
  return text;
}

int WriteSetting(const std::string& name, const std::string& value) {
  if (const std::string file = OverriddenFile(); !file.empty())
    return WriteSettingToFile(file, name, value);
  if (!ValidSettingName(name) || !ValidSettingValue(value)) return 0;
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsSection, 0,
                        const_cast<char*>(kSettingsKeyClass), REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return 0;
  const LONG set =
      ::RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
  ::RegCloseKey(key);
  return set == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace k730
