// A thread's message queue: numbered messages with two parameters, taken one
// at a time in the order posted. The console thread and every phone worker
// run their loop on one of these.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

namespace k730 {

struct Message {
  uint32_t id = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// Ends a message loop (the value of WM_QUIT).
constexpr uint32_t kQuitMessage = 0x0012;

// Anything that accepts posted messages (a window, a thread).
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Never blocks; false when the message could not be queued.
  virtual bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) = 0;
};

class MessageQueue : public MessageSink {
 public:
  static constexpr size_t kDefaultCapacity = 10000;
  explicit MessageQueue(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) override;
  void PostQuit() { PostMessage(kQuitMessage, 0, 0); }

  // Blocks until a message arrives; false when it is the quit message.
  bool GetMessage(Message& message);
  // Waits at most timeoutMs real milliseconds; false when nothing came.
  bool WaitMessage(Message& message, uint32_t timeoutMs);
  size_t Size() const;

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Message> queue_;
};

}  // namespace k730
