#include "phone/phone_worker.h"

namespace k730 {

using namespace msg;
using namespace phone_msg;

namespace {

constexpr uint32_t kProgressEvery = 32;
// Poll interval while another worker holds the reenumeration lock.
constexpr uint32_t kLockPollMs = 10;
constexpr uint32_t kDrainWakeMessage = 0;  // wakes the loop so it sees terminate_

}  // namespace

std::mutex& DefaultReenumerationLock() {
  static std::mutex lock;
  return lock;
}

std::mutex& ReenumerationLocks::For(int comNumber) {
  if (!PerPort()) return processWide_;
  std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<std::mutex>& port = ports_[comNumber];
  if (!port) port = std::make_unique<std::mutex>();
  return *port;
}

CPhone::CPhone(std::mutex& reenumerationLock, std::unique_ptr<SerialPort> port)
    : reenumerationLock_(&reenumerationLock),
      portOwner_(port ? std::move(port) : std::make_unique<SerialPort>()),
      port_(*portOwner_),
      link_(port_, &stop_) {
  port_.SetInterrupt(&stop_);
}

CPhone::CPhone(ReenumerationLocks& locks, std::unique_ptr<SerialPort> port)
    : CPhone(DefaultReenumerationLock(), std::move(port)) {
  locks_ = &locks;
}

CPhone::~CPhone() {
  Reclaim();
}

int CPhone::CreateThread() {
  if (thread_.joinable()) return 0;
  std::promise<void> started;
  std::future<void> ready = started.get_future();
  thread_ = std::thread(&CPhone::ThreadMain, this, &started);
  // The setters follow at once; the start hook must not overwrite them.
  ready.wait();
  return 1;
}

bool CPhone::PostThreadMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  if (!thread_.joinable()) return false;
  return queue_.PostMessage(id, wParam, lParam);
}

void CPhone::ThreadMain(std::promise<void>* started) {
  RaiseCurrentThreadPriority();
  StartHook();
  started->set_value();
  Message message;
  for (;;) {
    const bool more = queue_.GetMessage(message);
    if (terminate_.load(std::memory_order_acquire)) break;
    if (!more) {
      ExitHook();
      break;
    }
    if (message.id == StartDownload) {
      Download(static_cast<int>(message.lParam));
      finished_.store(true, std::memory_order_release);
      // After every event of the run, on the same queue: the console sees the
      // run's end only once it has seen all of it.
      if (endNotice_ && notify_ && !Stopped())
        notify_->PostMessage(kPhoneWorkerDone, endTag_, slot_);
      // One run per worker: its thread ends here and waits to be joined.
      return;
    }
  }
  finished_.store(true, std::memory_order_release);
}

void CPhone::StartHook() {
  comPort_ = 0;
  baudRate_ = 0;
  phoneMode_ = mode::kPhSkip;
  linkOption_ = 0;
  auxOption_ = 0;
  pdaFollows_ = 0;
  image_ = nullptr;
  notify_ = nullptr;
}

void CPhone::ExitHook() {
  Post(WM_PHONE_PORT_OK, kPortExitBegin);
  table_.reset();
  Post(WM_PHONE_PORT_OK, kPortExitEnd);
}

void CPhone::RequestStop() {
  if (!thread_.joinable()) return;
  terminate_.store(true, std::memory_order_release);
  stop_.Request();
  queue_.PostMessage(kDrainWakeMessage, 0, 0);
}

void CPhone::Reclaim() {
  if (!thread_.joinable()) return;
  RequestStop();
  thread_.join();
  if (port_.IsOpen()) port_.Close();
  finished_.store(true, std::memory_order_release);
}

int CPhone::SetNotifyWindow(MessageSink* sink) {
  notify_ = sink;
  return 1;
}

int CPhone::SetPort(int comNumber) {
  comPort_ = comNumber;
  return 1;
}

int CPhone::SetBaudRate(int value) {
  baudRate_ = value;
  return 1;
}

int CPhone::SetMode(int phoneMode, int pdaFollows) {
  phoneMode_ = phoneMode;
  pdaFollows_ = pdaFollows;
  return 1;
}

int CPhone::SetLinkOption(int value) {
  linkOption_ = value;
  codec_.SetNoLeadingFlag(value == kLinkOptionNoLeadingFlag);
  return 1;
}

void CPhone::SetAuxOption(int value) {
  auxOption_ = value;
}

int CPhone::SetImage(ImageBuffer* image) {
  image_ = image;
  return phoneMode_ != mode::kPhSkip ? 1 : 0;
}

void CPhone::SetRange(uint32_t start, uint32_t byteCount, int roundUp) {
  startAddress_ = start;
  byteCount_ = byteCount;
  if (!image_) return;
  if (roundUp) {
    blockCount_ =
        static_cast<int>(image_->Size() / kBlockSize + (image_->Size() % kBlockSize ? 1 : 0));
  } else {
    blockCount_ = static_cast<int>(byteCount / kBlockSize);
  }
}

