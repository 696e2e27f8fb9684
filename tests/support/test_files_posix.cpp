#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "test_files.h"

namespace k730::test {

bool MakeFifo(const std::string& path) {
  return ::mkfifo(path.c_str(), 0600) == 0;
}

bool FilesHavePermissionBits() {
  return true;
}

void UseTimeZone(const char* tz) {
  ::setenv("TZ", tz, 1);
  ::tzset();
}

}  // namespace k730::test
