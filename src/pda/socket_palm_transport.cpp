#include "pda/socket_palm_transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "pda/palm_device_map.h"

namespace k730 {

struct SocketPalmTransport::Connection {
  explicit Connection(int f) : fd(f) {}
  ~Connection() { ::close(fd); }
  const int fd;
  // Per-call limits in real milliseconds; 0 = until done (idle limit applies).
  std::atomic<uint32_t> readTimeoutMs{0};
  std::atomic<uint32_t> writeTimeoutMs{0};
};

namespace {

using Deadline = std::chrono::steady_clock::time_point;

// Waits for fd to become ready; false on time-out or error. limitMs is the
// longest silence allowed, deadline the end of the whole call (if any).
bool WaitReady(int fd, short events, uint32_t limitMs, const Deadline* deadline) {
  for (;;) {
    int wait = static_cast<int>(limitMs);
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            *deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      if (left < wait) wait = static_cast<int>(left);
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    return true;
  }
}

}  // namespace

SocketPalmTransport::SocketPalmTransport(std::string directory, uint32_t idleLimitMs)
    : directory_(std::move(directory)), idleLimitMs_(idleLimitMs == 0 ? 1 : idleLimitMs) {}

SocketPalmTransport::~SocketPalmTransport() {
  for (const auto& connection : connections_.TakeAll()) ::shutdown(connection->fd, SHUT_RDWR);
}

int SocketPalmTransport::OpenPort(const std::string& deviceName, uint32_t) {
  uint32_t number = 0;
  if (IsTcpPalmDeviceName(deviceName) || !SimulatedDeviceNumber(deviceName, number)) return -1;
  const std::string path = directory_ + "/palm" + std::to_string(number) + ".sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    ::close(fd);
    return -1;
  }
  auto connection = std::make_shared<Connection>(fd);
  return connections_.Add(std::move(connection));
}

void SocketPalmTransport::SetTimeouts(int handle, const uint32_t timeouts[2]) {
  const auto connection = Find(handle);
  if (!connection) return;
  connection->readTimeoutMs = PalmTimeoutRealMs(timeouts[0]);
  connection->writeTimeoutMs = PalmTimeoutRealMs(timeouts[1]);
}

void SocketPalmTransport::SendBytes(int handle, const uint8_t* data, uint32_t length,
                                    uint32_t* sent) {
  *sent = 0;
  const auto connection = Find(handle);
  if (!connection) return;
  const uint32_t timeout = connection->writeTimeoutMs;
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  uint32_t total = 0;
  while (total < length) {
    const ssize_t n =
        ::send(connection->fd, data + total, length - total, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      total += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        WaitReady(connection->fd, POLLOUT, idleLimitMs_, timeout ? &deadline : nullptr)) {
      continue;
    }
    break;
  }
  *sent = total;
}

void SocketPalmTransport::ReceiveBytes(int handle, uint8_t* buffer, uint32_t length,
                                       uint32_t* received) {
  *received = 0;
  const auto connection = Find(handle);
  if (!connection) return;
  const uint32_t timeout = connection->readTimeoutMs;
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  uint32_t total = 0;
  while (total < length) {
    if (!WaitReady(connection->fd, POLLIN, idleLimitMs_, timeout ? &deadline : nullptr)) break;
    const ssize_t n = ::recv(connection->fd, buffer + total, length - total, 0);
    if (n > 0) {
      total += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    break;  // the device closed its end, or the link failed
  }
  *received = total;
}

int SocketPalmTransport::ClosePort(int handle) {
  const std::shared_ptr<Connection> connection = connections_.Take(handle);
  if (!connection) return 0;
  // Wakes a transfer still blocked on it; the descriptor closes with the last user.
  ::shutdown(connection->fd, SHUT_RDWR);
  return 1;
}

}  // namespace k730
