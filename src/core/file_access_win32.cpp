// Files on Windows: handles opened with CreateFile (sharing read, write and
// delete, as POSIX files behave), handed out as C runtime descriptors so that
// a stdio stream can be made of them.
#include "core/windows_api.h"
// After windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cctype>
#include <cstring>

#include "core/file_access.h"

namespace k730 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE HandleOf(int fd) {
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// The descriptor owning handle; the handle is closed when that fails.
int DescriptorOf(HANDLE handle, int flags) {
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) ::CloseHandle(handle);
  return fd;
}

std::time_t TimeOf(const FILETIME& time) {
  // 100 ns steps since 1601 to seconds since 1970.
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  constexpr uint64_t kEpochDifference = 116444736000000000ull;
  return ticks < kEpochDifference
             ? 0
             : static_cast<std::time_t>((ticks - kEpochDifference) / 10000000ull);
}

FileStatus StatusOfHandle(HANDLE handle, bool reportLinks) {
  FileStatus status;
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD type = ::GetFileType(handle);
  if (type == FILE_TYPE_CHAR) {
    status.kind = FileKind::CharacterDevice;
    return status;
  }
  if (type == FILE_TYPE_PIPE) {
    status.kind = FileKind::Fifo;
    return status;
  }
  if (type != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info)) {
    status.kind = FileKind::Other;
    return status;
  }
  if (reportLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    status.kind = FileKind::SymbolicLink;
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    status.kind = FileKind::Directory;
  else
    status.kind = FileKind::Regular;
  status.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  status.modified = TimeOf(info.ftLastWriteTime);
  status.identity.device = info.dwVolumeSerialNumber;
  status.identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return status;
}

std::string LastErrorText() {
  return SystemErrorText(static_cast<int>(::GetLastError()));
}

// A name Windows would take for something else than a file in the folder:
// a drive or stream (':'), a device (CON, NUL, COM1, ...), wildcards.
bool ForeignName(const std::string& name) {
  if (name.empty() || name.find_first_of(":<>\"|?*") != std::string::npos) return true;
  for (char c : name)
    if (static_cast<unsigned char>(c) < 32) return true;
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices)
    if (base == device) return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         std::isdigit(static_cast<unsigned char>(base[3]));
}

bool SetPosition(HANDLE handle, int64_t position) {
  LARGE_INTEGER to{};
  to.QuadPart = position;
  return ::SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) != 0;
}

int64_t Position(HANDLE handle) {
  LARGE_INTEGER none{};
  LARGE_INTEGER now{};
  return ::SetFilePointerEx(handle, none, &now, FILE_CURRENT) ? now.QuadPart : -1;
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

// A path in the ANSI code page, as the wide calls take it.
std::wstring WideOf(const std::string& text) {
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return L"";
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
  wide.pop_back();
  return wide;
}

// A path too long for the ANSI calls' MAX_PATH (an output's temporary name
// beside a long final name) as the absolute extended-length path the wide
// calls take; "" for a path short enough as it is.
std::wstring LongForm(const std::string& path) {
  constexpr size_t kRoomForSuffixes = MAX_PATH - 12;
  if (path.size() < kRoomForSuffixes) return L"";
  std::string absolute = path;
  if (!IsAbsolutePath(path)) absolute = CurrentDirectory() + "\\" + path;
  // The extended form is taken literally: separators, "." and ".." are
  // resolved here.
  const bool unc =
      absolute.size() > 2 && IsPathSeparator(absolute[0]) && IsPathSeparator(absolute[1]);
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = unc ? 2 : 0; i <= absolute.size(); ++i) {
    if (i < absolute.size() && !IsPathSeparator(absolute[i])) {
      part += absolute[i];
      continue;
    }
    if (part == "..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  }
  std::string joined = unc ? "UNC" : "";
  for (const std::string& p : parts) joined += (joined.empty() ? "" : "\\") + p;
  return L"\\\\?\\" + WideOf(joined);
}

HANDLE CreateFileAt(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                    DWORD flags) {
  const std::wstring wide = LongForm(path);
  return wide.empty()
             ? ::CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr)
             : ::CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

DWORD AttributesAt(const std::string& path) {
  const std::wstring wide = LongForm(path);
  return wide.empty() ? ::GetFileAttributesA(path.c_str()) : ::GetFileAttributesW(wide.c_str());
}

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && IsPathSeparator(path.back()) && path[path.size() - 2] != ':')
    path.pop_back();
  return path;
}

