#include "app/console_lock.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::string RuntimeDirectory(std::string& reason) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime && *runtime == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
    return runtime;
  // A folder of our own in /tmp; one planted by someone else is not used.
  const std::string dir = "/tmp/k730-" + std::to_string(::getuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    reason = dir + ": " + std::strerror(errno);
    return "";
  }
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
      (st.st_mode & 077) != 0) {
    reason = dir + ": not a private folder of this user";
    return "";
  }
  return dir;
}

bool ConsoleLock::Acquire(const std::string& portDirectory, std::string& reason) {
  const std::string runtime = RuntimeDirectory(reason);
  if (runtime.empty()) {
    reason = "cannot lock the bench: " + reason;
    return false;
  }
  // The same folder reached by another name is the same bench.
  char* resolved = ::realpath(portDirectory.c_str(), nullptr);
  const std::string bench = resolved ? resolved : portDirectory;
  std::free(resolved);
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
