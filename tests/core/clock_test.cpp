#include "core/clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/file_access.h"

namespace k730 {
namespace {

TEST(Clock, ScaledSleepAdvancesTicksByTheProtocolAmount) {
  ScaledClock clock(0.001);
  const uint64_t before = clock.Ticks();
  const auto realStart = std::chrono::steady_clock::now();
  clock.Sleep(3000);  // 3 ms of real time
  const auto real = std::chrono::steady_clock::now() - realStart;
  EXPECT_GE(clock.Ticks() - before, 3000u);
  EXPECT_LT(real, std::chrono::seconds(1));
}

TEST(Clock, TimeScaleComesFromTheEnvironment) {
  std::string keep;
  const bool saved = GetEnvironment("K730_TIME_SCALE", keep);
  SetEnvironment("K730_TIME_SCALE", "0.25");
  EXPECT_DOUBLE_EQ(TimeScaleFromEnvironment(), 0.25);
  EXPECT_EQ(TimeScaleEnvironmentProblem(), "");
  for (const char* bad : {"", "abc", "-1", "0", "nan", "inf", "1e300", "0.5x"}) {
    SetEnvironment("K730_TIME_SCALE", bad);
    EXPECT_DOUBLE_EQ(TimeScaleFromEnvironment(), 1.0) << bad;
    EXPECT_EQ(TimeScaleEnvironmentProblem().empty(), *bad == '\0') << bad;
  }
  if (saved)
    SetEnvironment("K730_TIME_SCALE", keep);
  else
    UnsetEnvironment("K730_TIME_SCALE");
}

TEST(StopSignal, InterruptsALongSleep) {
  StopSignal stop;
  SetProcessTimeScale(1.0);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.Request();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(stop.SleepFor(60000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  stopper.join();
  EXPECT_TRUE(stop.Requested());
  EXPECT_FALSE(stop.SleepFor(1));
  SetProcessTimeScale(0.001);
  StopSignal idle;
  EXPECT_TRUE(idle.SleepFor(5));
}

}  // namespace
}  // namespace k730