std::string EnvironmentFolder(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? WithoutTrailingSeparator(value) : std::string();
}

}  // namespace

int OpenRegularFile(const std::string& path, std::string& reason, FileStatus* status) {
  reason.clear();
  if (path.empty()) {
    reason = "no file named";
    return -1;
  }
  const DWORD attributes = AttributesAt(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    reason = "a directory, not a file";
    return -1;
  }
  const HANDLE handle =
      CreateFileAt(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE) {
    reason = LastErrorText();
    return -1;
  }
  const FileStatus found = StatusOfHandle(handle, false);
  if (found.kind != FileKind::Regular) {
    reason = found.kind == FileKind::Directory ? "a directory, not a file" : "not a regular file";
    ::CloseHandle(handle);
    return -1;
  }
  const int fd = DescriptorOf(handle, _O_RDONLY);
  if (fd < 0) {
    reason = "no descriptor left";
    return -1;
  }
  if (status) *status = found;
  return fd;
}

int OpenOutput(const std::string& path, OutputMode mode, LinkPolicy links, std::string& reason) {
  reason.clear();
  if (path.empty()) {
    reason = "no file named";
    return -1;
  }
  const DWORD access = mode == OutputMode::Append ? FILE_APPEND_DATA | SYNCHRONIZE : GENERIC_WRITE;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (links == LinkPolicy::Refuse) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  const HANDLE handle = CreateFileAt(path, access, kShareAll, OPEN_ALWAYS, flags);
  if (handle == INVALID_HANDLE_VALUE) {
    reason = LastErrorText();
    return -1;
  }
  const FileStatus found = StatusOfHandle(handle, links == LinkPolicy::Refuse);
  if (found.kind == FileKind::SymbolicLink || found.kind == FileKind::Directory ||
      found.kind == FileKind::Other) {
    reason = found.kind == FileKind::SymbolicLink ? "a symbolic link, not followed"
                                                  : "not a file that can be written";
    ::CloseHandle(handle);
    return -1;
  }
  // Only a file on the disk is emptied; a device is written as it is.
  if (mode == OutputMode::Truncate && found.kind == FileKind::Regular && found.size > 0) {
    FILE_END_OF_FILE_INFO end{};
    if (!::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end)) {
      reason = LastErrorText();
      ::CloseHandle(handle);
      return -1;
    }
  }
  const int fd =
      DescriptorOf(handle, mode == OutputMode::Append ? _O_WRONLY | _O_APPEND : _O_WRONLY);
  if (fd < 0) reason = "no descriptor left";
  return fd;
}

int CreateNewFile(const std::string& path, NewFileAccess, bool& exists, std::string& reason) {
  exists = false;
  const HANDLE handle =
      CreateFileAt(path, GENERIC_WRITE, kShareAll, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    reason = SystemErrorText(static_cast<int>(error));
    return -1;
  }
  const int fd = DescriptorOf(handle, _O_WRONLY);
  if (fd < 0) reason = "no descriptor left";
  return fd;
}

