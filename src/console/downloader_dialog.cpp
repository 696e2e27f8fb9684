#include "console/downloader_dialog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "console/job_rules.h"
#include "core/file_access.h"
#include "image/crc32.h"
#include "image/file_io.h"
#include "image/image_formats.h"
#include "pda/palm_device_map.h"
#include "pda/palm_device_watcher.h"
#include "pda/pda_worker.h"

namespace k730 {
namespace {

constexpr uint32_t kSlotGapMs = 1000;
constexpr uint32_t kFindPhoneWaitMs = 3000;
constexpr uint32_t kPdaPortWaitMs = 8000;
constexpr const char* kBanner = "KRV USB Downloader with PalmDriver\r\n";
constexpr const char* kBannerRule = "----------------------------------\r\n";
constexpr const char* kPdaRule = "========================================\r\n";
constexpr const char* kStagingName = "qpx_bin.tmp";
constexpr const char* kFileAccessLine = "[ERROR]File Access error!\r\n";
constexpr const char* kNotPalmLine = "Not a Palm OS Device Interface Notification...\r\n";
constexpr uint32_t kAboutCommand = 0x0010;
constexpr int kOkCommand = 1;
constexpr int kStatusClear = 2;

bool ValidSlot(intptr_t slot) {
  return slot >= 0 && slot < kSlotCount;
}

enum class LoadError { None, Access, TooLarge };

// Reads a whole regular file of at most limit bytes, with room for spare
// more bytes to be inserted later without moving the buffer.
LoadError ReadWholeFile(const std::string& path, uint64_t limit, size_t spare,
                        std::vector<uint8_t>& out, uint64_t& length) {
  length = 0;
  struct stat st {};
  std::string reason;
  const int fd = OpenRegularFile(path, reason, &st);
  if (fd < 0) return LoadError::Access;
  length = static_cast<uint64_t>(st.st_size);
  if (length > limit) {
    close(fd);
    return LoadError::TooLarge;
  }
  out.reserve(length + spare);
  out.assign(length, 0);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = read(fd, out.data() + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (done != length) {
    out.clear();
    return LoadError::Access;
  }
  return LoadError::None;
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

std::string CurrentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  if (!getcwd(buffer.data(), buffer.size())) return ".";
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

bool SettingIsOn(const std::string& value) {
  const std::string text = ToLowerAscii(value);
  return text == "1" || text == "yes" || text == "true" || text == "on";
}

bool PdaModeUsesHeader(int pdaMode) {
  return pdaMode == mode::kPdaSmallRom || pdaMode == mode::kPdaResource ||
         pdaMode == mode::kPdaAll || pdaMode == mode::kPdaWidebin || pdaMode == mode::kPdaBigrom;
}

}  // namespace

DownloaderDialog::DownloaderDialog(ConsoleView& view, PhonePlatform& phone, PdaPlatform& pda,
                                   Options options)
    : view_(view),
      phonePlatform_(phone),
      pdaPlatform_(pda),
      options_(std::move(options)),
      hostFiles_(options_.hostFileDirectory) {
  m_ImageBuffer = phonePlatform_.CreateFeeder(view_);
  for (PalmUsbPort& port : m_PalmPort) port.SetTransport(&pdaPlatform_.Transport());
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
// Message loop and posting

int DownloaderDialog::Run() {
  OnInitDialog();
  int result = ctl::kExit;
  Message message;
  while (queue_.GetMessage(message)) {
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

void DownloaderDialog::Dispatch(const Message& m) {
  const int slot = static_cast<int>(m.lParam);
  switch (m.id) {
    case msg::WM_COMMAND:
      OnCommand(static_cast<int>(m.wParam));
      return;
    case msg::WM_SYSCOMMAND:
      if ((m.wParam & 0xFFF0) == kAboutCommand) view_.RunAuxiliaryCommand(kAboutCommand);
      return;
    case msg::WM_DEVICECHANGE:
      HandleDeviceNotices(static_cast<uint64_t>(m.lParam));
      return;
    case msg::WM_DROPFILES:
      OnDropFiles(m.lParam);
      return;
    case msg::WM_FIND_PHONE:
      if (ValidSlot(m.lParam)) LaunchPhoneSlot(slot);
      return;
    case msg::WM_START_PDA:
      if (ValidSlot(m.lParam)) StartPdaDownload(slot);
      return;
    case kPhoneWorkerDone:
      if (ValidSlot(m.lParam)) OnPhoneWorkerDone(m.wParam, slot);
      return;
    default:
      if (m.id >= msg::kFirstPhoneEvent && m.id <= msg::kLastPhoneEvent && ValidSlot(m.lParam))
        OnPhoneEvent(m.id, m.wParam, slot);
  }
}

bool DownloaderDialog::PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  return queue_.PostMessage(id, wParam, lParam);
}

void DownloaderDialog::PostCommand(int controlId) {
  queue_.PostMessage(msg::WM_COMMAND, static_cast<uintptr_t>(controlId), 0);
}

void DownloaderDialog::PostSysCommand(uint32_t command) {
  queue_.PostMessage(msg::WM_SYSCOMMAND, command, 0);
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

bool DownloaderDialog::Wait(uint32_t ms) {
  const bool completed = stop_.SleepFor(ms);
  if (completed) HandleDeviceNotices(UINT64_MAX);
  return completed;
}

// ---------------------------------------------------------------------------
// Form binding

JobForm DownloaderDialog::ReadForm() {
  const JobForm form = view_.ReadForm();
  std::lock_guard<std::mutex> lock(formMutex_);
  m_ImagePath = form.imagePath;
  m_DeviceMode = form.deviceMode;
  m_PhoneMode = form.phoneMode;
  m_PdaMode = form.pdaMode;
  m_ComPort = form.comPort;
  return form;
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
    image_.clear();
    phoneCopy_.clear();
    phoneImageLoaded_ = pdaImageLoaded_ = false;
  }
  RefreshForm();
  OnDeviceRadio(mode::kPdaPhone);
  int slotCount = 0;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    slotCount = m_SlotCount;
  }
  for (int slot = 0; slot < slotCount; ++slot) {
    AppendSlotLog(slot, kBanner);
    AppendSlotLog(slot, kBannerRule);
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    m_PhoneRunning.fill(false);
    m_PdaAttached.fill(false);
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
      view_.RunAuxiliaryCommand(controlId);
      return;
    case ctl::kImageMaker:
      if (view_.RunAuxiliaryCommand(controlId))
        AppendSlotLog(0, "(Phone+PDA) Combined File created.\r\n");
      return;
    case ctl::kConfiguration:
      if (view_.RunAuxiliaryCommand(controlId))
        AppendSlotLog(0, "QPX-k760 Downloader configuration done.\r\n");
      return;
    default:
      return;
  }
}

void DownloaderDialog::OnDeviceRadio(int deviceMode) {
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
  const JobForm form = ReadForm();
  const BrowseChoice choice = BrowseDialogFor(form.deviceMode, form.phoneMode, form.pdaMode);
  if (!choice.dialog) {
    AppendSlotLog(0, choice.refusalLine);
    return;
  }
  const std::optional<std::string> chosen = view_.ChooseOpenFile(*choice.dialog);
  if (!chosen) return;
  std::string path = *chosen;
  struct stat st {};
  std::string reason;
  const int fd = OpenRegularFile(path, reason, &st);
  if (fd < 0) {
    view_.ShowMessage(kFileAccessMessage, MessageIcon::Exclamation, MessageButtons::Ok);
    path.clear();
  } else if (st.st_size == 0 || static_cast<uint64_t>(st.st_size) > choice.dialog->sizeLimit) {
    view_.ShowMessage(kFileSizeMessage, MessageIcon::Exclamation, MessageButtons::Ok);
    path.clear();
  }
  if (fd >= 0) close(fd);
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
  struct stat st {};
  if (!job.imagePath.empty() && stat(job.imagePath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    RefuseLoad(kFileAccessLine);
    return false;
  }
  job.imagePath = ToLowerAscii(job.imagePath);
  const JobCheck check = CheckJobRules(job);
  switch (check.verdict) {
    case JobCheck::Verdict::MessageBox:
      view_.ShowMessage(check.text, MessageIcon::Exclamation, MessageButtons::Ok);
      view_.JobRefused(check.text);
      return false;
    case JobCheck::Verdict::SlotLine:
      AppendSlotLog(0, check.text);
      view_.JobRefused(check.text);
      return false;
    case JobCheck::Verdict::Go:
      break;
  }
  int slots = 1;
  if (job.deviceMode == mode::kPdaPhone) {
    std::lock_guard<std::mutex> lock(formMutex_);
    slots = m_SlotCount;
  }
  for (int slot = 0; slot < slots; ++slot) {
    ClearSlotLog(slot);
    SetSlotProgress(slot, 0, 0);
  }
  return true;
}

void DownloaderDialog::RefuseLoad(const std::string& line) {
  AppendSlotLog(0, line);
  EnableGo(true);
  view_.JobRefused(line);
}

void DownloaderDialog::OnGo() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (run_.active) return;  // Go is disabled while a run is in progress
  }
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
  int slotCount = 0;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    slotCount = m_SlotCount;
  }

  std::vector<uint8_t> data;
  uint64_t fileLength = 0;
  const LoadError loaded =
      ReadWholeFile(job.imagePath, kMaxImageFileSize, kPdaHeaderSize, data, fileLength);
  if (loaded == LoadError::Access) return RefuseLoad(kFileAccessLine);
  if (loaded == LoadError::TooLarge)
    return RefuseLoad(FormatBounded(255, "[ERROR] File Size is abnormal(%llu bytes)\r\n",
                                    static_cast<unsigned long long>(fileLength)));
  const uint32_t length = static_cast<uint32_t>(fileLength);
  const uint32_t crc = Crc32(data.data(), 0, data.size());

  std::vector<int> slots;
  if (job.deviceMode == mode::kPda) {
    // The worker cuts these modes into parts; a file they cannot be cut from
    // is refused before anything starts.
    FormatError error = FormatError::None;
    if (job.pdaMode == mode::kPdaAll) {
      PdaPieces pieces;
      error = LocatePdaPieces(data.data(), data.size(), pieces);
    } else if (job.pdaMode == mode::kPdaWidebin || job.pdaMode == mode::kPdaBigrom) {
      ByteRange smallRom, bigRom;
      error = SplitWidebin(data.size(), smallRom, bigRom);
    }
    if (error != FormatError::None)
      return RefuseLoad(
          FormatBounded(255, "[ERROR]PDA image is damaged: %s\r\n", DescribeFormatError(error)));
    slots.push_back(0);
    {
      std::lock_guard<std::mutex> lock(lock_);
      image_ = std::move(data);
      m_PdaImage.Attach(image_.data(), length);
      pdaImageLoaded_ = true;
      m_PdaView[0].Attach(m_PdaImage.Data(), length);
      pdaRequested_[0] = true;
    }
  } else if (job.deviceMode == mode::kPhone) {
    if (length < kPhoneImageSize)
      return RefuseLoad(FormatBounded(
          255, "[ERROR]Phone image is too short(%u bytes, needs %u)\r\n", length, kPhoneImageSize));
    slots.push_back(0);
    {
      std::lock_guard<std::mutex> lock(lock_);
      image_ = std::move(data);
      m_PhoneImage.Attach(image_.data(), length);
      phoneImageLoaded_ = true;
      m_PhoneView[0].Attach(m_PhoneImage.Data(), length);
      launchPending_[0] = true;
    }
  } else {
    SlotLog(0, "Loading File(PH+PDA:%d bytes)\r\n", static_cast<int>(length));
    UnitedBinaryLayout layout;
    const FormatError error = LocateUnitedBinary(data.data(), data.size(), layout);
    if (error != FormatError::None)
      return RefuseLoad(FormatBounded(255, "[ERROR]United Binary is damaged: %s\r\n",
                                      DescribeFormatError(error)));
    if (layout.phone.length < kPhoneImageSize)
      return RefuseLoad(FormatBounded(255,
                                      "[ERROR]Phone image is too short(%u bytes, needs %u)\r\n",
                                      layout.phone.length, kPhoneImageSize));
    // The PDA image is its new header followed by the body: the header goes
    // in before the body, into the room left behind the file's bytes, so the
    // halves stay ranges of the one buffer. A phone half after the body moves
    // along; one across the body's start (no such file is made) is copied.
    const uint32_t at = layout.pdaBody.offset;
    const ByteRange phone = layout.phone;
    std::vector<uint8_t> phoneCopy;
    uint32_t phoneAt = phone.offset;
    if (phone.offset >= at) {
      phoneAt = phone.offset + kPdaHeaderSize;
    } else if (phone.offset + phone.length > at) {
      phoneCopy.assign(data.begin() + phone.offset, data.begin() + phone.offset + phone.length);
    }
    data.insert(data.begin() + at, layout.pdaHeader.begin(), layout.pdaHeader.end());
    const uint8_t* pdaImage = data.data() + at;
    const uint32_t pdaLength = kPdaHeaderSize + layout.pdaBody.length;
    if (PdaModeUsesHeader(job.pdaMode)) {
      PdaPieces pieces;
      const FormatError pdaError = LocatePdaPieces(pdaImage, pdaLength, pieces);
      if (pdaError != FormatError::None)
        return RefuseLoad(FormatBounded(255, "[ERROR]United Binary is damaged: %s\r\n",
                                        DescribeFormatError(pdaError)));
    }
    std::lock_guard<std::mutex> lock(lock_);
    image_ = std::move(data);
    phoneCopy_ = std::move(phoneCopy);
    m_PhoneImage.Attach(phoneCopy_.empty() ? image_.data() + phoneAt : phoneCopy_.data(),
                        phone.length);
    m_PdaImage.Attach(image_.data() + at, pdaLength);
    phoneImageLoaded_ = pdaImageLoaded_ = true;
    for (int slot = 0; slot < slotCount; ++slot) slots.push_back(slot);
  }
  data = std::vector<uint8_t>();

  {
    std::lock_guard<std::mutex> lock(lock_);
    run_ = RunState{};
    run_.active = true;
    feederLoaded_ = false;
    run_.job = job;
    run_.imageCrc = crc;
    // The record names the file wherever the runner was started from.
    if (char* resolved = realpath(job.imagePath.c_str(), nullptr)) {
      run_.imageFullPath = resolved;
      std::free(resolved);
    } else {
      run_.imageFullPath = job.imagePath;
    }
    for (int slot : slots) {
      run_.slots[slot].takesPart = true;
      run_.slots[slot].logOffset = logOffsets[slot];
    }
  }
  view_.RunStarted();

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
  for (int slot = 0; slot < slotCount; ++slot) {
    uint32_t pdaLength = 0;
    uint32_t phoneLength = 0;
    {
      std::lock_guard<std::mutex> lock(lock_);
      m_PhoneView[slot].Attach(m_PhoneImage.Data(), m_PhoneImage.Length());
      m_PdaView[slot].Attach(m_PdaImage.Data(), m_PdaImage.Length());
      launchPending_[slot] = true;
      pdaLength = m_PdaView[slot].Length();
      phoneLength = m_PhoneView[slot].Length();
    }
    SlotLog(slot, "Loading File(PDA:%d)\r\n", static_cast<int>(pdaLength));
    SlotLog(slot, "Loading File(Phone:%d bytes)\r\n", static_cast<int>(phoneLength));
    PostMessage(msg::WM_FIND_PHONE, 0, slot);
    if (!Wait(kSlotGapMs)) return;
  }
}

// ---------------------------------------------------------------------------
// Phone launch and events

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
    AppendSlotLog(0, "Parallel restarts: each handset restarts on its own port\r\n");
  } else {
    AppendSlotLog(0, FormatBounded(255,
                                   "[WARNING]Parallel restarts refused: %s; the handsets "
                                   "restart one at a time\r\n",
                                   obstacle.c_str()));
  }
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
    if (!launchPending_[slot] || !phoneImageLoaded_ || m_PhoneImage.Length() < kPhoneImageSize)
      return;  // not a launch of the current run
    phoneData = m_PhoneImage.Data();
  }
  const uintptr_t tag = nextPhoneTag_++;
  m_PhoneThread[slot].reset();  // a worker of an earlier run ends here
  m_PhoneThread[slot] = phonePlatform_.CreateWorker(tag);
  SlotLog(slot, "[PHONE:%d]m_PhoneThread[%d] : %X\r\n", slot, slot,
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_PhoneThread[slot].get())));
  {
    std::lock_guard<std::mutex> lock(lock_);
    SlotRun& run = run_.slots[slot];
    run.started = true;
    run.startedAt = LocalDateTime();
    run.startTime = std::chrono::steady_clock::now();
    run.phoneTag = tag;
    std::lock_guard<std::mutex> form(formMutex_);
    run.comPort = m_ComPorts[slot];
  }

  // The image cannot be released meanwhile: the pending launch is work left.
  // Every launch of a run stages the same phone half, so the feeder built by
  // the first one serves the rest: reopening it would pull the blocks away
  // from workers that are about to read them.
  bool feederReady = feederLoaded_;
  bool feederRefused = false;
  if (!feederReady) {
    const std::string path = StagingPath();
    std::string reason;
    if (!WriteFileAtomically(path, phoneData, kPhoneImageSize, reason)) {
      AppendSlotLog(slot, kFileAccessLine);
      AppendSlotLog(slot, "[ERROR]" + reason + "\r\n");  // names the file
    } else if (m_ImageBuffer->OpenImage(path) == 1) {
      feederReady = m_ImageBuffer->BuildBlockTable() == 1;
    } else {
      feederRefused = true;
    }
    feederLoaded_ = feederReady;
  }
  SlotLog(slot, "[PHONE:%d]Finding Phone.\r\n", slot);
  if (!Wait(kFindPhoneWaitMs)) return;

  const uint16_t status = ConfigurePhoneWorker(slot, feederReady);
  if ((status & 0xFFFF) == 255 && m_PhoneThread[slot]->StartDownload(slot)) {
    std::lock_guard<std::mutex> lock(lock_);
    m_PhoneRunning[slot] = true;
    launchPending_[slot] = false;
    return;
  }

  SlotLog(slot, "[PHONE:%d]Phone not Found.\r\n", slot);
  // The line above is all the procedure says; what the console knows besides
  // keeps the operator from looking for a handset that is there.
  if (feederRefused) {
    const std::string why = m_ImageBuffer->Refusal();
    if (why.empty())
      SlotLog(slot, "[PHONE:%d]The phone image was refused.\r\n", slot);
    else
      SlotLog(slot, "[PHONE:%d]The phone image was refused: %s.\r\n", slot, why.c_str());
  }
  if ((status & 1) == 0) {
    int comPort = 0;
    {
      std::lock_guard<std::mutex> lock(formMutex_);
      comPort = m_ComPorts[slot];
    }
    const std::string holder = phonePlatform_.PortHolder(comPort);
    if (!holder.empty())
      SlotLog(slot, "[PHONE:%d]COM%d is held by another program: %s\r\n", slot, comPort,
              holder.c_str());
  }
  std::optional<RunEndNotice> notice;
  {
    std::lock_guard<std::mutex> lock(lock_);
    launchPending_[slot] = false;
    const int deviceMode = run_.job.deviceMode;
    if (deviceMode == mode::kPhone) {
      m_PhoneView[slot].Detach();
      m_PhoneRunning[slot] = false;
      CloseFeeder();
      EndSlotLocked(slot, SlotOutcome::Result::Failed, "Finding Phone");
      notice = EndRunLocked();
    } else if (deviceMode == mode::kPdaPhone) {
      m_PhoneView[slot].Detach();
      m_PdaView[slot].Detach();
      m_PhoneRunning[slot] = false;
      EndSlotLocked(slot, SlotOutcome::Result::Failed, "Finding Phone");
      if (!AnyPhoneRunningLocked()) {
        CloseFeeder();
        if (!WorkLeftLocked()) notice = EndRunLocked();
      }
    }
  }
  DeliverRunEnd(std::move(notice));
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
  int comPort = 0;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    comPort = m_ComPorts[slot];
  }
  PhoneWorker& worker = *m_PhoneThread[slot];
  worker.SetLinkOption(kPhoneLinkOption);
  worker.SetNotifyWindow(this);
  worker.SetPort(comPort);
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

