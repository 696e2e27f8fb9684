#include "core/trace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "core/file_access.h"

namespace k730 {
namespace {

struct TraceFile {
  std::mutex mutex;
  std::FILE* file = nullptr;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  TraceFile() {
    const char* path = std::getenv("K730_TRACE");
    if (!path || !*path) return;
    // Never waits: a FIFO nobody reads is reported and the trace left out,
    // while /dev/stderr (a link to a device) works.
    std::string reason;
    const int fd = OpenOutput(path, OutputMode::Append, LinkPolicy::Follow, reason);
    if (fd >= 0) file = StreamOf(fd, "a");
    if (!file) {
      if (fd >= 0) CloseFile(fd);
      std::fprintf(stderr, "K730_TRACE: cannot write %s: %s; no trace is kept\n", path,
                   reason.empty() ? "out of memory" : reason.c_str());
    }
  }
};

TraceFile& Trace() {
  // Never destroyed: worker threads may still trace while the process ends.
  static TraceFile* trace = new TraceFile();
  return *trace;
}

}  // namespace

bool TraceEnabled() {
  return Trace().file != nullptr;
}

std::string FormatTraceLine(uint64_t ms, const std::string& link, TraceDirection direction,
                            const uint8_t* data, size_t length, size_t maxShown) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) +
                     std::to_string(ms % 100 / 10) + std::to_string(ms % 10) + " " + link +
                     (direction == TraceDirection::ToHandset ? " > " : " < ") +
                     std::to_string(length);
  const size_t shown = length < maxShown ? length : maxShown;
  line.reserve(line.size() + shown * 3 + 24);
  for (size_t i = 0; i < shown; ++i) {
    line += ' ';
    line += kHex[data[i] >> 4];
    line += kHex[data[i] & 15];
  }
  if (shown < length) line += " ...(+" + std::to_string(length - shown) + ")";
  line += '\n';
  return line;
}

void TraceBytes(const std::string& link, TraceDirection direction, const uint8_t* data,
                size_t length, size_t maxShown) {
  TraceFile& trace = Trace();
  if (!trace.file) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - trace.start)
                      .count();
  const std::string line =
      FormatTraceLine(static_cast<uint64_t>(ms), link, direction, data, length, maxShown);
  std::lock_guard<std::mutex> lock(trace.mutex);
  std::fwrite(line.data(), 1, line.size(), trace.file);
  std::fflush(trace.file);
}

}  // namespace k730
