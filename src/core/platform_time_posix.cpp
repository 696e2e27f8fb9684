#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "core/clock.h"
#include "core/platform_time.h"

namespace k730::platform {

uint64_t MonotonicMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void SleepMicros(uint64_t micros) {
  if (micros == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

bool RaiseCurrentThreadPriority() {
  // On Linux a thread's niceness is its own, addressed by its thread id: one
  // step above normal.
  const id_t self = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, self);
  if (now == -1 && errno != 0) return false;
  return ::setpriority(PRIO_PROCESS, self, now - 1) == 0;
}

}  // namespace k730::platform

namespace k730 {

bool LocalTimeOf(std::time_t time, std::tm& local) {
  return ::localtime_r(&time, &local) != nullptr;
}

}  // namespace k730