void DownloaderDialog::OnPhoneEvent(uint32_t message, uintptr_t wParam, int slot) {
  auto noteFailure = [&](const std::string& step) {
    std::lock_guard<std::mutex> lock(lock_);
    run_.slots[slot].lastFailure = step;
  };
  switch (message) {
    case msg::WM_PHONE_STEP_FAIL:
      SlotLog(slot, "[PHONE:%d]%s Fail.\r\n", slot, StepName(wParam));
      noteFailure(StepName(wParam));
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
      noteFailure("Port Fail-" + std::to_string(static_cast<int>(wParam)));
      return;
    case msg::WM_PHONE_START:
      SlotLog(slot, "[PHONE:%d]Download Start.\r\n", slot);
      return;
    case msg::WM_PHONE_CANCEL:
      OnPhoneFinish(slot, true);
      return;
    case msg::WM_PHONE_PROGRESS:
      SetSlotProgress(slot, static_cast<uint32_t>(wParam), PhoneProgressPercent(wParam));
      return;
    case msg::WM_PHONE_WRITE_FAIL:
      SlotLog(slot, "\r\n[PHONE:%d]WRITE Fail-RESPONSE:%X.\r\n", slot,
              static_cast<unsigned>(wParam));
      noteFailure("WRITE");
      return;
    case msg::WM_PHONE_FINISH:
      OnPhoneFinish(slot, false);
      return;
    case msg::WM_PHONE_STEP:
      SlotLog(slot, "[PHONE:%d]%s.\r\n", slot, StepName(wParam));
      return;
    case msg::WM_PHONE_WRITE_RETRY:
      SlotLog(slot, "\r\n[PHONE:%d]WRITE Retry-&%X.\r\n", slot, static_cast<unsigned>(wParam));
      return;
    case msg::WM_PHONE_ERASE_OK:
      SlotLog(slot, "[PHONE:%d]ERASE Ok.\r\n", slot);
      return;
    case msg::WM_PHONE_ERASE_FAIL:
      SlotLog(slot, "[PHONE:%d]ERASE Fail.\r\n", slot);
      noteFailure("ERASE");
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

  const JobForm members = Members();
  std::optional<RunEndNotice> notice;
  bool postPda = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    // Only a running phone slot ends here; a stray event changes nothing shared.
    if (!m_PhoneRunning[slot]) return;
    const int deviceMode = run_.active ? run_.job.deviceMode : members.deviceMode;
    postPda = !cancelled && deviceMode == mode::kPdaPhone && members.pdaMode != mode::kPdaSkip;
    if (postPda) pdaRequested_[slot] = true;
    const SlotOutcome::Result result =
        cancelled ? SlotOutcome::Result::Failed : SlotOutcome::Result::Completed;
    if (deviceMode == mode::kPhone) {
      m_PhoneView[slot].Detach();
      m_PhoneRunning[slot] = false;
      CloseFeeder();
      EndSlotLocked(slot, result, "Download Cancel");
      notice = EndRunLocked();
    } else if (deviceMode == mode::kPdaPhone) {
      m_PhoneView[slot].Detach();
      if (cancelled) m_PdaView[slot].Detach();
      m_PhoneRunning[slot] = false;
      if (!postPda) EndSlotLocked(slot, result, "Download Cancel");
      if (!AnyPhoneRunningLocked()) {
        CloseFeeder();
        if (!WorkLeftLocked()) notice = EndRunLocked();
      }
    }
  }
  if (postPda) PostMessage(msg::WM_START_PDA, 0, slot);
  DeliverRunEnd(std::move(notice));
}

