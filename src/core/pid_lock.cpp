#include "core/pid_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/file_access.h"

namespace k730 {
namespace {

// The whole (small) file; a lock file is never large, anything beyond is cut.
std::string ReadLock(int fd) {
  std::string text(4096, '\0');
  const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

}  // namespace

PidLockFile::~PidLockFile() {
  Release();
}

PidLockFile::Result PidLockFile::Take(const std::string& path, const std::string& note,
                                      std::string& previous, long& holderPid, std::string& reason) {
  Release();
  previous.clear();
  holderPid = 0;
  // A holder that lets go removes the file; one that opened it just before
  // may then lock a file no longer in the folder, and tries again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
      reason = path + ": " + std::strerror(errno);
      return Result::Failed;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      reason = path + ": not a regular file";
      ::close(fd);
      return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK) {
        holderPid = std::strtol(ReadLock(fd).c_str(), nullptr, 10);
        ::close(fd);
        return Result::HeldByOther;
      }
      reason = path + ": " + std::strerror(error);
      ::close(fd);
      return Result::Failed;
    }
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0 || named.st_ino != opened.st_ino ||
        named.st_dev != opened.st_dev) {
      ::close(fd);
      continue;
    }
    const std::string old = ReadLock(fd);
    const size_t firstEnd = old.find('\n');
    if (firstEnd != std::string::npos) previous = old.substr(firstEnd + 1);
    const std::string text = std::to_string(static_cast<long>(::getpid())) + "\n" + note;
    if (::ftruncate(fd, 0) != 0 || !WriteAll(fd, text.data(), text.size(), reason)) {
      reason = path + ": " + (reason.empty() ? std::strerror(errno) : reason);
      ::close(fd);
      return Result::Failed;
    }
    fd_ = fd;
    path_ = path;
    return Result::Taken;
  }
  reason = path + ": keeps being replaced";
  return Result::Failed;
}

void PidLockFile::Release() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

}  // namespace k730
