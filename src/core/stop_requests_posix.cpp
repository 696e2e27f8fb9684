#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "core/stop_requests.h"

namespace k730 {

struct StopRequestWatcher::State {
  Handler handler;
  sigset_t set;
  std::atomic<int> last{SIGINT};
  std::thread thread;
};

StopRequestWatcher::StopRequestWatcher(Handler handler) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.handler = std::move(handler);
  sigemptyset(&s.set);
  // SIGUSR1 only wakes the watcher to end it.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&s.set, signal);
  pthread_sigmask(SIG_BLOCK, &s.set, nullptr);  // every thread started later inherits it
  s.thread = std::thread([&s] {
    int received = 0;
    while (sigwait(&s.set, &received) == 0) {
      if (received == SIGUSR1) return;
      s.last = received;
      s.handler(received == SIGHUP ? StopKind::HangUp : StopKind::Interrupt);
    }
  });
}

StopRequestWatcher::~StopRequestWatcher() {
  pthread_kill(state_->thread.native_handle(), SIGUSR1);
  state_->thread.join();
}

void StopRequestWatcher::EndNow() {
  const int signal = state_->last;
  std::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal);
  _exit(128 + signal);
}

void IgnoreWriteSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace k730