void DownloaderDialog::OnPhoneWorkerDone(uintptr_t tag, int slot) {
  std::optional<RunEndNotice> notice;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!m_PhoneRunning[slot] || run_.slots[slot].phoneTag != tag) return;
    // The worker stopped on a failure (it posts no finish then): the slot ends
    // for the run, so the run can end and Go come back.
    const std::string step = run_.slots[slot].lastFailure.empty() ? std::string("phone download")
                                                                  : run_.slots[slot].lastFailure;
    m_PhoneView[slot].Detach();
    m_PdaView[slot].Detach();
    m_PhoneRunning[slot] = false;
    EndSlotLocked(slot, SlotOutcome::Result::Failed, step);
    if (!AnyPhoneRunningLocked()) CloseFeeder();
    if (run_.job.deviceMode == mode::kPhone ||
        (run_.job.deviceMode == mode::kPdaPhone && !WorkLeftLocked()))
      notice = EndRunLocked();
  }
  DeliverRunEnd(std::move(notice));
}

// ---------------------------------------------------------------------------
// PDA start and end

void DownloaderDialog::StartPdaDownload(int slot) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!pdaRequested_[slot]) return;  // not requested by this run
  }
  AppendSlotLog(slot, kPdaRule);
  SlotLog(slot, "[PDA:%d]Start PDA Download\r\n", slot);
  if (!Wait(kPdaPortWaitMs)) return;

  bool attached = false;
  bool busy = false;
  std::string name;
  {
    std::lock_guard<std::mutex> lock(lock_);
    attached = m_PdaAttached[slot];
    busy = pdaRunning_[slot];
    name = m_PdaDeviceName[slot];
  }
  bool opened = false;
  if (attached && !busy) {
    // A port left open by an earlier run is closed before it is opened again.
    if (m_PalmPort[slot].IsOpen()) m_PalmPort[slot].Close();
    opened = m_PalmPort[slot].Open(name, kPalmCreatorId) == 1;
    SlotLog(slot, opened ? "[PDA:%d]USB Port Open\r\n" : "[PDA:%d]USB Port Open Fail\r\n", slot);
  } else if (attached) {
    SlotLog(slot, "[PDA:%d]USB Port Open Fail\r\n", slot);
  } else {
    SlotLog(slot, "[ERR:%d]Please Reconnect USB cable\r\n", slot);
  }

  if (opened) {
    SetSlotStatus(slot, kStatusPda);
    RefreshForm();
    if (pdaThread_[slot].joinable()) pdaThread_[slot].join();  // an earlier, finished run
    pdaStop_[slot] = std::make_unique<StopSignal>();
    const JobForm members = Members();
    PdaJob job;
    job.slot = slot;
    job.console = this;
    job.port = &m_PalmPort[slot];
    job.view = &m_PdaView[slot];
    job.targetCode = members.pdaMode;
    job.stop = pdaStop_[slot].get();
    {
      std::lock_guard<std::mutex> writer(writerMutex_);
      pdaPartSeen_[slot].clear();
      dformatStarted_[slot] = false;
    }
    {
      std::lock_guard<std::mutex> lock(lock_);
      job.deviceMode = run_.active ? run_.job.deviceMode : members.deviceMode;
      pdaNothingToSend_[slot] = PlanPdaParts(job.deviceMode, job.targetCode, m_PdaView[slot].Data(),
                                             m_PdaView[slot].Length())
                                    .empty();
      pdaRequested_[slot] = false;
      pdaRunning_[slot] = true;
      SlotRun& run = run_.slots[slot];
      run.palmDevice = name;
      if (!run.started) {
        run.started = true;
        run.startedAt = LocalDateTime();
        run.startTime = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> form(formMutex_);
        run.comPort = m_ComPorts[slot];
      }
    }
    pdaThread_[slot] = std::thread([this, slot, job] { RunPdaWorker(slot, job); });
    return;
  }

  std::optional<RunEndNotice> notice;
  {
    std::lock_guard<std::mutex> lock(lock_);
    pdaRequested_[slot] = false;
    SlotRun& run = run_.slots[slot];
    if (!run.started) {
      run.started = true;
      run.startedAt = LocalDateTime();
      run.startTime = std::chrono::steady_clock::now();
    }
    const std::string step = attached ? "USB Port Open" : "USB cable";
    const int deviceMode = run_.job.deviceMode;
    if (deviceMode == mode::kPda) {
      m_PdaView[slot].Detach();
      EndSlotLocked(slot, SlotOutcome::Result::Failed, step);
      notice = EndRunLocked();
    } else if (deviceMode == mode::kPdaPhone) {
      m_PhoneView[slot].Detach();
      m_PdaView[slot].Detach();
      EndSlotLocked(slot, SlotOutcome::Result::Failed, step);
      if (!WorkLeftLocked()) notice = EndRunLocked();
    }
  }
  DeliverRunEnd(std::move(notice));
}

