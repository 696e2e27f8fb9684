// The mode-switch window: a base port edit and eight port buttons, each
// running the AT-command switch on COM(base + i) off the GUI thread.
#pragma once

#include <QDialog>
#include <array>
#include <memory>

#include "ui/background_job.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace k730 {
class ModeSwitch;
}

namespace k730::ui {

constexpr const char* kModeSwitchCaption = "Configuration";
constexpr int kBasePortEdit = 1065;

class ModeSwitchWindow : public QDialog {
  Q_OBJECT

 public:
  explicit ModeSwitchWindow(QWidget* parent = nullptr);
  ~ModeSwitchWindow() override;

  int BasePort() const;
  bool Busy() const { return job_.Busy(); }
  // The port of the last procedure and whether it ran to its end.
  int LastPort() const { return lastPort_; }
  int LastResult() const { return lastResult_; }

  void accept() override;
  void reject() override;

 Q_SIGNALS:
  void switchFinished(int comNumber, int result);

 private:
  void StartSwitch(int index);
  void UpdateCaptions();
  void SetRunning(bool running);
  // Closing during a procedure stops it first and closes once it has ended.
  void CloseWhenIdle(int result);

  std::array<QPushButton*, 8> buttons_{};
  QLineEdit* base_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* ok_ = nullptr;
  std::unique_ptr<ModeSwitch> procedure_;
  BackgroundJob job_;
  int lastPort_ = -1;
  int lastResult_ = 0;
  int pendingClose_ = -1;
};

}  // namespace k730::ui
