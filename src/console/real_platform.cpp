#include "console/real_platform.h"

#include <algorithm>
#include <map>
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

// The feeder the console shares among its workers: an ImageBuffer.
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

namespace {

// How often the port directory is listed besides its change events (real ms).
constexpr int kPortPollMs = 100;

// The console hands its workers back the one feeder this platform made for
// it, so the worker reaches the feeder's buffer through the platform, not by
// casting what it is given.
class RealPhoneWorker : public PhoneWorker {
 public:
  RealPhoneWorker(ReenumerationLocks& locks, uintptr_t tag, std::unique_ptr<SerialPort> port,
                  RealPhoneFeeder* feeder)
      : phone_(locks, std::move(port)), tag_(tag), feeder_(feeder) {
    phone_.CreateThread();
  }
  ~RealPhoneWorker() override { phone_.Reclaim(); }

  int SetLinkOption(int value) override { return phone_.SetLinkOption(value); }
  int SetNotifyWindow(MessageSink* sink) override { return phone_.SetNotifyWindow(sink); }
  int SetPort(int comNumber) override { return phone_.SetPort(comNumber); }
  int SetBaudRate(int value) override { return phone_.SetBaudRate(value); }
  int SetMode(int phoneMode, int pdaFollows) override {
    return phone_.SetMode(phoneMode, pdaFollows);
  }
  void SetAuxOption(int value) override { phone_.SetAuxOption(value); }
  int SetImage(PhoneFeeder* feeder) override {
    const bool ours = feeder && feeder_ && feeder == static_cast<PhoneFeeder*>(feeder_);
    return phone_.SetImage(ours ? &feeder_->Buffer() : nullptr);
  }
  void SetRange(uint32_t start, uint32_t byteCount, int roundUp) override {
    phone_.SetRange(start, byteCount, roundUp);
  }
  uint16_t ProbeReadiness() override { return phone_.ProbeReadiness(); }

  bool StartDownload(int slot) override {
    phone_.SetEndNotice(tag_);
    return phone_.PostThreadMessage(msg::StartDownload, 0, slot);
  }
  void RequestQuit() override { phone_.RequestStop(); }
  PhoneOutcome Outcome() const override { return phone_.Outcome(); }

 private:
  CPhone phone_;
  const uintptr_t tag_;
  RealPhoneFeeder* const feeder_;
};

// Lists the modem ports whenever their listing changes, and every so often
// besides, and reports what changed. A handset swapped for another may be
// away for a few milliseconds of a scaled run, so the listing follows the
// directory's events rather than a clock.
class PortDirectoryWatcher : public ModemPortWatcher {
 public:
  explicit PortDirectoryWatcher(std::string portDir) : portDir_(std::move(portDir)) {}
  ~PortDirectoryWatcher() override { Stop(); }

  bool Start(Callback callback) override {
    if (thread_.joinable()) return false;
    changes_ = std::make_unique<PortListChanges>(portDir_);
    callback_ = std::move(callback);
    thread_ = std::thread([this] { Loop(); });
    return true;
  }
  void Stop() override {
    if (thread_.joinable()) {
      changes_->Wake();
      thread_.join();
    }
    changes_.reset();
  }

 private:
  void Loop() {
    std::map<int, std::string> known;  // present ports and their serial numbers
    for (;;) {
      std::map<int, std::string> now;
      for (const ModemPortEntry& entry : ListModemPorts(portDir_)) {
        if (entry.present) now[entry.number] = entry.usb ? entry.usb->serial : "";
      }
      for (const auto& [number, serial] : known) {
        if (!now.count(number)) callback_(number, false, serial);
      }
      for (const auto& [number, serial] : now) {
        const auto it = known.find(number);
        // A new serial under the same name is another unit: it went and came.
        if (it != known.end() && it->second != serial) callback_(number, false, it->second);
        if (it == known.end() || it->second != serial) callback_(number, true, serial);
      }
      known = std::move(now);
      if (changes_->Wait(kPortPollMs)) return;
    }
  }

  const std::string portDir_;
  Callback callback_;
  std::unique_ptr<PortListChanges> changes_;
  std::thread thread_;
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
  auto feeder = std::make_unique<RealPhoneFeeder>(prompt);
  feeder_ = feeder.get();
  return feeder;
}

std::unique_ptr<ModemPortWatcher> RealPhonePlatform::CreatePortWatcher() {
  // A replay's ports are in its recordings, not on this machine.
  if (replay_) return nullptr;
  return std::make_unique<PortDirectoryWatcher>(PortDirectory());
}

std::unique_ptr<PhoneWorker> RealPhonePlatform::CreateWorker(uintptr_t tag) {
  std::unique_ptr<SerialPort> port;
  if (replay_) {
    port = std::make_unique<rec::ReplaySerialPort>(replay_);
  } else if (rec::RecordingSession* recording = rec::RecordingSession::FromEnvironment()) {
    port = std::make_unique<rec::RecordingSerialPort>(*recording);
  }
  return std::make_unique<RealPhoneWorker>(locks_, tag, std::move(port), feeder_);
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

PdaOutcome RealPdaPlatform::RunPdaWorker(const PdaJob& job) {
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
