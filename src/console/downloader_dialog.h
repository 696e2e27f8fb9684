// The download console without a window: the job, the slots and the run,
// driven by one message loop on the console thread. A ConsoleView shows what
// a window would; the phone and PDA layers are reached through the platform
// interfaces of console_platform.h.
//
// Threads. Run() is the console thread: it opens the console and handles
// every message (operator commands, phone events, WM_FIND_PHONE, WM_START_PDA,
// device changes) one at a time, in the order posted, taking the fixed waits
// of the procedures itself. PDA workers call the write operations and
// PdaDownloadEnded from their own threads. The per-slot flags, the views and
// the images are guarded by one lock (lock_), the job members by formMutex_,
// the slot texts and the view's slot controls by writerMutex_; they are only
// ever taken in that order.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/console_ids.h"
#include "console/console_platform.h"
#include "console/console_view.h"
#include "console/run_record.h"
#include "core/clock.h"
#include "core/image_view.h"
#include "core/message_queue.h"
#include "core/slot_writer.h"
#include "pda/host_file_service.h"
#include "pda/palm_usb_port.h"
#include "pda/pda_job.h"

namespace k730 {

class PalmDeviceWatcher;

// The console's flags, images and job as seen at one moment (tests, front ends).
struct ConsoleSnapshot {
  JobForm job;
  int slotCount = 0;
  std::array<int, kComPortsSize> comPorts{};
  std::array<bool, kSlotCount> phoneRunning{};
  std::array<bool, kSlotCount> pdaAttached{};
  std::array<bool, kSlotCount> pdaRequested{};
  std::array<bool, kSlotCount> pdaRunning{};
  std::array<bool, kSlotCount> launchPending{};
  std::array<std::string, kSlotCount> pdaDeviceName{};
  std::array<uint32_t, kSlotCount> phoneViewLength{};  // 0 when detached
  std::array<uint32_t, kSlotCount> pdaViewLength{};
  std::array<bool, kSlotCount> phoneViewAttached{};
  std::array<bool, kSlotCount> pdaViewAttached{};
  bool phoneImageLoaded = false;
  bool pdaImageLoaded = false;
  size_t phoneImageSize = 0;
  size_t pdaImageSize = 0;
  bool runActive = false;
  bool goEnabled = false;
};

class DownloaderDialog : public SlotWriter, public MessageSink, public PdaConsole {
 public:
  struct Options {
    // Where the phone half is staged as "qpx_bin.tmp" ("" = current directory).
    std::string stagingDirectory;
    // Run records; "" = RunRecordDirectory(). Off: no records at all.
    bool writeRunRecords = true;
    std::string recordDirectory;
    // Directory of the DFormat program's host files ("." = current directory).
    std::string hostFileDirectory = ".";
    // The handsets of a PDA+PHONE run may restart at the same time, each
    // phone worker locking only its own port, where the bench allows it. Also
    // asked for by the settings value PARALLEL_RESTARTS=1.
    bool parallelRestarts = false;
  };

  DownloaderDialog(ConsoleView& view, PhonePlatform& phone, PdaPlatform& pda, Options options);
  // Ends whatever still runs (as exit does) and joins every thread.
  ~DownloaderDialog() override;
  DownloaderDialog(const DownloaderDialog&) = delete;
  DownloaderDialog& operator=(const DownloaderDialog&) = delete;

  // The console thread: opens the console, then handles messages until exit.
  // Returns 2 after the cancel command (exit), 1 after the OK command.
  int Run();

  // Operator input and platform notices, safe from any thread; each is posted
  // to the console's loop and handled there in order.
  void PostCommand(int controlId);
  void PostDropFiles(const std::vector<std::string>& paths);
  void PostDeviceChange(uint32_t event, const std::string& name, bool palmDevice = true);
  void PostSysCommand(uint32_t command);
  // Cuts the console's current wait short and posts the cancel command; every
  // message still queued before it is then skipped.
  void RequestExit();

