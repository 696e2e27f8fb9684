// The serial port on the Windows communications API: the COM port opened
// exclusively for overlapped I/O, its line set through the DCB, fixed read
// and write time-outs through COMMTIMEOUTS, and the "character received"
// event waited for with WaitCommEvent.
#include "core/windows_api.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/clock.h"
#include "core/trace.h"
#include "phone/serial_port.h"

namespace k730 {
namespace {

using Steady = std::chrono::steady_clock;

HANDLE Win(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

BYTE ParityOf(uint8_t parity) {
  switch (parity) {
    case kParityNone:
      return NOPARITY;
    case kParityOdd:
      return ODDPARITY;
    case kParityEven:
      return EVENPARITY;
    case kParityMark:
      return MARKPARITY;
    default:
      return SPACEPARITY;
  }
}

// A serial time-out in whole real milliseconds, never 0 (which COMMTIMEOUTS
// would read as "no time-out").
DWORD WireMs(uint32_t ms) {
  const uint64_t real = (SerialPort::WireWaitMicros(ms) + 999) / 1000;
  return static_cast<DWORD>(std::clamp<uint64_t>(real, 1, MAXDWORD - 1));
}

// What a failing modem-line or purge request says when the device itself
// has gone (a USB modem unplugged), as opposed to a port without such lines.
bool DeviceGone(DWORD error) {
  return error == ERROR_DEVICE_REMOVED || error == ERROR_DEVICE_NOT_CONNECTED ||
         error == ERROR_BAD_COMMAND || error == ERROR_GEN_FAILURE ||
         error == ERROR_OPERATION_ABORTED || error == ERROR_ACCESS_DENIED ||
         error == ERROR_FILE_NOT_FOUND;
}

DWORD MillisecondsUntil(Steady::time_point deadline) {
  const auto left = deadline - Steady::now();
  if (left <= Steady::duration::zero()) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return static_cast<DWORD>(std::min<int64_t>(ms, MAXDWORD - 1));
}

}  // namespace

std::string PortDirectory() {
  return "HARDWARE\\DEVICEMAP\\SERIALCOMM";
}

std::string PortDevicePath(const std::string& portName) {
  const std::string name = ComPortName(portName);
  return name.empty() ? std::string() : "\\\\.\\" + name;
}

// One request record per direction and one for the received-character wait,
// each with its own manual-reset event; a port has at most one of each
// outstanding, since every call waits for its own completion.
struct SerialPort::Overlapped {
  OVERLAPPED read{};
  OVERLAPPED write{};
  OVERLAPPED wait{};
  DWORD waitMask = 0;
  // Set once the driver has cancelled a WaitCommEvent of its own accord, as
  // wine's does on a pseudo-terminal: the input queue is polled instead.
  bool pollOnly = false;

