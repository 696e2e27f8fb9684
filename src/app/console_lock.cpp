#include "app/console_lock.h"

#include <cstdint>
#include <cstdio>

#include "core/file_access.h"

namespace k730 {
namespace {

// FNV-1a: a short, stable file name for any path.
std::string PathKey(const std::string& path) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ull;
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace

bool ConsoleLock::Acquire(const std::string& portDirectory, std::string& reason) {
  const std::string runtime = UserRuntimeDirectory(reason);
  if (runtime.empty()) {
    reason = "cannot lock the bench: " + reason;
    return false;
  }
  // The same folder reached by another name is the same bench.
  const std::string bench = RealPath(portDirectory);
  const std::string path = runtime + "/k730-console-" + PathKey(bench) + ".lock";
  std::string previous;
  long holder = 0;
  switch (lock_.Take(path, bench + "\n", previous, holder, reason)) {
    case PidLockFile::Result::Taken:
      return true;
    case PidLockFile::Result::HeldByOther:
      reason = "another console" + (holder > 0 ? " (pid " + std::to_string(holder) + ")" : "") +
               " is using the modem ports in " + bench;
      return false;
    case PidLockFile::Result::Failed:
      reason = "cannot lock the bench: " + reason;
      return false;
  }
  return false;
}

}  // namespace k730
