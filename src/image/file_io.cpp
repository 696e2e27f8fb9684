#include "image/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace k730 {
namespace {

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

std::string ErrnoText(const std::string& what, const std::string& path, int error) {
  return what + ": " + path + ": " + std::strerror(error);
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
    identity_ = other.identity_;
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
  // Non-blocking so that opening a FIFO cannot wait for a writer; it is
  // refused just below like every other non-regular file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error_ = ErrnoText("cannot open", path, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error_ = ErrnoText("cannot examine", path, errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error_ = "cannot open: " + path + ": not a regular file";
    ::close(fd);
    return false;
  }
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  identity_.device = st.st_dev;
  identity_.inode = st.st_ino;
  identity_.size = size_;
  identity_.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  identity_.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
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
  // A name of our own beside the final file: same directory, so the rename
  // stays within one file system; O_EXCL so it never takes over another file.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".k730tmp-%ld-%u", static_cast<long>(::getpid()),
                  g_tempCounter.fetch_add(1));
    std::string candidate = finalPath + suffix;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
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

OutputFile::CopyResult OutputFile::CopyFrom(InputFile& in, uint64_t offset, uint64_t length) {
  if (fd_ < 0 || in.fd_ < 0) return CopyResult::Unsupported;
  uint64_t done = 0;
  while (done < length) {
    loff_t from = static_cast<loff_t>(offset + done);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, 1ull << 30));
    const ssize_t n = ::copy_file_range(in.fd_, &from, fd_, nullptr, want, 0);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      // Before the first byte the kernel may simply not offer this copy here.
      if (done == 0 && (error == ENOSYS || error == EXDEV || error == EINVAL ||
                        error == EOPNOTSUPP || error == EPERM || error == ETXTBSY))
        return CopyResult::Unsupported;
      // The call cannot say which side failed; probe the source to tell.
      unsigned char probe;
      if (::pread(in.fd_, &probe, 1, from) < 0) {
        in.error_ = ErrnoText("cannot read", in.path_, errno);
        return CopyResult::ReadError;
      }
      error_ = ErrnoText("cannot write", finalPath_, error);
      return CopyResult::WriteError;
    }
    if (n == 0) return CopyResult::Short;
    done += static_cast<uint64_t>(n);
  }
  return CopyResult::Ok;
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
