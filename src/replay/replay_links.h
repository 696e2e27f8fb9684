// The stand-ins a replay gives the console in place of handsets: a serial
// port, a Palm transport and a device watcher, all fed by a ReplaySession.
// Replayed devices answer at once; what they answer, and when they time out
// or close, is what the recording says.
#pragma once

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "pda/handle_table.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "phone/serial_port.h"
#include "replay/replay_session.h"

namespace k730::rec {

// Takes the next recording of its port number at its first open and plays
// it through every later open and close.
class ReplaySerialPort : public SerialPort {
 public:
  explicit ReplaySerialPort(std::shared_ptr<ReplaySession> session)
      : session_(std::move(session)) {}

  int OpenPort(const std::string& portName, uint32_t baudRate, uint8_t parity,
               uint8_t dataBits) override;
  int Close() override;
  bool IsOpen() const override { return open_.load(std::memory_order_acquire); }
  int Write(const uint8_t* data, uint32_t length) override;
  uint32_t Read(uint8_t* buffer, uint32_t count, uint32_t bufferSize = kStagingSize) override;
  bool WaitRxCharUntil(std::chrono::steady_clock::time_point deadline) override;
  uint32_t BytesWaiting() const override;

 private:
  std::shared_ptr<ReplaySession> session_;
  std::shared_ptr<ReplayLink> link_;
  std::string token_;  // "COM3" of the recording being played
  std::atomic<bool> open_{false};
};

// Each OpenPort takes the next recording of the device's number.
class ReplayPalmTransport : public PalmUsbTransport {
 public:
  explicit ReplayPalmTransport(std::shared_ptr<ReplaySession> session)
      : session_(std::move(session)) {}

  int OpenPort(const std::string& deviceName, uint32_t creatorId) override;
  void SetTimeouts(int handle, const uint32_t timeouts[2]) override;
  void SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) override;
  void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) override;
  int ClosePort(int handle) override;

 private:
  std::shared_ptr<ReplaySession> session_;
  HandleTable<ReplayLink> links_;
};

// Delivers the recorded device arrivals and removals on its own thread: those
// the recorded console saw before its run began before Start returns (so that
// they precede the operator's Go, as they did), the others each at its
// recorded distance from the link records that came before it.
class ReplayPalmWatcher : public PalmDeviceWatcher {
 public:
  explicit ReplayPalmWatcher(std::shared_ptr<ReplaySession> session)
      : session_(std::move(session)) {}
  ~ReplayPalmWatcher() override { Stop(); }

  bool Start(PalmDeviceCallback callback, bool reportPresent) override;
  void Stop() override;

 private:
  void Run(PalmDeviceCallback callback, std::promise<void>* started);

  std::shared_ptr<ReplaySession> session_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Host and recorded bytes compared: "" when equal, else the divergence
// (the first differing byte with its offset in the link's host-to-device
// stream, or the lengths).
std::string CompareHostBytes(const uint8_t* expected, size_t expectedLength, const uint8_t* got,
                             size_t gotLength, uint64_t streamOffset);

}  // namespace k730::rec
