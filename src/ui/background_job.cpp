#include "ui/background_job.h"

namespace k730::ui {

BackgroundJob::~BackgroundJob() {
  Join();
}

void BackgroundJob::Join() {
  if (thread_.joinable()) thread_.join();
}

bool BackgroundJob::Start(std::function<void()> work, std::function<void()> done) {
  if (busy_) return false;
  Join();
  busy_ = true;
  thread_ = std::thread([this, work = std::move(work), done = std::move(done)]() mutable {
    work();
    // Dropped if the object is gone, which cannot happen before the
    // destructor has joined this thread.
    tasks_.Post([this, done = std::move(done)] {
      Join();
      busy_ = false;
      if (done) done();
      Q_EMIT finished();
    });
  });
  return true;
}

}  // namespace k730::ui
