#include "sim/tcp_listing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace k730::sim {
namespace {

// A follower that does not read its lines is dropped rather than waited for.
bool SendLine(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n =
        ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string TcpListing::Line(const std::map<uint32_t, uint16_t>& handhelds) {
  std::string line = "handhelds";
  for (const auto& [number, port] : handhelds)
    line += " palm" + std::to_string(number) + ":" + std::to_string(port);
  return line + "\n";
}

bool TcpListing::Start(uint16_t port, std::string& error) {
  if (thread_.joinable()) return true;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) {
    error = std::strerror(errno);
    return false;
  }
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void TcpListing::Changed() {
  if (wake_[1] < 0) return;
  const char change = 'c';
  while (::write(wake_[1], &change, 1) < 0 && errno == EINTR) {
  }
}

void TcpListing::Stop() {
  if (thread_.joinable()) {
    const char stop = 's';
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void TcpListing::Serve() {
  std::vector<int> followers;
  for (;;) {
    std::vector<pollfd> fds = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (int fd : followers) fds.push_back({fd, POLLIN, 0});
    const int r = ::poll(fds.data(), fds.size(), -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    bool stop = false;
    bool changed = false;
    if (fds[1].revents) {
      char signals[64];
      ssize_t n;
      while ((n = ::read(wake_[0], signals, sizeof signals)) > 0)
        for (ssize_t i = 0; i < n; ++i) (signals[i] == 's' ? stop : changed) = true;
    }
    if (stop) break;
    // Followers send nothing: readable means gone.
    std::vector<int> staying;
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents) {
        ::close(fds[i].fd);
      } else {
        staying.push_back(fds[i].fd);
      }
    }
    followers.swap(staying);
    const std::string line = Line(present_());
    if (changed) {
      std::vector<int> told;
      for (int fd : followers) {
        if (SendLine(fd, line)) {
          told.push_back(fd);
        } else {
          ::close(fd);
        }
      }
      followers.swap(told);
    }
    if (fds[0].revents) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0 && SendLine(fd, line)) {
        followers.push_back(fd);
      } else if (fd >= 0) {
        ::close(fd);
      }
    }
  }
  for (int fd : followers) ::close(fd);
}

}  // namespace k730::sim
