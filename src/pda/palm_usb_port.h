// The Palm OS USB link of one slot: open a device by its interface name, move
// raw bytes, close it. The bytes go through a PalmUsbTransport: libusb or
// WinUSB bulk transfers for real handhelds, or the Unix sockets or TCP ports
// of the handset simulator.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/job_ids.h"
#include "core/trace.h"

namespace k730 {

// Longest device-interface name kept (the rest of a longer name is cut).
constexpr size_t kPalmDeviceNameMax = 259;

// The five calls of a Palm USB port library. Handles are non-negative; -1 is
// never a valid handle. Safe to call from several threads as long as each
// handle is used by one thread at a time, except ClosePort, which may be called
// from another thread to end a transfer that is blocked on a handle.
class PalmUsbTransport {
 public:
  virtual ~PalmUsbTransport() = default;

  // A handle, or -1 when the device cannot be opened.
  virtual int OpenPort(const std::string& deviceName, uint32_t creatorId) = 0;
  // Read and write time-outs in milliseconds. 0 and 0: a receive waits until
  // every requested byte has arrived and a send until every byte is taken (a
  // transport may still give up on a link that stays silent for a long time).
  virtual void SetTimeouts(int handle, const uint32_t timeouts[2]) = 0;
  // Writes the number of bytes moved into *sent / *received.
  virtual void SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) = 0;
  virtual void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) = 0;
  // Non-zero when the port was closed.
  virtual int ClosePort(int handle) = 0;
};

// Protocol milliseconds of silence after which a transfer without a time-out
// of its own takes the device for gone. Such transfers would otherwise wait
// for ever on a handheld that hangs; a minute is far beyond any erase or
// formatting step between two of its messages.
constexpr uint32_t kPalmIdleLimitMs = 60000;

// kPalmIdleLimitMs in real milliseconds at the process's time scale, never
// under a second.
uint32_t PalmIdleLimitRealMs();

// A transfer's time-out of protocol milliseconds in real milliseconds at the
// process's time scale: 0 (none) stays 0, any other is at least 1.
uint32_t PalmTimeoutRealMs(uint32_t protocolMs);

// The transport the environment asks for: the simulator's TCP handhelds when
// K730_PALM_TCP is set, else its sockets in K730_PALM_DIR when that is set
// (not on Windows), else real USB (libusb; WinUSB on Windows).
std::unique_ptr<PalmUsbTransport> MakePalmTransport();

class PalmUsbPort {
 public:
  static constexpr int kClosed = -1;

  explicit PalmUsbPort(PalmUsbTransport* transport = nullptr) : transport_(transport) {}
  // Releases nothing: an open port stays open in the transport.
  virtual ~PalmUsbPort() = default;

  PalmUsbPort(const PalmUsbPort&) = delete;
  PalmUsbPort& operator=(const PalmUsbPort&) = delete;

  // The transport used by the next Open (the console binds its six ports once).
  void SetTransport(PalmUsbTransport* transport) { transport_ = transport; }

  // Records the name, opens the device and sets both time-outs to 0.
  // Returns 1 on success, 0 on failure. A port still open is closed first.
  int Open(const std::string& deviceName, uint32_t creatorId);
  // Returns the transport's answer; the handle becomes -1 only when it is non-zero.
  int Close();
  // Byte counts; 0 on a closed port without touching the transport.
  uint32_t Send(const uint8_t* data, uint32_t length);
  uint32_t Receive(uint8_t* buffer, uint32_t length);

  int Handle() const { return handle_.load(std::memory_order_acquire); }
  bool IsOpen() const { return Handle() != kClosed; }
  // The name of the last Open ("" before the first).
  std::string DeviceName() const;

 private:
  void Trace(TraceDirection direction, const uint8_t* data, uint32_t length) const;

  PalmUsbTransport* transport_;
  std::atomic<int> handle_{kClosed};
  uint32_t timeouts_[2] = {0, 0};
  mutable std::mutex nameMutex_;  // guards the name and the trace link name
  std::string deviceName_;
  std::string traceLink_ = "palm?";
};

}  // namespace k730