void DownloaderDialog::PdaDownloadEnded(int slot, int /*deviceMode*/, bool stillAttached) {
  if (!ValidSlot(slot)) return;
  // The images are released and the run ended once the worker has returned
  // (RunPdaWorker), when nothing of it can read them any more.
  std::lock_guard<std::mutex> lock(lock_);
  m_PdaAttached[slot] = stillAttached;
  m_PdaView[slot].Detach();
}

void DownloaderDialog::RunPdaWorker(int slot, PdaJob job) {
  const int result = pdaPlatform_.RunPdaWorker(job);
  std::string part;
  bool dformat = false;
  {
    std::lock_guard<std::mutex> writer(writerMutex_);
    part = pdaPartSeen_[slot];
    dformat = dformatStarted_[slot];
  }
  std::optional<RunEndNotice> notice;
  {
    std::lock_guard<std::mutex> lock(lock_);
    pdaRunning_[slot] = false;
    m_PdaView[slot].Detach();
    // DFormat never reports completion: its run is complete once the program
    // was loaded and its host file service has ended.
    if (result == 1 || dformat || pdaNothingToSend_[slot]) {
      EndSlotLocked(slot, SlotOutcome::Result::Completed, "");
    } else {
      EndSlotLocked(slot, SlotOutcome::Result::Failed, part.empty() ? "PDA" : "PDA " + part);
    }
    const int deviceMode = run_.job.deviceMode;
    if (deviceMode == mode::kPda || (deviceMode == mode::kPdaPhone && !WorkLeftLocked()))
      notice = EndRunLocked();
  }
  DeliverRunEnd(std::move(notice));
}

