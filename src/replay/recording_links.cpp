#include "replay/recording_links.h"

#include <algorithm>

#include "pda/palm_device_map.h"

namespace k730::rec {

// ---------------------------------------------------------------------------
// Serial

RecordingSerialPort::~RecordingSerialPort() {
  if (recorder_) recorder_->Finish();
}

int RecordingSerialPort::OpenPort(const std::string& portName, uint32_t baudRate, uint8_t parity,
                                  uint8_t dataBits) {
  uint32_t number = 0;
  const std::string token = SerialToken(portName, number);
  if (!recorder_ || token != token_) {
    // Another port: its bytes go to a file of its own.
    if (recorder_) recorder_->Finish();
    token_ = token;
    recorder_ = session_.StartLink(kind_, token, token, number);
  }
  const int result = SerialPort::OpenPort(portName, baudRate, parity, dataBits);
  if (recorder_) recorder_->Open(result, IsOpen(), Settings().portName);
  return result;
}

int RecordingSerialPort::Close() {
  const int result = SerialPort::Close();
  if (recorder_) recorder_->Close(result, IsOpen());
  return result;
}

int RecordingSerialPort::Write(const uint8_t* data, uint32_t length) {
  const int result = SerialPort::Write(data, length);
  if (recorder_) recorder_->Send(static_cast<uint32_t>(result), data, length);
  return result;
}

uint32_t RecordingSerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t bufferSize) {
  const uint32_t n = SerialPort::Read(buffer, count, bufferSize);
  if (recorder_) recorder_->Receive(count, buffer, n);
  return n;
}

bool RecordingSerialPort::WaitRxCharUntil(std::chrono::steady_clock::time_point deadline) {
  const bool open = IsOpen();
  const bool ready = SerialPort::WaitRxCharUntil(deadline);
  // Only a wait that timed out says something a replay must repeat.
  if (!ready && open && recorder_) recorder_->Wait();
  return ready;
}

std::string RecordingSerialPort::RecordingPath() const {
  return recorder_ ? recorder_->Path() : "";
}

// ---------------------------------------------------------------------------
// Palm

RecordingPalmTransport::RecordingPalmTransport(RecordingSession& session,
                                               std::unique_ptr<PalmUsbTransport> inner)
    : session_(session), inner_(std::move(inner)) {}

RecordingPalmTransport::~RecordingPalmTransport() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [handle, recorder] : recorders_) recorder->Finish();
}

std::shared_ptr<LinkRecorder> RecordingPalmTransport::Find(int handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = recorders_.find(handle);
  return it == recorders_.end() ? nullptr : it->second;
}

int RecordingPalmTransport::OpenPort(const std::string& deviceName, uint32_t creatorId) {
  const uint32_t number = DeviceNumberFromName(deviceName);
  std::shared_ptr<LinkRecorder> recorder =
      session_.StartLink(LinkKind::Palm, std::to_string(number), deviceName, number);
  const int handle = inner_->OpenPort(deviceName, creatorId);
  if (!recorder) return handle;
  recorder->Open(handle, handle >= 0, deviceName);
  if (handle < 0) {
    recorder->Finish();
    return handle;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto& slot = recorders_[handle];
  if (slot) slot->Finish();  // a handle the transport reused
  slot = std::move(recorder);
  return handle;
}

void RecordingPalmTransport::SetTimeouts(int handle, const uint32_t timeouts[2]) {
  inner_->SetTimeouts(handle, timeouts);
  if (auto recorder = Find(handle)) recorder->Timeouts(timeouts[0], timeouts[1]);
}

void RecordingPalmTransport::SendBytes(int handle, const uint8_t* data, uint32_t length,
                                       uint32_t* sent) {
  inner_->SendBytes(handle, data, length, sent);
  if (auto recorder = Find(handle)) recorder->Send(*sent, data, length);
}

void RecordingPalmTransport::ReceiveBytes(int handle, uint8_t* buffer, uint32_t length,
                                          uint32_t* received) {
  inner_->ReceiveBytes(handle, buffer, length, received);
  if (auto recorder = Find(handle)) recorder->Receive(length, buffer, std::min(*received, length));
}

int RecordingPalmTransport::ClosePort(int handle) {
  const int result = inner_->ClosePort(handle);
  std::shared_ptr<LinkRecorder> recorder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = recorders_.find(handle);
    if (it != recorders_.end()) {
      recorder = it->second;
      if (result != 0) recorders_.erase(it);
    }
  }
  if (recorder) {
    recorder->Close(result, result == 0);
    if (result != 0) recorder->Finish();
  }
  return result;
}

// ---------------------------------------------------------------------------
// Console events

bool RecordingPalmWatcher::Start(PalmDeviceCallback callback, bool reportPresent) {
  LinkRecorder* console = session_.Console();
  if (console) console->Watch(reportPresent);
  return inner_->Start(
      [console, callback = std::move(callback)](uint32_t event, const std::string& name) {
        if (console) console->Device(event, name);
        callback(event, name);
      },
      reportPresent);
}

void RecordPortScan(RecordingSession& session, int slotCount, int lastNumber, const int* ports,
                    size_t count) {
  if (LinkRecorder* console = session.Console()) console->Scan(slotCount, lastNumber, ports, count);
}

}  // namespace k730::rec
