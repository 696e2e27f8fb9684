#include "console_fakes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "image/crc32.h"
#include "image/image_formats.h"
#include "pda/palm_device_map.h"
#include "pda/pda_worker.h"

namespace k730::testing {

std::vector<PhoneEvent> SuccessfulPhoneRun() {
  std::vector<PhoneEvent> events = {
      {msg::WM_PHONE_PORT_OK, 1}, {msg::WM_PHONE_STEP_OK, 0},  {msg::WM_PHONE_STEP_OK, 1},
      {msg::WM_PHONE_STEP_OK, 2}, {msg::WM_PHONE_STEP_OK, 3},  {msg::WM_PHONE_PORT_OK, 1},
      {msg::WM_PHONE_STEP_OK, 4}, {msg::WM_PHONE_STEP_OK, 5},  {msg::WM_PHONE_STEP_OK, 6},
      {msg::WM_PHONE_STEP_OK, 8}, {msg::WM_PHONE_STEP_OK, 10}, {msg::WM_PHONE_STEP_OK, 11},
      {msg::WM_PHONE_STEP_OK, 9}, {msg::WM_PHONE_ERASE_OK, 1}, {msg::WM_PHONE_STEP, 15}};
  for (uint32_t block = 0; block < 1984; ++block) {
    if (block % 32 == 0 || block == 1983)
      events.push_back({msg::WM_PHONE_PROGRESS, 0x10000 + block * 1024});
  }
  events.push_back({msg::WM_PHONE_STEP_OK, 16});
  events.push_back({msg::WM_PHONE_FINISH, 0});
  return events;
}

std::vector<PhoneEvent> SuspendFailure() {
  return {{msg::WM_PHONE_PORT_OK, 1}, {msg::WM_PHONE_STEP_OK, 0}, {msg::WM_PHONE_STEP_FAIL, 1}};
}

int FakeFeeder::OpenImage(const std::string& path) {
  opened.push_back(path);
  struct stat st {};
  if (openResult != 1 || stat(path.c_str(), &st) != 0) {
    open_ = false;
    return 0;
  }
  open_ = true;
  size_ = static_cast<uint32_t>(st.st_size);
  return 1;
}

namespace {

class FakePhoneWorker : public PhoneWorker {
 public:
  FakePhoneWorker(FakePhonePlatform& platform, uintptr_t tag) : platform_(platform), tag_(tag) {
    ++platform_.workersAlive;
  }
  ~FakePhoneWorker() override {
    abandon_ = true;
    if (thread_.joinable()) thread_.join();
    --platform_.workersAlive;
  }
  int SetLinkOption(int value) override {
    config_.linkOption = value;
    config_.calls.push_back("SetLinkOption");
    return 1;
  }
  int SetNotifyWindow(MessageSink* sink) override {
    sink_ = sink;
    config_.notifySet = sink != nullptr;
    config_.calls.push_back("SetNotifyWindow");
    return 1;
  }
  int SetPort(int comNumber) override {
    config_.port = comNumber;
    config_.calls.push_back("SetPort");
    return 1;
  }
  int SetBaudRate(int value) override {
    config_.baudRate = value;
    config_.calls.push_back("SetBaudRate");
    return 1;
  }
  int SetMode(int phoneMode, int pdaFollows) override {
    config_.phoneMode = phoneMode;
    config_.pdaFollows = pdaFollows;
    config_.calls.push_back("SetMode");
    return 1;
  }
  void SetAuxOption(int value) override {
    config_.auxOption = value;
    config_.calls.push_back("SetAuxOption");
  }
  int SetImage(PhoneFeeder* feeder) override {
    config_.imageSet = feeder != nullptr;
    config_.calls.push_back("SetImage");
    return config_.phoneMode != 4;
  }
  void SetRange(uint32_t start, uint32_t byteCount, int) override {
    config_.start = start;
    config_.byteCount = byteCount;
    config_.calls.push_back("SetRange");
  }
  uint16_t ProbeReadiness() override {
    std::lock_guard<std::mutex> lock(platform_.mutex);
    const auto it = platform_.scripts.find(config_.port);
    script_ = it == platform_.scripts.end() ? PhoneScript{SuccessfulPhoneRun()} : it->second;
    platform_.configs.push_back(config_);
    uint16_t status = script_.readiness;
    if (!config_.imageSet) status &= static_cast<uint16_t>(~0x40);
    return status;
  }
  bool StartDownload(int slot) override {
    config_.slot = slot;
    thread_ = std::thread([this, slot] {
      for (size_t i = 0; i < script_.events.size(); ++i) {
        if (abandon_) break;
        if (i + 1 == script_.events.size() && script_.gateBeforeEnd &&
            !script_.gateBeforeEnd->Pass([this] { return abandon_.load(); }))
          break;
        sink_->PostMessage(script_.events[i].id, script_.events[i].wParam, slot);
      }
      if (!abandon_) sink_->PostMessage(msg::kPhoneWorkerDone, tag_, slot);
    });
    return true;
  }
  void RequestQuit() override { abandon_ = true; }
  // What the script's events say, as a worker tells it from its own.
  PhoneOutcome Outcome() const override {
    PhoneOutcome outcome;
    for (const PhoneEvent& event : script_.events)
      PhoneOutcome::FromEvent(event.id, event.wParam, outcome);
    return outcome;
  }