// ---------------------------------------------------------------------------
// Slot end and run end

void DownloaderDialog::CloseFeeder() {
  m_ImageBuffer->Close();
  feederLoaded_ = false;
}

bool DownloaderDialog::AnyPhoneRunningLocked() const {
  for (bool running : m_PhoneRunning)
    if (running) return true;
  return false;
}

bool DownloaderDialog::WorkLeftLocked() const {
  // A Palm device that is merely attached is no work of the run: with the PDA
  // mode Skip it would otherwise hold the run forever.
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (m_PhoneRunning[slot] || pdaRequested_[slot] || pdaRunning_[slot] || launchPending_[slot])
      return true;
  }
  return false;
}

void DownloaderDialog::EndSlotLocked(int slot, SlotOutcome::Result result,
                                     const std::string& failedStep) {
  SlotRun& run = run_.slots[slot];
  if (!run_.active || !run.takesPart || run.ended) return;
  run.ended = true;
  run.result = result;
  run.failedStep = result == SlotOutcome::Result::Failed ? failedStep : "";
  run.endTime = std::chrono::steady_clock::now();
}

std::optional<DownloaderDialog::RunEndNotice> DownloaderDialog::EndRunLocked() {
  for (int slot = 0; slot < kSlotCount; ++slot) {
    m_PhoneView[slot].Detach();
    m_PdaView[slot].Detach();
  }
  m_PhoneImage.Detach();
  m_PdaImage.Detach();
  std::vector<uint8_t>().swap(image_);
  std::vector<uint8_t>().swap(phoneCopy_);
  phoneImageLoaded_ = pdaImageLoaded_ = false;
  EnableGo(true);
  if (!run_.active) return std::nullopt;

  RunEndNotice notice;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> writer(writerMutex_);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    SlotRun& run = run_.slots[slot];
    if (!run.takesPart) continue;
    if (!run.ended && run.started) {
      run.result = SlotOutcome::Result::Failed;
      if (run.failedStep.empty()) run.failedStep = "unfinished";
      run.endTime = now;
    }
    notice.summary.slots.push_back(SlotOutcome{slot, run.result, run.failedStep});
    SlotRecord record;
    record.dateTime = run.startedAt.empty() ? LocalDateTime() : run.startedAt;
    record.slot = slot;
    record.comPort = run.comPort;
    record.palmDevice = run.palmDevice;
    record.imagePath = run_.imageFullPath;
    record.imageCrc = run_.imageCrc;
    record.deviceMode = run_.job.deviceMode;
    record.phoneMode = run_.job.phoneMode;
    record.pdaMode = run_.job.pdaMode;
    switch (run.result) {
      case SlotOutcome::Result::Completed:
        record.result = "completed";
        break;
      case SlotOutcome::Result::Failed:
        record.result = "failed at " + run.failedStep;
        break;
      case SlotOutcome::Result::NotStarted:
        record.result = "not started";
        break;
    }
    if (run.started)
      record.durationSeconds = std::chrono::duration<double>(run.endTime - run.startTime).count();
    const std::string& text = m_SlotText[slot];
    record.logText = run.logOffset <= text.size() ? text.substr(run.logOffset) : text;
    notice.records.push_back(std::move(record));
  }
  run_.active = false;
  launchPending_.fill(false);
  pdaRequested_.fill(false);
  return notice;
}

