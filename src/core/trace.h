// Link trace for field diagnosis: with K730_TRACE=FILE every frame written to
// and every reply read from a handset is appended to FILE, one line each:
//   <ms since start> <link> <direction> <length> <hex bytes>
// link is "COM7" or "palm7"; direction is ">" (host to handset) or "<".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace k730 {

enum class TraceDirection { ToHandset, FromHandset };

// True when K730_TRACE names a file (read once).
bool TraceEnabled();

// Bytes beyond maxShown are left out of the line and counted as "...(+N)".
void TraceBytes(const std::string& link, TraceDirection direction, const uint8_t* data,
                size_t length, size_t maxShown = 4096);

// Formats one trace line without writing it (exposed for tests).
std::string FormatTraceLine(uint64_t ms, const std::string& link, TraceDirection direction,
                            const uint8_t* data, size_t length, size_t maxShown);

}  // namespace k730
