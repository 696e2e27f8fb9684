#include "cli/k730dl/terminal_view.h"

#include <chrono>

#include "console/console_ids.h"

namespace k730 {

TerminalView::TerminalView(std::FILE* out, std::FILE* err, bool drawProgress, bool answerYes)
    : out_(out), err_(err), drawProgress_(drawProgress), answerYes_(answerYes) {}

JobForm TerminalView::ReadForm() {
  std::lock_guard<std::mutex> lock(mutex_);
  return form_;
}

void TerminalView::RefreshForm(const JobForm& form) {
  std::lock_guard<std::mutex> lock(mutex_);
  form_ = form;
}

void TerminalView::SetControlEnabled(int, bool) {}

void TerminalView::EmitLine(int slot, const std::string& line) {
  std::fprintf(out_, "[slot %d] %s\n", slot, line.c_str());
}

void TerminalView::EraseProgress() {
  if (drawnLines_ == 0) return;
  std::fprintf(out_, "\x1b[%dA\r\x1b[J", drawnLines_);
  drawnLines_ = 0;
}

void TerminalView::DrawProgress() {
  if (!drawProgress_) return;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (!active_[slot]) continue;
    const uint32_t percent = progress_[slot] > 100 ? 100 : progress_[slot];
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(percent * kWidth / 100);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    const auto [completed, failed] = units_[slot];
    if (completed + failed > 1) {
      // Continuous operation: the units so far.
      std::fprintf(out_, "  slot %d %-8s [%s] %3u%%  %d completed, %d failed\n", slot,
                   status_[slot].c_str(), bar.c_str(), percent, completed, failed);
    } else {
      std::fprintf(out_, "  slot %d %-8s [%s] %3u%%\n", slot, status_[slot].c_str(), bar.c_str(),
                   percent);
    }
    ++drawnLines_;
  }
}

void TerminalView::AppendSlotText(int slot, const std::string& text) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(mutex_);
  session_[slot] += text;
  std::string& partial = partial_[slot];
  bool any = false;
  for (char c : text) {
    if (c == '\n') {
      if (!partial.empty() && partial.back() == '\r') partial.pop_back();
      if (!any && drawProgress_) EraseProgress();
      any = true;
      EmitLine(slot, partial);
      partial.clear();
    } else {
      partial += c;
    }
  }
  if (any) {
    DrawProgress();
    std::fflush(out_);
  }
}

void TerminalView::SetSlotProgress(int slot, uint32_t percent) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(mutex_);
  progress_[slot] = percent;
  if (!drawProgress_ || !active_[slot]) return;
  EraseProgress();
  DrawProgress();
  std::fflush(out_);
}

void TerminalView::SetSlotStatusText(int slot, const std::string& text) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(mutex_);
  status_[slot] = text;
  if (!text.empty()) active_[slot] = true;
}

void TerminalView::SetSlotUnitCounts(int slot, int completed, int failed) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(mutex_);
  units_[slot] = {completed, failed};
}

MessageAnswer TerminalView::ShowMessage(const std::string& text, MessageIcon,
                                        MessageButtons buttons) {
  std::string shown = text;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  MessageAnswer answer = MessageAnswer::Ok;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastMessage_ = text;
    if (buttons == MessageButtons::YesNo) {
      answer = answerYes_ ? MessageAnswer::Yes : MessageAnswer::No;
      std::fprintf(err_, "%s [%s]\n", shown.c_str(), answerYes_ ? "Yes" : "No");
    } else if (buttons == MessageButtons::OkCancel) {
      std::fprintf(err_, "%s [OK]\n", shown.c_str());
    } else {
      std::fprintf(err_, "%s\n", shown.c_str());
    }
    std::fflush(err_);
  }
  return answer;
}

bool TerminalView::RunAuxiliaryCommand(int id) {
  if (id != 0x0010) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (pendingJob_) {
    form_ = *pendingJob_;
    pendingJob_.reset();
  }
  return false;
}

void TerminalView::Opened() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    opened_ = true;
  }
  changed_.notify_all();
}

void TerminalView::JobRefused(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    refused_ = true;
    // A refusal shown as a message box is on standard error already.
    if (text != lastMessage_) {
      std::string shown = text;
      while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
      std::fprintf(err_, "%s\n", shown.c_str());
      std::fflush(err_);
    }
  }
  changed_.notify_all();
}

void TerminalView::RunStarted() {
  std::lock_guard<std::mutex> lock(mutex_);
  summary_.reset();
}

void TerminalView::RunEnded(const RunSummary& summary) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    summary_ = summary;
  }
  changed_.notify_all();
}

void TerminalView::SetPendingJob(const JobForm& form) {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingJob_ = form;
}

bool TerminalView::WaitOpened() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return opened_; });
  return opened_;
}

void TerminalView::WaitForOutcome(const std::function<bool()>& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!refused_ && !summary_ && !stop()) changed_.wait_for(lock, std::chrono::milliseconds(100));
}

void TerminalView::Wake() {
  changed_.notify_all();
}

bool TerminalView::Refused() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refused_;
}

std::optional<RunSummary> TerminalView::Summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return summary_;
}

std::string TerminalView::SessionText(int slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slot >= 0 && slot < kSlotCount ? session_[slot] : "";
}

void TerminalView::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  EraseProgress();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (!partial_[slot].empty()) {
      EmitLine(slot, partial_[slot]);
      partial_[slot].clear();
    }
  }
  std::fflush(out_);
}

}  // namespace k730
