#include "serial_link.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace k730::fuzz {
namespace {

// Generous: a loaded machine delays the terminal's delivery, it never loses bytes.
constexpr auto kDeliveryLimit = std::chrono::seconds(10);

}  // namespace

SerialLink::SerialLink() : dir_("serial") {
  std::string error;
  if (!pty_.Open(error)) {
    std::fprintf(stderr, "pseudo-terminal: %s\n", error.c_str());
    std::abort();
  }
  const std::string link = dir_.File("COM" + std::to_string(kComNumber));
  if (symlink(pty_.TerminalPath().c_str(), link.c_str()) != 0) {
    std::perror(link.c_str());
    std::abort();
  }
  setenv("K730_PORT_DIR", dir_.Path().c_str(), 1);
}

void SerialLink::Reset(SerialPort& port) {
  if (port.IsOpen()) tcflush(port.Handle(), TCIOFLUSH);
  uint8_t scratch[4096];
  while (read(pty_.Master(), scratch, sizeof scratch) > 0) {
  }
  K730_FUZZ_CHECK(port.BytesWaiting() == 0);
}

void SerialLink::Feed(SerialPort& port, const uint8_t* data, size_t size) {
  const auto deadline = std::chrono::steady_clock::now() + kDeliveryLimit;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(pty_.Master(), data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      CheckFailed("write to the terminal", __FILE__, __LINE__);
    K730_FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    pollfd p{pty_.Master(), POLLOUT, 0};
    poll(&p, 1, 10);
  }
  // The terminal hands bytes over asynchronously; wait until all have arrived.
  while (port.BytesWaiting() < size) {
    K730_FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  K730_FUZZ_CHECK(port.BytesWaiting() == size);
}

std::vector<uint8_t> SerialLink::HostBytes(size_t atLeast) {
  const auto deadline = std::chrono::steady_clock::now() + kDeliveryLimit;
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = read(pty_.Master(), chunk, sizeof chunk);
    if (n > 0) {
      bytes.insert(bytes.end(), chunk, chunk + n);
      continue;
    }
    if (bytes.size() >= atLeast) break;
    K730_FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    pollfd p{pty_.Master(), POLLIN, 0};
    poll(&p, 1, 10);
  }
  return bytes;
}

}  // namespace k730::fuzz
