// The console's platform on real (or simulated) hardware: phone workers on
// serial ports, the phone feeder, the modem-port scan, the Palm transport of
// the environment and its device watcher. With K730_RECORD set every link is
// recorded; given a replay session, its recordings stand in for the handsets
// (src/replay, docs/recording-format.md).
#pragma once

#include <memory>
#include <mutex>

#include "console/console_platform.h"

namespace k730 {

namespace rec {
class ReplaySession;
}
class SerialPort;

// A serial port for the tools that open phone ports outside the console's
// workers (the mode-switch window): recorded when K730_RECORD is set.
std::unique_ptr<SerialPort> MakeToolSerialPort();

class RealPhonePlatform : public PhonePlatform {
 public:
  // Workers share reenumerationLock (the application's).
  explicit RealPhonePlatform(std::mutex& reenumerationLock,
                             std::shared_ptr<rec::ReplaySession> replay = nullptr)
      : lock_(reenumerationLock), replay_(std::move(replay)) {}
  // The port directory of the environment (K730_PORT_DIR, else /dev/k730).
  ModemPorts DiscoverPhonePorts() override;
  std::unique_ptr<PhoneFeeder> CreateFeeder(OperatorPrompt& prompt) override;
  std::unique_ptr<PhoneWorker> CreateWorker(uintptr_t tag) override;

 private:
  std::mutex& lock_;
  std::shared_ptr<rec::ReplaySession> replay_;
};

class RealPdaPlatform : public PdaPlatform {
 public:
  // The transport K730_PALM_DIR asks for (simulated sockets, else libusb),
  // or the replay's.
  explicit RealPdaPlatform(std::shared_ptr<rec::ReplaySession> replay = nullptr);
  ~RealPdaPlatform() override;
  PalmUsbTransport& Transport() override { return *transport_; }
  int RunPdaWorker(const PdaJob& job) override;
  std::unique_ptr<PalmDeviceWatcher> CreateWatcher() override;

 private:
  std::shared_ptr<rec::ReplaySession> replay_;
  std::unique_ptr<PalmUsbTransport> transport_;
};

}  // namespace k730
