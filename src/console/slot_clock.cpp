#include "console/slot_clock.h"

#include <cstdio>

namespace k730 {

namespace {

// A rate judged from less progress than this jumps about too much to show.
constexpr auto kShortestSpan = std::chrono::seconds(1);
constexpr uint32_t kFewestPercent = 2;

bool Timed(SlotPhase phase) {
  return phase == SlotPhase::PhoneWrite || phase == SlotPhase::PdaRamDownload;
}

int64_t WholeSeconds(SlotClock::Clock::duration duration, bool roundUp) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(duration).count();
  if (ms <= 0) return 0;
  return roundUp ? (ms + 999) / 1000 : ms / 1000;
}

}  // namespace

std::string FormatSeconds(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  const int64_t hours = seconds / 3600;
  const int minutes = static_cast<int>(seconds / 60 % 60);
  const int secs = static_cast<int>(seconds % 60);
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(hours), minutes,
                  secs);
  } else {
    std::snprintf(text, sizeof text, "%d:%02d", minutes, secs);
  }
  return text;
}

void SlotClock::SetRunState(SlotRunState state, Clock::time_point now) {
  switch (state) {
    case SlotRunState::Idle:
      *this = SlotClock{};
      return;
    case SlotRunState::Running:
      *this = SlotClock{};
      state_ = SlotRunState::Running;
      start_ = now;
      return;
    case SlotRunState::Completed:
    case SlotRunState::Failed:
      // The first end counts: the run's end repeats what a slot showed.
      if (state_ == SlotRunState::Completed || state_ == SlotRunState::Failed) return;
      state_ = state;
      if (start_) end_ = now;
      phase_ = SlotPhase::Other;
      first_.reset();
      latest_.reset();
      return;
  }
}

void SlotClock::SetPhase(SlotPhase phase, Clock::time_point /*now*/) {
  if (state_ != SlotRunState::Running) return;
  phase_ = phase;
  first_.reset();
  latest_.reset();
}

void SlotClock::SetProgress(uint32_t percent, Clock::time_point now) {
  if (state_ != SlotRunState::Running || !Timed(phase_)) return;
  const Sample sample{percent, now};
  if (!first_ || percent < (latest_ ? latest_->percent : first_->percent)) {
    // A bar set back starts the rate afresh.
    first_ = sample;
    latest_.reset();
    return;
  }
  latest_ = sample;
}

std::optional<SlotClock::Clock::duration> SlotClock::Elapsed(Clock::time_point now) const {
  if (!start_) return std::nullopt;
  if (end_) return *end_ - *start_;
  if (state_ != SlotRunState::Running) return std::nullopt;
  return now - *start_;
}

std::optional<SlotClock::Clock::duration> SlotClock::TimeLeft(Clock::time_point now) const {
  if (state_ != SlotRunState::Running || !Timed(phase_) || !first_ || !latest_) return std::nullopt;
  const uint32_t done = latest_->percent - first_->percent;
  const Clock::duration span = latest_->at - first_->at;
  if (latest_->percent >= 100 || done < kFewestPercent || span < kShortestSpan) return std::nullopt;
  const Clock::duration total = span * (100 - latest_->percent) / done;
  const Clock::duration since = now - latest_->at;
  return since >= total ? Clock::duration::zero() : total - since;
}

std::string SlotClock::Text(Clock::time_point now) const {
  const std::optional<Clock::duration> elapsed = Elapsed(now);
  const std::string shown = elapsed ? FormatSeconds(WholeSeconds(*elapsed, false)) : "";
  switch (state_) {
    case SlotRunState::Idle:
      return "";
    case SlotRunState::Running: {
      const std::optional<Clock::duration> left = TimeLeft(now);
      if (!left) return shown;
      return shown + ", " + FormatSeconds(WholeSeconds(*left, true)) + " left";
    }
    case SlotRunState::Completed:
      return elapsed ? "Completed " + shown : "Completed";
    case SlotRunState::Failed:
      return elapsed ? "Failed " + shown : "Failed";
  }
  return "";
}

}  // namespace k730
