#include "console/downloader_dialog.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "console/job_rules.h"
#include "image/file_io.h"
#include "image/image_formats.h"
#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"

namespace k730 {
namespace {

constexpr uint32_t kSlotGapMs = 1000;
constexpr uint32_t kFindPhoneWaitMs = 3000;
constexpr uint32_t kPdaPortWaitMs = 8000;
// A unit without a serial number is a new one when its port stayed away this
// long after its slot had ended (protocol ms): a handset rebooting into its
// new firmware is back well within it.
constexpr uint64_t kNewUnitAwayMs = 5000;
// In continuous operation a slot's kept text starts afresh at a new unit once
// it is this long; every unit's text is in its run record.
constexpr size_t kContinuousTextLimit = 1 << 20;
constexpr const char* kBanner = "KRV USB Downloader with PalmDriver\r\n";
constexpr const char* kBannerRule = "----------------------------------\r\n";
constexpr const char* kPdaRule = "========================================\r\n";
constexpr const char* kStagingName = "qpx_bin.tmp";
constexpr const char* kNotPalmLine = "Not a Palm OS Device Interface Notification...\r\n";
constexpr uint32_t kAboutCommand = 0x0010;
constexpr int kOkCommand = 1;
constexpr int kStatusClear = 2;
// The longest the loop sleeps without a timer due (real ms).
constexpr uint32_t kIdleWaitMs = 3600 * 1000;

bool ValidSlot(intptr_t slot) {
  return slot >= 0 && slot < kSlotCount;
}

bool IsOperatorInput(uint32_t id) {
  return id == msg::WM_COMMAND || id == msg::WM_SYSCOMMAND || id == msg::WM_DROPFILES ||
         id == msg::kRepeatChanged;
}

// Replaces path with the bytes in one step, so a reader never sees half a
// file; false with reason set.
bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t length,
                         std::string& reason) {
  OutputFile out;
  if (out.Create(path) && out.Write(data, length) && out.Commit()) return true;
  reason = out.Error();
  return false;
}

bool SettingIsOn(const std::string& value) {
  const std::string text = ToLowerAscii(value);
  return text == "1" || text == "yes" || text == "true" || text == "on";
}

// What the view shows for a unit that ended so (or never started).
SlotRunState RunStateOf(SlotOutcome::Result result) {
  switch (result) {
    case SlotOutcome::Result::Completed:
      return SlotRunState::Completed;
    case SlotOutcome::Result::Failed:
      return SlotRunState::Failed;
    case SlotOutcome::Result::NotStarted:
      break;
  }
  return SlotRunState::Idle;
}

bool Working(SlotStage stage) {
  return stage == SlotStage::LaunchPending || stage == SlotStage::PhoneRunning ||
         stage == SlotStage::PdaRequested || stage == SlotStage::PdaRunning;
}

}  // namespace

DownloaderDialog::DownloaderDialog(ConsoleView& view, PhonePlatform& phone, PdaPlatform& pda,
                                   Options options)
    : view_(view),
      phonePlatform_(phone),
      pdaPlatform_(pda),
      options_(std::move(options)),
      hostFiles_(options_.hostFileDirectory) {
  m_ImageBuffer = phonePlatform_.CreateFeeder(feederPrompt_);
  for (Slot& slot : slots_) slot.m_PalmPort.SetTransport(&pdaPlatform_.Transport());
  if (options_.writeRunRecords) {
    recorder_ = std::make_unique<RunRecorder>(
        options_.recordDirectory.empty() ? RunRecordDirectory() : options_.recordDirectory);
    recorder_->SetFailureHandler([this](const std::string& reason) {
      SlotLog(0, "[ERROR]Run record not written: %s\r\n", reason.c_str());
    });
  }
}

DownloaderDialog::~DownloaderDialog() {
  OnExit();
  recorder_.reset();
}

// ---------------------------------------------------------------------------
// The loop

int DownloaderDialog::Run() {
  consoleThread_ = std::this_thread::get_id();
  OnInitDialog();
  int result = ctl::kExit;
  Message message;
  while (TakeMessage(message, Admit::All)) {
    if (message.id == msg::WM_COMMAND &&
        (message.wParam == static_cast<uintptr_t>(ctl::kExit) || message.wParam == kOkCommand)) {
      if (message.wParam == kOkCommand) {
        ReadForm();
        result = kOkCommand;
      }
      break;
    }
    if (Stopping()) continue;  // exit was requested: only the exit command counts
    Dispatch(message);
  }
  OnExit();
  return result;
}

bool DownloaderDialog::Admitted(const Message& message, Admit admit) const {
  if (admit == Admit::All) return true;
  if (IsOperatorInput(message.id)) return false;
  return admit != Admit::NoOperatorInputNorLaunch ||
         (message.id != msg::WM_FIND_PHONE && message.id != msg::WM_START_PDA);
}

bool DownloaderDialog::HoldingTimerPending() const {
  return std::any_of(timers_.begin(), timers_.end(), [](const Timer& t) { return t.holds; });
}

bool DownloaderDialog::TakeMessage(Message& message, Admit admit) {
  for (;;) {
    if (!Stopping()) FireDueTimers();
    // On exit everything comes through: the exit command must not wait.
    Admit now = admit;
    if (Stopping()) {
      now = Admit::All;
    } else if (HoldingTimerPending()) {
      now = Admit::NoOperatorInputNorLaunch;
    }
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (!Admitted(*it, now)) continue;
      message = *it;
      held_.erase(it);
      return true;
    }
    uint32_t timeoutMs = kIdleWaitMs;
    if (!timers_.empty() && !Stopping()) {
      const auto due =
          std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
            return a.due < b.due;
          })->due;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
      timeoutMs = static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 0, kIdleWaitMs));
    }
    Message taken;
    if (!queue_.WaitMessage(taken, timeoutMs)) continue;  // a timer is due
    if (taken.id == kQuitMessage) return false;
    if (Admitted(taken, now)) {
      message = taken;
      return true;
    }
    held_.push_back(taken);
  }
}

void DownloaderDialog::FireDueTimers() {
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    auto due = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->due <= now && (due == timers_.end() || it->due < due->due)) due = it;
    }
    if (due == timers_.end()) return;
    const Timer timer = *due;
    timers_.erase(due);
    UpdateBusy();
    // What arrived during the wait is known before the procedure goes on.
    HandleDeviceNotices(UINT64_MAX);
    if (timer.kind == Timer::Kind::GoGap) {
      GoStep(timer.nextSlot);
    } else {
      OnSlotEvent(timer.event);
    }
    if (Stopping()) return;
  }
}

void DownloaderDialog::StartTimer(uint32_t ms, bool holds, const SlotEvent& event) {
  Timer timer;
  timer.kind = Timer::Kind::Slot;
  timer.due =
      std::chrono::steady_clock::now() + std::chrono::microseconds(ProcessClock().RealMicros(ms));
  timer.holds = holds;
  timer.event = event;
  timers_.push_back(timer);
  UpdateBusy();
}

void DownloaderDialog::StartGoGap(int nextSlot) {
  Timer timer;
  timer.kind = Timer::Kind::GoGap;
  timer.due = std::chrono::steady_clock::now() +
              std::chrono::microseconds(ProcessClock().RealMicros(kSlotGapMs));
  // The slots' launches are handled only once Go has posted all of them.
  timer.holds = true;
  timer.nextSlot = nextSlot;
  timers_.push_back(timer);
  UpdateBusy();
}

void DownloaderDialog::UpdateBusy() {
  const bool busy = HoldingTimerPending();
  if (busy == busy_) return;
  {
    std::lock_guard<std::mutex> lock(lock_);
    busy_ = busy;
  }
  view_.SetBusy(busy);
}