 private:
  FakePhonePlatform& platform_;
  const uintptr_t tag_;
  WorkerConfig config_;
  PhoneScript script_;
  MessageSink* sink_ = nullptr;
  std::atomic<bool> abandon_{false};
  std::thread thread_;
};

}  // namespace

namespace {

class FakePortWatcher : public ModemPortWatcher {
 public:
  explicit FakePortWatcher(FakePhonePlatform& platform) : platform_(platform) {}
  ~FakePortWatcher() override { Stop(); }
  bool Start(Callback callback) override {
    ModemPorts ports;
    std::map<int, std::string> serials;
    {
      std::lock_guard<std::mutex> lock(platform_.mutex);
      ports = platform_.ports;
      serials = platform_.serials;
    }
    std::lock_guard<std::mutex> lock(platform_.watchMutex);
    platform_.watching = std::move(callback);
    for (int k = 0; k < ports.slotCount; ++k)
      platform_.watching(ports.comPorts[k], true, serials[ports.comPorts[k]]);
    return true;
  }
  void Stop() override {
    std::lock_guard<std::mutex> lock(platform_.watchMutex);
    platform_.watching = nullptr;
  }

 private:
  FakePhonePlatform& platform_;
};

}  // namespace

std::unique_ptr<ModemPortWatcher> FakePhonePlatform::CreatePortWatcher() {
  return std::make_unique<FakePortWatcher>(*this);
}

std::unique_ptr<PhoneFeeder> FakePhonePlatform::CreateFeeder(OperatorPrompt&) {
  auto made = std::make_unique<FakeFeeder>();
  feeder = made.get();
  return made;
}

std::unique_ptr<PhoneWorker> FakePhonePlatform::CreateWorker(uintptr_t tag) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++workersCreated;
  }
  return std::make_unique<FakePhoneWorker>(*this, tag);
}

int FakePalmTransport::OpenPort(const std::string& deviceName, uint32_t) {
  std::lock_guard<std::mutex> lock(mutex);
  opens.push_back(deviceName);
  if (!openAll || refused.count(deviceName)) return -1;
  const int handle = next++;
  open.insert(handle);
  return handle;
}

void FakePalmTransport::ReceiveBytes(int handle, uint8_t*, uint32_t, uint32_t* received) {
  std::unique_lock<std::mutex> lock(mutex);
  closed.wait(lock, [&] { return open.count(handle) == 0; });
  *received = 0;
}

int FakePalmTransport::ClosePort(int handle) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    open.erase(handle);
  }
  closed.notify_all();
  return 1;
}

