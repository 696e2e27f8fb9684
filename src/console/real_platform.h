// The console's platform on real (or simulated) hardware: phone workers on
// serial ports, the phone feeder, the modem-port scan, the Palm transport of
// the environment and its device watcher. With K730_RECORD set every link is
// recorded; given a replay session, its recordings stand in for the handsets
// (src/replay, docs/recording-format.md).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "console/console_platform.h"
#include "phone/phone_worker.h"

namespace k730 {

namespace rec {
class ReplaySession;
}
class RealPhoneFeeder;
class SerialPort;

// A serial port for the tools that open phone ports outside the console's
// workers (the mode-switch window): recorded when K730_RECORD is set.
std::unique_ptr<SerialPort> MakeToolSerialPort();

class RealPhonePlatform : public PhonePlatform {
 public:
  // Workers share reenumerationLock (the application's) unless parallel
  // restarts are granted.
  explicit RealPhonePlatform(std::mutex& reenumerationLock,
                             std::shared_ptr<rec::ReplaySession> replay = nullptr,
                             std::string udevDataRoot = "/run/udev/data")
      : locks_(reenumerationLock),
        replay_(std::move(replay)),
        udevDataRoot_(std::move(udevDataRoot)) {}
  // The port directory of the environment (K730_PORT_DIR, else /dev/k730).
  ModemPorts DiscoverPhonePorts() override;
  std::unique_ptr<PhoneFeeder> CreateFeeder(OperatorPrompt& prompt) override;
  std::unique_ptr<PhoneWorker> CreateWorker(uintptr_t tag) override;
  // Lists the port directory of the environment; none in a replay.
  std::unique_ptr<ModemPortWatcher> CreatePortWatcher() override;
  // Granted when every live port is a pseudo-terminal or marked
  // K730_BENCH_MAPPED=1 by udev, and always in a replay.
  std::string SetParallelRestarts(bool on, const ModemPorts& ports) override;
  std::string PortHolder(int comNumber) override;

 private:
  ReenumerationLocks locks_;
  std::shared_ptr<rec::ReplaySession> replay_;
  RealPhoneFeeder* feeder_ = nullptr;  // the console's one feeder, owned by the console
  const std::string udevDataRoot_;
};

class RealPdaPlatform : public PdaPlatform {
 public:
  // The transport K730_PALM_DIR asks for (simulated sockets, else libusb),
  // or the replay's.
  explicit RealPdaPlatform(std::shared_ptr<rec::ReplaySession> replay = nullptr);
  ~RealPdaPlatform() override;
  PalmUsbTransport& Transport() override { return *transport_; }
  PdaOutcome RunPdaWorker(const PdaJob& job) override;
  std::unique_ptr<PalmDeviceWatcher> CreateWatcher() override;

 private:
  std::shared_ptr<rec::ReplaySession> replay_;
  std::unique_ptr<PalmUsbTransport> transport_;
};

}  // namespace k730
