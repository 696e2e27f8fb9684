// What the clock needs of the platform (platform_time_posix.cpp,
// platform_time_win32.cpp).
#pragma once

#include <cstdint>

namespace k730::platform {

// Microseconds of a monotonic tick count since an arbitrary start.
uint64_t MonotonicMicros();
// Sleeps at least micros; 0 gives the processor away once.
void SleepMicros(uint64_t micros);
// Favours the calling thread over normal ones; false when not allowed.
bool RaiseCurrentThreadPriority();

}  // namespace k730::platform