uint16_t CPhone::ProbeReadiness() {
  settings_ = PhoneSettingsString(comPort_);
  port_.Setup(1024, 1024);
  uint16_t status = 0;
  if (port_.Open(settings_) == 1 && port_.IsOpen()) status |= 1 << 0;
  port_.Close();
  if (baudRate_ != 0) status |= 1 << 1;
  if (phoneMode_ < 5) status |= 1 << 2;
  if (linkOption_ != 0) status |= 1 << 3;
  if (auxOption_ != 0) status |= 1 << 4;
  if (notify_) status |= 1 << 5;
  if (image_) status |= 1 << 6;
  if (startAddress_ != 0 || byteCount_ != 0) status |= 1 << 7;
  return status;
}

void CPhone::Post(uint32_t id, uintptr_t wParam) {
  // A worker being ended reports nothing more: its console is going away.
  if (Stopped()) return;
  PhoneOutcome::FromEvent(id, wParam, outcome_);
  if (!notify_) return;
  notify_->PostMessage(id, wParam, slot_);
}

bool CPhone::OpenWithRetries(int tries, uint32_t pauseMs, bool closeAfterFailure) {
  for (int i = 0; i < tries; ++i) {
    if (port_.Open(settings_) == 1 && port_.IsOpen()) return true;
    if (closeAfterFailure) port_.Close();
    if (!Pause(pauseMs)) return false;
  }
  return false;
}

bool CPhone::CommandStep(size_t length, int step) {
  if (Exchange(length, kCommandAttempts, kCommandSettleMs) == kExchangeAccepted) {
    Post(WM_PHONE_STEP_OK, static_cast<uintptr_t>(step));
    return true;
  }
  Post(WM_PHONE_STEP_FAIL, static_cast<uintptr_t>(step));
  return false;
}

bool CPhone::LockReenumeration() {
  // Polled rather than blocked on, so that a worker being ended does not sit
  // out another handset's re-enumeration first.
  while (!reenumerationLock_->try_lock()) {
    if (!stop_.SleepFor(kLockPollMs)) return false;
  }
  reenumerationHeld_ = std::unique_lock<std::mutex>(*reenumerationLock_, std::adopt_lock);
  return true;
}

void CPhone::UnlockReenumeration() {
  if (reenumerationHeld_.owns_lock()) reenumerationHeld_.unlock();
  reenumerationHeld_ = std::unique_lock<std::mutex>();
}

void CPhone::Download(int slot) {
  slot_ = slot;
  outcome_ = PhoneOutcome{};
  settings_ = PhoneSettingsString(comPort_);
  if (locks_) reenumerationLock_ = &locks_->For(comPort_);
  bool completed = false;
  if (Pause(1000)) {
    switch (phoneMode_) {
      case mode::kPhNormal:
      case mode::kPhChNormal:
      case mode::kPhSkip:
        completed = ImageReady() && Preparation() && DownloadPhase();
        break;
      case mode::kPhEmergency:
      case mode::kPhChEmergency:
        completed = ImageReady() && DownloadPhase();
        break;
      default:
        break;
    }
  }
  UnlockReenumeration();
  if (!completed) End();
  table_.reset();
}

bool CPhone::ImageReady() {
  if (phoneMode_ == mode::kPhSkip || blockCount_ <= 0) return true;
  // A feeder whose file was refused has no blocks; writing from it would send
  // the phone whatever memory lies there.
  table_ = image_ ? image_->Table() : nullptr;
  if (table_ && table_->Covers(startAddress_ / kBlockSize, static_cast<uint32_t>(blockCount_)))
    return true;
  Post(WM_PHONE_STEP_FAIL, kStepWrite);
  return false;
}

bool CPhone::Preparation() {
  // Step 3: open the port.
  port_.Setup(2048, 2048);
  if (!Pause(500)) return false;
  if (!OpenWithRetries(5, 1000, true)) {
    Post(WM_PHONE_PORT_FAIL, kPortFailed);
    return false;
  }
  Post(WM_PHONE_PORT_OK, kPortOpened);

  // Step 4: a phone that does not answer AUTOTEST skips the restart.
  if (link_.RawProbe(static_cast<uint32_t>(PhoneFrameCodec::BuildAutotest(link_.Frame())))) {
    Post(WM_PHONE_STEP_OK, kStepAutotest);
    // Steps 5 and 6.
    if (!link_.RawProbe(static_cast<uint32_t>(PhoneFrameCodec::BuildSuspend(link_.Frame())))) {
      Post(WM_PHONE_STEP_FAIL, kStepSuspend);
      return false;
    }
    Post(WM_PHONE_STEP_OK, kStepSuspend);
    if (!link_.RawProbe(static_cast<uint32_t>(PhoneFrameCodec::BuildSio2dm(link_.Frame())))) {
      Post(WM_PHONE_STEP_FAIL, kStepSio2dm);
      return false;
    }
    Post(WM_PHONE_STEP_OK, kStepSio2dm);

    // Step 7: restart; the handset drops off the bus.
    if (!Pause(2000)) return false;
    port_.Write(link_.Frame(), static_cast<uint32_t>(PhoneFrameCodec::BuildRestart(link_.Frame())));
    if (!Pause(3000)) return false;
    port_.Close();
    Post(WM_PHONE_STEP_OK, kStepRestart);

    // Steps 8 and 9: reopen once it is back, one handset at a time.
    if (!LockReenumeration()) return false;
    if (!Pause(16000)) return false;
    port_.Setup(2048, 2048);
    if (!Pause(2000)) return false;
    if (!OpenWithRetries(5, 3000, false)) {
      Post(WM_PHONE_PORT_FAIL, kPortFailed);
      return false;
    }
    Post(WM_PHONE_PORT_OK, kPortOpened);
    UnlockReenumeration();
  } else if (Stopped()) {
    return false;
  }

  // Steps 10 to 12.
  if (!CommandStep(codec_.BuildVersion(link_.Frame()), kStepVersion) || !Pause(3000)) return false;
  if (!CommandStep(codec_.BuildOffline(link_.Frame()), kStepOffline) || !Pause(3000)) return false;
  if (!CommandStep(codec_.BuildDload(link_.Frame()), kStepDload) || !Pause(3000)) return false;
  return true;
}

