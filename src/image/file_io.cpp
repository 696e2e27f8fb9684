#include "image/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/file_access.h"

namespace k730 {
namespace {

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

std::string ErrnoText(const std::string& what, const std::string& path, int error) {
  return what + ": " + path + ": " + std::strerror(error);
}

std::string ReplaceProblem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "";
  if (S_ISLNK(st.st_mode)) return path + ": a symbolic link; not replaced";
  if (!S_ISREG(st.st_mode)) return path + ": not a regular file; not replaced";
  return "";
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string DirectoryPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

InputFile::~InputFile() {
  Close();
}

InputFile::InputFile(InputFile&& other) noexcept {
  *this = std::move(other);
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    mtime_ = other.mtime_;
    path_ = std::move(other.path_);
    error_ = std::move(other.error_);
  }
  return *this;
}

bool InputFile::Open(const std::string& path) {
  Close();
  path_ = path;
  error_.clear();
  if (path.empty()) {
    error_ = "no file chosen";
    return false;
  }
  // A FIFO cannot make the open wait for a writer; it and every other
  // non-regular file is refused.
  struct stat st {};
  std::string reason;
  const int fd = OpenRegularFile(path, reason, &st);
  if (fd < 0) {
    error_ = "cannot open: " + path + ": " + reason;
    return false;
  }
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  mtime_ = st.st_mtime;
  return true;
}

void InputFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

long long InputFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (fd_ < 0) {
    error_ = "read from a file that is not open: " + path_;
    return -1;
  }
  int error = 0;
  const long long done = ReadAt(offset, buffer, count, error);
  if (done < 0) error_ = ErrnoText("cannot read", path_, error);
  return done;
}

long long InputFile::ReadAt(uint64_t offset, void* buffer, size_t count, int& error) const {
  if (fd_ < 0) {
    error = EBADF;
    return -1;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long long>(done);
}

OutputFile::~OutputFile() {
  Abandon();
}

OutputFile::OutputFile(OutputFile&& other) noexcept {
  *this = std::move(other);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Abandon();
    fd_ = std::exchange(other.fd_, -1);
    finalPath_ = std::move(other.finalPath_);
    tempPath_ = std::exchange(other.tempPath_, std::string());
    error_ = std::move(other.error_);
  }
  return *this;
}

bool OutputFile::Create(const std::string& finalPath) {
  Abandon();
  finalPath_ = finalPath;
  error_.clear();
  if (finalPath.empty()) {
    error_ = "no output file name";
    return false;
  }
  if (std::string problem = ReplaceProblem(finalPath); !problem.empty()) {
    error_ = problem;
    return false;
  }
  // A name of our own beside the final file: same directory, so the rename
  // stays within one file system; O_EXCL so it never takes over another file.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".k730tmp-%ld-%u", static_cast<long>(::getpid()),
                  g_tempCounter.fetch_add(1));
    std::string candidate = finalPath + suffix;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // A file replaced keeps its permissions, as one written over would.
      struct stat existing {};
      if (::stat(finalPath.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ::fchmod(fd, existing.st_mode & 07777);
      fd_ = fd;
      tempPath_ = std::move(candidate);
      return true;
    }
    if (errno != EEXIST) {
      error_ = ErrnoText("cannot create", finalPath, errno);
      return false;
    }
  }
  error_ = "cannot create: " + finalPath + ": no free temporary name";
  return false;
}

bool OutputFile::Write(const void* data, size_t count) {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "write to an output that is not open: " + finalPath_;
    return false;
  }
  const auto* in = static_cast<const unsigned char*>(data);
  while (count > 0) {
    const ssize_t n = ::write(fd_, in, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = ErrnoText("cannot write", finalPath_, errno);
      return false;
    }
    in += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool OutputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "write to an output that is not open: " + finalPath_;
    return false;
  }
  const auto* in = static_cast<const unsigned char*>(data);
  while (count > 0) {
    const ssize_t n = ::pwrite(fd_, in, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = ErrnoText("cannot write", finalPath_, errno);
      return false;
    }
    in += n;
    offset += static_cast<uint64_t>(n);
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool OutputFile::Commit() {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "commit of an output that is not open: " + finalPath_;
    return false;
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    error_ = ErrnoText("cannot write", finalPath_, errno);
    Abandon();
    return false;
  }
  // Looked at again: what stood there when the output was created may have
  // been swapped for something that must not be replaced.
  if (std::string problem = ReplaceProblem(finalPath_); !problem.empty()) {
    error_ = problem;
    Abandon();
    return false;
  }
  if (::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    error_ = ErrnoText("cannot replace", finalPath_, errno);
    Abandon();
    return false;
  }
  tempPath_.clear();
  return true;
}

void OutputFile::Abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  tempPath_.clear();
}

}  // namespace k730
