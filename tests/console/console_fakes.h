// A recording view and scripted phone and PDA platforms for driving the
// console core in tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console/console_ids.h"
#include "console/console_platform.h"
#include "console/console_view.h"
#include "console/downloader_dialog.h"
#include "core/message_queue.h"
#include "pda/palm_device_watcher.h"
#include "pda/palm_usb_port.h"
#include "pda/pda_job.h"

namespace k730::testing {

// Waits for a condition with a generous bound, so a fault fails the test
// instead of hanging it. Not a timing assertion.
constexpr auto kPatience = std::chrono::seconds(20);

struct ShownMessage {
  std::string text;
  MessageIcon icon;
  MessageButtons buttons;
};

// A gate a scripted worker waits at until the test opens it.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  // False when abandoned (the worker is being ended) before the gate opened.
  bool Pass(const std::function<bool()>& abandoned) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!open_ && !abandoned()) cv_.wait_for(lock, std::chrono::milliseconds(1));
    return open_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class RecordingView : public ConsoleView {
 public:
  JobForm ReadForm() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return form_;
  }
  void RefreshForm(const JobForm& form) override {
    std::lock_guard<std::mutex> lock(mutex_);
    form_ = form;
    ++refreshCount_;
  }
  void SetControlEnabled(int id, bool enabled) override {
    Record([&] {
      enabled_[id] = enabled;
      events_.push_back("enable " + std::to_string(id) + " " + (enabled ? "1" : "0"));
    });
  }
  void SetControlVisible(int id, bool visible) override {
    Record([&] {
      visible_[id] = visible;
      events_.push_back("show " + std::to_string(id) + " " + (visible ? "1" : "0"));
    });
  }
  void AppendSlotText(int slot, const std::string& text) override {
    Record([&] {
      text_[slot] += text;
      events_.push_back("log " + std::to_string(slot) + " " + text);
    });
  }
  void ClearSlotText(int slot) override {
    Record([&] {
      text_[slot].clear();
      events_.push_back("clear " + std::to_string(slot));
    });
  }
  void SetSlotProgress(int slot, uint32_t percent) override {
    Record([&] {
      progress_[slot].push_back(percent);
      events_.push_back("progress " + std::to_string(slot) + " " + std::to_string(percent));
    });
  }
  void SetSlotStatusText(int slot, const std::string& text) override {
    Record([&] {
      status_[slot] = text;
      events_.push_back("status " + std::to_string(slot) + " " + text);
    });
  }
  std::optional<std::string> ChooseOpenFile(const FileDialogSpec& spec) override {
    Gate* held = nullptr;
    Record([&] {
      dialogs_.push_back(spec);
      held = dialogGate_;
    });
    // A dialog the operator leaves open until the gate opens.
    if (held) held->Pass([this] { return shutDown_.load(); });
    std::lock_guard<std::mutex> lock(mutex_);
    return nextChoice_;
  }
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override {
    Record([&] { messages_.push_back({text, icon, buttons}); });
    return buttons == MessageButtons::YesNo ? yesNoAnswer_ : MessageAnswer::Ok;
  }
  bool RunAuxiliaryCommand(int id) override {
    Record([&] { auxiliary_.push_back(id); });
    return auxiliaryAnswer_;
  }
  void JobRefused(const std::string& text) override {
    Record([&] { refusals_.push_back(text); });
  }
  void RunStarted() override {
    Record([&] { ++runsStarted_; });
  }
  void RunEnded(const RunSummary& summary) override {
    Record([&] { summaries_.push_back(summary); });
  }
  void SetBusy(bool busy) override {
    Record([&] { events_.push_back(std::string("busy ") + (busy ? "1" : "0")); });
  }
  void SetCommandPending(int id, bool pending) override {
    Record(
        [&] { events_.push_back("pending " + std::to_string(id) + " " + (pending ? "1" : "0")); });
  }
  void SetSlotUnitCounts(int slot, int completed, int failed) override {
    Record([&] { units_[slot] = {completed, failed}; });
  }

  // Test side.
  void SetForm(const JobForm& form) {
    std::lock_guard<std::mutex> lock(mutex_);
    form_ = form;
  }
  template <typename F>
  void EditForm(F edit) {
    std::lock_guard<std::mutex> lock(mutex_);
    edit(form_);
  }
  JobForm Form() {
    std::lock_guard<std::mutex> lock(mutex_);
    return form_;
  }
  void SetNextChoice(std::optional<std::string> path) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextChoice_ = std::move(path);
  }
  void SetYesNoAnswer(MessageAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    yesNoAnswer_ = answer;
  }
  void SetAuxiliaryAnswer(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    auxiliaryAnswer_ = ok;
  }
  // File dialogs stay open until gate opens (or the view shuts down).
  void HoldDialogs(Gate* gate) {
    std::lock_guard<std::mutex> lock(mutex_);
    dialogGate_ = gate;
  }
  // Every dialog still open gives up, as a closing window's do.
  void Shutdown() { shutDown_ = true; }
  std::pair<int, int> Units(int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return units_[slot];
  }

  // Blocks until pred (called under the view's lock) holds.
  bool WaitUntil(const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, pred);
  }
  bool WaitForText(int slot, const std::string& piece) {
    return WaitUntil([&] { return text_[slot].find(piece) != std::string::npos; });
  }
  bool WaitForAuxiliaryCount(size_t count) {
    return WaitUntil([&] { return auxiliary_.size() >= count; });
  }
  bool WaitForRunEnd(size_t count = 1) {
    return WaitUntil([&] { return summaries_.size() >= count; });
  }

  std::string Text(int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_[slot];
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }
  std::vector<uint32_t> Progress(int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_[slot];
  }
  std::string Status(int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_[slot];
  }
  std::optional<bool> Enabled(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = enabled_.find(id);
    return it == enabled_.end() ? std::nullopt : std::optional<bool>(it->second);
  }
  std::optional<bool> Visible(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = visible_.find(id);
    return it == visible_.end() ? std::nullopt : std::optional<bool>(it->second);
  }
  std::vector<ShownMessage> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<FileDialogSpec> Dialogs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dialogs_;
  }
  std::vector<std::string> Refusals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusals_;
  }
  std::vector<RunSummary> Summaries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return summaries_;
  }
  int RunsStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return runsStarted_;
  }
  size_t AuxiliaryCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return auxiliary_.size();
  }

 private:
  template <typename F>
  void Record(F change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  JobForm form_;
  int refreshCount_ = 0;
  std::map<int, bool> enabled_;
  std::map<int, bool> visible_;
  std::map<int, std::string> text_;
  std::map<int, std::vector<uint32_t>> progress_;
  std::map<int, std::string> status_;
  std::vector<std::string> events_;
  std::vector<FileDialogSpec> dialogs_;
  std::optional<std::string> nextChoice_;
  std::vector<ShownMessage> messages_;
  MessageAnswer yesNoAnswer_ = MessageAnswer::No;
  std::vector<int> auxiliary_;
  bool auxiliaryAnswer_ = false;
  std::vector<std::string> refusals_;
  int runsStarted_ = 0;
  std::vector<RunSummary> summaries_;
  std::map<int, std::pair<int, int>> units_;
  Gate* dialogGate_ = nullptr;
  std::atomic<bool> shutDown_{false};
};

