#include "sim/palm_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/byte_order.h"
#include "core/clock.h"

namespace k730::sim {
namespace {

constexpr uint32_t kDlMode = 0xF0;
constexpr uint32_t kRamData = 0xF1;
constexpr uint32_t kRamDataAgain = 0xF2;
constexpr uint32_t kPacketVer = 0xF3;
constexpr uint32_t kRamEnd = 0xFF;
constexpr uint32_t kMaxPayload = 4084;
constexpr uint32_t kResponseSize = 30;
constexpr uint32_t kFlashFailed = 0xFFFFFFFF;
constexpr uint32_t kFlashDone = 0xFFFFFFFE;

// Host file requests the DFormat program sends.
constexpr uint8_t kHfMessage = 0;
constexpr uint8_t kHfOpen = 1;
constexpr uint8_t kHfClose = 2;
constexpr uint8_t kHfRead = 3;
constexpr uint8_t kHfWrite = 4;
constexpr uint8_t kHfRewind = 5;
constexpr uint8_t kHfLength = 7;
constexpr uint8_t kHfEnd = 0x99;
constexpr uint32_t kRequestSize = 30;

uint32_t Checksum(const uint8_t* bytes, size_t count) {
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

// Reads exactly n bytes; false on end of stream, error, or a wake-up (unplug).
bool ReadExact(int fd, int wake, uint8_t* data, size_t n) {
  size_t got = 0;
  while (got < n) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    const int r = ::poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || fds[1].revents != 0) return false;
    const ssize_t k = ::recv(fd, data + got, n - got, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    got += static_cast<size_t>(k);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t k = ::send(fd, data + done, n - done, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    done += static_cast<size_t>(k);
  }
  return true;
}

bool Respond(int fd, uint32_t status, const uint8_t* data, uint32_t length, bool corrupt) {
  uint8_t response[kResponseSize] = {};
  WriteU32LE(&response[0], status);
  WriteU32LE(&response[4], length);
  WriteU32LE(&response[8], Checksum(data, length) + (corrupt ? 1 : 0));
  if (length > 0) std::memcpy(&response[12], data, length);
  return WriteAll(fd, response, kResponseSize);
}

bool RespondValue(int fd, uint32_t value) {
  uint8_t data[4];
  WriteU32LE(data, value);
  return Respond(fd, 1, data, 4, false);
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The host side of one DFormat exchange, from the program's point of view.
class HostFiles {
 public:
  HostFiles(int fd, int wake) : fd_(fd), wake_(wake) {}

  const std::string& Failure() const { return failure_; }
  bool Failed() const { return !failure_.empty(); }

  bool Message(const std::string& text) {
    uint8_t request[kRequestSize] = {kHfMessage};
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(text.size(), 25));
    WriteU32BE(&request[1], 5 + n);
    std::memcpy(&request[5], text.data(), n);
    uint8_t reply = 0xFF;
    return Send(request) && Read(&reply, 1) && Expect(reply == 0x00, "message reply");
  }

  // Opens name in pieces of at most pieceSize characters; the entry index or -1.
  int Open(const std::string& name, uint8_t mode, size_t pieceSize) {
    int index = -1;
    size_t at = 0;
    do {
      const size_t n = std::min(pieceSize, name.size() - at);
      uint8_t request[kRequestSize] = {kHfOpen};
      WriteU32BE(&request[1], static_cast<uint32_t>(8 + n));
      request[5] = mode;
      request[6] = at + n >= name.size() ? 1 : 0;
      request[7] = at == 0 ? 1 : 0;
      std::memcpy(&request[8], name.data() + at, n);
      uint8_t reply[2] = {};
      if (!Send(request) || !Read(reply, 2)) return -1;
      if (!Expect(reply[0] == 0x01, "open reply status")) return -1;
      if (index >= 0 && !Expect(reply[1] == index, "same index for every name piece")) return -1;
      index = reply[1];
      at += n;
    } while (at < name.size());
    return index;
  }

  bool Write(int index, const std::vector<uint8_t>& data) {
    for (size_t at = 0; at < data.size(); at += 20) {
      const size_t n = std::min<size_t>(20, data.size() - at);
      uint8_t request[kRequestSize] = {kHfWrite};
      request[5] = static_cast<uint8_t>(index);
      WriteU32BE(&request[6], static_cast<uint32_t>(10 + n));
      std::memcpy(&request[10], data.data() + at, n);
      uint8_t reply = 0;
      if (!Send(request) || !Read(&reply, 1) || !Expect(reply == 0x01, "write reply")) return false;
    }
    return true;
  }

  bool Read(int index, uint32_t count, std::vector<uint8_t>& data) {
    uint8_t request[kRequestSize] = {kHfRead};
    request[5] = static_cast<uint8_t>(index);
    WriteU32BE(&request[6], count);
    uint8_t head[5] = {};
    if (!Send(request) || !Read(head, 5) || !Expect(head[0] == 0x01, "read reply status")) {
      return false;
    }
    const uint32_t n = ReadU32BE(&head[1]);
    if (!Expect(n <= count && n <= 1020, "read count within the request")) return false;
    data.resize(n);
    return n == 0 || Read(data.data(), n);
  }

  bool Rewind(int index) {
    uint8_t request[kRequestSize] = {kHfRewind};
    request[5] = static_cast<uint8_t>(index);
    uint8_t first = 0;
    if (!Send(request) || !Read(&first, 1)) return false;
    if (!Expect(first == 0x01, "rewind succeeded")) return false;
    uint8_t rest[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    return Read(rest, 4) && Expect(ReadU32LE(rest) == 0, "rewind reply");
  }

  bool Length(int index, uint32_t& length) {
    uint8_t request[kRequestSize] = {kHfLength};
    request[5] = static_cast<uint8_t>(index);
    uint8_t reply[5] = {};
    if (!Send(request) || !Read(reply, 5) || !Expect(reply[0] == 0x01, "length reply")) {
      return false;
    }
    length = ReadU32LE(&reply[1]);
    return true;
  }

  bool Close(int index) {
    uint8_t request[kRequestSize] = {kHfClose};
    request[5] = static_cast<uint8_t>(index);
    uint8_t reply = 0;
    return Send(request) && Read(&reply, 1) && Expect(reply == 0x01, "close reply");
  }

  bool End() {
    uint8_t request[kRequestSize] = {kHfEnd};
    return Send(request);
  }

  bool Expect(bool condition, const char* what) {
    if (!condition && failure_.empty()) failure_ = what;
    return condition;
  }

 private:
  bool Send(const uint8_t* request) {
    return Expect(WriteAll(fd_, request, kRequestSize), "request could not be sent");
  }
  bool Read(uint8_t* data, size_t n) {
    return Expect(ReadExact(fd_, wake_, data, n), "reply missing");
  }

  const int fd_;
  const int wake_;
  std::string failure_;
};

}  // namespace

bool ParseByteSize(const std::string& text, uint32_t& bytes) {
  if (text.empty()) return false;
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX) return false;
  }
  if (i == 0) return false;
  uint64_t unit = 1;
  if (i + 1 == text.size()) {
    const char u = text[i];
    if (u == 'K' || u == 'k') {
      unit = 1024;
    } else if (u == 'M' || u == 'm') {
      unit = 1024 * 1024;
    } else {
      return false;
    }
  } else if (i != text.size()) {
    return false;
  }
  if (value * unit > UINT32_MAX) return false;
  bytes = static_cast<uint32_t>(value * unit);
  return true;
}

bool IsPalmFault(const std::string& kind) {
  return kind.rfind("palm-", 0) == 0;
}

bool ParsePalmFault(const std::string& kind, PalmFaults& faults, std::string& error) {
  const size_t colon = kind.find(':');
  const std::string name = kind.substr(0, colon);
  uint32_t value = 0;
  const bool hasValue = colon != std::string::npos && ParseByteSize(kind.substr(colon + 1), value);
  if (name == "palm-flash-fail" && colon == std::string::npos) {
    faults.flashWriteFails = true;
    return true;
  }
  if (name == "palm-checksum" && hasValue && value > 0) {
    faults.badChecksumEvery = value;
    return true;
  }
  if (name == "palm-lose" && hasValue && value > 0) {
    faults.loseResponseEvery = value;
    return true;
  }
  if (name == "palm-unplug" && hasValue) {
    faults.unplugAfterChunks = value;
    return true;
  }
  if (name == "palm-unplug-flash" && colon == std::string::npos) {
    faults.unplugInFlash = true;
    return true;
  }
  if (name == "palm-leave" && hasValue && value > 0) {
    faults.leaveAfterMs = value;
    return true;
  }
  error = "unknown or malformed Palm fault '" + kind + "'";
  return false;
}

PalmDeviceSim::PalmDeviceSim(PalmSimOptions options)
    : options_(std::move(options)), bus_(LinePace::BytesPerSecond(options_.usbBytesPerSecond)) {}

PalmDeviceSim::~PalmDeviceSim() {
  Unplug();
}

std::string PalmDeviceSim::SocketPath() const {
  return options_.directory + "/palm" + std::to_string(options_.number) + ".sock";
}

std::string PalmDeviceSim::DFormatFileName() const {
  return "k730sim-dformat-" + std::to_string(options_.number) + ".bin";
}

PalmSimStats PalmDeviceSim::Stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

bool PalmDeviceSim::WaitUnplugged(uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !Plugged(); });
}

