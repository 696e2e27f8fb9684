#include "console/real_platform.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "console/usb_sysfs.h"
#include "core/clock.h"
#include "core/message_queue.h"
#include "core/slot_writer.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "pda/pda_worker.h"
#include "phone/image_buffer.h"
#include "phone/phone_worker.h"
#include "phone/port_discovery.h"
#include "phone/serial_port.h"
#include "replay/recording_links.h"
#include "replay/replay_links.h"

namespace k730 {
namespace {

// How often a worker's end is looked for (real time; a phone run takes minutes).
constexpr uint32_t kDonePollMicros = 2000;

class RealPhoneFeeder : public PhoneFeeder {
 public:
  explicit RealPhoneFeeder(OperatorPrompt& prompt) : buffer_(&prompt) {}
  int OpenImage(const std::string& path) override { return buffer_.OpenImage(path); }
  int BuildBlockTable() override { return buffer_.BuildBlockTable(); }
  std::string Refusal() const override { return buffer_.Refusal(); }
  uint32_t Size() const override { return buffer_.Size(); }
  void Close() override { buffer_.Close(); }
  ImageBuffer& Buffer() { return buffer_; }

 private:
  ImageBuffer buffer_;
};

class RealPhoneWorker : public PhoneWorker {
 public:
  RealPhoneWorker(ReenumerationLocks& locks, uintptr_t tag, std::unique_ptr<SerialPort> port)
      : phone_(locks, std::move(port)), tag_(tag) {
    phone_.CreateThread();
  }
  ~RealPhoneWorker() override {
    stop_.Request();
    if (monitor_.joinable()) monitor_.join();
    phone_.Reclaim();
  }

  int SetLinkOption(int value) override { return phone_.SetLinkOption(value); }
  int SetNotifyWindow(MessageSink* sink) override {
    sink_ = sink;
    return phone_.SetNotifyWindow(sink);
  }
  int SetPort(int comNumber) override { return phone_.SetPort(comNumber); }
  int SetBaudRate(int value) override { return phone_.SetBaudRate(value); }
  int SetMode(int phoneMode, int pdaFollows) override {
    return phone_.SetMode(phoneMode, pdaFollows);
  }
  void SetAuxOption(int value) override { phone_.SetAuxOption(value); }
  int SetImage(PhoneFeeder* feeder) override {
    auto* real = dynamic_cast<RealPhoneFeeder*>(feeder);
    return phone_.SetImage(real ? &real->Buffer() : nullptr);
  }
  void SetRange(uint32_t start, uint32_t byteCount, int roundUp) override {
    phone_.SetRange(start, byteCount, roundUp);
  }
  uint16_t ProbeReadiness() override { return phone_.ProbeReadiness(); }

  bool StartDownload(int slot) override {
    if (monitor_.joinable() || !sink_) return false;
    if (!phone_.PostThreadMessage(phone_msg::StartDownload, 0, slot)) return false;
    // The worker's thread ends with its run; its end goes to the console after
    // every event the run posted.
    monitor_ = std::thread([this, slot] {
      while (!phone_.Finished()) {
        if (stop_.Requested()) return;
        std::this_thread::sleep_for(std::chrono::microseconds(kDonePollMicros));
      }
      sink_->PostMessage(kPhoneWorkerDone, tag_, slot);
    });
    return true;
  }
  void RequestQuit() override { stop_.Request(); }
  bool DownloadDone() const override { return phone_.Finished(); }