bool CPhone::DownloadPhase() {
  // Step 13: the Emergency modes open the port here.
  if (!port_.IsOpen()) {
    if (!Pause(2000)) return false;
    port_.Setup(4096, 4096);
    if (!OpenWithRetries(20, 1000, false)) {
      Post(WM_PHONE_PORT_FAIL, kPortFailedDownload);
      return false;
    }
    Post(WM_PHONE_PORT_OK, kPortOpenedDownload);
  }
  // Steps 14 and 15.
  if (!Pause(1000)) return false;
  if (!CommandStep(codec_.BuildCopy(link_.Frame()), kStepCopy) || !Pause(3000)) return false;
  if (!CommandStep(codec_.BuildJump(link_.Frame()), kStepJump1) || !Pause(3000)) return false;

  // Step 16: Skip writes nothing.
  if (phoneMode_ == mode::kPhSkip) {
    if (pdaFollows_ && !CommandStep(codec_.BuildDpramWrt(link_.Frame(), comPort_), kStepDpramWrt))
      return false;
    return FinalPhase();
  }
  // Step 17.
  if (!CommandStep(codec_.BuildStart2(link_.Frame()), kStepStart2) || !Pause(3000)) return false;
  if (pdaFollows_ && !CommandStep(codec_.BuildDpramWrt(link_.Frame(), comPort_), kStepDpramWrt))
    return false;
  // Step 18.
  if (!Pause(3000)) return false;
  const uint8_t erased = Exchange(codec_.BuildErase(link_.Frame(), startAddress_, byteCount_),
                                  kEraseAttempts, kEraseSettleMs, kEraseReplyWaitMs);
  if (erased != kExchangeAccepted) {
    Post(WM_PHONE_ERASE_FAIL, erased);
    return false;
  }
  Post(WM_PHONE_ERASE_OK, 1);
  if (!Pause(3000)) return false;
  Post(WM_PHONE_STEP, kStepWrite);
  // Steps 19 and 20.
  if (blockCount_ > 0 && !WriteLoop(*table_)) return false;
  return FinalPhase();
}

bool CPhone::WriteLoop(const BlockTable& table) {
  const uint32_t firstBlock = startAddress_ / kBlockSize;
  int failures = 0;
  for (int l = 0; l < blockCount_;) {
    if (Stopped()) return false;
    const uint32_t address = startAddress_ + static_cast<uint32_t>(l) * kBlockSize;
    const uint8_t* record = table.BlockAt(firstBlock + static_cast<uint32_t>(l));
    const uint8_t result =
        Exchange(codec_.BuildWrite(link_.Frame(), address, record + kBlockDataOffset),
                 kWriteAttempts, kWriteSettleMs);
    if (result == kExchangeAccepted) {
      failures = 0;
      if (l % kProgressEvery == 0 || l == blockCount_ - 1) Post(WM_PHONE_PROGRESS, address);
      ++l;
      continue;
    }
    ++failures;
    Post(WM_PHONE_WRITE_FAIL, result);
    if (failures > 5) return false;
    Post(WM_PHONE_WRITE_RETRY, address);
  }
  return true;
}

bool CPhone::FinalPhase() {
  // Step 21: restart into the new firmware, one handset at a time.
  bool ok = Pause(3000) && LockReenumeration();
  const uint32_t length = static_cast<uint32_t>(codec_.BuildJump(link_.Frame()));
  for (int i = 0; ok && i < 3; ++i) {
    ok = Pause(500);
    if (ok) port_.Write(link_.Frame(), length);
    ok = ok && Pause(1000);
  }
  ok = ok && Pause(3000);
  port_.Close();
  if (!ok) return true;  // ended from outside: the port is closed, nothing more to report
  Post(WM_PHONE_STEP_OK, kStepJump2);
  Pause(5000);
  Post(WM_PHONE_FINISH, 0);
  Pause(2000);
  UnlockReenumeration();
  return true;
}

void CPhone::End() {
  // Step 22.
  Pause(3000);
  port_.Close();
}

}  // namespace k730
