// The console's view for a terminal: each slot's log lines on standard output
// as "[slot N] <line>", message boxes on standard error, and on a terminal a
// progress line per live slot below the log, redrawn in place.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "console/console_view.h"
#include "core/slot_writer.h"

namespace k730 {

class TerminalView : public ConsoleView {
 public:
  // out and err are written whole lines at a time; drawProgress redraws the
  // progress lines on out (only sensible when out is a terminal).
  TerminalView(std::FILE* out, std::FILE* err, bool drawProgress, bool answerYes);

  JobForm ReadForm() override;
  void RefreshForm(const JobForm& form) override;
  void SetControlEnabled(int id, bool enabled) override;
  void SetControlVisible(int, bool) override {}
  void AppendSlotText(int slot, const std::string& text) override;
  void ClearSlotText(int) override {}
  void SetSlotProgress(int slot, uint32_t percent) override;
  void SetSlotStatusText(int slot, const std::string& text) override;
  void SetSlotUnitCounts(int slot, int completed, int failed) override;
  std::optional<std::string> ChooseOpenFile(const FileDialogSpec&) override { return {}; }
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override;
  bool RunAuxiliaryCommand(int id) override;
  void Opened() override;
  void JobRefused(const std::string& text) override;
  void RunStarted() override;
  void RunEnded(const RunSummary& summary) override;

  // Runner side. The job form is applied on the console thread when the
  // console handles the About command (posted after the device radio).
  void SetPendingJob(const JobForm& form);
  bool WaitOpened();
  // Waits until the run ended, the job was refused or stop() turns true.
  void WaitForOutcome(const std::function<bool()>& stop);
  void Wake();
  bool Refused() const;
  std::optional<RunSummary> Summary() const;
  // Everything each slot's pane was given during the session, "\r\n" kept.
  std::string SessionText(int slot) const;
  // Ends an unfinished last line and removes the progress block.
  void Finish();

 private:
  void EmitLine(int slot, const std::string& line);  // caller holds mutex_
  void EraseProgress();                              // caller holds mutex_
  void DrawProgress();                               // caller holds mutex_

  std::FILE* out_;
  std::FILE* err_;
  const bool drawProgress_;
  const bool answerYes_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  JobForm form_;
  std::optional<JobForm> pendingJob_;
  bool opened_ = false;
  bool refused_ = false;
  std::string lastMessage_;
  std::optional<RunSummary> summary_;
  std::array<std::string, kSlotCount> partial_;
  std::array<std::string, kSlotCount> session_;
  std::array<uint32_t, kSlotCount> progress_{};
  std::array<std::string, kSlotCount> status_;
  std::array<bool, kSlotCount> active_{};
  std::array<std::pair<int, int>, kSlotCount> units_{};  // completed, failed
  int drawnLines_ = 0;
};

}  // namespace k730