  bool Ready() const { return read.hEvent && write.hEvent && wait.hEvent; }
  ~Overlapped() {
    for (HANDLE event : {read.hEvent, write.hEvent, wait.hEvent})
      if (event) ::CloseHandle(event);
  }
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
  if (handle_ != kNoHandle) ReleaseDescriptor();
}

int SerialPort::Setup(uint32_t inQueueSize, uint32_t outQueueSize) {
  // Unnamed: events named after the tick count could meet another process's.
  // A port that is open keeps the records its pending calls use.
  if (handle_ == kNoHandle || !io_) {
    auto io = std::make_unique<Overlapped>();
    io->read.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    io->write.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    io->wait.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!io->Ready()) return 0;
    io_ = std::move(io);
  }
  inQueueSize_ = inQueueSize;
  outQueueSize_ = outQueueSize;
  return 1;
}

void SerialPort::ReleaseDescriptor() {
  ::CloseHandle(Win(handle_));
  handle_ = kNoHandle;
  staging_.reset();
}

int SerialPort::OpenPort(const std::string& portName, uint32_t baudRate, uint8_t parity,
                         uint8_t dataBits) {
  // A handle kept from an earlier open (a failed close, or an open without a
  // close between retries) would hold the port for ever.
  if (handle_ != kNoHandle) ReleaseDescriptor();
  RememberSettings(portName, baudRate, parity, dataBits);
  if (!io_ && !Setup(inQueueSize_, outQueueSize_)) return 0;

  const std::string path = PortDevicePath(portName);
  if (path.empty()) return 0;
  // No sharing: Windows opens a COM port exclusively.
  const HANDLE port =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return 0;
  handle_ = reinterpret_cast<intptr_t>(port);
  traceLink_ = ComPortName(portName);

  // Failures from here to the time-outs leave the port held for Close.
  if (!::SetCommMask(port, EV_RXCHAR)) return 0;
  const DWORD inQueue = inQueueSize_ ? inQueueSize_ : kStagingSize;
  const DWORD outQueue = outQueueSize_ ? outQueueSize_ : kStagingSize;
  if (!::SetupComm(port, inQueue, outQueue)) return 0;
  if (!::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return 0;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = WireMs(kReadTimeoutMs);
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = WireMs(kWriteTimeoutMs);
  if (!::SetCommTimeouts(port, &timeouts)) return 0;

  // Only these settings change; flow control stays as the driver has it.
  DCB line{};
  line.DCBlength = sizeof line;
  if (!::GetCommState(port, &line)) {
    ReleaseDescriptor();
    return 0;
  }
  line.BaudRate = baudRate;
  line.fBinary = TRUE;
  line.fParity = TRUE;
  line.fDtrControl = DTR_CONTROL_DISABLE;
  line.ByteSize = dataBits;
  line.Parity = ParityOf(parity);
  line.StopBits = ONESTOPBIT;
  if (!::SetCommState(port, &line)) {
    ReleaseDescriptor();
    return 0;
  }
  Sleep(500);
  staging_ = std::make_unique<uint8_t[]>(kStagingSize);
  return 1;
}

int SerialPort::Close() {
  if (handle_ == kNoHandle) return 0;
  const HANDLE port = Win(handle_);
  staging_.reset();
  // A port whose device has gone refuses these; it stays held for a later open.
  if (!::SetCommMask(port, 0)) return 0;
  if (!::EscapeCommFunction(port, CLRDTR) && DeviceGone(::GetLastError())) return 0;
  // What was written last (AT$USBDN is closed right after) must still reach
  // the phone: the output drains, bounded by the write time-out, and only
  // what came in is cleared.
  const auto deadline = WireDeadline(kWriteTimeoutMs);
  COMSTAT status{};
  DWORD errors = 0;
  while (::ClearCommError(port, &errors, &status) && status.cbOutQue > 0 &&
         Steady::now() < deadline) {
    ::Sleep(1);
  }
  if (!::PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR)) return 0;
  ReleaseDescriptor();
  return 1;
}

int SerialPort::Write(const uint8_t* data, uint32_t length) {
  if (handle_ == kNoHandle || !io_) return 0;
  if (TraceEnabled()) TraceBytes(traceLink_, TraceDirection::ToHandset, data, length);
  const HANDLE port = Win(handle_);
  OVERLAPPED& request = io_->write;
  request.Offset = 0;
  request.OffsetHigh = 0;
  ::ResetEvent(request.hEvent);
  DWORD written = 0;
  const BOOL done = ::WriteFile(port, data, length, &written, &request);
  ::Sleep(0);
  if (done) return 1;
  if (::GetLastError() != ERROR_IO_PENDING) {
    DWORD errors = 0;
    ::ClearCommError(port, &errors, nullptr);
    return 0;
  }
  // Completion, or the write time-out cutting it short, counts as sent.
  if (!::GetOverlappedResult(port, &request, &written, TRUE)) {
    DWORD errors = 0;
    ::ClearCommError(port, &errors, nullptr);
  }
  return 1;
}

uint32_t SerialPort::BytesWaiting() const {
  if (handle_ == kNoHandle) return 0;
  COMSTAT status{};
  DWORD errors = 0;
  if (!::ClearCommError(Win(handle_), &errors, &status)) return 0;
  return status.cbInQue;
}

uint32_t SerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t bufferSize) {
  if (handle_ == kNoHandle || !staging_ || !io_ || bufferSize == 0) return 0;
  const HANDLE port = Win(handle_);
  // With count > 0 and nothing waiting the read itself waits for the first
  // byte, up to the read time-out.
  const uint32_t request = ReadSize(BytesWaiting(), count, bufferSize);
  if (request == 0) return 0;
  OVERLAPPED& pending = io_->read;
  pending.Offset = 0;
  pending.OffsetHigh = 0;
  ::ResetEvent(pending.hEvent);
  DWORD got = 0;
  if (!::ReadFile(port, staging_.get(), request, &got, &pending)) {
    got = 0;
    if (::GetLastError() != ERROR_IO_PENDING ||
        !::GetOverlappedResult(port, &pending, &got, TRUE)) {
      DWORD errors = 0;
      ::ClearCommError(port, &errors, nullptr);
    }
  }
  if (got == 0) return 0;
  got = std::min<DWORD>(got, request);
  std::memcpy(buffer, staging_.get(), got);
  if (TraceEnabled()) TraceBytes(traceLink_, TraceDirection::FromHandset, buffer, got);
  return got;
}

bool SerialPort::WaitRxCharUntil(Steady::time_point deadline) {
  if (handle_ == kNoHandle || !io_) return false;
  if (BytesWaiting() > 0) return true;
  const HANDLE port = Win(handle_);
  // In slices, so that an owner being ended does not sit out a long wait.
  constexpr DWORD kSliceMs = 50;
  const auto stopped = [this] { return interrupt_ && interrupt_->Requested(); };
  while (!io_->pollOnly) {
    OVERLAPPED& wait = io_->wait;
    ::ResetEvent(wait.hEvent);
    io_->waitMask = 0;
    DWORD ignored = 0;
    if (!::WaitCommEvent(port, &io_->waitMask, &wait)) {
      if (::GetLastError() != ERROR_IO_PENDING) return BytesWaiting() > 0;
      // What arrived before the wait began raises no event of its own.
      bool signalled = BytesWaiting() > 0;
      while (!signalled) {
        const DWORD left = MillisecondsUntil(deadline);
        if (left == 0 || stopped()) break;
        const DWORD slice = interrupt_ ? std::min(left, kSliceMs) : left;
        signalled = ::WaitForSingleObject(wait.hEvent, slice) == WAIT_OBJECT_0;
        if (!signalled && BytesWaiting() > 0) break;
      }
      if (!HasOverlappedIoCompleted(&wait)) {
        // Setting the mask ends a pending WaitCommEvent at once; the wait
        // must be over before its record is used again.
        ::SetCommMask(port, EV_RXCHAR);
        ::GetOverlappedResult(port, &wait, &ignored, TRUE);
        return BytesWaiting() > 0;
      }
      if (!::GetOverlappedResult(port, &wait, &ignored, FALSE) &&
          ::GetLastError() == ERROR_OPERATION_ABORTED && BytesWaiting() == 0) {
        io_->pollOnly = true;
        break;
      }
    }
    if ((io_->waitMask & EV_RXCHAR) || BytesWaiting() > 0) return true;
    if (MillisecondsUntil(deadline) == 0 || stopped()) return false;
  }
  for (;;) {
    if (BytesWaiting() > 0) return true;
    if (MillisecondsUntil(deadline) == 0 || stopped()) return false;
    ::Sleep(1);
  }
}

}  // namespace k730
