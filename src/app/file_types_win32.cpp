// Registration of the image file types with the shell: for each type the
// extension key names the type, and the type's open command runs this
// program. The keys go under the user's own classes (Software\Classes of
// HKEY_CURRENT_USER), the part of HKEY_CLASSES_ROOT a user may write.
#include "core/windows_api.h"
// After windows.h, which it needs.
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/file_types.h"

namespace k730 {
namespace {

struct FileType {
  const char* extension;
  const char* typeName;
};

constexpr FileType kFileTypes[] = {
    {".BIN", "Phone ROM file"},
    {".ROM", "PDA ROM file"},
    {".k700", "PDA/PHONE ROM file"},
};

bool SetDefaultValue(const std::string& keyPath, const std::string& text) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG set =
      ::RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
  ::RegCloseKey(key);
  return set == ERROR_SUCCESS;
}

}  // namespace

std::string UserDataDirectory() {
  const char* data = std::getenv("APPDATA");
  return data ? std::string(data) : std::string();
}

std::string ProgramPath() {
  char buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

FileTypeRegistration RegisterFileTypes(const std::string& programPath) {
  FileTypeRegistration result;
  if (programPath.empty()) return result;
  // Unquoted, a blank and the shell's placeholder.
  const std::string command = programPath + " %1";
  bool all = true;
  for (const FileType& type : kFileTypes) {
    const std::string classes = "Software\\Classes\\";
    char commandKey[256];
    std::snprintf(commandKey, sizeof commandKey, "%s\\shell\\open\\%s", type.typeName, "command");
    all = SetDefaultValue(classes + type.extension, type.typeName) && all;
    all = SetDefaultValue(classes + commandKey, command) && all;
  }
  result.written = all;
  if (all) ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return result;
}

}  // namespace k730
