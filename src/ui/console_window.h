// The console window: the controls of the download console, showing what the
// console core says through ConsoleView and handing the operator's input to
// the console thread. The GUI thread never waits for the console: the view's
// updates from the console and worker threads are gathered under a lock and
// applied by one queued call per batch, and the form is read from a copy the
// GUI thread keeps current.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "console/console_view.h"
#include "console/slot_clock.h"
#include "core/slot_writer.h"
#include "ui/file_dialogs.h"
#include "ui/gui_prompt.h"
#include "ui/gui_tasks.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class QToolButton;
class QMenu;

namespace k730 {
class DownloaderDialog;
}

namespace k730::ui {

constexpr const char* kConsoleCaption = "k730 Multi-Downloader (Beta 7.0)";
constexpr const char* kImageMakerDoneLine = "(Phone+PDA) Combined File created.\r\n";
constexpr const char* kConfigurationDoneLine = "QPX-k760 Downloader configuration done.\r\n";
// Asked before the operator ends the console while a slot is flashing.
constexpr const char* kEndDuringRunQuestion =
    "A download is still running. Ending the program now can leave a handset that does not "
    "start.\n\nEnd it anyway?";

// A slot's log pane. The last line sits at the bottom edge: a text that ends
// its line owes the pane that line break until more text comes, so no empty
// row stands under the last line, and the pane shows whole rows only.
class LogPane : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LogPane(QWidget* parent = nullptr);
  void AppendText(const QString& text);
  void ClearText();
  // The text as appended, the owed line break included.
  QString Text() const;
  // The widest of the described lines that must not wrap, in pixels, with
  // the pane's frame, margins and scroll bar.
  int WidthForLines() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitWholeRows();
  void ScrollToEnd();

  bool owedBreak_ = false;
};
// The spin of the port base: an up-down control that sets its buddy edit's
// integer (arrow buttons and the arrow keys).
class UpDownControl : public QWidget {
  Q_OBJECT

 public:
  explicit UpDownControl(QWidget* parent = nullptr);
  void SetBuddy(QLineEdit* buddy) { buddy_ = buddy; }
  void SetRange(int low, int high);
  int Value() const;
  void SetValue(int value);
  void StepBy(int steps);

 Q_SIGNALS:
  void valueChanged(int value);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QPointer<QLineEdit> buddy_;
  QToolButton* up_ = nullptr;
  QToolButton* down_ = nullptr;
  int low_ = 0;
  int high_ = 100;
};

class ConsoleWindow : public QDialog, public ConsoleView {
  Q_OBJECT

 public:
  // The windows the utility buttons open; each returns true when the window
  // closed with OK. Replaced by tests.
  using AuxiliaryRunner = std::function<bool(int controlId)>;

  explicit ConsoleWindow(FileDialogs& dialogs, QWidget* parent = nullptr);
  ~ConsoleWindow() override;

  // Starts the console thread on dialog (Run()). The window closes itself
  // when the console's loop ends (exit, OK); then StopConsole joins.
  void StartConsole(DownloaderDialog& dialog);
  // Asks the console to exit and joins its thread. Safe to repeat.
  void StopConsole();
  bool ConsoleRunning() const;
  // The console's result: 2 after exit, 1 after OK, 0 before it ended.
  int ConsoleResult() const { return consoleResult_; }

  // Called once on the GUI thread when the console has opened (banners
  // written, Go enabled for the first time).
  void OnConsoleOpened(std::function<void()> hook) { openedHook_ = std::move(hook); }
  // Called on the GUI thread after each batch of updates has been applied.
  void OnUpdatesApplied(std::function<void()> hook) { appliedHook_ = std::move(hook); }

  GuiPrompt& Prompt() { return prompt_; }
  void SetAuxiliaryRunner(AuxiliaryRunner runner) { auxiliaryRunner_ = std::move(runner); }
  // Runs a utility command as its button does (1015-1018; 0x0010 the About box).
  void RunCommand(int controlId);
  // The windows behind the utility buttons, as the buttons open them.
  bool OpenAuxiliaryWindow(int controlId);

  // Applies pending updates now (tests; the queued batch does the same).
  void ApplyPendingUpdates();

  // ConsoleView, called on the console thread and on PDA worker threads.
  JobForm ReadForm() override;
  // The form as it stands, for the GUI thread's own use (not the console's read).
  JobForm CurrentForm() const;
  void RefreshForm(const JobForm& form) override;
  void SetControlEnabled(int id, bool enabled) override;
  void SetControlVisible(int id, bool visible) override;
  void AppendSlotText(int slot, const std::string& text) override;
  void ClearSlotText(int slot) override;
  void SetSlotProgress(int slot, uint32_t percent) override;
  void SetSlotStatusText(int slot, const std::string& text) override;
  void SetSlotUnitCounts(int slot, int completed, int failed) override;
  // Colours the status box and the bar by the outcome; the bar's text shows
  // the elapsed time and, while a transfer runs at the link's rate, the time left.
  void SetSlotRunState(int slot, SlotRunState state) override;
  void SetSlotPhase(int slot, SlotPhase phase) override;
  // A busy cursor over the window while the console is inside a wait.
  void SetBusy(bool busy) override;
  // The clicked control stays down until the console has handled the click.
  void SetCommandPending(int controlId, bool pending) override;
  std::optional<std::string> ChooseOpenFile(const FileDialogSpec& spec) override;
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override;
  bool RunAuxiliaryCommand(int controlId) override;

