#include "pda/palm_device_watcher.h"

#include <cstdlib>

namespace k730 {

bool ParsePalmSocketName(const std::string& fileName, uint32_t& number) {
  constexpr size_t kMaxDigits = 9;
  if (fileName.size() < 10 || fileName.compare(0, 4, "palm") != 0 ||
      fileName.compare(fileName.size() - 5, 5, ".sock") != 0) {
    return false;
  }
  const size_t digits = fileName.size() - 9;
  if (digits == 0 || digits > kMaxDigits) return false;
  uint32_t value = 0;
  for (size_t i = 4; i < 4 + digits; ++i) {
    if (fileName[i] < '0' || fileName[i] > '9') return false;
    value = value * 10 + static_cast<uint32_t>(fileName[i] - '0');
  }
  number = value;
  return true;
}

std::string PalmDirectoryFromEnvironment() {
  const char* directory = std::getenv("K730_PALM_DIR");
  return directory ? std::string(directory) : std::string();
}

}  // namespace k730
