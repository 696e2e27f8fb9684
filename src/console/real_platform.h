// The console's platform on real (or simulated) hardware: phone workers on
// serial ports, the phone feeder, the modem-port scan, the Palm transport of
// the environment and its device watcher.
#pragma once

#include <memory>
#include <mutex>

#include "console/console_platform.h"

namespace k730 {

class RealPhonePlatform : public PhonePlatform {
 public:
  // Workers share reenumerationLock (the application's).
  explicit RealPhonePlatform(std::mutex& reenumerationLock) : lock_(reenumerationLock) {}
  // The port directory of the environment (K730_PORT_DIR, else /dev/k730).
  ModemPorts DiscoverPhonePorts() override;
  std::unique_ptr<PhoneFeeder> CreateFeeder(OperatorPrompt& prompt) override;
  std::unique_ptr<PhoneWorker> CreateWorker(uintptr_t tag) override;

 private:
  std::mutex& lock_;
};

class RealPdaPlatform : public PdaPlatform {
 public:
  // The transport K730_PALM_DIR asks for (simulated sockets, else libusb).
  RealPdaPlatform();
  ~RealPdaPlatform() override;
  PalmUsbTransport& Transport() override { return *transport_; }
  int RunPdaWorker(const PdaJob& job) override;
  std::unique_ptr<PalmDeviceWatcher> CreateWatcher() override;

 private:
  std::unique_ptr<PalmUsbTransport> transport_;
};

}  // namespace k730
