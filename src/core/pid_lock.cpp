#include "core/pid_lock.h"

#include <cstdlib>

#include "core/file_access.h"

namespace k730 {
namespace {

// The whole (small) file; a lock file is never large, anything beyond is cut.
std::string ReadLock(int fd) {
  std::string text(4096, '\0');
  int error = 0;
  const long long n = ReadAt(fd, 0, text.data(), text.size(), error);
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
    const int fd = OpenLockFile(path, reason);
    if (fd < 0) {
      reason = path + ": " + reason;
      return Result::Failed;
    }
    FileStatus opened;
    if (!StatusOf(fd, opened)) {
      reason = path + ": not a regular file";
      CloseFile(fd);
      return Result::Failed;
    }
    switch (TryLockFile(fd, reason)) {
      case LockResult::Taken:
        break;
      case LockResult::HeldByOther:
        holderPid = std::strtol(ReadLock(fd).c_str(), nullptr, 10);
        CloseFile(fd);
        return Result::HeldByOther;
      case LockResult::Failed:
        reason = path + ": " + reason;
        CloseFile(fd);
        return Result::Failed;
    }
    const FileStatus named = PathStatus(path, LinkPolicy::Refuse);
    if (named.kind != FileKind::Regular || !(named.identity == opened.identity)) {
      CloseFile(fd);
      continue;
    }
    const std::string old = ReadLock(fd);
    const size_t firstEnd = old.find('\n');
    if (firstEnd != std::string::npos) previous = old.substr(firstEnd + 1);
    const std::string text = std::to_string(ProcessId()) + "\n" + note;
    int error = 0;
    if (!TruncateFile(fd, 0, error)) {
      reason = path + ": " + SystemErrorText(error);
      CloseFile(fd);
      return Result::Failed;
    }
    if (!WriteAll(fd, text.data(), text.size(), reason)) {
      reason = path + ": " + reason;
      CloseFile(fd);
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
  RemoveFile(path_);
  CloseFile(fd_);
  fd_ = -1;
  path_.clear();
}

}  // namespace k730