void DownloaderDialog::DeliverRunEnd(std::optional<RunEndNotice> notice) {
  if (!notice) return;
  if (recorder_) recorder_->Submit(std::move(notice->records));
  view_.RunEnded(notice->summary);
}

// ---------------------------------------------------------------------------
// Device arrival and removal

void DownloaderDialog::HandleDeviceNotices(uint64_t upTo) {
  for (;;) {
    DeviceNotice notice;
    {
      std::lock_guard<std::mutex> lock(payloadMutex_);
      if (notices_.empty() || notices_.front().sequence > upTo) return;
      notice = std::move(notices_.front());
      notices_.pop_front();
    }
    if (Stopping()) continue;
    OnDeviceChange(notice);
  }
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
  const std::string name = notice.name.substr(0, kPalmDeviceNameMax);

  if (notice.event == msg::DBT_DEVICEARRIVAL) {
    const int slot =
        ArrivalSlot(deviceMode, comPorts.data(), slotCount, DeviceNumberFromName(name));
    if (!ValidSlot(slot)) return;
    {
      std::lock_guard<std::mutex> lock(lock_);
      m_PdaDeviceName[slot] = name;
      m_PdaAttached[slot] = true;
      pdaArrivalOrder_[slot] = ++pdaArrivals_;
    }
    AppendSlotLog(slot, "GOT DBT_DEVICEARRIVAL EVENT...\r\n");
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
      if (m_PdaDeviceName[slot] == name && pdaArrivalOrder_[slot] != 0 &&
          (holder == kNoSlot || pdaArrivalOrder_[slot] > pdaArrivalOrder_[holder]))
        holder = slot;
    }
  }
  if (holder != kNoSlot) {
    // The mapping still decides whether the event is refused (MAXPORT).
    if (!ValidSlot(RemovalSlot(deviceMode, comPort, slotCount, DeviceNumberFromName(name), view_)))
      return;
    {
      std::lock_guard<std::mutex> lock(lock_);
      m_PdaAttached[holder] = false;
    }
    AppendSlotLog(holder, "GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n");
    return;
  }

  for (int slot = 0; slot < slotCount; ++slot) {
    if (m_PalmPort[slot].DeviceName() != name) continue;
    const int k = RemovalSlot(deviceMode, comPort, slotCount, DeviceNumberFromName(name, 3), view_);
    if (!ValidSlot(k)) return;
    std::lock_guard<std::mutex> lock(lock_);
    m_PdaDeviceName[k] = "NotConnected";
    break;
  }
  const int k = RemovalSlot(deviceMode, comPort, slotCount, DeviceNumberFromName(name), view_);
  if (!ValidSlot(k)) return;
  {
    std::lock_guard<std::mutex> lock(lock_);
    m_PdaDeviceName[k] = name;
    m_PdaAttached[k] = false;
  }
  AppendSlotLog(k, "GOT DBT_DEVICEREMOVECOMPLETE EVENT...\r\n");
}