bool PalmDeviceSim::ListenOnFile(int& listener) {
  ::mkdir(options_.directory.c_str(), 0755);
  // Listen under a hidden name first, then rename: the device's name appears
  // only when a connect can already succeed.
  const std::string path = SocketPath();
  const std::string hidden = options_.directory + "/.palm" + std::to_string(options_.number) + "." +
                             std::to_string(::getpid()) + ".tmp";
  sockaddr_un address{};
  if (!FillAddress(hidden, address) || path.size() >= sizeof address.sun_path) return false;
  ::unlink(hidden.c_str());
  listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return false;
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0) {
    ::close(listener);
    ::unlink(hidden.c_str());
    return false;
  }
  // Never over an entry already there: it is not this handheld's to replace.
  if (::renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    ::close(listener);
    ::unlink(hidden.c_str());
    return false;
  }
  return true;
}

bool PalmDeviceSim::ListenOnTcp(int& listener) {
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(listener);
    return false;
  }
  tcpPort_ = ntohs(address.sin_port);
  return true;
}

void PalmDeviceSim::PresenceChanged() const {
  if (options_.onPresenceChange) options_.onPresenceChange();
}

bool PalmDeviceSim::Plug() {
  {
    std::lock_guard<std::mutex> control(controlMutex_);
    if (Plugged()) return true;
    if (thread_.joinable()) thread_.join();  // an earlier run that unplugged itself
    for (int& fd : wake_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
    int listener = -1;
    if (!(options_.tcp ? ListenOnTcp(listener) : ListenOnFile(listener))) return false;
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
      ::close(listener);
      tcpPort_ = 0;
      if (!options_.tcp) ::unlink(SocketPath().c_str());
      return false;
    }
    stopping_ = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      onStream_ = false;
      plugged_ = true;
    }
    thread_ = std::thread([this, listener, wake = wake_[0]] { Serve(listener, wake); });
  }
  PresenceChanged();
  return true;
}

