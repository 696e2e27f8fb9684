// The settings store: a few named text values that survive the process. On
// Windows they are values of the registry key below under HKEY_LOCAL_MACHINE;
// elsewhere, and wherever K730_SETTINGS_FILE names a file, they are kept in
// an INI-style file per user under a section named after that key
// (settings_posix.cpp, settings_win32.cpp).
#pragma once

#include <string>

namespace k730 {

// The section under which the values are kept, named after the original key.
constexpr const char* kSettingsSection = "SOFTWARE\\HALVEK\\KORVAN730DL";
constexpr const char* kSettingUploadPath = "UPLOAD_PATH";
constexpr const char* kSettingUploadPort = "UPLOAD_PORT";
// "1": the handsets of a run may restart at the same time, each phone worker
// locking only its own port (honoured where the bench names its ports by USB port).
constexpr const char* kSettingParallelRestarts = "PARALLEL_RESTARTS";

// K730_SETTINGS_FILE when set, else $XDG_CONFIG_HOME/k730/settings.ini (or
// ~/.config/k730/settings.ini); on Windows "" unless set (the registry).
std::string SettingsFilePath();

// The stored text, or "" when the store, the value or any read is missing.
// Never creates anything.
std::string ReadSetting(const std::string& name);

// Stores value as text (any length, kept whole); 1 when stored, 0 otherwise.
// Names and values that cannot be written as one line of the file (line
// breaks, NUL, '=', '[' or ';' in a name) are refused without touching the
// store. A file is replaced atomically, so a crash never leaves it half
// written.
int WriteSetting(const std::string& name, const std::string& value);

// The same on the INI-style file at path.
std::string ReadSettingFromFile(const std::string& path, const std::string& name);
int WriteSettingToFile(const std::string& path, const std::string& name, const std::string& value);
bool ValidSettingName(const std::string& name);
bool ValidSettingValue(const std::string& value);

}  // namespace k730
