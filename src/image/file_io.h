// Plain file access for the Image Maker: sources are read at explicit
// offsets, and every output is written to a temporary file beside its final
// name and renamed into place only when complete, so a failed operation
// never leaves a truncated or half-written file under a real name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "core/file_access.h"

namespace k730 {

// An open regular file, read-only. Directories, FIFOs and devices are refused
// at open, so a read can neither block forever nor return endless data.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;

  // False with Error() set when the path does not name a readable regular file.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  uint64_t Size() const { return size_; }
  std::time_t ModificationTime() const { return mtime_; }
  const std::string& Path() const { return path_; }
  const std::string& Error() const { return error_; }

  // Reads up to count bytes at offset; returns the number read (fewer only at
  // the end of the file) or -1 on a read error (Error() set).
  long long ReadAt(uint64_t offset, void* buffer, size_t count);
  // The same without touching the object, so that threads may share a file;
  // on a read error returns -1 with its errno in error.
  long long ReadAt(uint64_t offset, void* buffer, size_t count, int& error) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::time_t mtime_ = 0;
  std::string path_;
  std::string error_;
};

// An output under construction. Create() makes a fresh temporary file in the
// final file's directory; Commit() renames it over the final name. Destroying
// or abandoning an uncommitted output removes the temporary file. A final
// name that is a symbolic link, a device, a FIFO or a directory is refused at
// both steps: the new file would replace it, not go where it leads.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;

  bool Create(const std::string& finalPath);
  bool Write(const void* data, size_t count);

  // Writes at an absolute position, e.g. a header once its fields are known.
  bool WriteAt(uint64_t offset, const void* data, size_t count);
  // Closes the temporary file and renames it into place.
  bool Commit();
  void Abandon();

  const std::string& FinalPath() const { return finalPath_; }
  const std::string& TempPath() const { return tempPath_; }
  const std::string& Error() const { return error_; }

 private:
  int fd_ = -1;
  std::string finalPath_;
  std::string tempPath_;
  std::string error_;
};

// "what: path: strerror(errno)".
std::string ErrnoText(const std::string& what, const std::string& path, int error);

// Why path must not be replaced by a new file: it is a symbolic link or
// exists and is not a regular file. "" when it may be (or does not exist).
std::string ReplaceProblem(const std::string& path);

// Everything up to and including the last path separator, or "" when there
// is none.
std::string DirectoryPart(const std::string& path);

}  // namespace k730