bool PalmDeviceSim::PlugStream(int fd) {
  std::lock_guard<std::mutex> control(controlMutex_);
  if (Plugged()) return false;
  if (thread_.joinable()) thread_.join();
  for (int& end : wake_) {
    if (end >= 0) ::close(end);
    end = -1;
  }
  if (::pipe2(wake_, O_CLOEXEC) != 0) return false;
  stopping_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    onStream_ = true;
    plugged_ = true;
    ++stats_.connections;
  }
  thread_ = std::thread([this, fd, wake = wake_[0]] {
    Session(fd, wake);
    ::close(fd);
    DropSocketFile();
  });
  return true;
}

void PalmDeviceSim::Unplug() {
  std::lock_guard<std::mutex> control(controlMutex_);
  if (thread_.joinable()) {
    stopping_ = true;
    const uint8_t byte = 1;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  DropSocketFile();
}

void PalmDeviceSim::DropSocketFile() {
  bool was = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    was = plugged_;
    if (plugged_ && !onStream_ && !options_.tcp) ::unlink(SocketPath().c_str());
    tcpPort_ = 0;
    plugged_ = false;
    changed_.notify_all();
  }
  if (was) PresenceChanged();
}

void PalmDeviceSim::Serve(int listener, int wake) {
  using Steady = std::chrono::steady_clock;
  // A device that leaves unless a host connects in time: the deadline runs
  // from its appearance until the first connection.
  const bool leaves = options_.faults.leaveAfterMs > 0;
  const Steady::time_point leaveAt =
      Steady::now() +
      std::chrono::microseconds(ProcessClock().RealMicros(options_.faults.leaveAfterMs));
  bool connected = false;
  while (!stopping_ && Plugged()) {
    int timeoutMs = -1;
    if (leaves && !connected) {
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(leaveAt - Steady::now()).count();
      if (left <= 0) {
        DropSocketFile();
        break;
      }
      timeoutMs = static_cast<int>((left + 999) / 1000);
    }
    pollfd fds[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
    const int r = ::poll(fds, 2, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || fds[1].revents != 0) break;
    if (r == 0) continue;
    connected = true;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.connections;
    }
    Session(fd, wake);
    ::close(fd);
  }
  ::close(listener);
}