  // MessageSink: phone events and the console's own messages.
  bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) override;

  // The write operations: safe from any thread, delivered to the view in the
  // order of the calls. Slots outside 0-5 are ignored.
  void AppendSlotLog(int slot, const std::string& text) override;
  void ClearSlotLog(int slot) override;
  void SetSlotProgress(int slot, uint32_t bytes, uint32_t percent) override;
  void SetSlotStatus(int slot, int kind) override;
  void EnableGo(bool on) override;

  // PdaConsole, for the PDA workers.
  SlotWriter& Writer() override { return *this; }
  OperatorPrompt& Prompt() override { return view_; }
  HostFileTable& HostFiles() override { return hostFiles_; }
  void PdaDownloadEnded(int slot, int deviceMode, bool stillAttached) override;

  // Waits until the run records submitted so far are written; why the first
  // one that could not be written whole failed, "" when all were.
  std::string FlushRunRecords();

  std::string SlotText(int slot) const;
  uint32_t ProgressValue(int slot) const;
  ConsoleSnapshot Snapshot() const;
  // Where the phone half is staged for the feeder.
  std::string StagingPath() const;

 private:
  struct DeviceNotice {
    uint64_t sequence = 0;
    uint32_t event = 0;
    std::string name;
    bool palmDevice = true;
  };
  // One slot's part in the current run (for the run end and the records).
  struct SlotRun {
    bool takesPart = false;
    bool started = false;
    bool ended = false;
    SlotOutcome::Result result = SlotOutcome::Result::NotStarted;
    std::string failedStep;
    std::string lastFailure;  // the last failure a phone event reported
    std::string startedAt;
    std::chrono::steady_clock::time_point startTime{};
    std::chrono::steady_clock::time_point endTime{};
    size_t logOffset = 0;
    int comPort = 0;
    std::string palmDevice;
    uintptr_t phoneTag = 0;
  };
  struct RunState {
    bool active = false;
    JobForm job;  // the job as Go found it
    uint32_t imageCrc = 0;
    std::string imageFullPath;
    std::array<SlotRun, kSlotCount> slots{};
  };
  struct RunEndNotice {
    RunSummary summary;
    std::vector<SlotRecord> records;
  };

  void Dispatch(const Message& message);
  void OnInitDialog();
  void OnCommand(int controlId);
  void OnDeviceRadio(int deviceMode);
  void OnBrowse();
  void OnDropFiles(intptr_t payload);
  void OnGo();
  bool CheckJob();
  void OnExit();
  // Device notices are handled in the order posted: when their message comes
  // up, or earlier, at the end of any wait of the console thread (a handheld
  // that arrives during the wait before its port opens is then already known).
  void HandleDeviceNotices(uint64_t upTo);
  void OnDeviceChange(const DeviceNotice& notice);
  void OnPhoneEvent(uint32_t message, uintptr_t wParam, int slot);
  void OnPhoneFinish(int slot, bool cancelled);
  void OnPhoneWorkerDone(uintptr_t tag, int slot);
  // The reenumeration locks of the run's phone workers; logs the option's outcome.
  void ChooseRestartLocks(int deviceMode);
  void LaunchPhoneSlot(int slot);
  uint16_t ConfigurePhoneWorker(int slot, bool feederReady);
  void StartPdaDownload(int slot);
  void RunPdaWorker(int slot, PdaJob job);

  // Form binding.
  JobForm ReadForm();
  void RefreshForm();
  JobForm Members() const;
  void DiscoverPhonePorts();

  // Waits on the console thread; false when exit cut the wait short.
  bool Wait(uint32_t ms);
  bool Stopping() const { return stop_.Requested(); }