template <typename T>
T DownloaderDialog::ModalCall(const std::function<T()>& call, Admit admit) {
  struct Answer {
    std::mutex mutex;
    bool done = false;
    T value{};
  };
  auto answer = std::make_shared<Answer>();
  std::thread helper([this, call, answer] {
    T value = call();
    {
      std::lock_guard<std::mutex> lock(answer->mutex);
      answer->value = std::move(value);
      answer->done = true;
    }
    queue_.PostMessage(msg::kModalDone, 0, 0);
  });
  ++modalDepth_;
  Message message;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(answer->mutex);
      if (answer->done) break;
    }
    if (Stopping()) break;
    if (!TakeMessage(message, admit)) {
      queue_.PostQuit();  // for the outer loop
      break;
    }
    if (message.id == msg::kModalDone) continue;
    if (Stopping()) {
      // The exit command belongs to the outer loop.
      if (message.id == msg::WM_COMMAND) held_.push_front(message);
      break;
    }
    Dispatch(message);
  }
  --modalDepth_;
  helper.join();
  std::lock_guard<std::mutex> lock(answer->mutex);
  return answer->value;
}

MessageAnswer DownloaderDialog::ModalMessage(const std::string& text, MessageIcon icon,
                                             MessageButtons buttons, Admit admit) {
  return ModalCall<MessageAnswer>(
      [this, text, icon, buttons] { return view_.ShowMessage(text, icon, buttons); }, admit);
}

MessageAnswer DownloaderDialog::ModalPrompt::ShowMessage(const std::string& text, MessageIcon icon,
                                                         MessageButtons buttons) {
  if (std::this_thread::get_id() != console_.consoleThread_)
    return console_.view_.ShowMessage(text, icon, buttons);
  return console_.ModalMessage(text, icon, buttons, admit_);
}

void DownloaderDialog::Dispatch(const Message& m) {
  switch (m.id) {
    case msg::WM_COMMAND: {
      const int id = static_cast<int>(m.wParam);
      OnCommand(id);
      std::lock_guard<std::mutex> lock(payloadMutex_);
      commandsPending_.erase(id);
      view_.SetCommandPending(id, false);
      return;
    }
    case msg::WM_SYSCOMMAND:
      if ((m.wParam & 0xFFF0) == kAboutCommand)
        ModalCall<bool>([this] { return view_.RunAuxiliaryCommand(kAboutCommand); });
      return;
    case msg::WM_DEVICECHANGE:
      HandleDeviceNotices(static_cast<uint64_t>(m.lParam));
      return;
    case msg::WM_DROPFILES:
      OnDropFiles(m.lParam);
      return;
    case msg::kRepeatChanged:
      OnRepeat(m.wParam != 0);
      return;
    case msg::kPortChange:
      OnPortNotice();
      return;
    default:
      break;
  }
  if (!ValidSlot(m.lParam)) return;
  SlotEvent event{SlotEvent::Kind::PhoneReport, static_cast<int>(m.lParam), m.id, m.wParam};
  switch (m.id) {
    case msg::WM_FIND_PHONE:
      event.kind = SlotEvent::Kind::Launch;
      break;
    case msg::WM_START_PDA:
      event.kind = SlotEvent::Kind::StartPda;
      break;
    case msg::kPhoneWorkerDone:
      event.kind = SlotEvent::Kind::PhoneEnded;
      break;
    case msg::kPdaWorkerDone:
      event.kind = SlotEvent::Kind::PdaEnded;
      break;
    case msg::WM_PHONE_FINISH:
      event.kind = SlotEvent::Kind::PhoneFinished;
      break;
    case msg::WM_PHONE_CANCEL:
      event.kind = SlotEvent::Kind::PhoneCancelled;
      break;
    default:
      if (m.id < msg::kFirstPhoneEvent || m.id > msg::kLastPhoneEvent) return;
  }
  OnSlotEvent(event);
}

bool DownloaderDialog::PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  return queue_.PostMessage(id, wParam, lParam);
}

bool DownloaderDialog::PostCommand(int controlId) {
  std::lock_guard<std::mutex> lock(payloadMutex_);
  // The exit and OK commands are never handled by Dispatch: they are not kept.
  const bool kept = controlId != ctl::kExit && controlId != kOkCommand;
  if (kept && !commandsPending_.insert(controlId).second) return false;
  if (!queue_.PostMessage(msg::WM_COMMAND, static_cast<uintptr_t>(controlId), 0)) {
    if (kept) commandsPending_.erase(controlId);
    return false;
  }
  if (kept) view_.SetCommandPending(controlId, true);
  return true;
}

void DownloaderDialog::PostSysCommand(uint32_t command) {
  queue_.PostMessage(msg::WM_SYSCOMMAND, command, 0);
}

void DownloaderDialog::PostRepeat(bool on) {
  queue_.PostMessage(msg::kRepeatChanged, on ? 1 : 0, 0);
}

void DownloaderDialog::PostDropFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  intptr_t id = 0;
  {
    std::lock_guard<std::mutex> lock(payloadMutex_);
    id = nextDrop_++;
    droppedPaths_[id] = paths.front();
  }
  queue_.PostMessage(msg::WM_DROPFILES, 0, id);
}

void DownloaderDialog::PostDeviceChange(uint32_t event, const std::string& name, bool palmDevice) {
  uint64_t sequence = 0;
  {
    std::lock_guard<std::mutex> lock(payloadMutex_);
    sequence = nextNotice_++;
    notices_.push_back(DeviceNotice{sequence, event, name, palmDevice});
  }
  queue_.PostMessage(msg::WM_DEVICECHANGE, event, static_cast<intptr_t>(sequence));
}

void DownloaderDialog::RequestExit() {
  stop_.Request();
  PostCommand(ctl::kExit);
}

// ---------------------------------------------------------------------------
// Form binding

JobForm DownloaderDialog::ReadForm() {
  const JobForm form = view_.ReadForm();
  SetMembers(form);
  return form;
}

void DownloaderDialog::SetMembers(const JobForm& form) {
  std::lock_guard<std::mutex> lock(formMutex_);
  m_ImagePath = form.imagePath;
  m_DeviceMode = form.deviceMode;
  m_PhoneMode = form.phoneMode;
  m_PdaMode = form.pdaMode;
  m_ComPort = form.comPort;
}

JobForm DownloaderDialog::Members() const {
  std::lock_guard<std::mutex> lock(formMutex_);
  return JobForm{m_ImagePath, m_DeviceMode, m_PhoneMode, m_PdaMode, m_ComPort};
}

void DownloaderDialog::RefreshForm() {
  const JobForm form = Members();
  std::lock_guard<std::mutex> lock(writerMutex_);
  view_.RefreshForm(form);
}

void DownloaderDialog::DiscoverPhonePorts() {
  const ModemPorts ports = phonePlatform_.DiscoverPhonePorts();
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    m_ComPorts = ports.comPorts;
    m_SlotCount =
        ports.slotCount < 0 ? 0 : (ports.slotCount > kSlotCount ? kSlotCount : ports.slotCount);
    if (ports.slotCount > 0) m_ComPort = ports.comPort;
  }
  RefreshForm();
}

int DownloaderDialog::SlotCount() const {
  std::lock_guard<std::mutex> lock(formMutex_);
  return m_SlotCount;
}

int DownloaderDialog::ComPortOf(int slot) const {
  std::lock_guard<std::mutex> lock(formMutex_);
  return m_ComPorts[slot];
}

// ---------------------------------------------------------------------------
// Opening and operator commands

void DownloaderDialog::OnInitDialog() {
  RefreshForm();
  ReadForm();
  DiscoverPhonePorts();
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    m_ComPort = 0;
    m_DeviceMode = mode::kPdaPhone;
    m_PhoneMode = mode::kPhSkip;
    m_PdaMode = mode::kPdaSkip;
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    m_PhoneImage.Detach();
    m_PdaImage.Detach();
    images_ = RunImages{};
  }
  RefreshForm();
  OnDeviceRadio(mode::kPdaPhone);
  const int slotCount = SlotCount();
  for (int slot = 0; slot < slotCount; ++slot) {
    AppendSlotLog(slot, kBanner);
    AppendSlotLog(slot, kBannerRule);
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (Slot& slot : slots_) {
      slot.stage = SlotStage::Idle;
      slot.m_PdaAttached = false;
    }
  }
  EnableGo(true);
  m_DeviceNotify = pdaPlatform_.CreateWatcher();
  if (m_DeviceNotify) {
    m_DeviceNotify->SetNoteSink([this](const std::string& line) { AppendSlotLog(0, line); });
  }
  if (m_DeviceNotify && !m_DeviceNotify->Start(
                            [this](uint32_t event, const std::string& name) {
                              PostDeviceChange(event, name, !name.empty());
                            },
                            true)) {
    m_DeviceNotify.reset();
  }
  const std::string path = ReadSetting(kSettingUploadPath);
  const int port = LeadingDecimal(ReadSetting(kSettingUploadPort));
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    m_ImagePath = path;
    m_ComPort = port;
  }
  RefreshForm();
  view_.Opened();
}

