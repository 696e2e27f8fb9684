// Time for every fixed wait of the download procedures.
//
// All waits and tick counts go through a Clock. The process clock scales every
// sleep by K730_TIME_SCALE and advances its tick count by the inverse factor,
// so code written with the protocol's own millisecond constants behaves the
// same at any scale: Sleep(3000) followed by Ticks() shows 3000 ms elapsed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

namespace k730 {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(uint32_t ms) = 0;
  // Milliseconds since an arbitrary start; never wraps in practice.
  virtual uint64_t Ticks() = 0;
};

class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double scale);
  void Sleep(uint32_t ms) override;
  uint64_t Ticks() override;
  double Scale() const { return scale_.load(std::memory_order_relaxed); }
  // Changes the scale in place, so threads sleeping on this clock keep a valid object.
  void SetScale(double scale);
  // Real duration of a protocol wait, in microseconds.
  uint64_t RealMicros(uint32_t ms) const;

 private:
  std::atomic<double> scale_;
};

// The time scales a run may use: below the lowest the tick count overflows,
// above the highest a 3-second wait lasts almost an hour.
constexpr double kMinTimeScale = 0.0001;
constexpr double kMaxTimeScale = 1000;

// Parses a time scale; false with problem set when text is not a number
// within kMinTimeScale..kMaxTimeScale.
bool ParseTimeScale(const char* text, double& scale, std::string& problem);
// What is wrong with K730_TIME_SCALE ("" when it is unset, empty or valid),
// for the programs to refuse to start on.
std::string TimeScaleEnvironmentProblem();
// Parses K730_TIME_SCALE; 1 when unset or not valid.
double TimeScaleFromEnvironment();

// The process clock, scaled by K730_TIME_SCALE as read at first use.
ScaledClock& ProcessClock();
// Replaces the scale of the process clock (benchmarks and tests).
void SetProcessTimeScale(double scale);

inline void Sleep(uint32_t ms) {
  ProcessClock().Sleep(ms);
}
inline uint64_t TickCount() {
  return ProcessClock().Ticks();
}
void Yield();

// The local calendar time of a point in time; false when it has none.
bool LocalTimeOf(std::time_t time, std::tm& local);

// Favours the calling thread over normal ones (one step above normal), as a
// worker whose link waits are short and timed wants. Without the privilege
// the thread keeps its priority; false then.
bool RaiseCurrentThreadPriority();

// A stop request that interrupts waits, so a worker can be ended without
// sitting out a long fixed pause first.
class StopSignal {
 public:
  void Request();
  bool Requested() const { return requested_.load(std::memory_order_acquire); }
  // Sleeps like k730::Sleep; returns false at once when a stop is or gets requested.
  bool SleepFor(uint32_t ms);

 private:
  std::atomic<bool> requested_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

}  // namespace k730
