// The console's write operations on its slots: log pane, progress bar, status
// box, and the Go button. Workers on their own threads call them directly, so
// every implementation must be safe from any thread and must deliver the calls
// to the view in the order they were made.
#pragma once

#include <cstdint>
#include <string>

namespace k730 {

constexpr int kSlotCount = 6;

// Status box kinds of SetSlotStatus.
constexpr int kStatusPhone = 0;  // "PH:%d"
constexpr int kStatusPda = 1;    // "PDA:%d"

// What a slot's transfer is doing, for the front ends' time estimates: the
// phone's block writes and the PDA's RAM download advance the bar at the
// link's rate; everything else (erasing, the handheld's flash phase) does not.
enum class SlotPhase { Other, PhoneWrite, PdaRamDownload };

class SlotWriter {
 public:
  virtual ~SlotWriter() = default;

  // Formats at most 255 characters (longer results are cut) and appends them.
  void SlotLog(int slot, const char* format, ...) __attribute__((format(printf, 3, 4)));

  virtual void AppendSlotLog(int slot, const std::string& text) = 0;
  virtual void ClearSlotLog(int slot) = 0;
  // bytes is informational; percent is 0-100 (higher values show a full bar).
  virtual void SetSlotProgress(int slot, uint32_t bytes, uint32_t percent) = 0;
  virtual void SetSlotStatus(int slot, int kind) = 0;
  virtual void EnableGo(bool on) = 0;
  // Informational, like the bytes of SetSlotProgress; ordered with the calls above.
  virtual void SetSlotPhase(int /*slot*/, SlotPhase /*phase*/) {}
};

// printf into a bounded text, as the log lines are built.
std::string FormatBounded(size_t limit, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace k730
