#include "core/file_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace k730 {

int OpenRegularFile(const std::string& path, std::string& reason, struct stat* status) {
  reason.clear();
  if (path.empty()) {
    reason = "no file named";
    return -1;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    reason = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    reason = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    reason = S_ISDIR(st.st_mode) ? "a directory, not a file" : "not a regular file";
    ::close(fd);
    return -1;
  }
  // Regular files never block; the flag only kept the open from waiting.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (status) *status = st;
  return fd;
}

int OpenOutput(const std::string& path, OutputMode mode, LinkPolicy links, std::string& reason) {
  reason.clear();
  if (path.empty()) {
    reason = "no file named";
    return -1;
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  flags |= mode == OutputMode::Append ? O_APPEND : O_TRUNC;
  if (links == LinkPolicy::Refuse) flags |= O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    const int error = errno;
    if (error == ENXIO)
      reason = "a FIFO with no reader";
    else if (error == ELOOP && links == LinkPolicy::Refuse)
      reason = "a symbolic link, not followed";
    else
      reason = std::strerror(error);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool WriteAll(int fd, const char* data, size_t length, std::string& reason) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reason = std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool MakeDirectories(const std::string& dir, std::string& reason) {
  if (dir.empty()) {
    reason = "no directory named";
    return false;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    reason = dir + ": not a directory";
    return false;
  }
  const size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash), reason))
    return false;
  if (::mkdir(dir.c_str(), 0755) == 0) return true;
  if (errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  reason = dir + ": " + std::strerror(errno);
  return false;
}

}  // namespace k730
