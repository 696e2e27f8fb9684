#include "app/file_types.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "../support/temp_dir.h"
#include "app/downloader_app.h"

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

TEST(FileTypes, RegistersThreeTypesAndADesktopEntryUnderTheDataHome) {
  TempDir dir;
  ScopedEnv data("XDG_DATA_HOME", dir.Path());
  const FileTypeRegistration r = RegisterFileTypes("/opt/k730/bin/k730-downloader");
  EXPECT_TRUE(r.written);
  EXPECT_EQ(r.mimePackagePath, dir / "mime/packages/k730-downloader.xml");
  EXPECT_EQ(r.desktopPath, dir / "applications/k730-downloader.desktop");

  const std::string xml = FileText(r.mimePackagePath);
  EXPECT_NE(xml.find("<comment>Phone ROM file</comment>"), std::string::npos);
  EXPECT_NE(xml.find("<comment>PDA ROM file</comment>"), std::string::npos);
  EXPECT_NE(xml.find("<comment>PDA/PHONE ROM file</comment>"), std::string::npos);
  EXPECT_NE(xml.find("<glob pattern=\"*.bin\"/>"), std::string::npos);
  EXPECT_NE(xml.find("<glob pattern=\"*.rom\"/>"), std::string::npos);
  EXPECT_NE(xml.find("<glob pattern=\"*.k700\"/>"), std::string::npos);
  // Types in the order .BIN, .ROM, .k700.
  EXPECT_LT(xml.find("Phone ROM"), xml.find("<comment>PDA ROM"));
  EXPECT_LT(xml.find("<comment>PDA ROM"), xml.find("PDA/PHONE"));

  const std::string desktop = FileText(r.desktopPath);
  EXPECT_NE(desktop.find("\nExec=/opt/k730/bin/k730-downloader %f\n"), std::string::npos);
  EXPECT_NE(desktop.find("MimeType=application/x-k730-phone-rom;application/x-k730-pda-rom;"
                         "application/x-k730-united-rom;\n"),
            std::string::npos);
}

TEST(FileTypes, RewritesAChangedEntryAtEveryStart) {
  TempDir dir;
  ScopedEnv data("XDG_DATA_HOME", dir.Path());
  RegisterFileTypes("/old/place/k730-downloader");
  const FileTypeRegistration r = RegisterFileTypes("/new/place/k730-downloader");
  EXPECT_TRUE(r.written);
  EXPECT_NE(FileText(r.desktopPath).find("Exec=/new/place/k730-downloader %f"), std::string::npos);
}

TEST(FileTypes, FailsSilentlyWhenTheDataHomeIsNotWritable) {
  TempDir dir;
  const std::string blocker = dir / "file";
  std::ofstream(blocker) << "x";
  ScopedEnv data("XDG_DATA_HOME", blocker);  // a file, not a directory
  const FileTypeRegistration r = RegisterFileTypes("/opt/k730/bin/k730-downloader");
  EXPECT_FALSE(r.written);
}

TEST(FileTypes, QuotesExecPathsThatNeedIt) {
  EXPECT_EQ(DesktopExecQuote("/usr/bin/k730-downloader"), "/usr/bin/k730-downloader");
  EXPECT_EQ(DesktopExecQuote("/home/op/my tools/k730"), "\"/home/op/my tools/k730\"");
  EXPECT_EQ(DesktopExecQuote("/a$b"), "\"/a\\\\$b\"");
  EXPECT_EQ(DesktopExecQuote("/100%"), "\"/100%%\"");
  EXPECT_EQ(DesktopExecQuote("/a\\b"), "\"/a\\\\\\\\b\"");
}

TEST(DownloaderApp, StartRegistersForTheRunningProgramAndOwnsTheLocks) {
  TempDir dir;
  ScopedEnv data("XDG_DATA_HOME", dir.Path());
  DownloaderApp app;
  app.InitInstance();
  EXPECT_TRUE(app.Registration().written);
  const std::string desktop = FileText(app.Registration().desktopPath);
  EXPECT_NE(desktop.find("Exec=" + DesktopExecQuote(ProgramPath()) + " %f"), std::string::npos);
  EXPECT_NE(&app.ReenumerationLock(), &app.SecondLock());
  std::lock_guard<std::mutex> hold(app.ReenumerationLock());
  EXPECT_TRUE(app.SecondLock().try_lock());
  app.SecondLock().unlock();
}

}  // namespace
}  // namespace k730
