// CPhone: the worker that flashes the phone half of one handset on one slot.
//
// Life of a worker: construct; CreateThread (returns once the thread's start
// hook has run); the setters and ProbeReadiness on the caller's thread; post
// msg::StartDownload (lParam = slot). The worker then runs the whole
// download on its own thread and posts its events (phone_events.h) to the
// notify sink with lParam = slot. After the run, finished or failed, its
// thread ends (Finished() turns true, Outcome() tells how it went), posts its
// end notice when one was asked for, and waits to be joined by Reclaim() or
// the destructor. Reclaim() also ends a worker in the middle of a run: every
// wait is cut short and the port is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/message_queue.h"
#include "phone/image_buffer.h"
#include "phone/phone_events.h"
#include "phone/phone_frame_codec.h"
#include "phone/phone_link.h"
#include "phone/serial_port.h"

namespace k730 {

// A process-wide reenumeration lock for programs and tests that do not pass
// their own (the application passes DownloaderApp::ReenumerationLock()).
std::mutex& DefaultReenumerationLock();

// The locks phone workers hold while their handset drops off the bus and
// comes back. By default one for the process: a handset then comes back under
// its own port name because no other one re-enumerates meanwhile. Where every
// modem port is named by the physical USB port it hangs off, the order no
// longer matters: per port, each worker locks only its own port and the
// restarts of different handsets overlap.
class ReenumerationLocks {
 public:
  explicit ReenumerationLocks(std::mutex& processWide) : processWide_(processWide) {}
  ReenumerationLocks(const ReenumerationLocks&) = delete;
  ReenumerationLocks& operator=(const ReenumerationLocks&) = delete;

  // Applies to the downloads that start afterwards.
  void SetPerPort(bool on) { perPort_.store(on, std::memory_order_release); }
  bool PerPort() const { return perPort_.load(std::memory_order_acquire); }
  // The lock a worker on COM<comNumber> takes.
  std::mutex& For(int comNumber);

 private:
  std::mutex& processWide_;
  std::atomic<bool> perPort_{false};
  std::mutex mutex_;
  // Never shrinks: a worker holds its port's lock as long as its run needs.
  std::map<int, std::unique_ptr<std::mutex>> ports_;
};

// The link option value that turns the codec's no-leading-flag option on.
constexpr int kLinkOptionNoLeadingFlag = 5000;

class CPhone {
 public:
  // port, when given, stands in for the serial port the worker would open
  // (a recording or a replaying port); the worker owns it.
  explicit CPhone(std::mutex& reenumerationLock = DefaultReenumerationLock(),
                  std::unique_ptr<SerialPort> port = nullptr);
  // The lock is chosen from locks for the port when the download starts.
  explicit CPhone(ReenumerationLocks& locks, std::unique_ptr<SerialPort> port = nullptr);
  virtual ~CPhone();
  CPhone(const CPhone&) = delete;
  CPhone& operator=(const CPhone&) = delete;

  // Starts the worker's thread and its message loop. 1 once the start hook
  // has run on it; 0 when a thread was already started.
  int CreateThread();
  // Posts a thread message (StartDownload, or kQuitMessage to end the loop
  // and run the exit hook). False when no thread runs.
  bool PostThreadMessage(uint32_t id, uintptr_t wParam, intptr_t lParam);

  // Setters, called before StartDownload is posted; each returns 1 unless
  // said otherwise.
  int SetNotifyWindow(MessageSink* sink);
  int SetPort(int comNumber);
  int SetBaudRate(int value);
  int SetMode(int phoneMode, int pdaFollows);
  // Stores the value; 5000 turns the codec's no-leading-flag option on.
  int SetLinkOption(int value);
  void SetAuxOption(int value);
  // Returns 1 when the phone mode is not Skip (4), else 0; stores the image either way.
  int SetImage(ImageBuffer* image);
  // Start address and ERASE byte count; with an image set, the block count is
  // byteCount / 1024 (roundUp 0) or the image size / 1024 rounded up (roundUp 1).
  void SetRange(uint32_t start, uint32_t byteCount, int roundUp);

