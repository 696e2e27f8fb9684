// Shared pieces of the phone and simulator tests: temporary directories, a
// recording message sink, phone images and a scripted peer on a pseudo-terminal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/message_queue.h"
#include "core/operator_prompt.h"
#include "sim/pty.h"

namespace k730::test {

// A directory under TMPDIR, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points K730_PORT_DIR at dir for the life of the object.
class ScopedPortDir {
 public:
  explicit ScopedPortDir(const std::string& dir);
  ~ScopedPortDir();

 private:
  std::string old_;
  bool had_ = false;
};

// Sets the process time scale for the life of the object (back to the
// environment's value afterwards).
class ScopedTimeScale {
 public:
  explicit ScopedTimeScale(double scale);
  ~ScopedTimeScale();
};

struct Event {
  uint32_t id;
  uintptr_t wParam;
  intptr_t lParam;
  bool operator==(const Event& other) const {
    return id == other.id && wParam == other.wParam && lParam == other.lParam;
  }
};
std::string Describe(const std::vector<Event>& events);

class RecordingSink : public MessageSink {
 public:
  bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) override;
  std::vector<Event> Events() const;
  // The process clock's tick at which each event arrived, in the same order.
  std::vector<uint64_t> Ticks() const;
  // Waits (real time, generous bound) until an event with id has arrived.
  bool WaitFor(uint32_t id, int seconds = 60);

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Event> events_;
  std::vector<uint64_t> ticks_;
};

// Answers every question with a fixed answer and keeps what was shown.
class ScriptedPrompt : public OperatorPrompt {
 public:
  explicit ScriptedPrompt(MessageAnswer answer = MessageAnswer::Yes) : answer_(answer) {}
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override;
  struct Shown {
    std::string text;
    MessageIcon icon;
    MessageButtons buttons;
  };
  std::vector<Shown> shown;

 private:
  MessageAnswer answer_;
};

// A phone half of size bytes with varied content (including the reserved
// bytes 7D-7F) and a trailer carrying startAddress.
std::vector<uint8_t> MakePhoneImage(uint32_t size, uint32_t startAddress, uint32_t seed = 1);
void WriteFile(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> ReadFile(const std::string& path);

// Polls until done() is true or seconds of real time have passed.
bool WaitUntil(const std::function<bool()>& done, int seconds = 60);

// A pseudo-terminal linked as <dir>/COM<n>, whose controlling side the test
// plays: each frame received (bytes up to a closing 7E, empty ones skipped)
// gets the next scripted reply (an empty reply sends nothing).
class ScriptedPeer {
 public:
  ScriptedPeer(const std::string& dir, int comNumber);
  ~ScriptedPeer();
  void Script(std::vector<std::vector<uint8_t>> replies);
  // Starts answering on a thread; without it the test reads and writes itself.
  void Serve();
  void Send(const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> ReadAvailable(size_t atLeast, int seconds = 10);
  int FramesReceived() const { return frames_.load(); }
  std::vector<std::vector<uint8_t>> Frames() const;
  std::vector<uint8_t> AllReceived() const;
  // Closes the pseudo-terminal: a host holding it sees the device gone.
  void Unplug();

 private:
  void Run();
  sim::Pty pty_;
  std::string link_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> frames_{0};
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> script_;
  size_t next_ = 0;
  std::vector<std::vector<uint8_t>> frameLog_;
  std::vector<uint8_t> received_;
};

}  // namespace k730::test
