// One piece of work off the GUI thread at a time, with its completion handed
// back to the GUI thread. The thread is joined before the completion runs and
// in the destructor, so nothing outlives the window that started it.
#pragma once

#include <QObject>
#include <functional>
#include <thread>

#include "ui/gui_tasks.h"

namespace k730::ui {

class BackgroundJob : public QObject {
  Q_OBJECT

 public:
  explicit BackgroundJob(QObject* parent = nullptr) : QObject(parent), tasks_(this) {}
  ~BackgroundJob() override;

  bool Busy() const { return busy_; }
  // Runs work on a new thread; done then runs on this object's thread. False
  // (nothing started) while an earlier job is still busy.
  bool Start(std::function<void()> work, std::function<void()> done);

 Q_SIGNALS:
  void finished();

 private:
  void Join();

  GuiTasks tasks_;
  std::thread thread_;
  bool busy_ = false;  // GUI thread only
};

}  // namespace k730::ui
