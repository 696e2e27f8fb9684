#include "core/message_queue.h"

#include <chrono>

namespace k730 {

bool MessageQueue::PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The quit message always gets through so a full queue can still be ended.
    if (queue_.size() >= capacity_ && id != kQuitMessage) return false;
    queue_.push_back(Message{id, wParam, lParam});
  }
  arrived_.notify_one();
  return true;
}

bool MessageQueue::GetMessage(Message& message) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait(lock, [this] { return !queue_.empty(); });
  message = queue_.front();
  queue_.pop_front();
  return message.id != kQuitMessage;
}

bool MessageQueue::WaitMessage(Message& message, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return !queue_.empty(); }))
    return false;
  message = queue_.front();
  queue_.pop_front();
  return true;
}

size_t MessageQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

}  // namespace k730
