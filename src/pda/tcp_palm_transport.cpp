#include "pda/tcp_palm_transport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "pda/palm_device_map.h"
#include "pda/tcp_socket.h"

namespace k730 {
namespace {

using Steady = std::chrono::steady_clock;

// Real milliseconds the listing may take to answer; it is on the loopback.
constexpr uint32_t kListingTimeoutMs = 2000;
// The longest listing line read; far beyond what six handhelds take.
constexpr size_t kMaxListingLine = 4096;

bool ParseNumber(const std::string& text, uint32_t limit, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > limit) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

int WaitSlice(const Steady::time_point* deadline, uint32_t limitMs) {
  int wait = static_cast<int>(limitMs);
  if (!deadline) return wait;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Steady::now()).count();
  if (left <= 0) return 0;
  return left < wait ? static_cast<int>(left) : wait;
}

// Reads one line from socket into line (without its end), keeping what
// follows in pending; false at the end of the stream, on an error, on a line
// too long, or when nothing comes within timeoutMs (< 0: no limit).
bool ReadLine(TcpSocket& socket, std::string& pending, std::string& line, int timeoutMs) {
  for (;;) {
    const size_t end = pending.find('\n');
    if (end != std::string::npos) {
      line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return true;
    }
    if (pending.size() > kMaxListingLine) return false;
    if (socket.WaitReadable(timeoutMs) != TcpSocket::Wait::Ready) return false;
    uint8_t block[512];
    const long n = socket.Receive(block, sizeof block);
    if (n == TcpSocket::kWouldBlock) continue;
    if (n <= 0) return false;
    pending.append(reinterpret_cast<const char*>(block), static_cast<size_t>(n));
  }
}

// The handhelds present now, asked of the listing once.
bool ReadListing(const std::string& address, uint16_t port, TcpHandhelds& handhelds,
                 std::string& reason) {
  TcpSocket socket;
  if (!socket.Connect(address, port, kListingTimeoutMs, reason)) return false;
  std::string pending, line;
  if (!ReadLine(socket, pending, line, kListingTimeoutMs)) {
    reason = "the listing did not answer";
    return false;
  }
  if (!ParseTcpListingLine(line, handhelds)) {
    reason = "the listing's answer is malformed";
    return false;
  }
  return true;
}

}  // namespace

bool ParseTcpEndpoint(const std::string& text, std::string& address, uint16_t& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  uint32_t value = 0;
  if (!ParseNumber(text.substr(colon + 1), 65535, value) || value == 0) return false;
  address = text.substr(0, colon);
  port = static_cast<uint16_t>(value);
  return true;
}

bool ParseTcpListingLine(const std::string& line, TcpHandhelds& handhelds) {
  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "handhelds") return false;
  TcpHandhelds found;
  while (words >> word) {
    const size_t colon = word.find(':');
    uint32_t number = 0;
    uint32_t port = 0;
    if (colon == std::string::npos || !SimulatedDeviceNumber(word.substr(0, colon), number) ||
        !ParseNumber(word.substr(colon + 1), 65535, port) || port == 0)
      return false;
    found[number] = static_cast<uint16_t>(port);
  }
  handhelds = std::move(found);
  return true;
}

bool TcpListingFromEnvironment(std::string& address, uint16_t& port) {
  const char* text = std::getenv("K730_PALM_TCP");
  return text && ParseTcpEndpoint(text, address, port);
}

struct TcpPalmTransport::Connection {
  TcpSocket socket;
  // Per-call limits in real milliseconds; 0 = until done (idle limit applies).
  std::atomic<uint32_t> readTimeoutMs{0};
  std::atomic<uint32_t> writeTimeoutMs{0};
};

TcpPalmTransport::TcpPalmTransport(std::string address, uint16_t listingPort, uint32_t idleLimitMs)
    : address_(std::move(address)),
      listingPort_(listingPort),
      idleLimitMs_(idleLimitMs == 0 ? 1 : idleLimitMs) {}

TcpPalmTransport::~TcpPalmTransport() {
  for (const auto& connection : connections_.TakeAll()) connection->socket.Shutdown();
}

int TcpPalmTransport::OpenPort(const std::string& deviceName, uint32_t) {
  uint32_t number = 0;
  if (!SimulatedDeviceNumber(deviceName, number)) return -1;
  TcpHandhelds handhelds;
  std::string reason;
  if (!ReadListing(address_, listingPort_, handhelds, reason)) return -1;
  const auto found = handhelds.find(number);
  if (found == handhelds.end()) return -1;
  auto connection = std::make_shared<Connection>();
  if (!connection->socket.Connect(address_, found->second, kListingTimeoutMs, reason)) return -1;
  return connections_.Add(std::move(connection));
}

