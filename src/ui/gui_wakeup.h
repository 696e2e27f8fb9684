// Wakes the GUI thread's event loop from any thread without going through
// the toolkit's own cross-thread event queue, so that what is handed over
// stays visible to the thread sanitizer: an eventfd watched by a socket
// notifier (gui_wakeup_posix.cpp), or an event object watched by a Windows
// event notifier (gui_wakeup_win32.cpp).
#pragma once

#include <functional>
#include <memory>

class QObject;

namespace k730::ui {

class GuiWakeup {
 public:
  // onWake runs on the thread of parent's event loop, once for one or more
  // Wake calls; the notifier belongs to parent.
  GuiWakeup(QObject* parent, std::function<void()> onWake);
  ~GuiWakeup();
  GuiWakeup(const GuiWakeup&) = delete;
  GuiWakeup& operator=(const GuiWakeup&) = delete;

  // Any thread.
  void Wake();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace k730::ui
