// What the console needs from the phone and PDA layers, behind small
// interfaces: the real ones drive serial ports and Palm USB links
// (real_platform.h), the tests' fakes script the workers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "console/console_ids.h"
#include "pda/pda_worker.h"
#include "phone/phone_events.h"

namespace k730 {

class MessageSink;
class OperatorPrompt;
class PalmDeviceWatcher;
class PalmUsbTransport;
struct PdaJob;

// The modem ports found by a scan: entry k drives slot k.
struct ModemPorts {
  std::array<int, kComPortsSize> comPorts{};
  int slotCount = 0;
  int comPort = 0;  // the last number read; unchanged when none was found
};

// The phone image feeder shared by every phone worker of a run.
class PhoneFeeder {
 public:
  virtual ~PhoneFeeder() = default;
  // 1 when the file is open and its trailer accepted (the operator may have
  // been asked a Yes/No question on the calling thread).
  virtual int OpenImage(const std::string& path) = 0;
  virtual int BuildBlockTable() = 0;
  // Why the last OpenImage refused its file, or "" when not known.
  virtual std::string Refusal() const { return ""; }
  // The image length in bytes (0 while nothing is open).
  virtual uint32_t Size() const = 0;
  virtual void Close() = 0;
};

// One slot's phone worker. The destructor ends its thread and joins it.
class PhoneWorker {
 public:
  virtual ~PhoneWorker() = default;
  virtual int SetLinkOption(int value) = 0;
  virtual int SetNotifyWindow(MessageSink* sink) = 0;
  virtual int SetPort(int comNumber) = 0;
  virtual int SetBaudRate(int value) = 0;
  virtual int SetMode(int phoneMode, int pdaFollows) = 0;
  virtual void SetAuxOption(int value) = 0;
  virtual int SetImage(PhoneFeeder* feeder) = 0;
  virtual void SetRange(uint32_t start, uint32_t byteCount, int roundUp) = 0;
  virtual uint16_t ProbeReadiness() = 0;
  // Posts StartDownload (wParam 0, lParam = slot) to the worker's queue.
  // When the download has returned, after every event of it, the worker
  // posts msg::kPhoneWorkerDone (wParam = the tag it was created with,
  // lParam = slot) to the sink it was given with SetNotifyWindow.
  virtual bool StartDownload(int slot) = 0;
  // Ends the worker's loop and cuts its waits short; does not wait.
  virtual void RequestQuit() = 0;
  // How the download ended; valid once msg::kPhoneWorkerDone was posted.
  virtual PhoneOutcome Outcome() const = 0;
};

// Modem ports coming and going while the console runs (continuous
// operation): each change with the port's USB serial number, "" where the
// port has none.
class ModemPortWatcher {
 public:
  using Callback = std::function<void(int comNumber, bool present, const std::string& serial)>;
  virtual ~ModemPortWatcher() = default;
  // Reports every port present now, then each change, on the watcher's own
  // thread. False when nothing can be watched.
  virtual bool Start(Callback callback) = 0;
  // Returns once no callback runs any more.
  virtual void Stop() = 0;
};

class PhonePlatform {
 public:
  virtual ~PhonePlatform() = default;
  virtual ModemPorts DiscoverPhonePorts() = 0;
  virtual std::unique_ptr<PhoneFeeder> CreateFeeder(OperatorPrompt& prompt) = 0;
  // A worker whose thread is running and idles in its message loop; tag
  // comes back with its end (StartDownload).
  virtual std::unique_ptr<PhoneWorker> CreateWorker(uintptr_t tag) = 0;
  // The watcher of the modem ports, or null where ports cannot be watched.
  virtual std::unique_ptr<ModemPortWatcher> CreatePortWatcher() { return nullptr; }
  // Whether the workers created from now on may restart their handsets at
  // the same time, each locking only its own port. Granted ("") only where
  // every live port of ports comes back under its own name whatever the
  // order; otherwise the reason, and one handset restarts at a time.
  virtual std::string SetParallelRestarts(bool on, const ModemPorts& ports) {
    (void)ports;
    return on ? "the ports' naming cannot be checked here" : "";
  }
  // Who keeps the modem port COM<comNumber> from being opened (a program and
  // its pid), or "" when nobody holds it or it cannot be told.
  virtual std::string PortHolder(int /*comNumber*/) { return ""; }
};

class PdaPlatform {
 public:
  virtual ~PdaPlatform() = default;
  // The transport of the console's six Palm ports.
  virtual PalmUsbTransport& Transport() = 0;
  // Runs a slot's PDA download on the calling thread (the slot's worker
  // thread) and returns how it went.
  virtual PdaOutcome RunPdaWorker(const PdaJob& job) = 0;
  // Device arrival and removal; null when nothing can be watched.
  virtual std::unique_ptr<PalmDeviceWatcher> CreateWatcher() = 0;
};

}  // namespace k730
