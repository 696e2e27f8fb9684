#include <stdlib.h>
#include <time.h>

#include "test_files.h"

namespace k730::test {

bool MakeFifo(const std::string&) {
  return false;
}

bool FilesHavePermissionBits() {
  return false;
}

void UseTimeZone(const char* tz) {
  ::_putenv_s("TZ", tz);
  ::_tzset();
}

}  // namespace k730::test
