// Platforms for the console window's tests: a fixed set of modem ports,
// phone workers whose downloads end at once or when the test says, and no
// Palm devices.
#pragma once

#include <QTemporaryDir>
#include <atomic>
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

// How the fake downloads end: at once, or (held) when the test releases them;
// completed (progress to the end, the finish) or failed (a step, no finish).
class DownloadGate {
 public:
  std::atomic<bool> hold{false};
  std::atomic<bool> completes{true};

  void Start(MessageSink* sink, int slot, uintptr_t tag) {
    std::unique_lock<std::mutex> lock(mutex_);
    held_.push_back({sink, slot, tag});
    if (!hold) Release(lock);
  }
  void Release(bool completed) {
    std::unique_lock<std::mutex> lock(mutex_);
    completes = completed;
    Release(lock);
  }

 private:
  struct Held {
    MessageSink* sink;
    int slot;
    uintptr_t tag;
  };
  void Release(std::unique_lock<std::mutex>& lock) {
    std::vector<Held> held;
    held.swap(held_);
    lock.unlock();
    for (const Held& h : held) {
      if (completes) h.sink->PostMessage(1132, 0x1F0000, h.slot);
      h.sink->PostMessage(completes ? 1134 : 1124, completes ? 0 : 1, h.slot);
      h.sink->PostMessage(msg::kPhoneWorkerDone, h.tag, h.slot);
    }
  }

  std::mutex mutex_;
  std::vector<Held> held_;
};

// Ends its download through the gate: at once, or when the test releases it.
class FakeWorker : public PhoneWorker {
 public:
  FakeWorker(uintptr_t tag, DownloadGate& gate) : tag_(tag), gate_(gate) {}
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
    gate_.Start(sink_, slot, tag_);
    return true;
  }
  void RequestQuit() override {}
  PhoneOutcome Outcome() const override {
    return gate_.completes ? PhoneOutcome{PhoneOutcome::Kind::Completed, 0}
                           : PhoneOutcome{PhoneOutcome::Kind::StepFailed, 1};
  }

 private:
  uintptr_t tag_;
  DownloadGate& gate_;
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
    return std::make_unique<FakeWorker>(tag, gate);
  }

  DownloadGate gate;

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
