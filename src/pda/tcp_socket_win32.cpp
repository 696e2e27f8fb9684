// The loopback TCP link on Winsock. Waits use select, which (unlike
// WSAPoll) also reports a connection that failed or was shut down.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "pda/tcp_socket.h"

namespace k730 {
namespace {

SOCKET Win(intptr_t socket) {
  return static_cast<SOCKET>(socket);
}

// Winsock is started once and left running until the process ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

std::string ErrorText(int error) {
  char* text = nullptr;
  ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = text ? text : "socket error " + std::to_string(error);
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

}  // namespace

bool TcpSocket::Connect(const std::string& address, uint16_t port, uint32_t timeoutMs,
                        std::string& reason) {
  Close();
  if (!StartWinsock()) {
    reason = "Winsock cannot start";
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = ::htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) {
    reason = "not an IPv4 address: " + address;
    return false;
  }
  const SOCKET s = ::WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    reason = ErrorText(::WSAGetLastError());
    return false;
  }
  socket_ = static_cast<intptr_t>(s);
  u_long nonBlocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonBlocking);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      reason = ErrorText(error);
      Close();
      return false;
    }
    int failure = 0;
    int size = sizeof failure;
    if (WaitWritable(static_cast<int>(timeoutMs)) != Wait::Ready ||
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &size) != 0 ||
        failure != 0) {
      reason = failure ? ErrorText(failure) : "no connection in time";
      Close();
      return false;
    }
  }
  // Packets are small and answered one by one: no waiting to fill segments.
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return true;
}

TcpSocket::Wait TcpSocket::WaitFor(bool write, int timeoutMs) {
  if (socket_ == kNone) return Wait::Failed;
  const SOCKET s = Win(socket_);
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  // A failed connect shows as an exception, not as room to write.
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(s, &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int r = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed,
                         timeoutMs < 0 ? nullptr : &limit);
  if (r == SOCKET_ERROR) return Wait::Failed;
  if (r == 0) return Wait::TimedOut;
  return FD_ISSET(s, &ready) ? Wait::Ready : Wait::Failed;
}

long TcpSocket::Send(const uint8_t* data, size_t length) {
  const int ask = static_cast<int>(length > (1u << 30) ? (1u << 30) : length);
  const int n = ::send(Win(socket_), reinterpret_cast<const char*>(data), ask, 0);
  if (n != SOCKET_ERROR) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

long TcpSocket::Receive(uint8_t* buffer, size_t length) {
  const int ask = static_cast<int>(length > (1u << 30) ? (1u << 30) : length);
  const int n = ::recv(Win(socket_), reinterpret_cast<char*>(buffer), ask, 0);
  if (n != SOCKET_ERROR) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

void TcpSocket::Shutdown() {
  if (socket_ != kNone) ::shutdown(Win(socket_), SD_BOTH);
}

void TcpSocket::Close() {
  if (socket_ != kNone) ::closesocket(Win(socket_));
  socket_ = kNone;
}

}  // namespace k730
