// Time on Windows: the performance counter's ticks, and sleeps at the
// system timer's finest period (1 ms) instead of its default 15.6 ms, which
// would stretch every short protocol wait of a scaled run.
#include "core/windows_api.h"
// After windows.h, which it needs.
#include <timeapi.h>

#include <ctime>
#include <mutex>

#include "core/clock.h"
#include "core/platform_time.h"

namespace k730::platform {
namespace {

uint64_t CounterFrequency() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f{};
    ::QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart) : 1;
  }();
  return frequency;
}

void UseFineTimer() {
  // Held for the life of the process, as the system releases it at exit.
  static std::once_flag once;
  std::call_once(once, [] { ::timeBeginPeriod(1); });
}

}  // namespace

uint64_t MonotonicMicros() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  const uint64_t frequency = CounterFrequency();
  return ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
}

void SleepMicros(uint64_t micros) {
  if (micros == 0) {
    ::Sleep(0);
    return;
  }
  UseFineTimer();
  const uint64_t ms = (micros + 999) / 1000;
  ::Sleep(static_cast<DWORD>(ms > 0xFFFFFFFEu ? 0xFFFFFFFEu : ms));
}

bool RaiseCurrentThreadPriority() {
  return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL) != 0;
}

}  // namespace k730::platform

namespace k730 {

bool LocalTimeOf(std::time_t time, std::tm& local) {
  return ::localtime_s(&local, &time) == 0;
}

}  // namespace k730
