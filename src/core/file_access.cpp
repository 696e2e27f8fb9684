// What every platform's file access shares: the calls made of the seam's own
// operations (file_access_posix.cpp, file_access_win32.cpp).
#include "core/file_access.h"

#include <cstdlib>

namespace k730 {

bool WriteAll(int fd, const void* data, size_t length, std::string& reason) {
  int error = 0;
  if (WriteAll(fd, data, length, error)) return true;
  reason = SystemErrorText(error);
  return false;
}

bool GetEnvironment(const char* name, std::string& value) {
  const char* text = std::getenv(name);
  value = text ? text : "";
  return text != nullptr;
}

}  // namespace k730