void DownloaderDialog::OnCommand(int controlId) {
  const auto runWindow = [this, controlId] {
    return ModalCall<bool>([this, controlId] { return view_.RunAuxiliaryCommand(controlId); });
  };
  switch (controlId) {
    case ctl::kBrowse:
      OnBrowse();
      return;
    case ctl::kDevicePdaPhone:
      OnDeviceRadio(mode::kPdaPhone);
      return;
    case ctl::kDevicePhone:
      OnDeviceRadio(mode::kPhone);
      return;
    case ctl::kDevicePda:
      OnDeviceRadio(mode::kPda);
      return;
    case ctl::kGo:
      OnGo();
      return;
    case ctl::kModemPorts:
    case ctl::kDeviceManager:
      runWindow();
      return;
    case ctl::kImageMaker:
      if (runWindow()) AppendSlotLog(0, "(Phone+PDA) Combined File created.\r\n");
      return;
    case ctl::kConfiguration:
      if (runWindow()) AppendSlotLog(0, "QPX-k760 Downloader configuration done.\r\n");
      return;
    default:
      return;
  }
}

void DownloaderDialog::OnDeviceRadio(int deviceMode) {
  if (jobLocked_) return;
  ReadForm();
  int slotCount = 0;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    m_DeviceMode = deviceMode;
    slotCount = m_SlotCount;
  }
  {
    std::lock_guard<std::mutex> lock(writerMutex_);
    for (const ControlChange& change : DeviceModeControls(deviceMode, slotCount)) {
      if (change.kind == ControlChange::Kind::Enable) {
        view_.SetControlEnabled(change.id, change.on);
      } else {
        view_.SetControlVisible(change.id, change.on);
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    m_ImagePath.clear();
  }
  RefreshForm();
}

void DownloaderDialog::OnBrowse() {
  if (jobLocked_) return;
  const JobForm form = ReadForm();
  const BrowseChoice choice = BrowseDialogFor(form.deviceMode, form.phoneMode, form.pdaMode);
  if (!choice.dialog) {
    AppendSlotLog(0, choice.refusalLine);
    return;
  }
  const FileDialogSpec spec = *choice.dialog;
  const std::optional<std::string> chosen =
      ModalCall<std::optional<std::string>>([this, spec] { return view_.ChooseOpenFile(spec); });
  if (!chosen) return;
  std::string path = *chosen;
  InputFile file;
  if (!file.Open(path)) {
    ModalMessage(kFileAccessMessage, MessageIcon::Exclamation, MessageButtons::Ok);
    path.clear();
  } else if (file.Size() == 0 || file.Size() > spec.sizeLimit) {
    ModalMessage(kFileSizeMessage, MessageIcon::Exclamation, MessageButtons::Ok);
    path.clear();
  }
  file.Close();
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    m_ImagePath = path;
  }
  RefreshForm();
}

void DownloaderDialog::OnDropFiles(intptr_t payload) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(payloadMutex_);
    const auto it = droppedPaths_.find(payload);
    if (it == droppedPaths_.end()) return;
    path = std::move(it->second);
    droppedPaths_.erase(it);
  }
  if (jobLocked_) return;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    m_ImagePath = path;
  }
  queue_.PostMessage(msg::WM_FILE_DROPPED, 0, 0);
  // Shown at once: Go reads the form, and would otherwise replace the dropped
  // path with the edit's old content.
  RefreshForm();
}

// ---------------------------------------------------------------------------
// Go

bool DownloaderDialog::CheckJob() {
  JobForm job = Members();
  // A directory or a device is no image whatever its name ends in: it is
  // refused as the unreadable file it is, before the name is judged.
  const FileKind kind = job.imagePath.empty() ? FileKind::Missing : PathStatus(job.imagePath).kind;
  if (kind != FileKind::Missing && kind != FileKind::Regular) {
    RefuseLoad(kFileAccessLine);
    return false;
  }
  job.imagePath = ToLowerAscii(job.imagePath);
  const JobCheck check = CheckJobRules(job);
  switch (check.verdict) {
    case JobCheck::Verdict::MessageBox:
      ModalMessage(check.text, MessageIcon::Exclamation, MessageButtons::Ok);
      view_.JobRefused(check.text);
      return false;
    case JobCheck::Verdict::SlotLine:
      AppendSlotLog(0, check.text);
      view_.JobRefused(check.text);
      return false;
    case JobCheck::Verdict::Go:
      break;
  }
  const int slots = job.deviceMode == mode::kPdaPhone ? SlotCount() : 1;
  for (int slot = 0; slot < slots; ++slot) {
    ClearSlotLog(slot);
    SetSlotProgress(slot, 0, 0);
    ShowRunState(slot, SlotRunState::Idle);
  }
  return true;
}

void DownloaderDialog::RefuseLoad(const std::string& line) {
  AppendSlotLog(0, line);
  EnableGo(true);
  view_.JobRefused(line);
}

void DownloaderDialog::OnGo() {
  std::optional<RunEndNotice> ended;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (run_.active) {
      // Go is disabled while a run is in progress; a continuous run waiting
      // for its next units ends here and the new job starts.
      if (WorkLeftLocked() || !ContinuousLocked()) return;
      ended = EndRunLocked();
    }
  }
  DeliverRunEnd(std::move(ended));
  // Paths keep their case: on this platform a lower-cased path names another
  // file (or none). Only the checks of the ending ignore case.
  WriteSetting(kSettingUploadPath, ReadForm().imagePath);
  ReadForm();
  if (!CheckJob()) return;
  EnableGo(false);
  DiscoverPhonePorts();
  // The run's log text of each slot starts here (after CheckJob's clearing).
  std::array<size_t, kSlotCount> logOffsets{};
  {
    std::lock_guard<std::mutex> writer(writerMutex_);
    for (int slot = 0; slot < kSlotCount; ++slot) logOffsets[slot] = m_SlotText[slot].size();
  }
  const JobForm job = Members();
  const int slotCount = SlotCount();

  RunImages images;
  const std::string refusal = LoadRunImages(job, images);
  if (images.fileRead && job.deviceMode == mode::kPdaPhone)
    SlotLog(0, "Loading File(PH+PDA:%d bytes)\r\n", static_cast<int>(images.fileLength));
  if (!refusal.empty()) return RefuseLoad(refusal);

  std::vector<int> slots;
  if (job.deviceMode == mode::kPdaPhone) {
    for (int slot = 0; slot < slotCount; ++slot) slots.push_back(slot);
  } else {
    slots.push_back(0);
  }
  const uint32_t length = images.fileLength;
  bool continuous = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    images_ = std::move(images);
    if (images_.phone) m_PhoneImage.Attach(images_.phone, images_.phoneLength);
    if (images_.pda) m_PdaImage.Attach(images_.pda, images_.pdaLength);
    run_ = RunState{};
    run_.active = true;
    run_.job = job;
    run_.imageCrc = images_.crc;
    // The record names the file wherever the runner was started from.
    run_.imageFullPath = RealPath(job.imagePath);
    for (int slot : slots) {
      Slot& s = slots_[slot];
      s.unit = UnitRun{};
      s.unit.takesPart = true;
      s.unit.number = 1;
      s.unit.logOffset = logOffsets[slot];
      s.completed = s.failed = 0;
    }
    if (job.deviceMode == mode::kPda) {
      slots_[0].m_PdaView.Attach(m_PdaImage.Data(), m_PdaImage.Length());
      slots_[0].stage = SlotStage::PdaRequested;
    } else if (job.deviceMode == mode::kPhone) {
      slots_[0].m_PhoneView.Attach(m_PhoneImage.Data(), m_PhoneImage.Length());
      slots_[0].stage = SlotStage::LaunchPending;
    }
    continuous = m_Repeat;
  }
  feederLoaded_ = false;
  parallelRun_ = false;
  view_.RunStarted();
  for (int slot : slots) {
    view_.SetSlotUnitCounts(slot, 0, 0);
    ShowRunState(slot, SlotRunState::Running);
  }
  if (continuous) {
    StartPortWatcher();
    LockJob(true);
  }

  if (job.deviceMode == mode::kPda) {
    SlotLog(0, "Loading File(PDA:%d)\r\n", static_cast<int>(length));
    PostMessage(msg::WM_START_PDA, 0, 0);
    return;
  }
  if (job.deviceMode == mode::kPhone) {
    SlotLog(0, "Loading File(Phone:%d bytes)\r\n", static_cast<int>(length));
    ChooseRestartLocks(job.deviceMode);
    PostMessage(msg::WM_FIND_PHONE, 0, 0);
    return;
  }
  if (slotCount == 0) {
    // Nothing can start: the run ends here instead of holding Go and the
    // images until the program exits.
    AppendSlotLog(0, "[ERROR]No Phone Port found.\r\n");
    std::optional<RunEndNotice> notice;
    {
      std::lock_guard<std::mutex> lock(lock_);
      notice = EndRunLocked();
    }
    DeliverRunEnd(std::move(notice));
    return;
  }
  ChooseRestartLocks(job.deviceMode);
  GoStep(0);
}

