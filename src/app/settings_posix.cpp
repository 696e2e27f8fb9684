#include <cstdlib>
#include <string>

#include "app/settings.h"
#include "core/file_access.h"

namespace k730 {

std::string SettingsFilePath() {
  const char* overridden = std::getenv("K730_SETTINGS_FILE");
  if (overridden && *overridden) return overridden;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base = config && *config == '/' ? std::string(config) : HomeDirectory() + "/.config";
  return base + "/k730/settings.ini";
}

std::string ReadSetting(const std::string& name) {
  return ReadSettingFromFile(SettingsFilePath(), name);
}

int WriteSetting(const std::string& name, const std::string& value) {
  return WriteSettingToFile(SettingsFilePath(), name, value);
}

}  // namespace k730
