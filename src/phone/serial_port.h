// The phone half's serial port, 115200 8N1 with DTR held low: POSIX termios
// on a handset's modem port or a simulator's pseudo-terminal
// (serial_port_posix.cpp), or the Windows communications API on a COM port
// (serial_port_win32.cpp).
//
// Return conventions: operations return 1 for success and 0 for failure;
// Read returns the number of bytes delivered. The object belongs to one
// thread at a time and has no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace k730 {

class StopSignal;

// Parity codes of OpenPort.
constexpr uint8_t kParityNone = 0;
constexpr uint8_t kParityOdd = 1;
constexpr uint8_t kParityEven = 2;
constexpr uint8_t kParityMark = 3;
constexpr uint8_t kParitySpace = 4;

// The settings every phone port is opened with; %d is the COM port number.
constexpr const char* kPhoneSettingsFormat = "\\\\.\\COM%d:115200,N,8,0";
// "\\.\COM<n>:115200,N,8,0"
std::string PhoneSettingsString(int comNumber);

// Where the bench's modem ports are listed: the modem-port directory
// (K730_PORT_DIR, or /dev/k730 when unset), or on Windows the registry key
// HARDWARE\DEVICEMAP\SERIALCOMM.
std::string PortDirectory();
// What opens the port name "\\.\COM<n>" (or "COM<n>"): <port dir>/COM<n>,
// or on Windows "\\.\COM<n>". Empty for a name of any other shape.
std::string PortDevicePath(const std::string& portName);
// "COM<n>" of a port name "\\.\COM<n>" or "COM<n>" (upper-cased), "" for a
// name of any other shape.
std::string ComPortName(const std::string& portName);

// What Open made of a device string (exposed so tests can check the parse).
struct PortSettings {
  std::string portName;  // upper-cased, e.g. "\\.\COM12"
  uint32_t baudRate = 0;
  uint8_t parity = kParityNone;
  uint8_t dataBits = 0;
};

// Parses "<name>:<baud>,<parity>,<data bits>,<stop code>" after upper-casing
// it; parity and data bits sit at fixed positions after the first comma.
// False when there is no ':' or the settings are too short to hold the fields.
bool ParseDeviceString(const std::string& deviceString, PortSettings& settings);

// The port's operations are virtual so that a port recording its bytes, or
// one replaying a recording in place of a handset, can stand in for it.
class SerialPort {
 public:
  // Size of the staging buffer: no Read delivers more than this at once.
  static constexpr uint32_t kStagingSize = 1024;
  // Read and write time-outs of the port, in protocol milliseconds.
  static constexpr uint32_t kReadTimeoutMs = 1000;
  static constexpr uint32_t kWriteTimeoutMs = 1000;

  SerialPort();
  // Closes the port if it is still open, so no descriptor outlives its owner.
  virtual ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Records the queue sizes and makes the events of the overlapped reads and
  // writes where the platform has them; must precede Open. 1, or 0 when an
  // event cannot be made.
  int Setup(uint32_t inQueueSize, uint32_t outQueueSize);
  // Parses the device string and opens the port; 1 when it is open.
  int Open(const std::string& deviceString);
  // Opens exclusively (a second open of the same port fails), raw mode,
  // baudRate 8 data bits one stop bit, DTR cleared where the device has modem
  // lines, both buffers flushed, then waits 500 ms. A port object that still
  // holds a descriptor from an earlier open releases it first.
  virtual int OpenPort(const std::string& portName, uint32_t baudRate, uint8_t parity,
                       uint8_t dataBits);
  // Releases the port after what was written has drained (at most the write
  // time-out); received bytes not yet read are dropped. 0, with the port
  // still held, when the device has gone away underneath (its modem-line and
  // flush requests fail).
  virtual int Close();
  virtual bool IsOpen() const { return handle_ != kNoHandle; }
  // Sends the block; 1 unless the device refused it. A write cut short by the
  // write time-out counts as success.
  virtual int Write(const uint8_t* data, uint32_t length);
  // count 0: whatever is waiting, at most the input-queue size, the staging
  // buffer and bufferSize; returns at once (0) when nothing waits.
  // count > 0: at most count bytes; waits up to the read time-out for the
  // first byte when nothing waits.
  virtual uint32_t Read(uint8_t* buffer, uint32_t count, uint32_t bufferSize = kStagingSize);
  // The descriptor or handle, kNoHandle while closed.
  static constexpr intptr_t kNoHandle = -1;
  intptr_t Handle() const { return handle_; }

  // The event mask holds "character received" from open to close.
  bool HasRxCharMask() const { return IsOpen(); }
  // Waits until a received character is waiting (or the device has gone) for
  // at most timeoutMs protocol milliseconds, never less than kMinWaitMicros of
  // real time, so that a reply on the wire is not missed at small time scales.
  bool WaitRxChar(uint32_t timeoutMs);
  // The same wait up to a deadline (from WireDeadline). With an interrupt
  // set it ends (false) soon after a stop is requested.
  virtual bool WaitRxCharUntil(std::chrono::steady_clock::time_point deadline);
  // The owner's stop request, which cuts the received-character wait short;
  // null for none. The signal must outlive the port's use.
  void SetInterrupt(const StopSignal* stop) { interrupt_ = stop; }
  static constexpr uint64_t kMinWaitMicros = 250000;
  // When a serial time-out of ms protocol milliseconds started now runs out:
  // scaled like every wait, but never sooner than kMinWaitMicros from now.
  static std::chrono::steady_clock::time_point WireDeadline(uint32_t ms);
  // The real length of that time-out, in microseconds.
  static uint64_t WireWaitMicros(uint32_t ms);

  // Bytes waiting in the input queue (0 when closed or on error).
  virtual uint32_t BytesWaiting() const;

  const PortSettings& Settings() const { return settings_; }
  uint32_t InQueueSize() const { return inQueueSize_; }
  uint32_t OutQueueSize() const { return outQueueSize_; }

 protected:
  // For ports that stand in for a device (a replayed recording): what OpenPort
  // was asked for, as the real port remembers it.
  void RememberSettings(const std::string& portName, uint32_t baudRate, uint8_t parity,
                        uint8_t dataBits);

 private:
  struct Overlapped;  // the platform's records of pending reads, writes and waits

  void ReleaseDescriptor();
  // The bytes a Read of count takes with waiting bytes queued, as Read
  // describes; 0 when it returns at once.
  uint32_t ReadSize(uint32_t waiting, uint32_t count, uint32_t bufferSize) const;

  intptr_t handle_ = kNoHandle;
  std::unique_ptr<Overlapped> io_;
  uint32_t inQueueSize_ = 0;
  uint32_t outQueueSize_ = 0;
  PortSettings settings_;
  std::string traceLink_;  // "COM7" for the trace file
  const StopSignal* interrupt_ = nullptr;
  std::unique_ptr<uint8_t[]> staging_;
};

}  // namespace k730