void DownloaderDialog::GoStep(int slot) {
  uint32_t pdaLength = 0;
  uint32_t phoneLength = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!run_.active || run_.job.deviceMode != mode::kPdaPhone || slot >= SlotCount() ||
        !slots_[slot].unit.takesPart)
      return;
    Slot& s = slots_[slot];
    s.m_PhoneView.Attach(m_PhoneImage.Data(), m_PhoneImage.Length());
    s.m_PdaView.Attach(m_PdaImage.Data(), m_PdaImage.Length());
    s.stage = SlotStage::LaunchPending;
    pdaLength = s.m_PdaView.Length();
    phoneLength = s.m_PhoneView.Length();
  }
  SlotLog(slot, "Loading File(PDA:%d)\r\n", static_cast<int>(pdaLength));
  SlotLog(slot, "Loading File(Phone:%d bytes)\r\n", static_cast<int>(phoneLength));
  PostMessage(msg::WM_FIND_PHONE, 0, slot);
  StartGoGap(slot + 1);
}

// ---------------------------------------------------------------------------
// The slot state machine

void DownloaderDialog::OnSlotEvent(const SlotEvent& event) {
  const int slot = event.slot;
  switch (event.kind) {
    case SlotEvent::Kind::Launch:
      LaunchPhoneSlot(slot);
      return;
    case SlotEvent::Kind::LaunchWaitOver:
      FinishLaunch(slot);
      return;
    case SlotEvent::Kind::PhoneReport:
      LogPhoneEvent(event.id, event.code, slot);
      return;
    case SlotEvent::Kind::PhoneFinished:
      OnPhoneFinish(slot, false);
      return;
    case SlotEvent::Kind::PhoneCancelled:
      OnPhoneFinish(slot, true);
      return;
    case SlotEvent::Kind::PhoneEnded:
      OnPhoneEnded(slot, event.code);
      return;
    case SlotEvent::Kind::StartPda:
      StartPdaDownload(slot);
      return;
    case SlotEvent::Kind::PdaWaitOver:
      OpenPdaPort(slot);
      return;
    case SlotEvent::Kind::PdaEnded:
      OnPdaEnded(slot);
      return;
  }
}

void DownloaderDialog::ChooseRestartLocks(int deviceMode) {
  // Only the slots of a PDA+PHONE run restart handsets side by side.
  const bool wanted =
      deviceMode == mode::kPdaPhone &&
      (options_.parallelRestarts || SettingIsOn(ReadSetting(kSettingParallelRestarts)));
  ModemPorts ports;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    ports.comPorts = m_ComPorts;
    ports.slotCount = m_SlotCount;
    ports.comPort = m_ComPort;
  }
  const std::string obstacle = phonePlatform_.SetParallelRestarts(wanted, ports);
  if (!wanted) return;
  if (obstacle.empty()) {
    parallelRun_ = true;
    AppendSlotLog(0, "Parallel restarts: each handset restarts on its own port\r\n");
  } else {
    AppendSlotLog(0, FormatBounded(255,
                                   "[WARNING]Parallel restarts refused: %s; the handsets "
                                   "restart one at a time\r\n",
                                   obstacle.c_str()));
  }
}

bool DownloaderDialog::ParallelRestarts() const {
  return parallelRun_;
}

std::string DownloaderDialog::StagingPath() const {
  const std::string dir =
      options_.stagingDirectory.empty() ? CurrentDirectory() : options_.stagingDirectory;
  return dir + "/" + kStagingName;
}

void DownloaderDialog::LaunchPhoneSlot(int slot) {
  ReadForm();
  const uint8_t* phoneData = nullptr;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (slots_[slot].stage != SlotStage::LaunchPending || !m_PhoneImage.IsAttached() ||
        m_PhoneImage.Length() < kPhoneImageSize)
      return;  // not a launch of the current run
    phoneData = m_PhoneImage.Data();
  }
  Slot& s = slots_[slot];
  const uintptr_t tag = nextPhoneTag_++;
  s.m_PhoneThread.reset();  // a worker of an earlier run ends here
  s.m_PhoneThread = phonePlatform_.CreateWorker(tag);
  s.phoneTag = tag;
  SlotLog(slot, "[PHONE:%d]m_PhoneThread[%d] : %X\r\n", slot, slot,
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(s.m_PhoneThread.get())));
  const int comPort = ComPortOf(slot);
  {
    std::lock_guard<std::mutex> lock(lock_);
    s.unit.Start(comPort);
  }

  // The image cannot be released meanwhile: the pending launch is work left.
  // Every launch of a run stages the same phone half, so the feeder built by
  // the first one serves the rest: reopening it would pull the blocks away
  // from workers that are about to read them.
  s.feederReady = feederLoaded_;
  s.feederRefused = false;
  if (!s.feederReady) {
    const std::string path = StagingPath();
    std::string reason;
    if (!WriteFileAtomically(path, phoneData, kPhoneImageSize, reason)) {
      AppendSlotLog(slot, kFileAccessLine);
      AppendSlotLog(slot, "[ERROR]" + reason + "\r\n");  // names the file
    } else if (m_ImageBuffer->OpenImage(path) == 1) {
      s.feederReady = m_ImageBuffer->BuildBlockTable() == 1;
    } else {
      s.feederRefused = true;
    }
    feederLoaded_ = s.feederReady;
  }
  SlotLog(slot, "[PHONE:%d]Finding Phone.\r\n", slot);
  StartTimer(kFindPhoneWaitMs, !ParallelRestarts(), {SlotEvent::Kind::LaunchWaitOver, slot});
}

void DownloaderDialog::FinishLaunch(int slot) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (slots_[slot].stage != SlotStage::LaunchPending) return;
  }
  Slot& s = slots_[slot];
  const uint16_t status = ConfigurePhoneWorker(slot, s.feederReady);
  if ((status & 0xFFFF) == 255 && s.m_PhoneThread->StartDownload(slot)) {
    std::lock_guard<std::mutex> lock(lock_);
    s.stage = SlotStage::PhoneRunning;
    return;
  }

  SlotLog(slot, "[PHONE:%d]Phone not Found.\r\n", slot);
  // The line above is all the procedure says; what the console knows besides
  // keeps the operator from looking for a handset that is there.
  if (s.feederRefused) {
    const std::string why = m_ImageBuffer->Refusal();
    if (why.empty())
      SlotLog(slot, "[PHONE:%d]The phone image was refused.\r\n", slot);
    else
      SlotLog(slot, "[PHONE:%d]The phone image was refused: %s.\r\n", slot, why.c_str());
  }
  if ((status & 1) == 0) {
    const int comPort = ComPortOf(slot);
    const std::string holder = phonePlatform_.PortHolder(comPort);
    if (!holder.empty())
      SlotLog(slot, "[PHONE:%d]COM%d is held by another program: %s\r\n", slot, comPort,
              holder.c_str());
  }
  EndSlot(slot, SlotOutcome::Result::Failed, "Finding Phone");
}

