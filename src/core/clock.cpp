#include "core/clock.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "core/platform_time.h"

namespace k730 {
namespace {

uint64_t Epoch() {
  static const uint64_t epoch = platform::MonotonicMicros();
  return epoch;
}

std::atomic<ScaledClock*>& ProcessClockSlot() {
  static std::atomic<ScaledClock*> slot{nullptr};
  return slot;
}

}  // namespace

ScaledClock::ScaledClock(double scale) : scale_(scale > 0 ? scale : 1.0) {
  (void)Epoch();
}

void ScaledClock::SetScale(double scale) {
  scale_.store(scale > 0 ? scale : 1.0, std::memory_order_relaxed);
}

uint64_t ScaledClock::RealMicros(uint32_t ms) const {
  return static_cast<uint64_t>(static_cast<double>(ms) * 1000.0 * Scale());
}

void ScaledClock::Sleep(uint32_t ms) {
  platform::SleepMicros(ms == 0 ? 0 : RealMicros(ms));
}

uint64_t ScaledClock::Ticks() {
  const uint64_t real = platform::MonotonicMicros() - Epoch();
  return static_cast<uint64_t>(static_cast<double>(real) / 1000.0 / Scale());
}

bool ParseTimeScale(const char* text, double& scale, std::string& problem) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0') {
    problem = "'" + std::string(text) + "' is not a number";
    return false;
  }
  // Written so that NaN fails too.
  if (!(value >= kMinTimeScale && value <= kMaxTimeScale)) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", kMinTimeScale, kMaxTimeScale);
    problem = "'" + std::string(text) + "' is outside " + range;
    return false;
  }
  scale = value;
  return true;
}

std::string TimeScaleEnvironmentProblem() {
  const char* text = std::getenv("K730_TIME_SCALE");
  if (!text || !*text) return "";
  double scale = 1.0;
  std::string problem;
  return ParseTimeScale(text, scale, problem) ? "" : "K730_TIME_SCALE: " + problem;
}

double TimeScaleFromEnvironment() {
  const char* text = std::getenv("K730_TIME_SCALE");
  double scale = 1.0;
  std::string problem;
  if (!text || !*text || !ParseTimeScale(text, scale, problem)) return 1.0;
  return scale;
}

ScaledClock& ProcessClock() {
  auto& slot = ProcessClockSlot();
  ScaledClock* clock = slot.load(std::memory_order_acquire);
  if (clock) return *clock;
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  clock = slot.load(std::memory_order_acquire);
  if (!clock) {
    // Kept for the life of the process: workers may still be sleeping on it at exit.
    clock = new ScaledClock(TimeScaleFromEnvironment());
    slot.store(clock, std::memory_order_release);
  }
  return *clock;
}

void SetProcessTimeScale(double scale) {
  ProcessClock().SetScale(scale);
}

void Yield() {
  std::this_thread::yield();
}

bool RaiseCurrentThreadPriority() {
  return platform::RaiseCurrentThreadPriority();
}

void StopSignal::Request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_.store(true, std::memory_order_release);
  }
  wake_.notify_all();
}

bool StopSignal::SleepFor(uint32_t ms) {
  const auto wait = std::chrono::microseconds(ProcessClock().RealMicros(ms));
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return Requested(); });
}

}  // namespace k730
