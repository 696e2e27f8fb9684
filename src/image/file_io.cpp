#include "image/file_io.h"

#include <atomic>
#include <cstdio>
#include <utility>

#include "core/file_access.h"

namespace k730 {
namespace {

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

std::string ErrnoText(const std::string& what, const std::string& path, int error) {
  return what + ": " + path + ": " + (error == 0 ? "not open" : SystemErrorText(error));
}

std::string ReplaceProblem(const std::string& path) {
  const FileKind kind = PathStatus(path, LinkPolicy::Refuse).kind;
  if (kind == FileKind::Missing) return "";
  if (kind == FileKind::SymbolicLink) return path + ": a symbolic link; not replaced";
  if (kind != FileKind::Regular) return path + ": not a regular file; not replaced";
  return "";
}

std::string DirectoryPart(const std::string& path) {
  const size_t slash = LastPathSeparator(path);
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
  FileStatus status;
  std::string reason;
  const int fd = OpenRegularFile(path, reason, &status);
  if (fd < 0) {
    error_ = "cannot open: " + path + ": " + reason;
    return false;
  }
  fd_ = fd;
  size_ = status.size;
  mtime_ = status.modified;
  return true;
}

void InputFile::Close() {
  if (fd_ >= 0) CloseFile(fd_);
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
    error = 0;
    return -1;
  }
  return k730::ReadAt(fd_, offset, buffer, count, error);
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
    std::snprintf(suffix, sizeof suffix, ".k730tmp-%ld-%u", ProcessId(),
                  g_tempCounter.fetch_add(1));
    std::string candidate = finalPath + suffix;
    bool exists = false;
    std::string reason;
    const int fd = CreateNewFile(candidate, NewFileAccess::Default, exists, reason);
    if (fd >= 0) {
      // A file replaced keeps its permissions, as one written over would.
      CopyPermissions(finalPath, fd);
      fd_ = fd;
      tempPath_ = std::move(candidate);
      return true;
    }
    if (!exists) {
      error_ = "cannot create: " + finalPath + ": " + reason;
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
  int error = 0;
  if (WriteAll(fd_, data, count, error)) return true;
  error_ = ErrnoText("cannot write", finalPath_, error);
  return false;
}

bool OutputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "write to an output that is not open: " + finalPath_;
    return false;
  }
  int error = 0;
  if (WriteAllAt(fd_, offset, data, count, error)) return true;
  error_ = ErrnoText("cannot write", finalPath_, error);
  return false;
}

bool OutputFile::Commit() {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "commit of an output that is not open: " + finalPath_;
    return false;
  }
  const int fd = std::exchange(fd_, -1);
  int error = 0;
  if (!CloseFile(fd, &error)) {
    error_ = ErrnoText("cannot write", finalPath_, error);
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
  if (!RenameFile(tempPath_, finalPath_, error)) {
    error_ = ErrnoText("cannot replace", finalPath_, error);
    Abandon();
    return false;
  }
  tempPath_.clear();
  return true;
}

void OutputFile::Abandon() {
  if (fd_ >= 0) CloseFile(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) RemoveFile(tempPath_);
  tempPath_.clear();
}

}  // namespace k730