uint16_t DownloaderDialog::ConfigurePhoneWorker(int slot, bool feederReady) {
  const JobForm form = ReadForm();
  const int pdaFollows =
      form.deviceMode == mode::kPdaPhone && form.pdaMode != mode::kPdaSkip ? 1 : 0;
  const uint32_t size = feederReady ? m_ImageBuffer->Size() : 0;
  uint32_t start = 0x10000;
  uint32_t byteCount = size > 0x10000 ? size - 0x10000 : 0;
  if (form.phoneMode == mode::kPhChNormal || form.phoneMode == mode::kPhChEmergency) {
    start = 0;
    byteCount = size;
  }
  PhoneWorker& worker = *slots_[slot].m_PhoneThread;
  worker.SetLinkOption(kPhoneLinkOption);
  worker.SetNotifyWindow(this);
  worker.SetPort(ComPortOf(slot));
  worker.SetBaudRate(static_cast<int>(kPhoneBaudRate));
  worker.SetMode(form.phoneMode, pdaFollows);
  worker.SetAuxOption(kPhoneAuxOption);
  // A feeder without blocks is never handed over: the worker then reports
  // itself not ready.
  if (feederReady) worker.SetImage(m_ImageBuffer.get());
  worker.SetRange(start, byteCount, 0);
  const uint16_t status = worker.ProbeReadiness();
  if (status == 255) SetSlotStatus(slot, kStatusPhone);
  return status;
}

void DownloaderDialog::LogPhoneEvent(uint32_t message, uintptr_t wParam, int slot) {
  switch (message) {
    case msg::WM_PHONE_STEP_FAIL:
      SlotLog(slot, "[PHONE:%d]%s Fail.\r\n", slot, StepName(wParam));
      return;
    case msg::WM_PHONE_STEP_OK:
      if (wParam > 2) SlotLog(slot, "[PHONE:%d]%s Ok.\r\n", slot, StepName(wParam));
      return;
    case msg::WM_PHONE_PORT_OK:
      SlotLog(slot, "[PHONE:%d]Port-COM%d-%d.\r\n", slot, slot, static_cast<int>(wParam));
      return;
    case msg::WM_PHONE_PORT_FAIL:
      // Go comes back with the run's end, not while other slots still run.
      SlotLog(slot, "[PHONE:%d]Port Fail-COM%d-%d.\r\n", slot, slot, static_cast<int>(wParam));
      return;
    case msg::WM_PHONE_START:
      SlotLog(slot, "[PHONE:%d]Download Start.\r\n", slot);
      return;
    case msg::WM_PHONE_PROGRESS:
      SetSlotProgress(slot, static_cast<uint32_t>(wParam), PhoneProgressPercent(wParam));
      return;
    case msg::WM_PHONE_WRITE_FAIL:
      SlotLog(slot, "\r\n[PHONE:%d]WRITE Fail-RESPONSE:%X.\r\n", slot,
              static_cast<unsigned>(wParam));
      return;
    case msg::WM_PHONE_STEP:
      SlotLog(slot, "[PHONE:%d]%s.\r\n", slot, StepName(wParam));
      if (wParam == kStepWrite) SetSlotPhase(slot, SlotPhase::PhoneWrite);
      return;
    case msg::WM_PHONE_WRITE_RETRY:
      SlotLog(slot, "\r\n[PHONE:%d]WRITE Retry-&%X.\r\n", slot, static_cast<unsigned>(wParam));
      return;
    case msg::WM_PHONE_ERASE_OK:
      SlotLog(slot, "[PHONE:%d]ERASE Ok.\r\n", slot);
      return;
    case msg::WM_PHONE_ERASE_FAIL:
      SlotLog(slot, "[PHONE:%d]ERASE Fail.\r\n", slot);
      return;
    default:
      return;  // 1128, 1129
  }
}

void DownloaderDialog::OnPhoneFinish(int slot, bool cancelled) {
  if (cancelled) {
    SlotLog(slot, "[PHONE:%d]Download Cancel.\r\n", slot);
  } else {
    SlotLog(slot, "[PHONE:%d]Download Finish.\r\n===========================\r\n", slot);
  }
  SetSlotStatus(slot, kStatusClear);
  SetSlotPhase(slot, SlotPhase::Other);

  const JobForm members = Members();
  bool postPda = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    Slot& s = slots_[slot];
    // Only a running phone slot ends here; a stray event changes nothing shared.
    if (s.stage != SlotStage::PhoneRunning) return;
    const int deviceMode = run_.active ? run_.job.deviceMode : members.deviceMode;
    postPda = !cancelled && deviceMode == mode::kPdaPhone && members.pdaMode != mode::kPdaSkip;
    if (postPda) {
      s.m_PhoneView.Detach();
      s.stage = SlotStage::PdaRequested;
    }
  }
  if (!postPda)
    return EndSlot(slot, cancelled ? SlotOutcome::Result::Failed : SlotOutcome::Result::Completed,
                   "Download Cancel");
  CloseFeederIfIdle();
  PostMessage(msg::WM_START_PDA, 0, slot);
}

void DownloaderDialog::OnPhoneEnded(int slot, uintptr_t tag) {
  Slot& s = slots_[slot];
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (s.stage != SlotStage::PhoneRunning || s.phoneTag != tag || !s.m_PhoneThread) return;
  }
  // The worker stopped on a failure (it posts no finish then): the slot ends
  // for the run, so the run can end and Go come back.
  const PhoneOutcome outcome = s.m_PhoneThread->Outcome();
  EndSlot(slot, SlotOutcome::Result::Failed,
          outcome.Completed() ? std::string("phone download") : outcome.FailedStep());
}

void DownloaderDialog::StartPdaDownload(int slot) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (slots_[slot].stage != SlotStage::PdaRequested) return;  // not requested by this run
  }
  AppendSlotLog(slot, kPdaRule);
  SlotLog(slot, "[PDA:%d]Start PDA Download\r\n", slot);
  StartTimer(kPdaPortWaitMs, !ParallelRestarts(), {SlotEvent::Kind::PdaWaitOver, slot});
}

void DownloaderDialog::OpenPdaPort(int slot) {
  Slot& s = slots_[slot];
  bool attached = false;
  std::string name;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (s.stage != SlotStage::PdaRequested) return;
    attached = s.m_PdaAttached;
    name = s.m_PdaDeviceName;
  }
  bool opened = false;
  if (attached) {
    // A port left open by an earlier run is closed before it is opened again.
    if (s.m_PalmPort.IsOpen()) s.m_PalmPort.Close();
    opened = s.m_PalmPort.Open(name, kPalmCreatorId) == 1;
    SlotLog(slot, opened ? "[PDA:%d]USB Port Open\r\n" : "[PDA:%d]USB Port Open Fail\r\n", slot);
  } else {
    SlotLog(slot, "[ERR:%d]Please Reconnect USB cable\r\n", slot);
  }
  const int comPort = ComPortOf(slot);
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!s.unit.started) s.unit.Start(opened ? comPort : s.unit.comPort);
  }
  if (!opened) {
    return EndSlot(slot, SlotOutcome::Result::Failed, attached ? "USB Port Open" : "USB cable");
  }

  SetSlotStatus(slot, kStatusPda);
  RefreshForm();
  JoinPdaThread(slot);  // an earlier, finished run
  s.pdaStop = std::make_unique<StopSignal>();
  const JobForm members = Members();
  PdaJob job;
  job.slot = slot;
  job.console = this;
  job.port = &s.m_PalmPort;
  job.view = &s.m_PdaView;
  job.targetCode = members.pdaMode;
  job.stop = s.pdaStop.get();
  {
    std::lock_guard<std::mutex> lock(lock_);
    job.deviceMode = run_.active ? run_.job.deviceMode : members.deviceMode;
    s.stage = SlotStage::PdaRunning;
    s.pdaOutcome = PdaOutcome{};
    s.unit.palmDevice = name;
    // In device mode PDA the handheld is the unit: its serial number tells
    // the next one apart (the handheld arrived before Go, outside the run).
    if (job.deviceMode == mode::kPda && s.unit.serial.empty())
      s.unit.serial = UsbSerialOfPalmDeviceName(name);
  }
  s.pdaThread = std::thread([this, slot, job] { RunPdaWorker(slot, job); });
}