int OpenLockFile(const std::string& path, std::string& reason) {
  const HANDLE handle = CreateFileAt(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (handle == INVALID_HANDLE_VALUE) {
    reason = LastErrorText();
    return -1;
  }
  if (StatusOfHandle(handle, true).kind != FileKind::Regular) {
    reason = "not a regular file";
    ::CloseHandle(handle);
    return -1;
  }
  const int fd = DescriptorOf(handle, _O_RDWR);
  if (fd < 0) reason = "no descriptor left";
  return fd;
}

int OpenConfinedFile(const std::string& directory, const std::vector<std::string>& parts,
                     ConfinedAccess access) {
  if (parts.empty()) return -1;
  for (const std::string& part : parts)
    if (ForeignName(part) || part == "." || part == "..") return -1;
  // Every folder on the way is held open, without leave to rename or delete
  // it, and none may be a link or junction.
  std::vector<HANDLE> held;
  const auto release = [&held] {
    for (HANDLE h : held) ::CloseHandle(h);
  };
  std::string path = WithoutTrailingSeparator(directory.empty() ? "." : directory);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    path += "\\" + parts[i];
    const HANDLE folder =
        CreateFileAt(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (folder == INVALID_HANDLE_VALUE) {
      release();
      return -1;
    }
    held.push_back(folder);
    if (StatusOfHandle(folder, true).kind != FileKind::Directory) {
      release();
      return -1;
    }
  }
  path += "\\" + parts.back();
  DWORD rights = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  if (access == ConfinedAccess::WriteCreate) {
    rights = GENERIC_WRITE;
    disposition = OPEN_ALWAYS;
  } else if (access == ConfinedAccess::ReadWrite) {
    rights = GENERIC_READ | GENERIC_WRITE;
  }
  const HANDLE handle = CreateFileAt(path, rights, kShareAll, disposition,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  release();
  if (handle == INVALID_HANDLE_VALUE) return -1;
  const FileStatus found = StatusOfHandle(handle, true);
  FILE_END_OF_FILE_INFO end{};
  if (found.kind != FileKind::Regular ||
      (access == ConfinedAccess::WriteCreate && found.size > 0 &&
       !::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end))) {
    ::CloseHandle(handle);
    return -1;
  }
  return DescriptorOf(handle, access == ConfinedAccess::Read          ? _O_RDONLY
                              : access == ConfinedAccess::WriteCreate ? _O_WRONLY
                                                                      : _O_RDWR);
}

long long ReadSome(int fd, void* buffer, size_t count, int* error) {
  const HANDLE handle = HandleOf(fd);
  DWORD got = 0;
  const DWORD ask = static_cast<DWORD>(count > (1u << 30) ? (1u << 30) : count);
  if (::ReadFile(handle, buffer, ask, &got, nullptr)) return got;
  const DWORD code = ::GetLastError();
  if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) return 0;
  if (error) *error = static_cast<int>(code);
  return -1;
}

long long ReadAt(int fd, uint64_t offset, void* buffer, size_t count, int& error) {
  const HANDLE handle = HandleOf(fd);
  // A positioned read moves the file pointer on Windows; it is put back, as
  // the POSIX read at an offset leaves it alone.
  const int64_t before = Position(handle);
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  long long result = 0;
  while (done < count) {
    OVERLAPPED where = At(offset + done);
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(count - done > (1u << 30) ? (1u << 30) : count - done);
    if (!::ReadFile(handle, out + done, ask, &got, &where)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) break;
      error = static_cast<int>(code);
      result = -1;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  if (before >= 0) SetPosition(handle, before);
  return result < 0 ? -1 : static_cast<long long>(done);
}

bool WriteAll(int fd, const void* data, size_t length, int& error) {
  const HANDLE handle = HandleOf(fd);
  const auto* in = static_cast<const char*>(data);
  while (length > 0) {
    DWORD put = 0;
    const DWORD ask = static_cast<DWORD>(length > (1u << 30) ? (1u << 30) : length);
    if (!::WriteFile(handle, in, ask, &put, nullptr)) {
      error = static_cast<int>(::GetLastError());
      return false;
    }
    if (put == 0) {
      error = ERROR_WRITE_FAULT;
      return false;
    }
    in += put;
    length -= put;
  }
  return true;
}

bool WriteAllAt(int fd, uint64_t offset, const void* data, size_t length, int& error) {
  const HANDLE handle = HandleOf(fd);
  const int64_t before = Position(handle);
  const auto* in = static_cast<const char*>(data);
  bool ok = true;
  while (length > 0) {
    OVERLAPPED where = At(offset);
    DWORD put = 0;
    const DWORD ask = static_cast<DWORD>(length > (1u << 30) ? (1u << 30) : length);
    if (!::WriteFile(handle, in, ask, &put, &where) || put == 0) {
      error = put == 0 && ::GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT
                                                            : static_cast<int>(::GetLastError());
      ok = false;
      break;
    }
    in += put;
    offset += put;
    length -= put;
  }
  if (before >= 0) SetPosition(handle, before);
  return ok;
}

bool RewindFile(int fd) {
  return SetPosition(HandleOf(fd), 0);
}

bool TruncateFile(int fd, uint64_t length, int& error) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (::SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end)) return true;
  error = static_cast<int>(::GetLastError());
  return false;
}

