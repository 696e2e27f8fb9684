// The times beside a slot's progress bar, through one slot's units.
#include "console/slot_clock.h"

#include <gtest/gtest.h>

namespace k730 {
namespace {

TEST(SlotClockTest, ElapsedTimeLeftAndOutcomeThroughASlotsUnits) {
  const SlotClock::Clock::time_point t0{};
  const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
  SlotClock clock;
  EXPECT_EQ(clock.Text(at(5000)), "");
  clock.SetRunState(SlotRunState::Running, t0);
  clock.SetProgress(3, t0);
  clock.SetProgress(40, at(20000));
  EXPECT_EQ(clock.Text(at(20000)), "0:20");  // erasing: not a timed phase
  clock.SetPhase(SlotPhase::PhoneWrite, at(20000));
  clock.SetProgress(3, at(20000));
  clock.SetProgress(40, at(20900));
  EXPECT_EQ(clock.Text(at(20900)), "0:20");  // too short a span to judge
  clock.SetProgress(4, at(25000));
  EXPECT_EQ(clock.Text(at(25000)), "0:25");  // a bar set back judges afresh
  clock.SetProgress(44, at(45000));
  EXPECT_EQ(clock.Text(at(50000)), "0:50, 0:23 left");  // 40 % in 20 s, 5 s ago
  clock.SetRunState(SlotRunState::Failed, at(100000));
  clock.SetRunState(SlotRunState::Completed, at(110000));  // the run's end repeats it
  EXPECT_EQ(clock.Text(at(3723000)), "Failed 1:40");
  clock.SetRunState(SlotRunState::Running, at(200000));  // the next unit
  EXPECT_EQ(clock.Text(at(3923000)), "1:02:03");
  clock.SetRunState(SlotRunState::Completed, at(205000));
  EXPECT_EQ(clock.Text(at(300000)), "Completed 0:05");
  clock.SetRunState(SlotRunState::Idle, at(300000));  // Go
  EXPECT_EQ(clock.Text(at(300000)), "");
}

}  // namespace
}  // namespace k730