PdaOutcome FakePdaPlatform::RunPdaWorker(const PdaJob& job) {
  PdaScript script;
  {
    std::lock_guard<std::mutex> lock(mutex);
    runs.push_back(
        PdaRun{job.slot, job.targetCode, job.deviceMode, job.view ? job.view->Length() : 0,
               job.view && job.view->Data() ? Crc32(job.view->Data(), 0, job.view->Length()) : 0,
               job.port ? job.port->DeviceName() : ""});
    const auto it = scripts.find(job.slot);
    if (it != scripts.end()) script = it->second;
  }
  SlotWriter& writer = job.console->Writer();
  PdaOutcome outcome;
  for (const std::string& part : script.parts) {
    writer.AppendSlotLog(job.slot, part);
    PdaPartResult result;
    for (PdaPartKind kind : {PdaPartKind::Resource, PdaPartKind::SmallRom, PdaPartKind::BigRom})
      if (part == PdaPartLogLine(kind)) result.kind = kind;
    outcome.parts.push_back(result);
  }
  outcome.nothingToSend =
      PlanPdaParts(job.deviceMode, job.targetCode, job.view ? job.view->Data() : nullptr,
                   job.view ? job.view->Length() : 0)
          .empty();
  if (script.dformat) {
    writer.SlotLog(job.slot, "[PDA:%d]DFormat Start\r\n", job.slot);
    outcome.parts.push_back(PdaPartResult{PdaPartKind::WholeFile, 0, true});
  }
  if (script.gate) script.gate->Pass([&] { return job.stop && job.stop->Requested(); });
  if (script.blockInReceive) {
    uint8_t response[30];
    job.port->Receive(response, sizeof response);
  }
  if (script.result == 1) {
    writer.SlotLog(job.slot, "[PDA:%d]Download Completed\r\n", job.slot);
    writer.SlotLog(job.slot, "========================================\r\n");
  }
  job.console->PdaDownloadEnded(job.slot, job.deviceMode, script.stillAttached);
  outcome.result = script.result;
  if (!outcome.parts.empty()) outcome.parts.back().result = script.result;
  return outcome;
}

std::string PalmName(uint32_t number) {
  return SimulatedPalmDeviceName(number);
}

ConsoleHarness::ConsoleHarness() {
  std::string pattern = (std::filesystem::temp_directory_path() / "k730-console-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  dir_ = pattern;
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"K730_SETTINGS_FILE", dir_ + "/settings.ini"}, {"K730_LOG_DIR", dir_ + "/logs"}}) {
    const char* old = std::getenv(name.c_str());
    savedEnv_.push_back({name, old ? old : std::string("\x01")});
    setenv(name.c_str(), value.c_str(), 1);
  }
  DownloaderDialog::Options options;
  options.stagingDirectory = dir_;
  options.recordDirectory = dir_ + "/logs";
  options.hostFileDirectory = dir_;
  console = std::make_unique<DownloaderDialog>(view, phone, pda, options);
}

ConsoleHarness::~ConsoleHarness() {
  view.Shutdown();
  if (thread_.joinable()) {
    console->RequestExit();
    thread_.join();
  }
  console.reset();
  for (const auto& [name, old] : savedEnv_) {
    if (old == "\x01") {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), old.c_str(), 1);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void ConsoleHarness::Open() {
  thread_ = std::thread([this] { result_ = console->Run(); });
  Sync();
}

void ConsoleHarness::Sync() {
  const size_t before = view.AuxiliaryCount();
  console->PostSysCommand(0x0010);
  view.WaitForAuxiliaryCount(before + 1);
}

void ConsoleHarness::Go(const JobForm& form) {
  view.SetForm(form);
  console->PostCommand(ctl::kGo);
}

int ConsoleHarness::Exit() {
  console->PostCommand(ctl::kExit);
  if (thread_.joinable()) thread_.join();
  return result_;
}

std::string ConsoleHarness::WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = dir_ + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::vector<uint8_t> MakeUnitedBinary(uint32_t phone, uint32_t ipl, uint32_t widebin,
                                      uint32_t resource) {
  ImageHeader header;
  header.headerSize = kUnitedHeaderSize;
  header.magic = IMAGE_MAGIC;
  header.headerVersion = kImageHeaderVersion;
  const uint32_t lengths[4] = {phone, ipl, widebin, resource};
  uint32_t offset = kUnitedHeaderSize;
  for (int k = 0; k < 4; ++k) {
    header.entries[k].offset = offset;
    header.entries[k].length = lengths[k];
    offset += lengths[k];
  }
  header.totalSize = offset;
  std::vector<uint8_t> bytes = WriteImageHeader(header, kUnitedEntryCount);
  bytes.resize(offset);
  for (uint32_t i = kUnitedHeaderSize; i < offset; ++i)
    bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  return bytes;
}

}  // namespace k730::testing