bool SyncFile(int fd) {
  return ::FlushFileBuffers(HandleOf(fd)) != 0;
}

bool CloseFile(int fd, int* error) {
  if (::_close(fd) == 0) return true;
  if (error) *error = ERROR_INVALID_HANDLE;
  return false;
}

bool StatusOf(int fd, FileStatus& status) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return false;
  status = StatusOfHandle(handle, false);
  return status.kind != FileKind::Other;
}

std::FILE* StreamOf(int fd, const char* mode) {
  return ::_fdopen(fd, mode);
}

bool IsTerminal(std::FILE* stream) {
  return ::_isatty(::_fileno(stream)) != 0;
}

FileStatus PathStatus(const std::string& path, LinkPolicy links) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (links == LinkPolicy::Refuse) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  const HANDLE handle = CreateFileAt(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, flags);
  if (handle == INVALID_HANDLE_VALUE) {
    // A file held without sharing (an open COM port) still has attributes.
    FileStatus status;
    const DWORD attributes = AttributesAt(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return status;
    status.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory : FileKind::Other;
    return status;
  }
  const FileStatus status = StatusOfHandle(handle, links == LinkPolicy::Refuse);
  ::CloseHandle(handle);
  return status;
}

bool SameFile(const std::string& a, const std::string& b) {
  const FileStatus first = PathStatus(a);
  const FileStatus second = PathStatus(b);
  return (first.kind == FileKind::Regular || first.kind == FileKind::Directory) &&
         first.kind == second.kind && first.identity == second.identity;
}

void CopyPermissions(const std::string&, int) {
  // A new file takes the folder's access rules, as the one it replaces did.
}

bool RemoveFile(const std::string& path) {
  const std::wstring wide = LongForm(path);
  return (wide.empty() ? ::DeleteFileA(path.c_str()) : ::DeleteFileW(wide.c_str())) != 0;
}

bool RenameFile(const std::string& from, const std::string& to, int& error) {
  constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  const std::wstring wideFrom = LongForm(from);
  const std::wstring wideTo = LongForm(to);
  const BOOL moved = wideFrom.empty() && wideTo.empty()
                         ? ::MoveFileExA(from.c_str(), to.c_str(), kReplace)
                         : ::MoveFileExW((wideFrom.empty() ? WideOf(from) : wideFrom).c_str(),
                                         (wideTo.empty() ? WideOf(to) : wideTo).c_str(), kReplace);
  if (moved) return true;
  error = static_cast<int>(::GetLastError());
  return false;
}

bool MakeDirectories(const std::string& dir, std::string& reason, NewFileAccess access) {
  if (dir.empty()) {
    reason = "no directory named";
    return false;
  }
  const std::string path = WithoutTrailingSeparator(dir);
  const DWORD attributes = AttributesAt(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    reason = dir + ": not a directory";
    return false;
  }
  const size_t slash = LastPathSeparator(path);
  // The parent, unless it is a root ("C:\", "\", "\\server\share").
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':' &&
      !MakeDirectories(path.substr(0, slash), reason, access))
    return false;
  const std::wstring wide = LongForm(path);
  if (wide.empty() ? ::CreateDirectoryA(path.c_str(), nullptr)
                   : ::CreateDirectoryW(wide.c_str(), nullptr))
    return true;
  const DWORD error = ::GetLastError();
  const DWORD now = AttributesAt(path);
  if (error == ERROR_ALREADY_EXISTS && now != INVALID_FILE_ATTRIBUTES &&
      (now & FILE_ATTRIBUTE_DIRECTORY))
    return true;
  reason = dir + ": " + SystemErrorText(static_cast<int>(error));
  return false;
}

