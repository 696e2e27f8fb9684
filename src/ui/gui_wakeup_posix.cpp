#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdint>

#include "ui/gui_wakeup.h"

namespace k730::ui {

struct GuiWakeup::State {
  int eventFd = -1;
  QSocketNotifier* notifier = nullptr;
};

GuiWakeup::GuiWakeup(QObject* parent, std::function<void()> onWake)
    : state_(std::make_unique<State>()) {
  state_->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->eventFd < 0) return;
  state_->notifier = new QSocketNotifier(state_->eventFd, QSocketNotifier::Read, parent);
  const int fd = state_->eventFd;
  QObject::connect(state_->notifier, &QSocketNotifier::activated, state_->notifier,
                   [fd, onWake = std::move(onWake)] {
                     uint64_t count = 0;
                     [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
                     onWake();
                   });
}

GuiWakeup::~GuiWakeup() {
  delete state_->notifier;
  if (state_->eventFd >= 0) ::close(state_->eventFd);
}

void GuiWakeup::Wake() {
  const uint64_t one = 1;
  if (state_->eventFd >= 0) [[maybe_unused]]
    const ssize_t n = ::write(state_->eventFd, &one, sizeof one);
}

}  // namespace k730::ui
