#include "pda/host_file_service.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/file_access.h"
#include "core/slot_writer.h"
#include "pda/palm_usb_port.h"

namespace k730 {
namespace {

std::vector<std::string> SplitPath(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : name) {
    if (c == '/' || c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

// The append mode only reads: the handheld never writes through it.
bool ConfinedAccessOf(HostOpenMode mode, ConfinedAccess& access) {
  switch (mode) {
    case HostOpenMode::ReadOnly:
    case HostOpenMode::ReadAppend:
      access = ConfinedAccess::Read;
      return true;
    case HostOpenMode::WriteCreate:
      access = ConfinedAccess::WriteCreate;
      return true;
    case HostOpenMode::ReadWrite:
      access = ConfinedAccess::ReadWrite;
      return true;
    case HostOpenMode::Invalid:
      break;
  }
  return false;
}

bool SendAll(PalmUsbPort& port, const uint8_t* data, uint32_t length) {
  return port.Send(data, length) == length;
}

}  // namespace

HostOpenMode HostOpenModeFromByte(uint8_t mode) {
  switch (mode) {
    case 0:
    case 1:
      return HostOpenMode::ReadOnly;
    case 4:
      return HostOpenMode::WriteCreate;
    case 5:
      return HostOpenMode::ReadWrite;
    case 8:
      return HostOpenMode::ReadAppend;
    default:
      return HostOpenMode::Invalid;
  }
}

bool HostNameIsConfined(const std::string& name) {
  if (name.empty() || name.size() > kHostNameMax) return false;
  if (name[0] == '/' || name[0] == '\\') return false;
  if (name.find('\0') != std::string::npos) return false;
  const std::vector<std::string> parts = SplitPath(name);
  if (parts.empty()) return false;
  return std::none_of(parts.begin(), parts.end(),
                      [](const std::string& p) { return p == "." || p == ".."; });
}

HostFileTable::HostFileTable(std::string directory) : directory_(std::move(directory)) {
  fds_.fill(-1);
}

HostFileTable::~HostFileTable() {
  CloseAll();
}

int HostFileTable::FirstFree() const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (uint32_t i = 0; i < kHostFileEntries; ++i) {
    if (fds_[i] < 0) return static_cast<int>(i);
  }
  return -1;
}

bool HostFileTable::InUse(uint32_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FdOf(index) >= 0;
}

size_t HostFileTable::UsedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(
      std::count_if(fds_.begin(), fds_.end(), [](int fd) { return fd >= 0; }));
}

int HostFileTable::FdOf(uint32_t index) const {
  return index < kHostFileEntries ? fds_[index] : -1;
}

int HostFileTable::OpenHostFile(const std::string& name, HostOpenMode mode) const {
  ConfinedAccess access = ConfinedAccess::Read;
  if (!ConfinedAccessOf(mode, access) || !HostNameIsConfined(name)) return -1;
  // Nothing outside the directory can be reached: no link is followed on the
  // way, and only a regular file is opened.
  return OpenConfinedFile(directory_, SplitPath(name), access);
}

bool HostFileTable::Take(uint32_t index, int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= kHostFileEntries || fds_[index] >= 0 || fd < 0) return false;
  fds_[index] = fd;
  return true;
}

bool HostFileTable::Close(uint32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = FdOf(index);
  if (fd < 0) return false;
  CloseFile(fd);
  fds_[index] = -1;
  return true;
}

void HostFileTable::CloseAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int& fd : fds_) {
    if (fd >= 0) CloseFile(fd);
    fd = -1;
  }
}

long HostFileTable::Read(uint32_t index, uint8_t* buffer, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = FdOf(index);
  if (fd < 0) return -1;
  size_t total = 0;
  while (total < count) {
    const long long n = ReadSome(fd, buffer + total, count - total);
    if (n < 0) return total > 0 ? static_cast<long>(total) : -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<long>(total);
}

long HostFileTable::Write(uint32_t index, const uint8_t* data, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = FdOf(index);
  if (fd < 0) return -1;
  int error = 0;
  return WriteAll(fd, data, count, error) ? static_cast<long>(count) : -1;
}

bool HostFileTable::Rewind(uint32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = FdOf(index);
  return fd >= 0 && RewindFile(fd);
}

bool HostFileTable::Length(uint32_t index, uint64_t& length) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = FdOf(index);
  FileStatus status;
  if (fd < 0 || !StatusOf(fd, status)) return false;
  length = status.size;
  return true;
}

int HostFileService(const PdaJob& job) {
  return HostFileService(*job.port, job.console->Writer(), job.console->HostFiles());
}

