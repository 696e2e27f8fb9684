// Work handed to the GUI thread from any thread. The tasks travel through a
// queue under a std::mutex and a GuiWakeup wakes the GUI thread's event loop,
// so the hand-over is visible to the thread sanitizer and nothing is passed
// through the toolkit's own cross-thread event queue.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "ui/gui_wakeup.h"

namespace k730::ui {

class GuiTasks : public QObject {
  Q_OBJECT

 public:
  // Lives on the thread that creates it (the GUI thread).
  explicit GuiTasks(QObject* parent = nullptr);
  ~GuiTasks() override;

  // Safe from any thread; tasks run on the GUI thread in the order posted.
  // After Close, tasks are dropped.
  void Post(std::function<void()> task);
  // Runs what is queued now (GUI thread).
  void RunPending();
  // Drops queued tasks and refuses new ones.
  void Close();

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  bool closed_ = false;
  bool signalled_ = false;
  std::unique_ptr<GuiWakeup> wakeup_;
};

}  // namespace k730::ui