void TcpPalmTransport::SetTimeouts(int handle, const uint32_t timeouts[2]) {
  const auto connection = connections_.Find(handle);
  if (!connection) return;
  connection->readTimeoutMs = PalmTimeoutRealMs(timeouts[0]);
  connection->writeTimeoutMs = PalmTimeoutRealMs(timeouts[1]);
}

void TcpPalmTransport::SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) {
  *sent = 0;
  const auto connection = connections_.Find(handle);
  if (!connection) return;
  const uint32_t timeout = connection->writeTimeoutMs;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeout);
  uint32_t total = 0;
  while (total < length) {
    const long n = connection->socket.Send(data + total, length - total);
    if (n > 0) {
      total += static_cast<uint32_t>(n);
      continue;
    }
    if (n == TcpSocket::kWouldBlock &&
        connection->socket.WaitWritable(WaitSlice(timeout ? &deadline : nullptr, idleLimitMs_)) ==
            TcpSocket::Wait::Ready)
      continue;
    break;
  }
  *sent = total;
}

void TcpPalmTransport::ReceiveBytes(int handle, uint8_t* buffer, uint32_t length,
                                    uint32_t* received) {
  *received = 0;
  const auto connection = connections_.Find(handle);
  if (!connection) return;
  const uint32_t timeout = connection->readTimeoutMs;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeout);
  uint32_t total = 0;
  while (total < length) {
    const int wait = WaitSlice(timeout ? &deadline : nullptr, idleLimitMs_);
    if (connection->socket.WaitReadable(wait) != TcpSocket::Wait::Ready) break;
    const long n = connection->socket.Receive(buffer + total, length - total);
    if (n > 0) {
      total += static_cast<uint32_t>(n);
      continue;
    }
    if (n == TcpSocket::kWouldBlock) continue;
    break;  // the device closed its end, or the link failed
  }
  *received = total;
}

int TcpPalmTransport::ClosePort(int handle) {
  const std::shared_ptr<Connection> connection = connections_.Take(handle);
  if (!connection) return 0;
  // Wakes a transfer still blocked on it; the socket closes with the last user.
  connection->socket.Shutdown();
  return 1;
}

namespace {

// Follows the listing on one connection and reports each change; reconnects
// (reporting everything gone meanwhile) when the simulator goes away.
class TcpPalmWatcher : public PalmDeviceWatcher {
 public:
  TcpPalmWatcher(std::string address, uint16_t port) : address_(std::move(address)), port_(port) {}
  ~TcpPalmWatcher() override { Stop(); }

  bool Start(PalmDeviceCallback callback, bool reportPresent) override {
    if (thread_.joinable()) return false;
    callback_ = std::move(callback);
    stopping_ = false;
    thread_ = std::thread([this, reportPresent] { Run(reportPresent); });
    return true;
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      if (socket_) socket_->Shutdown();
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  // How often a listing that cannot be reached is tried again (real time).
  static constexpr auto kRetry = std::chrono::milliseconds(50);

  void Report(const TcpHandhelds& now, bool announce) {
    for (const auto& [number, port] : present_)
      if (!now.count(number)) callback_(msg::DBT_DEVICEREMOVECOMPLETE, TcpPalmDeviceName(number));
    for (const auto& [number, port] : now)
      if (!present_.count(number) && announce)
        callback_(msg::DBT_DEVICEARRIVAL, TcpPalmDeviceName(number));
    present_ = now;
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }

  void Run(bool reportPresent) {
    bool first = true;
    while (!Stopping()) {
      auto socket = std::make_shared<TcpSocket>();
      std::string reason;
      if (socket->Connect(address_, port_, kListingTimeoutMs, reason)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stopping_) break;
          socket_ = socket;
        }
        std::string pending, line;
        while (ReadLine(*socket, pending, line, -1)) {
          TcpHandhelds now;
          if (!ParseTcpListingLine(line, now)) continue;
          // Without reportPresent, what is there at the start is no arrival.
          Report(now, !first || reportPresent);
          first = false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        socket_.reset();
      }
      first = false;
      Report({}, true);
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, kRetry, [this] { return stopping_; });
    }
  }

  const std::string address_;
  const uint16_t port_;
  PalmDeviceCallback callback_;
  TcpHandhelds present_;  // the watcher thread's only
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::shared_ptr<TcpSocket> socket_;  // the listing followed now
  std::thread thread_;
};

}  // namespace

std::unique_ptr<PalmDeviceWatcher> MakeTcpPalmWatcher(const std::string& address,
                                                      uint16_t listingPort) {
  return std::make_unique<TcpPalmWatcher>(address, listingPort);
}

}  // namespace k730