int HostFileService(PalmUsbPort& port, SlotWriter& writer, HostFileTable& table) {
  uint8_t request[kHostRequestSize];
  std::string name;  // the file name as it arrives, piece by piece
  bool nameValid = true;
  std::vector<uint8_t> readBuffer(kHostReadBufferSize);
  std::vector<uint8_t> reply(5 + kHostReadBufferSize);

  for (;;) {
    if (port.Receive(request, kHostRequestSize) != kHostRequestSize) return 0;
    const uint8_t index = request[5];
    switch (request[0]) {
      case HF_MESSAGE: {
        const uint32_t length = ReadU32BE(&request[1]);
        const uint32_t n = length >= 5 ? std::min(length - 5, kHostMessageMax) : 0;
        const std::string text(reinterpret_cast<const char*>(&request[5]), n);
        // The program's message is text: it ends at its first NUL.
        writer.SlotLog(0, "%s", text.c_str());
        const uint8_t ok = 0x00;
        if (!SendAll(port, &ok, 1)) return 0;
        break;
      }
      case HF_OPEN: {
        const int free = table.FirstFree();
        if (free < 0) {
          const uint8_t none = 0x00;
          SendAll(port, &none, 1);
          return 0;
        }
        const uint32_t length = ReadU32BE(&request[1]);
        const bool last = request[6] != 0;
        const bool first = request[7] == 1;
        const char* text = reinterpret_cast<const char*>(&request[8]);
        std::string piece;
        bool pieceValid = true;
        if (first && last) {
          piece.assign(text, strnlen(text, kHostNamePieceMax));
        } else if (length < 8 || length - 8 > kHostNamePieceMax) {
          pieceValid = false;
        } else {
          piece.assign(text, strnlen(text, length - 8));
        }
        if (first) {
          name.clear();
          nameValid = true;
        }
        nameValid = nameValid && pieceValid;
        if (nameValid && name.size() + piece.size() <= kHostNameMax) {
          name += piece;
        } else {
          nameValid = false;
        }
        const uint8_t stored[2] = {0x01, static_cast<uint8_t>(free)};
        if (!last) {
          if (!SendAll(port, stored, 2)) return 0;
          break;
        }
        // A name that did not fit, an unknown mode or a failed open: the open fails.
        const HostOpenMode mode = HostOpenModeFromByte(request[5]);
        if (!nameValid || mode == HostOpenMode::Invalid) return 0;
        const int fd = table.OpenHostFile(name, mode);
        if (fd < 0) return 0;
        if (!SendAll(port, stored, 2) || !table.Take(static_cast<uint32_t>(free), fd)) {
          CloseFile(fd);
          return 0;
        }
        break;
      }
      case HF_CLOSE: {
        table.Close(index);
        const uint8_t ok = 0x01;
        if (!SendAll(port, &ok, 1)) return 0;
        break;
      }
      case HF_READ: {
        const uint32_t wanted = ReadU32BE(&request[6]);
        const long n = table.Read(index, readBuffer.data(), std::min(wanted, kHostReadBufferSize));
        // A bad entry or a failed read answers 0x00 and a count of 0.
        const uint32_t count = n > 0 ? static_cast<uint32_t>(n) : 0;
        reply[0] = n >= 0 ? 0x01 : 0x00;
        WriteU32BE(&reply[1], count);
        if (count > 0) std::memcpy(&reply[5], readBuffer.data(), count);
        if (!SendAll(port, reply.data(), 5 + count)) return 0;
        break;
      }
      case HF_WRITE: {
        const uint32_t length = ReadU32BE(&request[6]);
        bool written = false;
        // Data beyond the 20 bytes the request carries is refused as a failed write.
        if (length >= 10 && length - 10 <= kHostWriteMax) {
          const uint32_t n = length - 10;
          written = table.Write(index, &request[10], n) == static_cast<long>(n);
        }
        if (written) {
          const uint8_t ok = 0x01;
          if (!SendAll(port, &ok, 1)) return 0;
        } else {
          const uint8_t failed = 0x00;
          const uint8_t then = 0x01;
          if (!SendAll(port, &failed, 1) || !SendAll(port, &then, 1)) return 0;
        }
        break;
      }
      case HF_REWIND: {
        if (!table.Rewind(index)) {
          const uint8_t failed = 0x00;
          if (!SendAll(port, &failed, 1)) return 0;
        }
        const uint8_t done[5] = {0x01, 0x00, 0x00, 0x00, 0x00};
        if (!SendAll(port, done, 5)) return 0;
        break;
      }
      case HF_LENGTH: {
        uint64_t length = 0;
        const bool known = table.Length(index, length);
        uint8_t answer[5] = {static_cast<uint8_t>(known ? 0x01 : 0x00)};
        WriteU32LE(&answer[1], static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX)));
        if (!SendAll(port, answer, 5)) return 0;
        break;
      }
      case HF_END:
      case HF_END2:
      case HF_END3:
        return 0;
      default:
        break;
    }
  }
}

}  // namespace k730