// ---------------------------------------------------------------------------
// Exit

void DownloaderDialog::OnExit() {
  if (exited_) return;
  exited_ = true;
  stop_.Request();
  if (m_DeviceNotify) {
    m_DeviceNotify->Stop();
    m_DeviceNotify.reset();
  }
  // Stop every worker first: closing a Palm port ends a transfer blocked on it.
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (pdaStop_[slot]) pdaStop_[slot]->Request();
    if (m_PalmPort[slot].IsOpen()) m_PalmPort[slot].Close();
    if (m_PhoneThread[slot]) m_PhoneThread[slot]->RequestQuit();
  }
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (pdaThread_[slot].joinable()) pdaThread_[slot].join();
  }
  for (auto& worker : m_PhoneThread) worker.reset();
  // No worker can read the images now.
  std::optional<RunEndNotice> notice;
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (int slot = 0; slot < kSlotCount; ++slot) {
      if (run_.active && run_.slots[slot].takesPart && run_.slots[slot].started)
        EndSlotLocked(slot, SlotOutcome::Result::Failed, "exit");
    }
    m_PhoneRunning.fill(false);
    pdaRunning_.fill(false);
    notice = EndRunLocked();
  }
  DeliverRunEnd(std::move(notice));
  if (m_ImageBuffer) CloseFeeder();
}