bool CanCreateFilesIn(const std::string& dir, std::string& reason) {
  const std::string probe = WithoutTrailingSeparator(dir) + "\\.k730-probe-" +
                            std::to_string(::GetCurrentProcessId()) + "-" +
                            std::to_string(::GetTickCount64());
  const HANDLE handle = CreateFileAt(probe, GENERIC_WRITE, 0, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  if (handle == INVALID_HANDLE_VALUE) {
    reason = dir + ": " + LastErrorText();
    return false;
  }
  ::CloseHandle(handle);
  return true;
}

std::string RealPath(const std::string& path) {
  const HANDLE handle = CreateFileAt(path, 0, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (handle == INVALID_HANDLE_VALUE) return path;
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetFinalPathNameByHandleA(handle, buffer, sizeof buffer, FILE_NAME_NORMALIZED);
  ::CloseHandle(handle);
  if (n == 0 || n >= sizeof buffer) return path;
  std::string real(buffer, n);
  if (real.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + real.substr(8);
  if (real.compare(0, 4, "\\\\?\\") == 0) return real.substr(4);
  return real;
}

std::string CurrentDirectory() {
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetCurrentDirectoryA(sizeof buffer, buffer);
  return n == 0 || n >= sizeof buffer ? std::string(".") : std::string(buffer, n);
}

std::string ProgramDirectory() {
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return "";
  const std::string path(buffer, n);
  const size_t slash = LastPathSeparator(path);
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string HomeDirectory() {
  const std::string profile = EnvironmentFolder("USERPROFILE");
  if (!profile.empty()) return profile;
  const char* drive = std::getenv("HOMEDRIVE");
  const char* path = std::getenv("HOMEPATH");
  return drive && path ? std::string(drive) + path : std::string();
}

std::string UserRuntimeDirectory(std::string& reason) {
  // The user's local application data is private to the user already.
  const std::string base = UserStateDirectory();
  if (base.empty()) {
    reason = "LOCALAPPDATA is not set";
    return "";
  }
  const std::string dir = base + "\\k730\\run";
  if (!MakeDirectories(dir, reason, NewFileAccess::Private)) return "";
  return dir;
}

std::string UserStateDirectory() {
  return EnvironmentFolder("LOCALAPPDATA");
}

std::string TemporaryDirectory() {
  char buffer[MAX_PATH + 2];
  const DWORD n = ::GetTempPathA(sizeof buffer, buffer);
  if (n == 0 || n >= sizeof buffer) return ".";
  return WithoutTrailingSeparator(std::string(buffer, n));
}

bool IsPathSeparator(char c) {
  return c == '/' || c == '\\';
}

size_t LastPathSeparator(const std::string& path) {
  return path.find_last_of("/\\");
}

bool IsAbsolutePath(const std::string& path) {
  if (!path.empty() && IsPathSeparator(path[0])) return true;
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         IsPathSeparator(path[2]);
}

long ProcessId() {
  return static_cast<long>(::GetCurrentProcessId());
}

std::string SystemErrorText(int error) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n > 0 && text ? std::string(text, n) : std::string();
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : message;
}

bool IsNoSuchFileError(int error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

LockResult TryLockFile(int fd, std::string& reason) {
  // One byte far beyond any content: Windows locks keep others from reading
  // what they cover, and the holder's pid must stay readable.
  OVERLAPPED where = At(0x7FFFFFFF00000000ull);
  if (::LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &where))
    return LockResult::Taken;
  const DWORD error = ::GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return LockResult::HeldByOther;
  reason = SystemErrorText(static_cast<int>(error));
  return LockResult::Failed;
}

void SetEnvironment(const char* name, const std::string& value) {
  // Through the C runtime, whose copy getenv reads.
  ::_putenv_s(name, value.c_str());
}

void UnsetEnvironment(const char* name) {
  ::_putenv_s(name, "");
}

}  // namespace k730
