#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/clock.h"
#include "core/trace.h"
#include "phone/serial_port.h"

namespace k730 {
namespace {

bool SpeedFor(uint32_t baud, speed_t& speed) {
  static const struct {
    uint32_t baud;
    speed_t speed;
  } kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& entry : kSpeeds) {
    if (entry.baud == baud) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

tcflag_t DataBitsFlag(uint8_t bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

using Steady = std::chrono::steady_clock;

// Waits for events on fd until deadline; returns the revents (0 on time-out).
short PollUntil(int fd, short events, Steady::time_point deadline) {
  for (;;) {
    const auto now = Steady::now();
    const auto left = deadline > now ? deadline - now : Steady::duration::zero();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    timespec timeout{static_cast<time_t>(micros / 1000000),
                     static_cast<long>(micros % 1000000) * 1000};
    pollfd entry{fd, events, 0};
    const int rc = ppoll(&entry, 1, &timeout, nullptr);
    if (rc > 0) return entry.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

int Fd(intptr_t handle) {
  return static_cast<int>(handle);
}

bool DeviceGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

}  // namespace

std::string PortDirectory() {
  const char* dir = std::getenv("K730_PORT_DIR");
  return dir && *dir ? std::string(dir) : std::string("/dev/k730");
}

std::string PortDevicePath(const std::string& portName) {
  const std::string name = ComPortName(portName);
  return name.empty() ? std::string() : PortDirectory() + "/" + name;
}

struct SerialPort::Overlapped {};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
  if (handle_ != kNoHandle) ReleaseDescriptor();
}

int SerialPort::Setup(uint32_t inQueueSize, uint32_t outQueueSize) {
  inQueueSize_ = inQueueSize;
  outQueueSize_ = outQueueSize;
  return 1;
}

void SerialPort::ReleaseDescriptor() {
  ioctl(Fd(handle_), TIOCNXCL);
  close(Fd(handle_));
  handle_ = kNoHandle;
  staging_.reset();
}

int SerialPort::OpenPort(const std::string& portName, uint32_t baudRate, uint8_t parity,
                         uint8_t dataBits) {
  // A descriptor kept from an earlier open (a failed close, or an open without
  // a close between retries) would hold the port's lock forever.
  if (handle_ != kNoHandle) ReleaseDescriptor();
  RememberSettings(portName, baudRate, parity, dataBits);

  const std::string path = PortDevicePath(portName);
  if (path.empty()) return 0;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  // TIOCEXCL keeps other openers out, but not root; the advisory lock does.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return 0;
  }
  ioctl(fd, TIOCEXCL);
  handle_ = fd;
  traceLink_ = path.substr(path.rfind('/') + 1);

  // Purge both directions; a failure here leaves the port held for Close.
  if (tcflush(Fd(handle_), TCIOFLUSH) != 0) return 0;

  termios tio{};
  speed_t speed{};
  if (tcgetattr(Fd(handle_), &tio) != 0 || !SpeedFor(baudRate, speed)) {
    ReleaseDescriptor();
    return 0;
  }
  // Raw binary transfer; flow-control settings of the line stay as they were.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | HUPCL);
  tio.c_cflag |= DataBitsFlag(dataBits) | CREAD | CLOCAL;
  switch (parity) {
    case kParityNone:
      break;
    case kParityOdd:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case kParityEven:
      tio.c_cflag |= PARENB;
      break;
    case kParityMark:
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    default:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
  }
  if (parity != kParityNone) tio.c_iflag |= INPCK;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (tcsetattr(Fd(handle_), TCSANOW, &tio) != 0) {
    ReleaseDescriptor();
    return 0;
  }
  // DTR held low; a pseudo-terminal has no modem lines, which is not an error.
  int dtr = TIOCM_DTR;
  ioctl(Fd(handle_), TIOCMBIC, &dtr);

  Sleep(500);
  staging_ = std::make_unique<uint8_t[]>(kStagingSize);
  return 1;
}

int SerialPort::Close() {
  if (handle_ == kNoHandle) return 0;
  staging_.reset();
  int dtr = TIOCM_DTR;
  if (ioctl(Fd(handle_), TIOCMBIC, &dtr) != 0 && DeviceGone(errno)) return 0;
  // What was written last (AT$USBDN is closed right after) must still reach
  // the phone: let the output drain, bounded by the write time-out, and clear
  // only what came in. Clearing the output would drop it, and on a
  // pseudo-terminal would even drop what the other side has not read yet.
  const auto deadline = WireDeadline(kWriteTimeoutMs);
  int queued = 0;
  while (ioctl(Fd(handle_), TIOCOUTQ, &queued) == 0 && queued > 0 && Steady::now() < deadline) {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  if (tcflush(Fd(handle_), TCIFLUSH) != 0) return 0;
  ReleaseDescriptor();
  return 1;
}

int SerialPort::Write(const uint8_t* data, uint32_t length) {
  if (handle_ == kNoHandle) return 0;
  if (TraceEnabled()) TraceBytes(traceLink_, TraceDirection::ToHandset, data, length);
  const auto deadline = WireDeadline(kWriteTimeoutMs);
  uint32_t done = 0;
  bool first = true;
  while (done < length) {
    const ssize_t n = write(Fd(handle_), data + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      first = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return first ? 0 : 1;
    first = false;
    // Pending: wait for room until the write time-out, which counts as done.
    const short events = PollUntil(Fd(handle_), POLLOUT, deadline);
    if (!(events & POLLOUT)) return 1;
  }
  Yield();
  return 1;
}

uint32_t SerialPort::BytesWaiting() const {
  if (handle_ == kNoHandle) return 0;
  int waiting = 0;
  if (ioctl(Fd(handle_), FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return static_cast<uint32_t>(waiting);
}

uint32_t SerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t bufferSize) {
  if (handle_ == kNoHandle || !staging_ || bufferSize == 0) return 0;
  const uint32_t waiting = BytesWaiting();
  const uint32_t request = ReadSize(waiting, count, bufferSize);
  if (request == 0) return 0;
  if (count > 0 && waiting == 0 &&
      !(PollUntil(Fd(handle_), POLLIN, WireDeadline(kReadTimeoutMs)) & POLLIN))
    return 0;
  ssize_t n;
  do {
    n = read(Fd(handle_), staging_.get(), request);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  std::memcpy(buffer, staging_.get(), static_cast<size_t>(n));
  if (TraceEnabled())
    TraceBytes(traceLink_, TraceDirection::FromHandset, buffer, static_cast<size_t>(n));
  return static_cast<uint32_t>(n);
}

bool SerialPort::WaitRxCharUntil(Steady::time_point deadline) {
  if (handle_ == kNoHandle) return false;
  if (BytesWaiting() > 0) return true;
  if (!interrupt_) return PollUntil(Fd(handle_), POLLIN, deadline) != 0;
  // In slices, so that an owner being ended does not sit out a long wait.
  constexpr auto kSlice = std::chrono::milliseconds(50);
  for (;;) {
    if (PollUntil(Fd(handle_), POLLIN, std::min(deadline, Steady::now() + kSlice)) != 0)
      return true;
    if (interrupt_->Requested() || Steady::now() >= deadline) return false;
  }
}

}  // namespace k730
