#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/file_access.h"

namespace k730 {
namespace {

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Directory;
  if (S_ISCHR(mode)) return FileKind::CharacterDevice;
  if (S_ISFIFO(mode)) return FileKind::Fifo;
  if (S_ISSOCK(mode)) return FileKind::Socket;
  if (S_ISLNK(mode)) return FileKind::SymbolicLink;
  return FileKind::Other;
}

FileStatus StatusFrom(const struct stat& st) {
  FileStatus status;
  status.kind = KindOf(st.st_mode);
  status.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  status.modified = st.st_mtime;
  status.identity.device = static_cast<uint64_t>(st.st_dev);
  status.identity.index = static_cast<uint64_t>(st.st_ino);
  return status;
}

// Regular files never block; O_NONBLOCK only kept the open from waiting.
void MakeBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

}  // namespace

int OpenRegularFile(const std::string& path, std::string& reason, FileStatus* status) {
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
  MakeBlocking(fd);
  if (status) *status = StatusFrom(st);
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
  MakeBlocking(fd);
  return fd;
}

int CreateNewFile(const std::string& path, NewFileAccess access, bool& exists,
                  std::string& reason) {
  exists = false;
  const mode_t mode = access == NewFileAccess::Private  ? 0600
                      : access == NewFileAccess::Shared ? 0644
                                                        : 0666;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    exists = errno == EEXIST;
    reason = std::strerror(errno);
  }
  return fd;
}

int OpenLockFile(const std::string& path, std::string& reason) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    reason = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "not a regular file";
    ::close(fd);
    return -1;
  }
  MakeBlocking(fd);
  return fd;
}

int OpenConfinedFile(const std::string& directory, const std::vector<std::string>& parts,
                     ConfinedAccess access) {
  if (parts.empty()) return -1;
  int flags = O_RDONLY;
  if (access == ConfinedAccess::WriteCreate) flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (access == ConfinedAccess::ReadWrite) flags = O_RDWR;
  // One component at a time, following no symbolic link.
  int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
    const int next =
        ::openat(dir, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(dir);
    dir = next;
  }
  if (dir < 0) return -1;
  // Non-blocking so that a FIFO cannot stall the open; only regular files pass.
  const int fd = ::openat(dir, parts.back().c_str(),
                          flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  ::close(dir);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  MakeBlocking(fd);
  return fd;
}

long long ReadSome(int fd, void* buffer, size_t count, int* error) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, count);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (error) *error = errno;
    return -1;
  }
}

long long ReadAt(int fd, uint64_t offset, void* buffer, size_t count, int& error) {
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
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

bool WriteAll(int fd, const void* data, size_t length, int& error) {
  const auto* in = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, in + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, uint64_t offset, const void* data, size_t length, int& error) {
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, in, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      return false;
    }
    in += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool RewindFile(int fd) {
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

bool TruncateFile(int fd, uint64_t length, int& error) {
  if (::ftruncate(fd, static_cast<off_t>(length)) == 0) return true;
  error = errno;
  return false;
}

bool SyncFile(int fd) {
  return ::fsync(fd) == 0;
}

bool CloseFile(int fd, int* error) {
  if (::close(fd) == 0) return true;
  if (error) *error = errno;
  return false;
}

bool StatusOf(int fd, FileStatus& status) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  status = StatusFrom(st);
  return true;
}

std::FILE* StreamOf(int fd, const char* mode) {
  return ::fdopen(fd, mode);
}

bool IsTerminal(std::FILE* stream) {
  return ::isatty(::fileno(stream)) == 1;
}

FileStatus PathStatus(const std::string& path, LinkPolicy links) {
  struct stat st {};
  const int r =
      links == LinkPolicy::Follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  return r == 0 ? StatusFrom(st) : FileStatus{};
}

bool SameFile(const std::string& a, const std::string& b) {
  const FileStatus first = PathStatus(a);
  const FileStatus second = PathStatus(b);
  return first.kind != FileKind::Missing && second.kind != FileKind::Missing &&
         first.identity == second.identity;
}

void CopyPermissions(const std::string& from, int fd) {
  struct stat existing {};
  if (::stat(from.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
    ::fchmod(fd, existing.st_mode & 07777);
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to, int& error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  error = errno;
  return false;
}

bool MakeDirectories(const std::string& dir, std::string& reason, NewFileAccess access) {
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
  if (slash != std::string::npos && slash > 0 &&
      !MakeDirectories(dir.substr(0, slash), reason, access))
    return false;
  if (::mkdir(dir.c_str(), access == NewFileAccess::Private ? 0700 : 0755) == 0) return true;
  if (errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  reason = dir + ": " + std::strerror(errno);
  return false;
}

bool CanCreateFilesIn(const std::string& dir, std::string& reason) {
  if (::access(dir.c_str(), W_OK | X_OK) == 0) return true;
  reason = dir + ": " + std::strerror(errno);
  return false;
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  return resolved ? std::string(resolved.get()) : path;
}

std::string CurrentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  if (!::getcwd(buffer.data(), buffer.size())) return ".";
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

std::string ProgramDirectory() {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return "";
  buffer.resize(static_cast<size_t>(n));
  const size_t slash = buffer.rfind('/');
  return slash == std::string::npos ? std::string() : buffer.substr(0, slash);
}

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "";
}

std::string UserRuntimeDirectory(std::string& reason) {
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

std::string UserStateDirectory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') return state;
  const std::string home = HomeDirectory();
  return home.empty() ? "" : home + "/.local/state";
}

std::string TemporaryDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp == '/' ? std::string(tmp) : std::string("/tmp");
}

bool IsPathSeparator(char c) {
  return c == '/';
}

size_t LastPathSeparator(const std::string& path) {
  return path.rfind('/');
}

bool IsAbsolutePath(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

long ProcessId() {
  return static_cast<long>(::getpid());
}

std::string SystemErrorText(int error) {
  return std::strerror(error);
}

bool IsNoSuchFileError(int error) {
  return error == ENOENT;
}

LockResult TryLockFile(int fd, std::string& reason) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Taken;
  if (errno == EWOULDBLOCK) return LockResult::HeldByOther;
  reason = std::strerror(errno);
  return LockResult::Failed;
}

void SetEnvironment(const char* name, const std::string& value) {
  ::setenv(name, value.c_str(), 1);
}

void UnsetEnvironment(const char* name) {
  ::unsetenv(name);
}

}  // namespace k730
