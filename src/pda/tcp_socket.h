// A TCP connection on the loopback, for the simulated handhelds that the
// handset simulator serves over TCP where no USB can be emulated (a Windows
// program under wine). POSIX sockets or Winsock (tcp_socket_posix.cpp,
// tcp_socket_win32.cpp). The socket does not block: every wait is explicit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace k730 {

class TcpSocket {
 public:
  enum class Wait { Ready, TimedOut, Failed };
  // Results of Send and Receive besides a byte count.
  static constexpr long kWouldBlock = -2;
  static constexpr long kFailed = -1;

  TcpSocket() = default;
  ~TcpSocket() { Close(); }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Connects to a numeric IPv4 address within timeoutMs real milliseconds;
  // false with reason set.
  bool Connect(const std::string& address, uint16_t port, uint32_t timeoutMs, std::string& reason);
  // Until bytes (or the peer's end) can be read, or there is room to write;
  // timeoutMs < 0 waits for ever. A Shutdown from another thread ends it.
  Wait WaitReadable(int timeoutMs) { return WaitFor(false, timeoutMs); }
  Wait WaitWritable(int timeoutMs) { return WaitFor(true, timeoutMs); }
  // A byte count, kWouldBlock, or kFailed; Receive gives 0 at the peer's end.
  long Send(const uint8_t* data, size_t length);
  long Receive(uint8_t* buffer, size_t length);
  // Ends both directions; safe while another thread waits on the socket.
  void Shutdown();
  void Close();
  bool IsOpen() const { return socket_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  Wait WaitFor(bool write, int timeoutMs);
  intptr_t socket_ = kNone;
};

// "127.0.0.1:4730" into its parts; false for anything else.
bool ParseTcpEndpoint(const std::string& text, std::string& address, uint16_t& port);

}  // namespace k730
