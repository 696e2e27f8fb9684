// Stop requests on Windows: console control events. The system calls the
// routine on a thread of its own for each event; a console that closes (or a
// user logging off, the system shutting down) ends the process when the
// routine returns, so for those the routine waits until the program has
// finished with the request, bounded by the system's own few seconds.
#include "core/windows_api.h"

#include <condition_variable>
#include <mutex>

#include "core/stop_requests.h"

namespace k730 {
namespace {

// The process's one watcher; console routines are process-wide.
std::mutex g_mutex;
std::condition_variable g_gone;
StopRequestWatcher::Handler* g_handler = nullptr;
std::mutex g_serial;  // one request at a time

constexpr DWORD kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT
constexpr auto kCloseGrace = std::chrono::milliseconds(4500);

BOOL WINAPI OnConsoleControl(DWORD event) {
  std::lock_guard<std::mutex> serial(g_serial);
  std::unique_lock<std::mutex> lock(g_mutex);
  if (!g_handler) return FALSE;
  StopRequestWatcher::Handler handler = *g_handler;
  lock.unlock();
  handler(StopKind::Interrupt);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    lock.lock();
    g_gone.wait_for(lock, kCloseGrace, [] { return g_handler == nullptr; });
  }
  return TRUE;
}

}  // namespace

struct StopRequestWatcher::State {
  Handler handler;
};

StopRequestWatcher::StopRequestWatcher(Handler handler) : state_(std::make_unique<State>()) {
  state_->handler = std::move(handler);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = &state_->handler;
  }
  ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

StopRequestWatcher::~StopRequestWatcher() {
  ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = nullptr;
  }
  g_gone.notify_all();
  // A request being handled right now finishes before the handler goes.
  std::lock_guard<std::mutex> serial(g_serial);
}

void StopRequestWatcher::EndNow() {
  ::TerminateProcess(::GetCurrentProcess(), kControlCExit);
  ::ExitProcess(kControlCExit);
}

void IgnoreWriteSignals() {}

}  // namespace k730