void PalmDeviceSim::WriteDump(int target, const std::vector<uint8_t>& data) {
  if (options_.dumpDirectory.empty()) return;
  const std::string path = options_.dumpDirectory + "/pda" + std::to_string(options_.number) + "-" +
                           std::to_string(target) + ".bin";
  const std::string temporary = path + ".part";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) return;
  const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  if (std::fclose(file) == 0 && written && std::rename(temporary.c_str(), path.c_str()) == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.lastDump = path;
  } else {
    std::remove(temporary.c_str());
  }
}

bool PalmDeviceSim::PaceBus(size_t bytes, int wake) {
  if (!bus_.Limited()) return true;
  // Waits shorter than this are left to add up: a chunk takes microseconds at
  // a small time scale, and sleeping for each would overshoot the rate.
  constexpr auto kLeastWait = std::chrono::milliseconds(1);
  const auto due = bus_.Book(bytes, std::chrono::steady_clock::now());
  const auto left = due - std::chrono::steady_clock::now();
  if (left < kLeastWait) return true;
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  const timespec timeout{static_cast<time_t>(nanos / 1000000000),
                         static_cast<long>(nanos % 1000000000)};
  pollfd entry{wake, POLLIN, 0};
  return ::ppoll(&entry, 1, &timeout, nullptr) == 0 || entry.revents == 0;
}

