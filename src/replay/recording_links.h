// The links the console uses, with every call and its result written to a
// recording: each stands in for the real object and passes every call on.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "phone/serial_port.h"
#include "replay/recording_session.h"

namespace k730::rec {

// A serial port that records one file per port name it opens
// ("serial-COM3-<n>.k730rec"), from its first open to its end.
class RecordingSerialPort : public SerialPort {
 public:
  // kind: Serial for the console's workers, ModeSwitch for the mode-switch
  // window (its files are kept out of console replays).
  explicit RecordingSerialPort(RecordingSession& session, LinkKind kind = LinkKind::Serial)
      : session_(session), kind_(kind) {}
  ~RecordingSerialPort() override;

  int OpenPort(const std::string& portName, uint32_t baudRate, uint8_t parity,
               uint8_t dataBits) override;
  int Close() override;
  int Write(const uint8_t* data, uint32_t length) override;
  uint32_t Read(uint8_t* buffer, uint32_t count, uint32_t bufferSize = kStagingSize) override;
  bool WaitRxCharUntil(std::chrono::steady_clock::time_point deadline) override;

  // The file being written ("" when none).
  std::string RecordingPath() const;

 private:
  RecordingSession& session_;
  LinkKind kind_;
  std::string token_;  // "COM3" of the file being written
  std::unique_ptr<LinkRecorder> recorder_;
};

// A Palm transport that records one file per OpenPort ("palm-<N>-<n>.k730rec").
class RecordingPalmTransport : public PalmUsbTransport {
 public:
  RecordingPalmTransport(RecordingSession& session, std::unique_ptr<PalmUsbTransport> inner);
  ~RecordingPalmTransport() override;

  int OpenPort(const std::string& deviceName, uint32_t creatorId) override;
  void SetTimeouts(int handle, const uint32_t timeouts[2]) override;
  void SendBytes(int handle, const uint8_t* data, uint32_t length, uint32_t* sent) override;
  void ReceiveBytes(int handle, uint8_t* buffer, uint32_t length, uint32_t* received) override;
  int ClosePort(int handle) override;

 private:
  std::shared_ptr<LinkRecorder> Find(int handle);

  RecordingSession& session_;
  std::unique_ptr<PalmUsbTransport> inner_;
  std::mutex mutex_;
  std::map<int, std::shared_ptr<LinkRecorder>> recorders_;
};

// A device watcher whose start and events go to the console's file.
class RecordingPalmWatcher : public PalmDeviceWatcher {
 public:
  RecordingPalmWatcher(RecordingSession& session, std::unique_ptr<PalmDeviceWatcher> inner)
      : session_(session), inner_(std::move(inner)) {}
  bool Start(PalmDeviceCallback callback, bool reportPresent) override;
  void SetNoteSink(PalmNoteSink notes) override { inner_->SetNoteSink(std::move(notes)); }
  void Stop() override { inner_->Stop(); }

 private:
  RecordingSession& session_;
  std::unique_ptr<PalmDeviceWatcher> inner_;
};

// A port scan's result into the console's file.
void RecordPortScan(RecordingSession& session, int slotCount, int lastNumber, const int* ports,
                    size_t count);

}  // namespace k730::rec
