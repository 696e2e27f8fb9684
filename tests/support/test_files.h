// What tests need of the platform besides the seams: special files, time
// zones and modification times (test_files_posix.cpp, test_files_win32.cpp).
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

namespace k730::test {

// A FIFO at path; false where the platform has none (the test then leaves
// that case out).
bool MakeFifo(const std::string& path);
// Whether files carry the POSIX permission bits.
bool FilesHavePermissionBits();
// Local times are given in tz ("UTC", "JST-9": nine hours east) from now on.
void UseTimeZone(const char* tz);

// A symbolic link at link to target; false where none can be made.
inline bool MakeSymlink(const std::string& target, const std::string& link) {
  std::error_code error;
  if (std::filesystem::is_directory(target))
    std::filesystem::create_directory_symlink(target, link, error);
  else
    std::filesystem::create_symlink(target, link, error);
  return !error;
}

inline bool SetModificationTime(const std::string& path, std::time_t time) {
  std::error_code error;
  std::filesystem::last_write_time(
      path, std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(time)), error);
  return !error;
}

}  // namespace k730::test