  // 255 when ready. Bits: 0 the port opened (tried once, then closed);
  // 1 baud rate set; 2 phone mode < 5; 3 link option set; 4 aux option set;
  // 5 notify sink set; 6 image set; 7 start address or byte count non-zero.
  uint16_t ProbeReadiness();

  // After the download, once every event of it is posted, post id msg::kPhoneWorkerDone
  // (wParam tag, lParam the slot) to the notify sink. Set before StartDownload.
  void SetEndNotice(uintptr_t tag) {
    endTag_ = tag;
    endNotice_ = true;
  }
  // How the download ended; read it once the end notice arrived (or Finished()).
  PhoneOutcome Outcome() const { return outcome_; }

  // Asks the worker to end: its waits are cut short and its loop ends
  // without the exit hook. Does not wait; Reclaim() joins.
  void RequestStop();
  // Ends the worker: interrupts its waits, ends its loop without the exit
  // hook and joins its thread. Safe to call more than once.
  void Reclaim();
  // True once a download has ended (either way) or the thread has ended.
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  bool ThreadRunning() const { return thread_.joinable(); }

  int Port() const { return comPort_; }
  int PhoneMode() const { return phoneMode_; }
  int PdaFollows() const { return pdaFollows_; }
  uint32_t StartAddress() const { return startAddress_; }
  uint32_t ByteCount() const { return byteCount_; }
  int BlockCount() const { return blockCount_; }
  int Slot() const { return slot_; }

 private:
  void ThreadMain(std::promise<void>* started);
  void StartHook();
  void ExitHook();
  // The download procedure for one StartDownload.
  void Download(int slot);
  bool Preparation();
  bool DownloadPhase();
  bool WriteLoop(const BlockTable& table);
  bool FinalPhase();
  void End();

  // Open with retries: tries times; after each failed try optionally Close,
  // then pause.
  bool OpenWithRetries(int tries, uint32_t pauseMs, bool closeAfterFailure);
  void Post(uint32_t id, uintptr_t wParam);
  bool Pause(uint32_t ms) { return link_.Pause(ms); }
  bool Stopped() const { return stop_.Requested(); }
  // Exchange of the frame just built (length bytes in the frame buffer).
  uint8_t Exchange(size_t length, int attempts, uint32_t settleMs,
                   uint32_t replyWaitMs = SerialPort::kReadTimeoutMs) {
    return link_.Exchange(static_cast<uint32_t>(length), attempts, settleMs, replyWaitMs);
  }
  // Exchanges a 10-attempt command and posts 1125 or 1124 with step.
  bool CommandStep(size_t length, int step);
  bool LockReenumeration();
  void UnlockReenumeration();
  bool ImageReady();

  std::mutex* reenumerationLock_;
  ReenumerationLocks* locks_ = nullptr;
  std::unique_lock<std::mutex> reenumerationHeld_;
  std::thread thread_;
  MessageQueue queue_;
  StopSignal stop_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> terminate_{false};

  std::unique_ptr<SerialPort> portOwner_;
  SerialPort& port_;
  PhoneFrameCodec codec_;
  PhoneLink link_;
  std::string settings_;
  std::shared_ptr<const BlockTable> table_;  // snapshot for this run's writes

  MessageSink* notify_ = nullptr;
  int comPort_ = 0;
  int pdaFollows_ = 0;
  int baudRate_ = 0;
  int phoneMode_ = mode::kPhSkip;
  int linkOption_ = 0;
  int auxOption_ = 0;
  ImageBuffer* image_ = nullptr;
  uint32_t startAddress_ = 0;
  uint32_t byteCount_ = 0;
  int blockCount_ = 0;
  int slot_ = 0;
  bool endNotice_ = false;
  uintptr_t endTag_ = 0;
  PhoneOutcome outcome_;  // written by the worker's thread before its end notice
};

}  // namespace k730
