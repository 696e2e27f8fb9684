// Files, as every layer above the seams sees them: opening the files a user
// names (images, settings, logs, traces, records) so that nothing can block the
// program or write through what is not a plain file (a FIFO nobody serves, a
// device that never ends, a link planted where a log belongs), and the few
// other file-system operations the program needs. One implementation per
// platform (file_access_posix.cpp, file_access_win32.cpp).
//
// Descriptors are small non-negative integers, -1 for none; they can be
// turned into a stdio stream. Paths are narrow strings as the platform takes
// them (bytes on POSIX, the ANSI code page on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace k730 {

enum class FileKind {
  Missing,
  Regular,
  Directory,
  CharacterDevice,
  Fifo,
  Socket,
  SymbolicLink,
  Other,
};

// Which file a path or descriptor is, whatever name it was reached by.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && index == other.index;
  }
};

struct FileStatus {
  FileKind kind = FileKind::Missing;
  uint64_t size = 0;
  std::time_t modified = 0;
  FileIdentity identity;
};

enum class OutputMode { Append, Truncate };
enum class LinkPolicy { Follow, Refuse };

// Opens path read-only without waiting for a FIFO's writer and keeps it only
// when it is a regular file. Returns the descriptor, or -1 with reason set to
// why ("not a regular file", "a directory, not a file" or the system's text).
int OpenRegularFile(const std::string& path, std::string& reason, FileStatus* status = nullptr);

// Opens (creating with 0644) an output that is written as it goes. The open
// never waits: a FIFO without a reader fails ("a FIFO with no reader"), while
// a character device such as /dev/stderr works. With LinkPolicy::Refuse a
// symbolic link in the last component is not followed. The descriptor blocks
// on writes as usual. -1 with reason set on failure.
int OpenOutput(const std::string& path, OutputMode mode, LinkPolicy links, std::string& reason);

// Who may read a new file: the user only (0600), everyone (0644), or as the
// user's file-creation mask says (0666 narrowed by it).
enum class NewFileAccess { Private, Shared, Default };

// Creates path, which must not exist yet (exists is then set), for writing.
// -1 with reason set on failure.
int CreateNewFile(const std::string& path, NewFileAccess access, bool& exists, std::string& reason);

// Opens (creating with 0644) a regular file for reading and writing, never
// through a symbolic link and without waiting; for lock files.
int OpenLockFile(const std::string& path, std::string& reason);

// Host-file access a handheld's program asks for.
enum class ConfinedAccess { Read, WriteCreate, ReadWrite };

// Opens directory/parts[0]/.../parts[n-1] without following a symbolic link
// (or any other redirection) on the way, and only when the last part is a
// regular file; -1 otherwise. Parts are single names, never "." or "..".
int OpenConfinedFile(const std::string& directory, const std::vector<std::string>& parts,
                     ConfinedAccess access);

// Reads what is there, up to count bytes (0 at the end); -1 on error with the
// system's error code in *error when given. Interruptions are retried.
long long ReadSome(int fd, void* buffer, size_t count, int* error = nullptr);
// Reads up to count bytes at offset, fewer only at the end of the file; -1
// with the error code set on failure. The file position is not used.
long long ReadAt(int fd, uint64_t offset, void* buffer, size_t count, int& error);
// Writes all of the bytes at the current position (at the end for Append).
bool WriteAll(int fd, const void* data, size_t length, std::string& reason);
bool WriteAll(int fd, const void* data, size_t length, int& error);
// Writes all of the bytes at offset.
bool WriteAllAt(int fd, uint64_t offset, const void* data, size_t length, int& error);
bool RewindFile(int fd);
bool TruncateFile(int fd, uint64_t length, int& error);
// Waits until what was written is on the disk.
bool SyncFile(int fd);
// False when the close reported a failure (a write that did not make it).
bool CloseFile(int fd, int* error = nullptr);
bool StatusOf(int fd, FileStatus& status);
// A stdio stream over fd (which it then owns); null on failure.
std::FILE* StreamOf(int fd, const char* mode);
// Whether fd is a terminal (the interactive view draws progress bars there).
bool IsTerminal(std::FILE* stream);

// What path is; kind Missing when it does not exist. With LinkPolicy::Refuse
// a symbolic link in the last component is reported as SymbolicLink.
FileStatus PathStatus(const std::string& path, LinkPolicy links = LinkPolicy::Follow);
// True when both paths name one existing file.
bool SameFile(const std::string& a, const std::string& b);
// Gives a file just created the permissions of the one it will replace.
void CopyPermissions(const std::string& from, int fd);
bool RemoveFile(const std::string& path);
// Renames over an existing file in one step; false with the error code.
bool RenameFile(const std::string& from, const std::string& to, int& error);
// Creates dir and its missing parents (0755, or 0700 for Private); true when
// dir is a directory afterwards, else false with reason set.
bool MakeDirectories(const std::string& dir, std::string& reason,
                     NewFileAccess access = NewFileAccess::Shared);
// Whether files can be created in dir; false with reason set.
bool CanCreateFilesIn(const std::string& dir, std::string& reason);
// The path with every link and "." or ".." resolved; path itself when that
// cannot be done.
std::string RealPath(const std::string& path);
std::string CurrentDirectory();
// The folder of the running program, "" when it cannot be told.
std::string ProgramDirectory();
// The user's home (or profile) folder; "" when unknown.
std::string HomeDirectory();
// A folder for this user's short-lived files (lock files), private to the
// user; "" with reason set when none can be used.
std::string UserRuntimeDirectory(std::string& reason);
// The folder a program keeps its per-user state in ($XDG_STATE_HOME,
// ~/.local/state; %LOCALAPPDATA% on Windows), "" when unknown.
std::string UserStateDirectory();
// The folder of short-lived files of the system ($TMPDIR, /tmp; %TEMP%).
std::string TemporaryDirectory();

// Separators of a path: '/' everywhere, '\\' too on Windows.
bool IsPathSeparator(char c);
// Position of the last separator of path, npos when there is none.
size_t LastPathSeparator(const std::string& path);
// Whether path names its file from the root (or a drive) rather than from the
// current directory.
bool IsAbsolutePath(const std::string& path);

long ProcessId();
// The system's text for an error code of this seam.
std::string SystemErrorText(int error);
// Error codes this seam's callers tell apart.
bool IsNoSuchFileError(int error);

enum class LockResult { Taken, HeldByOther, Failed };
// Takes an exclusive lock on the open file without waiting; it lasts until the
// descriptor is closed (the holder's process ending included). The lock does
// not keep others from reading or writing the file.
LockResult TryLockFile(int fd, std::string& reason);

// The process environment: a variable's value ("" and false when unset).
bool GetEnvironment(const char* name, std::string& value);
void SetEnvironment(const char* name, const std::string& value);
void UnsetEnvironment(const char* name);

}  // namespace k730
