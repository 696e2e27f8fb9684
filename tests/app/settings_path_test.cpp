// Where the settings file is kept where there is no registry.
#include <gtest/gtest.h>

#include "../support/temp_dir.h"
#include "app/settings.h"

namespace k730 {
namespace {

using test::ScopedEnv;

TEST(SettingsPath, FollowsTheEnvironment) {
  {
    ScopedEnv settings("K730_SETTINGS_FILE", "/tmp/x/s.ini");
    EXPECT_EQ(SettingsFilePath(), "/tmp/x/s.ini");
  }
  ScopedEnv none("K730_SETTINGS_FILE", "");
  ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(SettingsFilePath(), "/cfg/k730/settings.ini");
  ScopedEnv relative("XDG_CONFIG_HOME", "relative");
  ScopedEnv home("HOME", "/home/op");
  EXPECT_EQ(SettingsFilePath(), "/home/op/.config/k730/settings.ini");
}

}  // namespace
}  // namespace k730