void PalmDeviceSim::Session(int fd, int wake) {
  const PalmFaults& faults = options_.faults;
  int target = -1;
  uint32_t capacity = 0;
  std::vector<uint8_t> ram;
  std::vector<uint8_t> payload(kMaxPayload);
  bool lastAccepted = false;
  uint32_t lastSize = 0;
  uint64_t chunkNumber = 0;  // every chunk packet, first sends and resends

  for (;;) {
    uint8_t head[12];
    if (!ReadExact(fd, wake, head, sizeof head)) return;
    const uint32_t command = ReadU32LE(&head[0]);
    const uint32_t length = ReadU32LE(&head[4]);
    const uint32_t checksum = ReadU32LE(&head[8]);
    // A length no packet can have: the stream is lost, as on a real link.
    if (length > kMaxPayload) return;
    if (length > 0 && !ReadExact(fd, wake, payload.data(), length)) return;
    if (!PaceBus(sizeof head + length, wake)) return;
    const bool intact = Checksum(payload.data(), length) == checksum;

    switch (command) {
      case kDlMode: {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++stats_.dlModes;
        }
        target = length == 4 && intact ? static_cast<int>(ReadU32LE(payload.data())) : -1;
        switch (target) {
          case 0:
            capacity = options_.capacities.smallRom;
            break;
          case 1:
          case 6:
            capacity = options_.capacities.bigRom;
            break;
          case 2:
            capacity = options_.capacities.resource;
            break;
          case 4:
            capacity = options_.capacities.dformat;
            break;
          default:
            target = -1;
            break;
        }
        ram.clear();
        lastAccepted = false;
        if (target < 0) {
          if (!Respond(fd, 0, nullptr, 0, false)) return;
        } else if (!RespondValue(fd, capacity)) {
          return;
        }
        break;
      }
      case kPacketVer: {
        std::lock_guard<std::mutex> lock(mutex_);
        if (length == 4) stats_.packetVersion = ReadU32LE(payload.data());
        break;
      }
      case kRamData:
      case kRamDataAgain: {
        const uint64_t number = chunkNumber++;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++stats_.chunks;
          if (command == kRamDataAgain) ++stats_.chunkResends;
        }
        if (faults.unplugAfterChunks >= 0 &&
            number == static_cast<uint64_t>(faults.unplugAfterChunks)) {
          DropSocketFile();
          return;
        }
        // A resend replaces the chunk if its first transmission was taken.
        if (command == kRamDataAgain && lastAccepted) ram.resize(ram.size() - lastSize);
        const bool fits = target >= 0 && ram.size() + length <= capacity;
        lastAccepted = intact && fits && length > 0;
        if (lastAccepted) {
          ram.insert(ram.end(), payload.begin(), payload.begin() + length);
          lastSize = length;
        }
        const uint64_t ordinal = number + 1;
        if (faults.loseResponseEvery && ordinal % faults.loseResponseEvery == 0) break;
        const bool corrupt = faults.badChecksumEvery && ordinal % faults.badChecksumEvery == 0;
        if (!Respond(fd, lastAccepted ? 1 : 0, nullptr, 0, corrupt)) return;
        break;
      }
      case kRamEnd: {
        if (!Respond(fd, target >= 0 ? 1 : 0, nullptr, 0, false)) return;
        if (target < 0) break;
        if (target == 4) {
          WriteDump(target, ram);
          if (!DFormatProgram(fd, wake)) return;
        } else {
          const uint32_t steps = options_.flashSteps == 0 ? 1 : options_.flashSteps;
          for (uint32_t i = 0; i <= steps; ++i) {
            if (faults.unplugInFlash && i * 2 > steps) {
              DropSocketFile();
              return;
            }
            if (faults.flashWriteFails && i * 2 > steps) {
              if (!RespondValue(fd, kFlashFailed)) return;
              break;
            }
            if (!RespondValue(fd, i * 100 / steps)) return;
          }
          if (!faults.flashWriteFails) {
            WriteDump(target, ram);
            {
              std::lock_guard<std::mutex> lock(mutex_);
              ++stats_.partitionsFlashed;
              stats_.lastTarget = target;
            }
            if (!RespondValue(fd, kFlashDone)) return;
          }
        }
        target = -1;
        ram.clear();
        break;
      }
      default:
        if (!Respond(fd, 0, nullptr, 0, false)) return;
        break;
    }
  }
}

bool PalmDeviceSim::DFormatProgram(int fd, int wake) {
  HostFiles host(fd, wake);
  // Contents that vary with the device and cover several write requests.
  std::vector<uint8_t> data(70);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i * 7 + options_.number);
  }
  const std::string name = DFormatFileName();

  bool ok = host.Message("DFormat: formatting\r\n");
  // Created in three pieces of the name, written, closed.
  int index = ok ? host.Open(name, 4, (name.size() + 2) / 3) : -1;
  ok = index >= 0 && host.Write(index, data) && host.Close(index);
  // Opened again for reading and writing: read back, measure, rewind, read again.
  if (ok) index = host.Open(name, 5, 22);
  std::vector<uint8_t> back;
  ok = ok && index >= 0 && host.Read(index, 1020, back) &&
       host.Expect(back == data, "read back what was written");
  uint32_t length = 0;
  ok = ok && host.Length(index, length) && host.Expect(length == data.size(), "file length");
  ok = ok && host.Rewind(index) && host.Read(index, 10, back) &&
       host.Expect(back.size() == 10 && std::equal(back.begin(), back.end(), data.begin()),
                   "read after rewind");
  ok = ok && host.Close(index);
  // Recorded before the end request: the host may look as soon as its service ends.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.dformatRuns;
    stats_.dformatPassed = ok && !host.Failed();
    stats_.dformatFailure = host.Failure();
  }
  return host.Message(ok ? "DFormat: done\r\n" : "DFormat: FAILED\r\n") && host.End();
}

}  // namespace k730::sim
