#include "app/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "../support/temp_dir.h"

namespace k730 {
namespace {

using test::ScopedEnv;
using test::TempDir;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SettingsTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string file = dir / "conf/k730/settings.ini";
  ScopedEnv env{"K730_SETTINGS_FILE", file};
};

TEST_F(SettingsTest, MissingFileReadsEmptyAndIsNotCreatedByReading) {
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "");
  EXPECT_EQ(ReadSetting(kSettingUploadPort), "");
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(SettingsTest, WriteCreatesDirectoriesAndReadsBack) {
  EXPECT_EQ(WriteSetting(kSettingUploadPath, "/home/op/tova_korvan_release.img"), 1);
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "/home/op/tova_korvan_release.img");
  EXPECT_EQ(ReadSetting(kSettingUploadPort), "");
  const std::string text = FileText(file);
  EXPECT_NE(text.find("[SOFTWARE\\HALVEK\\KORVAN730DL]\n"), std::string::npos);
  EXPECT_NE(text.find("UPLOAD_PATH=/home/op/tova_korvan_release.img\n"), std::string::npos);
  EXPECT_EQ(text.find("UPLOAD_PORT"), std::string::npos);
}

TEST_F(SettingsTest, OverwriteKeepsOtherValuesAndSections) {
  {
    std::filesystem::create_directories(dir / "conf/k730");
    std::ofstream out(file);
    out << "[Other]\nUPLOAD_PATH=not-ours\n\n[SOFTWARE\\HALVEK\\KORVAN730DL]\nUPLOAD_PORT=7\n"
           "UPLOAD_PATH=old\n\n[Tail]\nx=1\n";
  }
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "old");
  EXPECT_EQ(ReadSetting(kSettingUploadPort), "7");
  EXPECT_EQ(WriteSetting(kSettingUploadPath, "new path"), 1);
  EXPECT_EQ(WriteSetting("EXTRA", "v=w"), 1);
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "new path");
  EXPECT_EQ(ReadSetting(kSettingUploadPort), "7");
  EXPECT_EQ(ReadSetting("EXTRA"), "v=w");
  const std::string text = FileText(file);
  EXPECT_NE(text.find("[Other]\nUPLOAD_PATH=not-ours\n"), std::string::npos);
  EXPECT_NE(text.find("UPLOAD_PATH=new path\nEXTRA=v=w\n\n[Tail]\nx=1\n"), std::string::npos);
}

TEST_F(SettingsTest, EmptyAndLongValuesAreStoredWhole) {
  EXPECT_EQ(WriteSetting(kSettingUploadPath, ""), 1);
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "");
  const std::string longPath = "/" + std::string(4000, 'p') + ".img";
  EXPECT_EQ(WriteSetting(kSettingUploadPath, longPath), 1);
  EXPECT_EQ(ReadSetting(kSettingUploadPath), longPath);
}

TEST_F(SettingsTest, UnwritableTextIsRefusedAndLeavesTheFileAlone) {
  ASSERT_EQ(WriteSetting(kSettingUploadPath, "keep"), 1);
  const std::string before = FileText(file);
  EXPECT_EQ(WriteSetting(kSettingUploadPath, "two\nlines"), 0);
  EXPECT_EQ(WriteSetting(kSettingUploadPath, std::string("nul\0x", 5)), 0);
  EXPECT_EQ(WriteSetting("A=B", "x"), 0);
  EXPECT_EQ(WriteSetting("", "x"), 0);
  EXPECT_EQ(WriteSetting("[S]", "x"), 0);
  EXPECT_EQ(FileText(file), before);
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "keep");
}

TEST_F(SettingsTest, FailuresAreSilent) {
  // The settings path is a directory: nothing can be read or stored.
  std::filesystem::create_directories(file);
  EXPECT_EQ(ReadSetting(kSettingUploadPath), "");
  EXPECT_EQ(WriteSetting(kSettingUploadPath, "x"), 0);
}

}  // namespace
}  // namespace k730
