// Requests from outside to stop the program: SIGINT, SIGTERM and SIGHUP on
// POSIX; Ctrl+C, Ctrl+Break and the console window closing (or the user
// logging off, the system shutting down) on Windows (stop_requests_posix.cpp,
// stop_requests_win32.cpp).
#pragma once

#include <functional>
#include <memory>

namespace k730 {

// Interrupt: the operator asks the program to stop (SIGINT, SIGTERM, Ctrl+C,
// Ctrl+Break, the console closing). HangUp: the terminal went away (SIGHUP);
// the program may well go on.
enum class StopKind { Interrupt, HangUp };

// Watches for stop requests for as long as it lives; the handler runs one
// request at a time on a thread that is not the program's main thread. Make
// it before any other thread starts: on POSIX the signals are blocked in
// every thread started after it. A console closing on Windows ends the
// process a few seconds after it was reported, or as soon as the watcher is
// destroyed, whichever comes first.
class StopRequestWatcher {
 public:
  using Handler = std::function<void(StopKind kind)>;
  explicit StopRequestWatcher(Handler handler);
  ~StopRequestWatcher();
  StopRequestWatcher(const StopRequestWatcher&) = delete;
  StopRequestWatcher& operator=(const StopRequestWatcher&) = delete;

  // Ends the process at once, as the last request would have had nobody
  // watched for it (its signal's default action; Ctrl+C's exit status).
  [[noreturn]] void EndNow();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A write to a pipe nobody reads, or beyond the file size limit, fails with
// an error instead of ending the process (POSIX; nothing to do on Windows).
void IgnoreWriteSignals();

}  // namespace k730
