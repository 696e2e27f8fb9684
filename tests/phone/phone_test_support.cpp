#include "phone_test_support.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "core/byte_order.h"
#include "core/clock.h"

namespace k730::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/k730-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedPortDir::ScopedPortDir(const std::string& dir) {
  if (const char* old = std::getenv("K730_PORT_DIR")) {
    had_ = true;
    old_ = old;
  }
  setenv("K730_PORT_DIR", dir.c_str(), 1);
}

ScopedPortDir::~ScopedPortDir() {
  if (had_) {
    setenv("K730_PORT_DIR", old_.c_str(), 1);
  } else {
    unsetenv("K730_PORT_DIR");
  }
}

ScopedTimeScale::ScopedTimeScale(double scale) {
  SetProcessTimeScale(scale);
}

ScopedTimeScale::~ScopedTimeScale() {
  SetProcessTimeScale(TimeScaleFromEnvironment());
}

std::string Describe(const std::vector<Event>& events) {
  std::ostringstream out;
  for (const Event& e : events) out << e.id << "/" << std::hex << e.wParam << std::dec << " ";
  return out.str();
}

std::vector<uint64_t> RecordingSink::Ticks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ticks_;
}

bool RecordingSink::PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({id, wParam, lParam});
    ticks_.push_back(TickCount());
  }
  arrived_.notify_all();
  return true;
}

std::vector<Event> RecordingSink::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

bool RecordingSink::WaitFor(uint32_t id, int seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::seconds(seconds), [&] {
    return std::any_of(events_.begin(), events_.end(), [&](const Event& e) { return e.id == id; });
  });
}

MessageAnswer ScriptedPrompt::ShowMessage(const std::string& text, MessageIcon icon,
                                          MessageButtons buttons) {
  shown.push_back({text, icon, buttons});
  return buttons == MessageButtons::YesNo ? answer_ : MessageAnswer::Ok;
}

std::vector<uint8_t> MakePhoneImage(uint32_t size, uint32_t startAddress, uint32_t seed) {
  std::vector<uint8_t> image(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint32_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    image[i] = static_cast<uint8_t>(x >> 24);
    // Plenty of bytes that must be stuffed on the wire.
    if (i % 97 == 0) image[i] = static_cast<uint8_t>(0x7D + i % 3);
  }
  if (size >= 36) {
    WriteU32LE(image.data() + size - 18, 0x00000000);
    WriteU32LE(image.data() + size - 16, startAddress);
  }
  return image;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw std::runtime_error("cannot write " + path);
  std::fwrite(data.data(), 1, data.size(), file);
  std::fclose(file);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> data;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return data;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    data.insert(data.end(), chunk, chunk + n);
  std::fclose(file);
  return data;
}

bool WaitUntil(const std::function<bool()>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

ScriptedPeer::ScriptedPeer(const std::string& dir, int comNumber)
    : link_(dir + "/COM" + std::to_string(comNumber)) {
  std::string error;
  if (!pty_.Open(error)) throw std::runtime_error(error);
  unlink(link_.c_str());
  if (symlink(pty_.TerminalPath().c_str(), link_.c_str()) != 0)
    throw std::runtime_error("symlink " + link_);
}

ScriptedPeer::~ScriptedPeer() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  unlink(link_.c_str());
}

void ScriptedPeer::Script(std::vector<std::vector<uint8_t>> replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(replies);
  next_ = 0;
}

void ScriptedPeer::Serve() {
  thread_ = std::thread(&ScriptedPeer::Run, this);
}

void ScriptedPeer::Send(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(pty_.Master(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      pollfd entry{pty_.Master(), POLLOUT, 0};
      poll(&entry, 1, 10);
    }
  }
}

std::vector<uint8_t> ScriptedPeer::ReadAvailable(size_t atLeast, int seconds) {
  std::vector<uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uint8_t chunk[4096];
  while (got.size() < atLeast && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{pty_.Master(), POLLIN, 0};
    if (poll(&entry, 1, 10) <= 0) continue;
    const ssize_t n = read(pty_.Master(), chunk, sizeof chunk);
    if (n > 0) got.insert(got.end(), chunk, chunk + n);
  }
  return got;
}

std::vector<std::vector<uint8_t>> ScriptedPeer::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frameLog_;
}

std::vector<uint8_t> ScriptedPeer::AllReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void ScriptedPeer::Unplug() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  unlink(link_.c_str());
  pty_.Close();
}

void ScriptedPeer::Run() {
  std::vector<uint8_t> pending;
  uint8_t chunk[4096];
  while (!stop_.load()) {
    pollfd entry{pty_.Master(), POLLIN, 0};
    if (poll(&entry, 1, 5) <= 0) continue;
    const ssize_t n = read(pty_.Master(), chunk, sizeof chunk);
    if (n <= 0) continue;
    std::vector<std::vector<uint8_t>> answers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.insert(received_.end(), chunk, chunk + n);
      for (ssize_t i = 0; i < n; ++i) {
        if (chunk[i] != 0x7E) {
          pending.push_back(chunk[i]);
          continue;
        }
        const bool padding =
            std::all_of(pending.begin(), pending.end(), [](uint8_t b) { return b == 0; });
        if (!padding) {
          frameLog_.push_back(pending);
          frames_.fetch_add(1);
          if (next_ < script_.size()) answers.push_back(script_[next_++]);
        }
        pending.clear();
      }
    }
    for (const auto& answer : answers)
      if (!answer.empty()) Send(answer);
  }
}

}  // namespace k730::test
