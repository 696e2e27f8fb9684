#include "core/windows_api.h"

#include <QWinEventNotifier>

#include "ui/gui_wakeup.h"

namespace k730::ui {

struct GuiWakeup::State {
  HANDLE event = nullptr;
  QWinEventNotifier* notifier = nullptr;
};

GuiWakeup::GuiWakeup(QObject* parent, std::function<void()> onWake)
    : state_(std::make_unique<State>()) {
  // Auto-reset: the notifier's wait takes the signal with it.
  state_->event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!state_->event) return;
  state_->notifier = new QWinEventNotifier(state_->event, parent);
  QObject::connect(state_->notifier, &QWinEventNotifier::activated, state_->notifier,
                   [onWake = std::move(onWake)] { onWake(); });
}

GuiWakeup::~GuiWakeup() {
  delete state_->notifier;
  if (state_->event) ::CloseHandle(state_->event);
}

void GuiWakeup::Wake() {
  if (state_->event) ::SetEvent(state_->event);
}

}  // namespace k730::ui