  // The window menu standing in for the system menu.
  QMenu* WindowMenu() const { return windowMenu_; }

  // A slot is flashing: ending the console now asks first.
  bool RunGoing() const;
  // Ends the console as exit does, without asking (the signals' way out).
  void ExitWithoutAsking();

 Q_SIGNALS:
  void consoleEnded(int result);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  struct PendingSlot {
    bool cleared = false;
    std::string appended;
    std::optional<uint32_t> progress;
    std::optional<std::string> status;
    std::optional<std::pair<int, int>> units;  // completed, failed
  };

  void Build();
  QWidget* BuildJobArea();
  QWidget* BuildSlots();
  QWidget* BuildButtonRow();
  void ApplyInitialStates();
  void SchedulePendingLocked();
  void ApplyForm();
  // The operator's change: becomes the form unless a newer one is on its way.
  void FormFromControls();
  JobForm ControlsForm() const;
  void PostCommand(int controlId);
  // Exit by the operator (Escape, the exit button, closing): asks during a run.
  void RequestExit();
  void EndConsole();
  // True when nothing runs, or the operator said to end it anyway.
  bool MayEndNow();
  // The slots' times and outcomes as the clocks have them now.
  void ShowSlotTimes();
  void ShowOutcome(int slot, SlotRunState state);
  void ConsoleLoopEnded(int result);
  void LogFromWindow(const std::string& line);

  FileDialogs& dialogs_;
  GuiPrompt prompt_;
  GuiTasks tasks_;  // work of other threads for the GUI thread
  AuxiliaryRunner auxiliaryRunner_;
  std::function<void()> openedHook_;
  std::function<void()> appliedHook_;
  bool opened_ = false;

  // The console and its thread.
  DownloaderDialog* dialog_ = nullptr;
  std::thread consoleThread_;
  std::atomic<bool> consoleRunning_{false};
  int consoleResult_ = 0;
  bool closing_ = false;

  // The form, readable from any thread. The controls follow it
  // asynchronously: a form the console refreshed is the form at once, and an
  // operator's change made before the controls show it goes on top of it, so
  // that neither undoes the other whatever order the GUI thread sees them in.
  mutable std::mutex formMutex_;
  JobForm form_;
  uint64_t formGeneration_ = 0;     // forms refreshed by the console
  uint64_t appliedGeneration_ = 0;  // the one the controls show
  JobForm consoleKnows_;            // the form as the console last read or wrote it
  JobForm shownForm_;               // GUI thread: what the controls showed last
  bool applyingForm_ = false;       // GUI thread: the form is being written to the controls

  // Updates waiting for the GUI thread.
  mutable std::mutex pendingMutex_;
  bool batchPosted_ = false;
  std::array<PendingSlot, kSlotCount> pendingSlots_;
  std::map<int, bool> pendingEnabled_;
  std::map<int, bool> pendingVisible_;
  std::map<int, bool> pendingTaken_;
  std::optional<bool> pendingBusy_;
  bool formPending_ = false;
  // Each slot's times, fed at the moment of each call (under pendingMutex_).
  std::array<SlotClock, kSlotCount> clocks_{};
  // GUI thread: the outcome each slot shows, and the question being asked.
  std::array<SlotRunState, kSlotCount> shownState_{};
  QTimer* clockTimer_ = nullptr;
  bool asking_ = false;

  // Questions of the console thread that wait for the GUI thread.
  std::mutex callMutex_;
  std::condition_variable callDone_;
  bool callsRefused_ = false;

  // Controls.
  std::map<int, QWidget*> controls_;
  std::array<QRadioButton*, 3> deviceRadios_{};
  std::array<QRadioButton*, 5> phoneRadios_{};
  std::array<QRadioButton*, 8> pdaRadios_{};
  QLineEdit* path_ = nullptr;
  QLineEdit* portEdit_ = nullptr;
  UpDownControl* portSpin_ = nullptr;
  std::array<LogPane*, 8> logPanes_{};
  std::array<QLineEdit*, 8> statusBoxes_{};
  std::array<QProgressBar*, 8> progressBars_{};
  QToolButton* menuButton_ = nullptr;
  QMenu* windowMenu_ = nullptr;
};

}  // namespace k730::ui
