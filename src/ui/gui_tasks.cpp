#include "ui/gui_tasks.h"

namespace k730::ui {

GuiTasks::GuiTasks(QObject* parent)
    : QObject(parent), wakeup_(std::make_unique<GuiWakeup>(this, [this] { RunPending(); })) {}

GuiTasks::~GuiTasks() {
  Close();
  wakeup_.reset();
}

void GuiTasks::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    tasks_.push_back(std::move(task));
    // One wake-up per batch: the GUI thread takes everything queued at once.
    if (signalled_) return;
    signalled_ = true;
  }
  wakeup_->Wake();
}

void GuiTasks::RunPending() {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks.swap(tasks_);
    signalled_ = false;
  }
  for (std::function<void()>& task : tasks) {
    task();
    task = nullptr;  // captures are released here, on the GUI thread
  }
}

void GuiTasks::Close() {
  std::deque<std::function<void()>> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  dropped.swap(tasks_);
}

}  // namespace k730::ui
