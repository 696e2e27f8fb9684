#include "core/slot_writer.h"

#include <cstdarg>
#include <cstdio>

namespace k730 {
namespace {

std::string FormatBoundedV(size_t limit, const char* format, va_list args) {
  std::string text(limit + 1, '\0');
  const int n = std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(n < 0 ? 0 : std::min(static_cast<size_t>(n), limit));
  return text;
}

}  // namespace

void SlotWriter::SlotLog(int slot, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatBoundedV(255, format, args);
  va_end(args);
  AppendSlotLog(slot, text);
}

std::string FormatBounded(size_t limit, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatBoundedV(limit, format, args);
  va_end(args);
  return text;
}

}  // namespace k730
