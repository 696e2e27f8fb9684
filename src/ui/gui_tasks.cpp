#include "ui/gui_tasks.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdint>

namespace k730::ui {

GuiTasks::GuiTasks(QObject* parent) : QObject(parent) {
  eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (eventFd_ >= 0) {
    notifier_ = new QSocketNotifier(eventFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(eventFd_, &count, sizeof count);
      RunPending();
    });
  }
}

GuiTasks::~GuiTasks() {
  Close();
  delete notifier_;
  if (eventFd_ >= 0) ::close(eventFd_);
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
  const uint64_t one = 1;
  if (eventFd_ >= 0) [[maybe_unused]]
    const ssize_t n = ::write(eventFd_, &one, sizeof one);
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