void DownloaderDialog::RunPdaWorker(int slot, PdaJob job) {
  const PdaOutcome outcome = pdaPlatform_.RunPdaWorker(job);
  {
    std::lock_guard<std::mutex> lock(lock_);
    slots_[slot].pdaOutcome = outcome;
  }
  // The slot's end is the console thread's, like every change of its stage.
  PostMessage(msg::kPdaWorkerDone, 0, slot);
}

void DownloaderDialog::PdaDownloadEnded(int slot, int /*deviceMode*/, bool stillAttached) {
  if (!ValidSlot(slot)) return;
  std::lock_guard<std::mutex> lock(lock_);
  slots_[slot].m_PdaAttached = stillAttached;
  slots_[slot].m_PdaView.Detach();
}

void DownloaderDialog::JoinPdaThread(int slot) {
  if (slots_[slot].pdaThread.joinable()) slots_[slot].pdaThread.join();
}

void DownloaderDialog::OnPdaEnded(int slot) {
  JoinPdaThread(slot);
  PdaOutcome outcome;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (slots_[slot].stage != SlotStage::PdaRunning) return;
    outcome = slots_[slot].pdaOutcome;
  }
  EndSlot(slot, outcome.Completed() ? SlotOutcome::Result::Completed : SlotOutcome::Result::Failed,
          outcome.FailedStep());
}

// ---------------------------------------------------------------------------
// Slot end and run end

void DownloaderDialog::CloseFeeder() {
  m_ImageBuffer->Close();
  feederLoaded_ = false;
}

void DownloaderDialog::CloseFeederIfIdle() {
  // A launch waiting for its handset keeps the feeder it may have built.
  bool idle = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    idle = !PhoneWorkLeftLocked();
  }
  if (idle && feederLoaded_) CloseFeeder();
}

bool DownloaderDialog::PhoneWorkLeftLocked() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) {
    return s.stage == SlotStage::LaunchPending || s.stage == SlotStage::PhoneRunning;
  });
}

bool DownloaderDialog::WorkLeftLocked() const {
  // A Palm device that is merely attached is no work of the run: with the PDA
  // mode Skip it would otherwise hold the run forever.
  return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return Working(s.stage); });
}

bool DownloaderDialog::EndSlotLocked(int slot, SlotOutcome::Result result,
                                     const std::string& failedStep,
                                     std::vector<SlotRecord>& records) {
  Slot& s = slots_[slot];
  s.m_PhoneView.Detach();
  s.m_PdaView.Detach();
  s.stage = SlotStage::Ended;
  UnitRun& unit = s.unit;
  if (!run_.active || !unit.takesPart || unit.ended) return false;
  unit.ended = true;
  unit.result = result;
  unit.failedStep = result == SlotOutcome::Result::Failed ? failedStep : "";
  unit.endTime = std::chrono::steady_clock::now();
  ++(result == SlotOutcome::Result::Completed ? s.completed : s.failed);
  run_.unitsEnded.push_back(SlotOutcome{slot, result, unit.failedStep, unit.number});
  // In continuous operation every unit's record is written when it ends.
  if (ContinuousLocked()) {
    records.push_back(RecordOfLocked(slot));
    unit.recorded = true;
  }
  return true;
}

void DownloaderDialog::EndSlot(int slot, SlotOutcome::Result result,
                               const std::string& failedStep) {
  std::vector<SlotRecord> records;
  std::optional<RunEndNotice> notice;
  bool waiting = false;
  bool ended = false;
  int completed = 0;
  int failed = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    ended = EndSlotLocked(slot, result, failedStep, records);
    completed = slots_[slot].completed;
    failed = slots_[slot].failed;
    if (!WorkLeftLocked()) {
      if (ContinuousLocked()) {
        waiting = true;
      } else {
        notice = EndRunLocked();
      }
    }
  }
  CloseFeederIfIdle();
  if (ended) ShowRunState(slot, RunStateOf(result));
  view_.SetSlotUnitCounts(slot, completed, failed);
  if (!records.empty() && recorder_) recorder_->Submit(std::move(records));
  if (waiting) {
    // Between units the operator may change the job and press Go.
    LockJob(false);
    EnableGo(true);
  }
  DeliverRunEnd(std::move(notice));
}

SlotRecord DownloaderDialog::RecordOfLocked(int slot) {
  const UnitRun& unit = slots_[slot].unit;
  SlotRecord record;
  record.dateTime = unit.startedAt.empty() ? LocalDateTime() : unit.startedAt;
  record.slot = slot;
  record.comPort = unit.comPort;
  record.palmDevice = unit.palmDevice;
  record.imagePath = run_.imageFullPath;
  record.imageCrc = run_.imageCrc;
  record.deviceMode = run_.job.deviceMode;
  record.phoneMode = run_.job.phoneMode;
  record.pdaMode = run_.job.pdaMode;
  switch (unit.result) {
    case SlotOutcome::Result::Completed:
      record.result = "completed";
      break;
    case SlotOutcome::Result::Failed:
      record.result = "failed at " + unit.failedStep;
      break;
    case SlotOutcome::Result::NotStarted:
      record.result = "not started";
      break;
  }
  if (unit.started)
    record.durationSeconds = std::chrono::duration<double>(unit.endTime - unit.startTime).count();
  std::lock_guard<std::mutex> writer(writerMutex_);
  const std::string& text = m_SlotText[slot];
  record.logText = unit.logOffset <= text.size() ? text.substr(unit.logOffset) : text;
  return record;
}

std::optional<DownloaderDialog::RunEndNotice> DownloaderDialog::EndRunLocked() {
  for (Slot& s : slots_) {
    s.m_PhoneView.Detach();
    s.m_PdaView.Detach();
  }
  m_PhoneImage.Detach();
  m_PdaImage.Detach();
  images_ = RunImages{};
  EnableGo(true);
  if (!run_.active) return std::nullopt;

  RunEndNotice notice;
  const auto now = std::chrono::steady_clock::now();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    Slot& s = slots_[slot];
    UnitRun& unit = s.unit;
    for (const SlotOutcome& ended : run_.unitsEnded) {
      if (ended.slot == slot) notice.summary.slots.push_back(ended);
    }
    if (unit.takesPart && !unit.ended) {
      if (unit.started) {
        unit.result = SlotOutcome::Result::Failed;
        if (unit.failedStep.empty()) unit.failedStep = "unfinished";
        unit.endTime = now;
      }
      notice.summary.slots.push_back(SlotOutcome{slot, unit.result, unit.failedStep, unit.number});
    }
    if (unit.takesPart && !unit.recorded) {
      notice.records.push_back(RecordOfLocked(slot));
      unit.recorded = true;
    }
    s.stage = SlotStage::Idle;
  }
  run_.active = false;
  return notice;
}

void DownloaderDialog::DeliverRunEnd(std::optional<RunEndNotice> notice) {
  if (!notice) return;
  StopPortWatcher();
  LockJob(false);
  if (recorder_) recorder_->Submit(std::move(notice->records));
  // Units the run's end cut short, or never started, end here for the view;
  // a slot already shown ended keeps what it shows.
  std::array<std::optional<SlotOutcome::Result>, kSlotCount> last{};
  for (const SlotOutcome& outcome : notice->summary.slots)
    if (ValidSlot(outcome.slot)) last[outcome.slot] = outcome.result;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (last[slot]) ShowRunState(slot, RunStateOf(*last[slot]));
  }
  view_.RunEnded(notice->summary);
}

// ---------------------------------------------------------------------------
// Continuous operation

bool DownloaderDialog::ContinuousLocked() const {
  return run_.active && m_Repeat && watching_;
}

void DownloaderDialog::OnRepeat(bool on) {
  std::optional<RunEndNotice> notice;
  bool active = false;
  bool working = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    m_Repeat = on;
    active = run_.active;
    working = WorkLeftLocked();
    // Unticked: the running units finish, no new one starts.
    if (active && !on && !working) notice = EndRunLocked();
  }
  if (active && on) {
    StartPortWatcher();
    if (working) LockJob(true);
  }
  DeliverRunEnd(std::move(notice));
}