 private:
  CPhone phone_;
  const uintptr_t tag_;
  MessageSink* sink_ = nullptr;
  StopSignal stop_;
  std::thread monitor_;
};

}  // namespace

static_assert(kMaxComPorts == kComPortsSize);

ModemPorts RealPhonePlatform::DiscoverPhonePorts() {
  ModemPorts ports;
  if (replay_) {
    // The scans the recorded console made, in order.
    if (const auto scan = replay_->NextScan()) {
      ports.slotCount = std::clamp(scan->slotCount, 0, kSlotCount);
      ports.comPort = scan->lastNumber;
      for (size_t i = 0; i < scan->ports.size() && i < ports.comPorts.size(); ++i)
        ports.comPorts[i] = scan->ports[i];
    }
    return ports;
  }
  int numbers[kMaxComPorts] = {};
  k730::DiscoverPhonePorts(numbers, ports.slotCount, ports.comPort);
  for (int i = 0; i < kComPortsSize; ++i) ports.comPorts[i] = numbers[i];
  if (rec::RecordingSession* recording = rec::RecordingSession::FromEnvironment())
    rec::RecordPortScan(*recording, ports.slotCount, ports.comPort, ports.comPorts.data(),
                        ports.comPorts.size());
  return ports;
}

std::unique_ptr<SerialPort> MakeToolSerialPort() {
  if (rec::RecordingSession* recording = rec::RecordingSession::FromEnvironment())
    return std::make_unique<rec::RecordingSerialPort>(*recording, rec::LinkKind::ModeSwitch);
  return std::make_unique<SerialPort>();
}

std::unique_ptr<PhoneFeeder> RealPhonePlatform::CreateFeeder(OperatorPrompt& prompt) {
  return std::make_unique<RealPhoneFeeder>(prompt);
}

std::unique_ptr<PhoneWorker> RealPhonePlatform::CreateWorker(uintptr_t tag) {
  std::unique_ptr<SerialPort> port;
  if (replay_) {
    port = std::make_unique<rec::ReplaySerialPort>(replay_);
  } else if (rec::RecordingSession* recording = rec::RecordingSession::FromEnvironment()) {
    port = std::make_unique<rec::RecordingSerialPort>(*recording);
  }
  return std::make_unique<RealPhoneWorker>(locks_, tag, std::move(port));
}

std::string RealPhonePlatform::SetParallelRestarts(bool on, const ModemPorts& ports) {
  std::string obstacle;
  if (on && !replay_) {
    const int count = std::clamp(ports.slotCount, 0, kComPortsSize);
    const std::vector<int> live(ports.comPorts.begin(), ports.comPorts.begin() + count);
    obstacle = ParallelRestartObstacle(live, PortDirectory(), udevDataRoot_);
  }
  locks_.SetPerPort(on && obstacle.empty());
  return obstacle;
}

std::string RealPhonePlatform::PortHolder(int comNumber) {
  // A replay's ports are in its recordings, not on this machine.
  if (replay_) return "";
  return k730::PortHolder(PortDevicePath("COM" + std::to_string(comNumber)));
}

RealPdaPlatform::RealPdaPlatform(std::shared_ptr<rec::ReplaySession> replay)
    : replay_(std::move(replay)) {
  if (replay_) {
    transport_ = std::make_unique<rec::ReplayPalmTransport>(replay_);
  } else if (rec::RecordingSession* recording = rec::RecordingSession::FromEnvironment()) {
    transport_ = std::make_unique<rec::RecordingPalmTransport>(*recording, MakePalmTransport());
  } else {
    transport_ = MakePalmTransport();
  }
}
RealPdaPlatform::~RealPdaPlatform() = default;

int RealPdaPlatform::RunPdaWorker(const PdaJob& job) {
  return PdaWorker(job);
}

std::unique_ptr<PalmDeviceWatcher> RealPdaPlatform::CreateWatcher() {
  if (replay_) return std::make_unique<rec::ReplayPalmWatcher>(replay_);
  // A real handheld is numbered by its handset's modem port, so that arrival
  // finds the slot of that port.
  std::unique_ptr<PalmDeviceWatcher> watcher =
      MakePalmDeviceWatcher([](const std::string& usbSysName) {
        return ModemPortBesideUsbDevice(usbSysName, PortDirectory());
      });
  rec::RecordingSession* recording = rec::RecordingSession::FromEnvironment();
  if (!watcher || !recording) return watcher;
  return std::make_unique<rec::RecordingPalmWatcher>(*recording, std::move(watcher));
}

}  // namespace k730