// One posted phone event of a script.
struct PhoneEvent {
  uint32_t id;
  uintptr_t wParam;
};

// The events of a successful Normal-mode run with PDA follows on, for 1984
// blocks (progress every 32nd block and the last).
std::vector<PhoneEvent> SuccessfulPhoneRun();
// A run that stops after SUSPEND got no answer.
std::vector<PhoneEvent> SuspendFailure();

struct PhoneScript {
  std::vector<PhoneEvent> events;
  uint16_t readiness = 255;
  Gate* gateBeforeEnd = nullptr;  // held before the last event
};

class FakeFeeder : public PhoneFeeder {
 public:
  int OpenImage(const std::string& path) override;
  int BuildBlockTable() override { return open_ ? 1 : 0; }
  uint32_t Size() const override { return size_; }
  void Close() override {
    open_ = false;
    size_ = 0;
    ++closes;
  }
  int openResult = 1;
  std::atomic<int> closes{0};
  std::vector<std::string> opened;

 private:
  bool open_ = false;
  uint32_t size_ = 0;
};

struct WorkerConfig {
  int slot = -1;
  int linkOption = 0, port = -1, baudRate = 0, phoneMode = -1, pdaFollows = -1, auxOption = 0;
  bool imageSet = false;
  bool notifySet = false;
  uint32_t start = 0, byteCount = 0;
  std::vector<std::string> calls;  // setter names in call order
};

class FakePhonePlatform : public PhonePlatform {
 public:
  ModemPorts DiscoverPhonePorts() override {
    std::lock_guard<std::mutex> lock(mutex);
    ++scans;
    return ports;
  }
  std::unique_ptr<PhoneFeeder> CreateFeeder(OperatorPrompt&) override;
  std::unique_ptr<PhoneWorker> CreateWorker(uintptr_t tag) override;
  std::unique_ptr<ModemPortWatcher> CreatePortWatcher() override;

  // A modem port coming or going while the console watches the ports.
  void PortEvent(int comNumber, bool present, const std::string& serial = "") {
    std::lock_guard<std::mutex> lock(watchMutex);
    if (watching) watching(comNumber, present, serial);
  }

