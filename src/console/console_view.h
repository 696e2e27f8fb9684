// What a window shows of the console. The Qt window, the headless runner and
// the tests each implement it; the console calls it from its own thread, and
// the slot operations also from PDA worker threads (always one call at a time,
// in the order of the write operations). The dialogs (ChooseOpenFile,
// ShowMessage, RunAuxiliaryCommand) are called from a helper thread while the
// console goes on with its loop; each must return once the front end shuts
// down. SetCommandPending(id, true) comes from the thread that posted the
// click.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/operator_prompt.h"
#include "core/slot_writer.h"

namespace k730 {

// The five form members of the job, as the controls hold them.
struct JobForm {
  std::string imagePath;  // path edit 1001
  int deviceMode = -1;    // radio group 1007, -1 when none is selected
  int phoneMode = -1;     // radio group 1008
  int pdaMode = -1;       // radio group 1012
  int comPort = 0;        // port edit 1133
  bool operator==(const JobForm&) const = default;
};

// The file-open dialog of Browse.
struct FileDialogSpec {
  std::string defaultExtension;
  std::string initialName;
  std::string filter;  // "Text (*.x)|*.x|All Files (*.*)|*.*||"
  uint32_t sizeLimit = 0;
};

// How one slot of a run ended.
struct SlotOutcome {
  enum class Result { NotStarted, Completed, Failed };
  int slot = 0;
  Result result = Result::NotStarted;
  std::string failedStep;  // what failed, when Failed
  int unit = 1;            // which unit of the slot (continuous operation counts on)
};

struct RunSummary {
  // The slots that took part, in order; in continuous operation every unit,
  // in the order they ended.
  std::vector<SlotOutcome> slots;
  bool AllCompleted() const {
    if (slots.empty()) return false;
    for (const SlotOutcome& s : slots)
      if (s.result != SlotOutcome::Result::Completed) return false;
    return true;
  }
};

// Where a slot's unit stands, as the window shows it at a glance.
enum class SlotRunState {
  Idle,       // nothing shown: Go cleared the slot, or it takes no part
  Running,    // a unit started now
  Completed,  // the unit ended completed
  Failed,     // the unit ended failed
};

class ConsoleView : public OperatorPrompt {
 public:
  // Form binding: the controls' values, and writing the members back.
  virtual JobForm ReadForm() = 0;
  virtual void RefreshForm(const JobForm& form) = 0;

  // Control state by id (ctl:: ids; Go is ctl::kGo).
  virtual void SetControlEnabled(int id, bool enabled) = 0;
  virtual void SetControlVisible(int id, bool visible) = 0;

  // A slot's log pane: text appended (the kept text grows by exactly this),
  // with the last line brought into view; and emptied.
  virtual void AppendSlotText(int slot, const std::string& text) = 0;
  virtual void ClearSlotText(int slot) = 0;
  // The bar's position; values above 100 show a full bar.
  virtual void SetSlotProgress(int slot, uint32_t percent) = 0;
  virtual void SetSlotStatusText(int slot, const std::string& text) = 0;

  // The file-open dialog (read-only box hidden); nothing when cancelled.
  virtual std::optional<std::string> ChooseOpenFile(const FileDialogSpec& spec) = 0;

  // Utility buttons 1015-1018 (the windows they open belong to the front
  // end); true when the window they ran closed with OK.
  virtual bool RunAuxiliaryCommand(int /*controlId*/) { return false; }

  // The console has opened (banners written, settings read); called on the
  // console thread at the end of the opening.
  virtual void Opened() {}

  // The console is inside one of its waits: operator input waits for it
  // (a busy cursor).
  virtual void SetBusy(bool /*busy*/) {}
  // A click on the control was taken and waits to be handled (the control
  // shows it); a second click meanwhile is dropped.
  virtual void SetCommandPending(int /*controlId*/, bool /*pending*/) {}
  // How many units the slot completed and failed in this run (the progress
  // bar's tooltip).
  virtual void SetSlotUnitCounts(int /*slot*/, int /*completed*/, int /*failed*/) {}
  // A slot's unit started, ended, or was cleared by Go; and what its transfer
  // is doing. Both come in the order of the slot operations above.
  virtual void SetSlotRunState(int /*slot*/, SlotRunState /*state*/) {}
  virtual void SetSlotPhase(int /*slot*/, SlotPhase /*phase*/) {}

  // Run notifications for front ends without a window: Go refused the job
  // before starting anything (text as shown to the operator), a run started,
  // a run ended. Called on the console thread or a PDA worker thread.
  virtual void JobRefused(const std::string& /*text*/) {}
  virtual void RunStarted() {}
  virtual void RunEnded(const RunSummary& /*summary*/) {}
};

}  // namespace k730