  // Go's refusal after the checks: the slot-0 line, Go enabled again.
  void RefuseLoad(const std::string& line);
  // Under lock_: does any slot still have work in this run?
  bool WorkLeftLocked() const;
  bool AnyPhoneRunningLocked() const;
  void EndSlotLocked(int slot, SlotOutcome::Result result, const std::string& failedStep);
  // Under lock_: releases the images, enables Go and closes the run.
  std::optional<RunEndNotice> EndRunLocked();
  void DeliverRunEnd(std::optional<RunEndNotice> notice);
  std::string PhoneFailureStep(int slot) const;

  ConsoleView& view_;
  PhonePlatform& phonePlatform_;
  PdaPlatform& pdaPlatform_;
  const Options options_;

  MessageQueue queue_;
  StopSignal stop_;
  bool exited_ = false;

  std::mutex payloadMutex_;
  std::map<intptr_t, std::string> droppedPaths_;
  intptr_t nextDrop_ = 1;
  std::deque<DeviceNotice> notices_;
  uint64_t nextNotice_ = 1;

  // Job members (written on the console thread under formMutex_).
  mutable std::mutex formMutex_;
  std::string m_ImagePath;
  int m_DeviceMode = -1;
  int m_PhoneMode = -1;
  int m_PdaMode = -1;
  int m_ComPort = 0;
  int m_SlotCount = 0;
  std::array<int, kComPortsSize> m_ComPorts{};

  // Slot texts and controls.
  mutable std::mutex writerMutex_;
  std::array<std::string, kSlotCount> m_SlotText;
  std::array<uint32_t, kSlotCount> m_ProgressValue{};
  bool goEnabled_ = false;
  std::array<std::string, kSlotCount> pdaPartSeen_;  // last "=== ... ===" line of a PDA run
  std::array<bool, kSlotCount> dformatStarted_{};

  // The console's one lock: per-slot flags, views, images and the run.
  mutable std::mutex lock_;
  // The image file as Go read it, held once: m_PhoneImage and m_PdaImage are
  // ranges of it (a PDA+PHONE run puts the PDA header in before the PDA body).
  std::vector<uint8_t> image_;
  // The phone half, only when it cannot stay where the file has it.
  std::vector<uint8_t> phoneCopy_;
  ImageView m_PhoneImage;
  ImageView m_PdaImage;
  bool phoneImageLoaded_ = false;
  bool pdaImageLoaded_ = false;
  std::array<ImageView, kSlotCount> m_PhoneView;
  std::array<ImageView, kSlotCount> m_PdaView;
  std::array<bool, kSlotCount> m_PhoneRunning{};
  std::array<bool, kSlotCount> m_PdaAttached{};
  std::array<bool, kSlotCount> pdaRequested_{};
  std::array<bool, kSlotCount> pdaRunning_{};
  std::array<bool, kSlotCount> launchPending_{};  // WM_FIND_PHONE posted, launch not done
  std::array<bool, kSlotCount> pdaNothingToSend_{};
  std::array<std::string, kSlotCount> m_PdaDeviceName;
  // When each slot last recorded an arrival (0: never), so that a removal
  // finds where its handheld came last even if an older slot kept the name.
  std::array<uint64_t, kSlotCount> pdaArrivalOrder_{};
  uint64_t pdaArrivals_ = 0;
  RunState run_;

  // Console-thread objects.
  std::unique_ptr<PhoneFeeder> m_ImageBuffer;
  bool feederLoaded_ = false;  // the feeder holds this run's phone half
  void CloseFeeder();
  std::array<std::unique_ptr<PhoneWorker>, kSlotCount> m_PhoneThread;
  uintptr_t nextPhoneTag_ = 1;
  std::array<PalmUsbPort, kSlotCount> m_PalmPort;
  std::array<std::thread, kSlotCount> pdaThread_;
  std::array<std::unique_ptr<StopSignal>, kSlotCount> pdaStop_;
  std::unique_ptr<PalmDeviceWatcher> m_DeviceNotify;

  HostFileTable hostFiles_;
  // Last: destroyed first, so queued records are written while all else lives.
  std::unique_ptr<RunRecorder> recorder_;
};

}  // namespace k730