void DownloaderDialog::StartPortWatcher() {
  int deviceMode = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    deviceMode = run_.job.deviceMode;
  }
  bool watching = false;
  if (deviceMode == mode::kPda) {
    // The handheld's leaving and arriving tell the units apart.
    watching = m_DeviceNotify != nullptr;
  } else {
    if (!portWatcher_) {
      portWatcher_ = phonePlatform_.CreatePortWatcher();
      if (portWatcher_ &&
          !portWatcher_->Start([this](int comNumber, bool present, const std::string& serial) {
            {
              std::lock_guard<std::mutex> lock(payloadMutex_);
              portNotices_.push_back(PortNotice{comNumber, present, serial});
            }
            queue_.PostMessage(msg::kPortChange, 0, 0);
          }))
        portWatcher_.reset();
    }
    watching = portWatcher_ != nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    watching_ = watching;
  }
  if (!watching)
    AppendSlotLog(
        0, "[WARNING]Repeat: handsets cannot be watched here; the run ends with its units\r\n");
}

void DownloaderDialog::StopPortWatcher() {
  if (portWatcher_) {
    portWatcher_->Stop();
    portWatcher_.reset();
  }
  {
    std::lock_guard<std::mutex> lock(payloadMutex_);
    portNotices_.clear();
  }
  std::lock_guard<std::mutex> lock(lock_);
  watching_ = false;
}

void DownloaderDialog::OnPortNotice() {
  PortNotice notice;
  {
    std::lock_guard<std::mutex> lock(payloadMutex_);
    if (portNotices_.empty()) return;
    notice = std::move(portNotices_.front());
    portNotices_.pop_front();
  }
  int slot = kNoSlot;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    for (int k = 0; k < m_SlotCount && k < kSlotCount; ++k) {
      if (m_ComPorts[k] == notice.comNumber) slot = k;
    }
  }
  if (slot == kNoSlot) return;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (run_.job.deviceMode == mode::kPda) return;
  }
  UnitPresence(slot, notice.present, notice.serial);
}

void DownloaderDialog::UnitPresence(int slot, bool present, const std::string& serial) {
  bool newUnit = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!ContinuousLocked()) return;
    Slot& s = slots_[slot];
    UnitRun& unit = s.unit;
    if (!unit.takesPart) return;
    if (s.stage != SlotStage::Ended) {
      // A handset that leaves and comes back inside its run (a restart) is
      // the same unit; the first report names it.
      if (present && unit.serial.empty()) unit.serial = serial;
      return;
    }
    if (!present) {
      if (!unit.awayAfterEnd) {
        unit.awayAfterEnd = true;
        unit.awaySince = TickCount();
      }
      return;
    }
    if (!serial.empty() && !unit.serial.empty()) {
      newUnit = serial != unit.serial;
    } else {
      newUnit = unit.awayAfterEnd && TickCount() - unit.awaySince >= kNewUnitAwayMs;
    }
    unit.awayAfterEnd = false;
  }
  if (newUnit) StartUnit(slot, serial);
}

void DownloaderDialog::StartUnit(int slot, const std::string& serial) {
  if (SlotText(slot).size() > kContinuousTextLimit) ClearSlotLog(slot);
  int number = 0;
  int deviceMode = 0;
  JobForm job;
  {
    std::lock_guard<std::mutex> lock(lock_);
    number = slots_[slot].unit.number + 1;
    deviceMode = run_.job.deviceMode;
    job = run_.job;
  }
  SlotLog(slot, "[SLOT:%d]Unit %d\r\n", slot, number);
  SetSlotProgress(slot, 0, 0);
  SetSlotStatus(slot, kStatusClear);
  ShowRunState(slot, SlotRunState::Running);
  size_t offset = 0;
  {
    std::lock_guard<std::mutex> writer(writerMutex_);
    offset = m_SlotText[slot].size();
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    Slot& s = slots_[slot];
    s.unit = UnitRun{};
    s.unit.takesPart = true;
    s.unit.number = number;
    s.unit.serial = serial;
    s.unit.logOffset = offset;
    if (deviceMode != mode::kPda) s.m_PhoneView.Attach(m_PhoneImage.Data(), m_PhoneImage.Length());
    if (deviceMode != mode::kPhone) s.m_PdaView.Attach(m_PdaImage.Data(), m_PdaImage.Length());
    s.stage = deviceMode == mode::kPda ? SlotStage::PdaRequested : SlotStage::LaunchPending;
  }
  // The unit gets the job of Go, whatever the form was changed to meanwhile.
  SetMembers(job);
  RefreshForm();
  LockJob(true);
  EnableGo(false);
  PostMessage(deviceMode == mode::kPda ? msg::WM_START_PDA : msg::WM_FIND_PHONE, 0, slot);
}

void DownloaderDialog::LockJob(bool locked) {
  if (locked == jobLocked_) return;
  jobLocked_ = locked;
  std::vector<int> ids = {ctl::kBrowse, ctl::kPortSpin};
  ids.insert(ids.end(), ctl::kDeviceRadios.begin(), ctl::kDeviceRadios.end());
  const JobForm form = Members();
  const int slotCount = SlotCount();
  std::lock_guard<std::mutex> lock(writerMutex_);
  view_.SetControlEnabled(ctl::kRepeat, true);
  if (locked) {
    ids.insert(ids.end(), ctl::kPhoneRadios.begin(), ctl::kPhoneRadios.end());
    ids.insert(ids.end(), ctl::kPdaRadios.begin(), ctl::kPdaRadios.end());
    for (int id : ids) view_.SetControlEnabled(id, false);
    return;
  }
  for (int id : ids) view_.SetControlEnabled(id, true);
  for (const ControlChange& change : DeviceModeControls(form.deviceMode, slotCount)) {
    if (change.kind == ControlChange::Kind::Enable) view_.SetControlEnabled(change.id, change.on);
  }
}

// ---------------------------------------------------------------------------
// Device arrival and removal

void DownloaderDialog::HandleDeviceNotices(uint64_t upTo) {
  // A box a handler shows runs the loop meanwhile: the notices after it wait
  // for this one, in order.
  if (inDeviceNotices_) return;
  inDeviceNotices_ = true;
  for (;;) {
    DeviceNotice notice;
    {
      std::lock_guard<std::mutex> lock(payloadMutex_);
      if (notices_.empty() || notices_.front().sequence > upTo) break;
      notice = std::move(notices_.front());
      notices_.pop_front();
    }
    if (Stopping()) continue;
    OnDeviceChange(notice);
  }
  inDeviceNotices_ = false;
}

void DownloaderDialog::OnDeviceChange(const DeviceNotice& notice) {
  ReadForm();
  if (notice.event != msg::DBT_DEVICEARRIVAL && notice.event != msg::DBT_DEVICEREMOVECOMPLETE)
    return;
  if (!notice.palmDevice) {
    AppendSlotLog(0, kNotPalmLine);
    return;
  }
  int deviceMode = 0;
  int comPort = 0;
  int slotCount = 0;
  std::array<int, kComPortsSize> comPorts{};
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    deviceMode = m_DeviceMode;
    comPort = m_ComPort;
    slotCount = m_SlotCount;
    comPorts = m_ComPorts;
  }
  bool pdaRun = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    pdaRun = run_.active && run_.job.deviceMode == mode::kPda;
  }
  const std::string name = notice.name.substr(0, kPalmDeviceNameMax);

  if (notice.event == msg::DBT_DEVICEARRIVAL) {
    const int slot =
        ArrivalSlot(deviceMode, comPorts.data(), slotCount, DeviceNumberFromName(name));
    if (!ValidSlot(slot)) return;
    {
      std::lock_guard<std::mutex> lock(lock_);
      slots_[slot].m_PdaDeviceName = name;
      slots_[slot].m_PdaAttached = true;
      slots_[slot].arrivalOrder = ++pdaArrivals_;
    }
    AppendSlotLog(slot, "GOT DBT_DEVICEARRIVAL EVENT...\r\n");
    if (pdaRun && slot == 0) UnitPresence(0, true, UsbSerialOfPalmDeviceName(name));
    return;
  }

  // The slot the removed handheld arrived at last (its download may have
  // ended since). The mapping below computes a slot from the port base, which
  // need not be the one arrival chose: the removal would then clear a slot
  // whose own handheld is still there and leave the removed one marked
  // attached. Names stay after a removal, so an older slot may still hold it.
  int holder = kNoSlot;
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (int slot = 0; slot < slotCount && slot < kSlotCount; ++slot) {
      const Slot& s = slots_[slot];
      if (s.m_PdaDeviceName == name && s.arrivalOrder != 0 &&
          (holder == kNoSlot || s.arrivalOrder > slots_[holder].arrivalOrder))
        holder = slot;
    }
  }
  if (holder != kNoSlot) {
    // The mapping still decides whether the event is refused (MAXPORT).
    if (!ValidSlot(RemovalSlot(deviceMode, comPort, slotCount, DeviceNumberFromName(name),
                               consolePrompt_)))
      return;
    {
      std::lock_guard<std::mutex> lock(lock_);
      slots_[holder].m_PdaAttached = false;
    }
    AppendSlotLog(holder, "GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n");
    if (pdaRun && holder == 0) UnitPresence(0, false, "");
    return;
  }

  for (int slot = 0; slot < slotCount; ++slot) {
    if (slots_[slot].m_PalmPort.DeviceName() != name) continue;
    const int k =
        RemovalSlot(deviceMode, comPort, slotCount, DeviceNumberFromName(name, 3), consolePrompt_);
    if (!ValidSlot(k)) return;
    std::lock_guard<std::mutex> lock(lock_);
    slots_[k].m_PdaDeviceName = "NotConnected";
    break;
  }
  const int k =
      RemovalSlot(deviceMode, comPort, slotCount, DeviceNumberFromName(name), consolePrompt_);
  if (!ValidSlot(k)) return;
  {
    std::lock_guard<std::mutex> lock(lock_);
    slots_[k].m_PdaDeviceName = name;
    slots_[k].m_PdaAttached = false;
  }
  AppendSlotLog(k, "GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n");
  if (pdaRun && k == 0) UnitPresence(0, false, "");
}