// ---------------------------------------------------------------------------
// Write operations

void DownloaderDialog::AppendSlotLog(int slot, const std::string& text) {
  if (!ValidSlot(slot)) return;
  std::lock_guard<std::mutex> lock(writerMutex_);
  m_SlotText[slot] += text;
  if (text.rfind("=== ", 0) == 0) {
    const size_t end = text.find(" Download ===");
    if (end != std::string::npos && end > 4) pdaPartSeen_[slot] = text.substr(4, end - 4);
  } else if (text == FormatBounded(64, "[PDA:%d]DFormat Start\r\n", slot)) {
    dformatStarted_[slot] = true;
  }
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
  int port = 0;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    port = m_ComPorts[slot];
  }
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
  for (int slot = 0; slot < kSlotCount; ++slot) {
    s.phoneRunning[slot] = m_PhoneRunning[slot];
    s.pdaAttached[slot] = m_PdaAttached[slot];
    s.pdaRequested[slot] = pdaRequested_[slot];
    s.pdaRunning[slot] = pdaRunning_[slot];
    s.launchPending[slot] = launchPending_[slot];
    s.pdaDeviceName[slot] = m_PdaDeviceName[slot];
    s.phoneViewAttached[slot] = m_PhoneView[slot].IsAttached();
    s.pdaViewAttached[slot] = m_PdaView[slot].IsAttached();
    s.phoneViewLength[slot] = m_PhoneView[slot].Length();
    s.pdaViewLength[slot] = m_PdaView[slot].Length();
  }
  s.phoneImageLoaded = phoneImageLoaded_;
  s.pdaImageLoaded = pdaImageLoaded_;
  s.phoneImageSize = m_PhoneImage.Length();
  s.pdaImageSize = m_PdaImage.Length();
  s.runActive = run_.active;
  std::lock_guard<std::mutex> writer(writerMutex_);
  s.goEnabled = goEnabled_;
  return s;
}

}  // namespace k730
