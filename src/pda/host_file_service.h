// The host side of a DFormat program: after the program is loaded, the
// handheld prints messages on the host and opens, reads, writes, rewinds,
// measures and closes host files through 30-byte requests.
//
// Everything a handheld sends is untrusted. Host files are opened only below
// the table's directory: absolute names, names with a ".." component and
// anything that resolves outside (symbolic links) are opens that fail, as is
// anything but a regular file. Backslashes in names count as separators.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "pda/pda_job.h"

namespace k730 {

// Request codes (byte 0 of a request).
constexpr uint8_t HF_MESSAGE = 0;
constexpr uint8_t HF_OPEN = 1;
constexpr uint8_t HF_CLOSE = 2;
constexpr uint8_t HF_READ = 3;
constexpr uint8_t HF_WRITE = 4;
constexpr uint8_t HF_REWIND = 5;
constexpr uint8_t HF_END = 6;  // also 8 and 0x99
constexpr uint8_t HF_LENGTH = 7;
constexpr uint8_t HF_END2 = 8;
constexpr uint8_t HF_END3 = 0x99;

constexpr uint32_t kHostRequestSize = 30;
constexpr uint32_t kHostFileEntries = 20;
constexpr uint32_t kHostReadBufferSize = 1020;
constexpr uint32_t kHostNameMax = 255;
constexpr uint32_t kHostMessageMax = kHostRequestSize - 5;    // 25
constexpr uint32_t kHostNamePieceMax = kHostRequestSize - 8;  // 22
constexpr uint32_t kHostWriteMax = kHostRequestSize - 10;     // 20

// Open modes of HF_OPEN.
enum class HostOpenMode { ReadOnly, WriteCreate, ReadWrite, ReadAppend, Invalid };
HostOpenMode HostOpenModeFromByte(uint8_t mode);

// True when name may be opened below the service's directory: relative,
// not empty, no "." or ".." component. Backslashes count as slashes.
bool HostNameIsConfined(const std::string& name);

// The process's files opened by DFormat programs, 20 entries. Entries stay in
// use after the service ends, until closed by a request or CloseAll. All
// operations lock, so the table is safe even if two services ever ran.
class HostFileTable {
 public:
  // Files are opened relative to directory ("." = the current directory).
  explicit HostFileTable(std::string directory = ".");
  ~HostFileTable();
  HostFileTable(const HostFileTable&) = delete;
  HostFileTable& operator=(const HostFileTable&) = delete;

  const std::string& Directory() const { return directory_; }

  // Lowest free index, -1 when all are in use.
  int FirstFree() const;
  bool InUse(uint32_t index) const;
  size_t UsedCount() const;

  // Opens name below the directory; the file descriptor, or -1.
  int OpenHostFile(const std::string& name, HostOpenMode mode) const;
  // Takes fd into entry index (must be free); false otherwise (fd untouched).
  bool Take(uint32_t index, int fd);
  // Closes and frees an entry; false when it was free or out of range.
  bool Close(uint32_t index);
  void CloseAll();

  // Operations on an entry in use; -1 when the index is out of range or free.
  long Read(uint32_t index, uint8_t* buffer, size_t count);
  long Write(uint32_t index, const uint8_t* data, size_t count);
  bool Rewind(uint32_t index);
  // The file's length; false for a bad index or a failed stat.
  bool Length(uint32_t index, uint64_t& length);

 private:
  int FdOf(uint32_t index) const;  // caller holds mutex_

  const std::string directory_;
  mutable std::mutex mutex_;
  std::array<int, kHostFileEntries> fds_;  // -1 = free
};

// Serves the handheld's requests on job.port, logging its messages in slot 0
// through job.console, until an end request, a short receive, a reply that
// cannot be sent, a failed open or a missing free entry. Always returns 0.
int HostFileService(const PdaJob& job);

// The same loop with explicit collaborators (tests).
int HostFileService(PalmUsbPort& port, SlotWriter& writer, HostFileTable& table);

}  // namespace k730