  void SetPorts(std::vector<int> numbers) {
    std::lock_guard<std::mutex> lock(mutex);
    ports = ModemPorts{};
    for (size_t i = 0; i < numbers.size() && i < ports.comPorts.size(); ++i)
      ports.comPorts[i] = numbers[i];
    ports.slotCount = static_cast<int>(numbers.size() > 6 ? 6 : numbers.size());
    if (!numbers.empty()) ports.comPort = numbers.back();
  }
  // The script of the worker started for a slot (default: a successful run).
  void SetScript(int slot, PhoneScript script) {
    std::lock_guard<std::mutex> lock(mutex);
    scripts[slot] = std::move(script);
  }
  std::vector<WorkerConfig> Configs() {
    std::lock_guard<std::mutex> lock(mutex);
    return configs;
  }

  std::mutex mutex;
  ModemPorts ports;
  int scans = 0;
  std::map<int, PhoneScript> scripts;
  std::vector<WorkerConfig> configs;  // one per started or probed worker
  FakeFeeder* feeder = nullptr;
  int workersCreated = 0;
  std::map<int, std::string> serials;  // of the ports present when watching starts
  std::mutex watchMutex;
  ModemPortWatcher::Callback watching;
  std::atomic<int> workersAlive{0};
};

// A Palm transport whose devices open when their name is known; a receive
// blocks until the port is closed.
class FakePalmTransport : public PalmUsbTransport {
 public:
  int OpenPort(const std::string& deviceName, uint32_t creatorId) override;
  void SetTimeouts(int, const uint32_t[2]) override {}
  void SendBytes(int, const uint8_t*, uint32_t, uint32_t* sent) override { *sent = 0; }
  void ReceiveBytes(int handle, uint8_t*, uint32_t, uint32_t* received) override;
  int ClosePort(int handle) override;

  std::mutex mutex;
  std::condition_variable closed;
  bool openAll = true;
  std::set<std::string> refused;
  std::vector<std::string> opens;
  std::set<int> open;
  int next = 1;
};

class FakeWatcher : public PalmDeviceWatcher {
 public:
  explicit FakeWatcher(std::vector<std::string> present) : present_(std::move(present)) {}
  bool Start(PalmDeviceCallback callback, bool reportPresent) override {
    if (reportPresent)
      for (const std::string& name : present_) callback(kDeviceArrivalEvent, name);
    started = true;
    return true;
  }
  void Stop() override { stopped = true; }
  static constexpr uint32_t kDeviceArrivalEvent = 0x8000;
  bool started = false;
  bool stopped = false;

 private:
  std::vector<std::string> present_;
};

struct PdaScript {
  int result = 1;
  std::vector<std::string> parts{"=== Resource Download ===\r\n"};
  bool stillAttached = false;
  bool blockInReceive = false;  // waits on the port until it is closed
  bool dformat = false;
  Gate* gate = nullptr;
};

struct PdaRun {
  int slot = -1;
  int targetCode = -1;
  int deviceMode = -1;
  uint32_t viewLength = 0;
  uint32_t viewCrc = 0;  // of the bytes the view showed the worker
  std::string portName;
};

class FakePdaPlatform : public PdaPlatform {
 public:
  PalmUsbTransport& Transport() override { return transport; }
  PdaOutcome RunPdaWorker(const PdaJob& job) override;
  std::unique_ptr<PalmDeviceWatcher> CreateWatcher() override {
    return std::make_unique<FakeWatcher>(present);
  }
  void SetScript(int slot, PdaScript script) {
    std::lock_guard<std::mutex> lock(mutex);
    scripts[slot] = std::move(script);
  }
  std::vector<PdaRun> Runs() {
    std::lock_guard<std::mutex> lock(mutex);
    return runs;
  }

  FakePalmTransport transport;
  std::vector<std::string> present;  // devices reported at start
  std::mutex mutex;
  std::map<int, PdaScript> scripts;
  std::vector<PdaRun> runs;
};

// The device-interface name of a simulated Palm device number.
std::string PalmName(uint32_t number);

// A console on its own thread with the fakes, the settings and records in a
// scratch directory.
class ConsoleHarness {
 public:
  ConsoleHarness();
  ~ConsoleHarness();

  // Opens the console (Run on a thread) and waits until it is open.
  void Open();
  // Waits until every message posted so far has been handled.
  void Sync();
  // The console's state once every message posted so far has been handled.
  ConsoleSnapshot SyncedSnapshot() {
    Sync();
    return console->Snapshot();
  }
  // Sets the form (the operator's clicks) and presses Go.
  void Go(const JobForm& form);
  // Exit and join the console thread; the Run result.
  int Exit();

  std::string Dir() const { return dir_; }
  std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes);

  RecordingView view;
  FakePhonePlatform phone;
  FakePdaPlatform pda;
  std::unique_ptr<DownloaderDialog> console;

 private:
  std::string dir_;
  std::thread thread_;
  std::atomic<int> result_{-1};
  std::vector<std::pair<std::string, std::string>> savedEnv_;
};

// United Binary of the given component lengths (phone, ipl, widebin,
// resource), bytes a function of their offset.
std::vector<uint8_t> MakeUnitedBinary(uint32_t phone, uint32_t ipl, uint32_t widebin,
                                      uint32_t resource);

}  // namespace k730::testing
