// A slot's times as the front ends show them beside its progress bar: how
// long its unit has run and, while the transfer advances at the link's rate
// (the phone's block writes, the PDA's RAM download), about how long it has
// left. Fed with the view's calls in their order and the moment of each; it
// keeps no clock of its own, so its arithmetic is testable.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "console/console_view.h"
#include "core/slot_writer.h"

namespace k730 {

class SlotClock {
 public:
  using Clock = std::chrono::steady_clock;

  void SetRunState(SlotRunState state, Clock::time_point now);
  void SetPhase(SlotPhase phase, Clock::time_point now);
  void SetProgress(uint32_t percent, Clock::time_point now);

  SlotRunState State() const { return state_; }
  // The unit's time so far (running) or in all (ended); nothing when idle or
  // when the end came without a start.
  std::optional<Clock::duration> Elapsed(Clock::time_point now) const;
  // Only while a timed transfer has advanced long enough to judge its rate.
  std::optional<Clock::duration> TimeLeft(Clock::time_point now) const;
  // "" (idle), "1:05", "1:05, 0:40 left", "Completed 2:05", "Failed 0:40".
  std::string Text(Clock::time_point now) const;

 private:
  struct Sample {
    uint32_t percent = 0;
    Clock::time_point at{};
  };

  SlotRunState state_ = SlotRunState::Idle;
  std::optional<Clock::time_point> start_;
  std::optional<Clock::time_point> end_;
  SlotPhase phase_ = SlotPhase::Other;
  std::optional<Sample> first_;   // the phase's first progress
  std::optional<Sample> latest_;  // and its latest
};

// "0:05", "12:34", "1:02:03".
std::string FormatSeconds(int64_t seconds);

}  // namespace k730
