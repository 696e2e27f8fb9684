// The worker's priority on Linux: a thread's niceness is its own.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "core/clock.h"

namespace k730 {
namespace {

TEST(ThreadPriority, RaisesOnlyTheCallingThread) {
  errno = 0;
  const int process = ::getpriority(PRIO_PROCESS, 0);
  ASSERT_EQ(errno, 0);
  int inThread = 0;
  bool raised = false;
  std::thread worker([&] {
    raised = RaiseCurrentThreadPriority();
    inThread = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
  });
  worker.join();
  // Unprivileged runs may not raise it; then nothing changed.
  EXPECT_EQ(inThread, raised ? process - 1 : process);
  EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))), process);
}

}  // namespace
}  // namespace k730
