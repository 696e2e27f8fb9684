// The pace of a simulated handset's links: its modem port carries bytes no
// faster than its serial line, its Palm half no faster than its USB bus. The
// rates are divided by K730_TIME_SCALE like every protocol wait, so a scaled
// run keeps the real proportions between the host's fixed waits and the
// transfers. A rate of 0 is no limit at all.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "core/clock.h"

namespace k730::sim {

// Bits a byte takes on an 8N1 serial line: start bit, eight data bits, stop bit.
constexpr uint32_t kSerialBitsPerByte = 10;

class LinePace {
 public:
  using Steady = std::chrono::steady_clock;

  static LinePace Baud(uint32_t baud) {
    return LinePace(static_cast<double>(baud) / kSerialBitsPerByte);
  }
  static LinePace BytesPerSecond(uint32_t rate) { return LinePace(static_cast<double>(rate)); }

  bool Limited() const { return bytesPerSecond_ > 0; }

  // Real time n bytes take at the current time scale.
  Steady::duration Time(size_t n) const {
    if (!Limited()) return Steady::duration::zero();
    const double seconds = static_cast<double>(n) / bytesPerSecond_ * ProcessClock().Scale();
    return std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
  }

  // Puts n bytes on the line, starting no sooner than earliest nor before the
  // bytes booked earlier are across; returns when the last of them is.
  Steady::time_point Book(size_t n, Steady::time_point earliest) {
    if (!Limited()) return earliest;
    free_ = std::max(free_, earliest) + Time(n);
    return free_;
  }
  // The line is idle again (the port went away with whatever was on it).
  void Reset() { free_ = Steady::time_point{}; }

 private:
  explicit LinePace(double bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}

  double bytesPerSecond_ = 0;
  Steady::time_point free_{};
};

}  // namespace k730::sim
