// Registration of the image file types with the desktop. The freedesktop way
// (file_types_freedesktop.cpp): a shared-mime-info package that names the
// three types and a desktop entry that opens them with this program, both in
// the user's data directory. On Windows (file_types_win32.cpp): the types'
// keys in the user's classes of the registry; the two paths stay empty.
#pragma once

#include <string>

namespace k730 {

struct FileTypeRegistration {
  std::string mimePackagePath;  // <data>/mime/packages/k730-downloader.xml
  std::string desktopPath;      // <data>/applications/k730-downloader.desktop
  bool written = false;         // both files are in place with the current content
};

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share
// (%APPDATA% on Windows).
std::string UserDataDirectory();

// The full path of the running executable, "" when it cannot be found.
std::string ProgramPath();

// Registers ".BIN" (Phone ROM file), ".ROM" (PDA ROM file) and ".k700"
// (PDA/PHONE ROM file) for programPath. Files already holding the same content
// are left alone; the mime database is refreshed only after a change, and
// only when update-mime-database is installed. Failures are silent.
FileTypeRegistration RegisterFileTypes(const std::string& programPath);

// Quotes a path for the Exec key of a desktop entry when it needs it
// (freedesktop only).
std::string DesktopExecQuote(const std::string& path);

}  // namespace k730
