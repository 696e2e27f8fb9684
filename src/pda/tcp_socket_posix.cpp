#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pda/tcp_socket.h"

namespace k730 {
namespace {

int Fd(intptr_t socket) {
  return static_cast<int>(socket);
}

}  // namespace

bool TcpSocket::Connect(const std::string& address, uint16_t port, uint32_t timeoutMs,
                        std::string& reason) {
  Close();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) {
    reason = "not an IPv4 address: " + address;
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  socket_ = fd;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (r < 0 && errno == EINTR);
  if (r < 0 && errno != EINPROGRESS) {
    reason = std::strerror(errno);
    Close();
    return false;
  }
  if (r < 0) {
    int error = 0;
    socklen_t size = sizeof error;
    if (WaitWritable(static_cast<int>(timeoutMs)) != Wait::Ready ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      reason = error ? std::strerror(error) : "no connection in time";
      Close();
      return false;
    }
  }
  // Packets are small and answered one by one: no waiting to fill segments.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

TcpSocket::Wait TcpSocket::WaitFor(bool write, int timeoutMs) {
  if (socket_ == kNone) return Wait::Failed;
  for (;;) {
    pollfd entry{Fd(socket_), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int r = ::poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Wait::Failed;
    return r == 0 ? Wait::TimedOut : Wait::Ready;
  }
}

long TcpSocket::Send(const uint8_t* data, size_t length) {
  for (;;) {
    const ssize_t n = ::send(Fd(socket_), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kFailed;
  }
}

long TcpSocket::Receive(uint8_t* buffer, size_t length) {
  for (;;) {
    const ssize_t n = ::recv(Fd(socket_), buffer, length, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kFailed;
  }
}

void TcpSocket::Shutdown() {
  if (socket_ != kNone) ::shutdown(Fd(socket_), SHUT_RDWR);
}

void TcpSocket::Close() {
  if (socket_ != kNone) ::close(Fd(socket_));
  socket_ = kNone;
}

}  // namespace k730