// ---------------------------------------------------------------------------
// Exit

void DownloaderDialog::OnExit() {
  if (exited_) return;
  exited_ = true;
  stop_.Request();
  timers_.clear();
  UpdateBusy();
  StopPortWatcher();
  if (m_DeviceNotify) {
    m_DeviceNotify->Stop();
    m_DeviceNotify.reset();
  }
  // Stop every worker first: closing a Palm port ends a transfer blocked on it.
  for (Slot& s : slots_) {
    if (s.pdaStop) s.pdaStop->Request();
    if (s.m_PalmPort.IsOpen()) s.m_PalmPort.Close();
    if (s.m_PhoneThread) s.m_PhoneThread->RequestQuit();
  }
  for (int slot = 0; slot < kSlotCount; ++slot) JoinPdaThread(slot);
  for (Slot& s : slots_) s.m_PhoneThread.reset();
  // No worker can read the images now.
  std::vector<SlotRecord> records;
  std::optional<RunEndNotice> notice;
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (int slot = 0; slot < kSlotCount; ++slot) {
      Slot& s = slots_[slot];
      // A PDA worker that returned before its end was handled.
      if (s.stage == SlotStage::PdaRunning)
        EndSlotLocked(
            slot,
            s.pdaOutcome.Completed() ? SlotOutcome::Result::Completed : SlotOutcome::Result::Failed,
            s.pdaOutcome.FailedStep(), records);
      if (run_.active && s.unit.takesPart && s.unit.started)
        EndSlotLocked(slot, SlotOutcome::Result::Failed, "exit", records);
    }
    notice = EndRunLocked();
  }
  if (!records.empty() && recorder_) recorder_->Submit(std::move(records));
  DeliverRunEnd(std::move(notice));
  if (m_ImageBuffer) CloseFeeder();
}

// ---------------------------------------------------------------------------
// Write operations

void DownloaderDialog::AppendSlotLog(int slot, const std::string& text) {
  if (!ValidSlot(slot)) return;
  std::lock_guard<std::mutex> lock(writerMutex_);
  m_SlotText[slot] += text;
  view_.AppendSlotText(slot, text);
}

void DownloaderDialog::ClearSlotLog(int slot) {
  if (!ValidSlot(slot)) return;
  std::lock_guard<std::mutex> lock(writerMutex_);
  m_SlotText[slot].clear();
  view_.ClearSlotText(slot);
}

void DownloaderDialog::SetSlotProgress(int slot, uint32_t /*bytes*/, uint32_t percent) {
  if (!ValidSlot(slot)) return;
  std::lock_guard<std::mutex> lock(writerMutex_);
  m_ProgressValue[slot] = percent;
  view_.SetSlotProgress(slot, percent);
}

void DownloaderDialog::SetSlotStatus(int slot, int kind) {
  if (!ValidSlot(slot)) return;
  const int port = ComPortOf(slot);
  std::string text;
  if (kind == kStatusPhone) {
    text = FormatBounded(32, "PH:%d", port);
  } else if (kind == kStatusPda) {
    text = FormatBounded(32, "PDA:%d", port);
  }
  const JobForm form = Members();
  std::lock_guard<std::mutex> lock(writerMutex_);
  view_.SetSlotStatusText(slot, text);
  view_.RefreshForm(form);
}

void DownloaderDialog::SetSlotPhase(int slot, SlotPhase phase) {
  if (!ValidSlot(slot)) return;
  std::lock_guard<std::mutex> lock(writerMutex_);
  view_.SetSlotPhase(slot, phase);
}

void DownloaderDialog::ShowRunState(int slot, SlotRunState state) {
  if (!ValidSlot(slot)) return;
  std::lock_guard<std::mutex> lock(writerMutex_);
  view_.SetSlotRunState(slot, state);
}

void DownloaderDialog::EnableGo(bool on) {
  std::lock_guard<std::mutex> lock(writerMutex_);
  goEnabled_ = on;
  view_.SetControlEnabled(ctl::kGo, on);
}

std::string DownloaderDialog::FlushRunRecords() {
  if (!recorder_) return "";
  recorder_->Flush();
  return recorder_->FirstFailure();
}

std::string DownloaderDialog::SlotText(int slot) const {
  if (!ValidSlot(slot)) return "";
  std::lock_guard<std::mutex> lock(writerMutex_);
  return m_SlotText[slot];
}

uint32_t DownloaderDialog::ProgressValue(int slot) const {
  if (!ValidSlot(slot)) return 0;
  std::lock_guard<std::mutex> lock(writerMutex_);
  return m_ProgressValue[slot];
}

ConsoleSnapshot DownloaderDialog::Snapshot() const {
  ConsoleSnapshot s;
  std::lock_guard<std::mutex> lock(lock_);
  {
    std::lock_guard<std::mutex> form(formMutex_);
    s.job = JobForm{m_ImagePath, m_DeviceMode, m_PhoneMode, m_PdaMode, m_ComPort};
    s.slotCount = m_SlotCount;
    s.comPorts = m_ComPorts;
  }
  for (int k = 0; k < kSlotCount; ++k) {
    const Slot& slot = slots_[k];
    s.stage[k] = slot.stage;
    s.phoneRunning[k] = slot.stage == SlotStage::PhoneRunning;
    s.pdaRequested[k] = slot.stage == SlotStage::PdaRequested;
    s.pdaRunning[k] = slot.stage == SlotStage::PdaRunning;
    s.launchPending[k] = slot.stage == SlotStage::LaunchPending;
    s.pdaAttached[k] = slot.m_PdaAttached;
    s.pdaDeviceName[k] = slot.m_PdaDeviceName;
    s.phoneViewAttached[k] = slot.m_PhoneView.IsAttached();
    s.pdaViewAttached[k] = slot.m_PdaView.IsAttached();
    s.phoneViewLength[k] = slot.m_PhoneView.Length();
    s.pdaViewLength[k] = slot.m_PdaView.Length();
    s.unitsCompleted[k] = slot.completed;
    s.unitsFailed[k] = slot.failed;
  }
  s.phoneImageLoaded = m_PhoneImage.IsAttached();
  s.pdaImageLoaded = m_PdaImage.IsAttached();
  s.phoneImageSize = m_PhoneImage.Length();
  s.pdaImageSize = m_PdaImage.Length();
  s.runActive = run_.active;
  s.repeat = m_Repeat;
  s.busy = busy_;
  std::lock_guard<std::mutex> writer(writerMutex_);
  s.goEnabled = goEnabled_;
  return s;
}

}  // namespace k730
