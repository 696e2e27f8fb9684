// The simulator's listing of its handhelds on TCP (tcp_palm_transport.h
// describes it): a host that connects receives the handhelds present as one
// line, and a new line whenever they change, until it disconnects.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace k730::sim {

class TcpListing {
 public:
  // Handheld number -> its TCP port, for the handhelds present.
  using Present = std::function<std::map<uint32_t, uint16_t>()>;

  explicit TcpListing(Present present) : present_(std::move(present)) {}
  ~TcpListing() { Stop(); }
  TcpListing(const TcpListing&) = delete;
  TcpListing& operator=(const TcpListing&) = delete;

  // Listens on 127.0.0.1:port (0: a port of the system's choice); false with
  // error set.
  bool Start(uint16_t port, std::string& error);
  uint16_t Port() const { return port_; }
  // Tells every follower the handhelds present now. Any thread.
  void Changed();
  void Stop();

  // The line for a set of handhelds, with its line end.
  static std::string Line(const std::map<uint32_t, uint16_t>& handhelds);

 private:
  void Serve();

  Present present_;
  uint16_t port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace k730::sim
