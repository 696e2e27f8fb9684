// Platforms for the console window's tests: a fixed set of modem ports,
// phone workers that end their download at once, and no Palm devices.
#pragma once

#include <QTemporaryDir>
#include <memory>
#include <mutex>
#include <vector>

#include "console/console_platform.h"
#include "console/downloader_dialog.h"
#include "core/message_queue.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"

namespace k730::ui::test {

class FakeFeeder : public PhoneFeeder {
 public:
  int OpenImage(const std::string&) override { return 1; }
  int BuildBlockTable() override { return 1; }
  uint32_t Size() const override { return 0x200000; }
  void Close() override {}
};

// Finishes every download at once: the finish event, then the worker's end.
class FakeWorker : public PhoneWorker {
 public:
  explicit FakeWorker(uintptr_t tag) : tag_(tag) {}
  int SetLinkOption(int) override { return 1; }
  int SetNotifyWindow(MessageSink* sink) override {
    sink_ = sink;
    return 1;
  }
  int SetPort(int) override { return 1; }
  int SetBaudRate(int) override { return 1; }
  int SetMode(int, int) override { return 1; }
  void SetAuxOption(int) override {}
  int SetImage(PhoneFeeder*) override { return 1; }
  void SetRange(uint32_t, uint32_t, int) override {}
  uint16_t ProbeReadiness() override { return 255; }
  bool StartDownload(int slot) override {
    if (!sink_) return false;
    sink_->PostMessage(1132, 0x1F0000, slot);  // progress to the end
    sink_->PostMessage(1134, 0, slot);         // finished
    sink_->PostMessage(msg::kPhoneWorkerDone, tag_, slot);
    return true;
  }
  void RequestQuit() override {}
  PhoneOutcome Outcome() const override { return {PhoneOutcome::Kind::Completed, 0}; }

 private:
  uintptr_t tag_;
  MessageSink* sink_ = nullptr;
};

class FakePhonePlatform : public PhonePlatform {
 public:
  explicit FakePhonePlatform(std::vector<int> ports) : ports_(std::move(ports)) {}
  ModemPorts DiscoverPhonePorts() override {
    ModemPorts found;
    for (int port : ports_) {
      if (found.slotCount < kSlotCount) found.comPorts[found.slotCount++] = port;
      found.comPort = port;
    }
    return found;
  }
  std::unique_ptr<PhoneFeeder> CreateFeeder(OperatorPrompt&) override {
    return std::make_unique<FakeFeeder>();
  }
  std::unique_ptr<PhoneWorker> CreateWorker(uintptr_t tag) override {
    return std::make_unique<FakeWorker>(tag);
  }

 private:
  std::vector<int> ports_;
};

// No device ever opens.
class ClosedTransport : public PalmUsbTransport {
 public:
  int OpenPort(const std::string&, uint32_t) override { return -1; }
  void SetTimeouts(int, const uint32_t[2]) override {}
  void SendBytes(int, const uint8_t*, uint32_t, uint32_t* sent) override { *sent = 0; }
  void ReceiveBytes(int, uint8_t*, uint32_t, uint32_t* received) override { *received = 0; }
  int ClosePort(int) override { return 1; }
};

class FakePdaPlatform : public PdaPlatform {
 public:
  PalmUsbTransport& Transport() override { return transport_; }
  PdaOutcome RunPdaWorker(const PdaJob&) override { return {}; }
  std::unique_ptr<PalmDeviceWatcher> CreateWatcher() override { return nullptr; }

 private:
  ClosedTransport transport_;
};

}  // namespace k730::ui::test
