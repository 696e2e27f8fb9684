// The download console without a window: the job, the slots and the run,
// driven by one message loop on the console thread. A ConsoleView shows what
// a window would; the phone and PDA layers are reached through the platform
// interfaces of console_platform.h.
//
// Threads. Run() is the console thread: it opens the console and handles
// every message (operator commands, phone events, WM_FIND_PHONE, WM_START_PDA,
// device changes, the workers' ends) in the order posted, so every change of
// a slot's stage happens there. The fixed waits of the procedures are timers
// of that loop: while one runs, the loop goes on handling the workers'
// messages and holds back operator input and the console's own launches
// (with parallel restarts a slot's wait holds back nothing). While a dialog or
// a message box the console opened is up, the loop handles everything but
// operator input, as a modal loop does. PDA workers call the write
// operations from their own threads and post their end. The slots' records,
// the views and the images are guarded by lock_, the job members by
// formMutex_, the slot texts and the view's slot controls by writerMutex_;
// they are only ever taken in that order.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console/console_ids.h"
#include "console/console_platform.h"
#include "console/console_view.h"
#include "console/run_image.h"
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

// Where a slot is in the current run. The Parts' per-slot flags are stages:
// m_PhoneRunning is PhoneRunning; a PDA download is requested (WM_START_PDA
// posted) in PdaRequested and runs in PdaRunning.
enum class SlotStage {
  Idle,           // no part in a run
  LaunchPending,  // WM_FIND_PHONE posted, the phone worker not started yet
  PhoneRunning,   // the phone worker downloads
  PdaRequested,   // WM_START_PDA posted, the PDA worker not started yet
  PdaRunning,     // the PDA worker downloads
  Ended,          // the slot's unit has its outcome (continuous operation: waits for the next)
};

// The console's flags, images and job as seen at one moment (tests, front ends).
struct ConsoleSnapshot {
  JobForm job;
  int slotCount = 0;
  std::array<int, kComPortsSize> comPorts{};
  std::array<SlotStage, kSlotCount> stage{};
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
  std::array<int, kSlotCount> unitsCompleted{};  // of this run
  std::array<int, kSlotCount> unitsFailed{};
  bool phoneImageLoaded = false;
  bool pdaImageLoaded = false;
  size_t phoneImageSize = 0;
  size_t pdaImageSize = 0;
  bool runActive = false;
  bool goEnabled = false;
  bool repeat = false;  // the Repeat check box as the console last took it
  bool busy = false;    // the console is inside one of its waits
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
  // to the console's loop and handled there in order. A click on a control
  // whose earlier click has not been handled yet is dropped (false).
  bool PostCommand(int controlId);
  void PostDropFiles(const std::vector<std::string>& paths);
  void PostDeviceChange(uint32_t event, const std::string& name, bool palmDevice = true);
  void PostSysCommand(uint32_t command);
  // The Repeat check box: continuous operation on or off.
  void PostRepeat(bool on);
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
  void SetSlotPhase(int slot, SlotPhase phase) override;

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
  struct PortNotice {
    int comNumber = 0;
    bool present = false;
    std::string serial;
  };

  // One unit a slot flashes: its part in the run and its run record.
  struct UnitRun {
    bool takesPart = false;
    bool started = false;
    bool ended = false;
    bool recorded = false;
    int number = 0;  // 1 for the unit Go started, then one more per new unit
    SlotOutcome::Result result = SlotOutcome::Result::NotStarted;
    std::string failedStep;
    std::string startedAt;
    std::chrono::steady_clock::time_point startTime{};
    std::chrono::steady_clock::time_point endTime{};
    size_t logOffset = 0;
    int comPort = 0;
    std::string palmDevice;
    // Continuous operation: the unit's USB serial number ("" when none is
    // known) and whether its port has been away since the slot ended.
    std::string serial;
    bool awayAfterEnd = false;
    uint64_t awaySince = 0;  // protocol ticks

    // The unit starts now, on the modem port given.
    void Start(int port) {
      started = true;
      startedAt = LocalDateTime();
      startTime = std::chrono::steady_clock::now();
      comPort = port;
    }
  };

  // One slot: its record (stage, device, views, unit; under lock_) and the
  // objects only the console thread touches.
  struct Slot {
    SlotStage stage = SlotStage::Idle;
    bool m_PdaAttached = false;
    std::string m_PdaDeviceName;
    // When the slot last recorded an arrival (0: never), so that a removal
    // finds where its handheld came last even if an older slot kept the name.
    uint64_t arrivalOrder = 0;
    ImageView m_PhoneView;
    ImageView m_PdaView;
    UnitRun unit;
    int completed = 0;  // units of this run
    int failed = 0;
    PdaOutcome pdaOutcome;  // written by the PDA worker before it posts its end

    // Console thread only.
    std::unique_ptr<PhoneWorker> m_PhoneThread;
    uintptr_t phoneTag = 0;
    bool feederReady = false;    // the launch has a feeder with blocks to hand over
    bool feederRefused = false;  // the feeder refused the staged phone half
    PalmUsbPort m_PalmPort;
    std::thread pdaThread;
    std::unique_ptr<StopSignal> pdaStop;
  };

  struct RunState {
    bool active = false;
    JobForm job;  // the job as Go found it
    uint32_t imageCrc = 0;
    std::string imageFullPath;
    std::vector<SlotOutcome> unitsEnded;  // every unit that ended, in order
  };
  struct RunEndNotice {
    RunSummary summary;
    std::vector<SlotRecord> records;
  };

  // A slot's happening, built by the dispatcher from the message numbers
  // and by the console's own timers.
  struct SlotEvent {
    enum class Kind {
      Launch,          // WM_FIND_PHONE
      LaunchWaitOver,  // the wait after "Finding Phone."
      PhoneReport,     // a phone event that only reports (id, code)
      PhoneFinished,   // WM_PHONE_FINISH
      PhoneCancelled,  // WM_PHONE_CANCEL
      PhoneEnded,      // the phone worker returned (tag)
      StartPda,        // WM_START_PDA
      PdaWaitOver,     // the wait before the Palm port opens
      PdaEnded,        // the PDA worker returned
    };
    Kind kind;
    int slot = 0;
    uint32_t id = 0;
    uintptr_t code = 0;  // the phone event's wParam, or the worker's tag
  };

  // A fixed wait of the procedures, due at a real moment.
  struct Timer {
    enum class Kind { GoGap, Slot } kind = Kind::Slot;
    std::chrono::steady_clock::time_point due{};
    bool holds = true;  // operator input and launches wait for it
    SlotEvent event{SlotEvent::Kind::LaunchWaitOver};
    int nextSlot = 0;  // GoGap: the slot Go starts next
  };

  // Which messages the loop takes now: everything, or (inside a wait or a
  // dialog) only what those let through; the rest is kept in order.
  enum class Admit { All, NoOperatorInput, NoOperatorInputNorLaunch };

  // The loop.
  bool TakeMessage(Message& message, Admit admit);
  bool Admitted(const Message& message, Admit admit) const;
  bool HoldingTimerPending() const;
  void FireDueTimers();
  void StartTimer(uint32_t ms, bool holds, const SlotEvent& event);
  void StartGoGap(int nextSlot);
  void UpdateBusy();
  void Dispatch(const Message& message);
  // Runs call on a helper thread while the loop goes on (a dialog's modal
  // loop); returns its result.
  template <typename T>
  T ModalCall(const std::function<T()>& call, Admit admit = Admit::NoOperatorInput);
  MessageAnswer ModalMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                             Admit admit = Admit::NoOperatorInput);

  void OnInitDialog();
  void OnCommand(int controlId);
  void OnDeviceRadio(int deviceMode);
  void OnBrowse();
  void OnDropFiles(intptr_t payload);
  void OnGo();
  void GoStep(int slot);
  bool CheckJob();
  void OnRepeat(bool on);
  void OnExit();
  // Device notices are handled in the order posted: when their message comes
  // up, or earlier, when a wait of the console ends (a handheld that arrives
  // during the wait before its port opens is then already known).
  void HandleDeviceNotices(uint64_t upTo);
  void OnDeviceChange(const DeviceNotice& notice);
  void OnPortNotice();

  // The slot state machine.
  void OnSlotEvent(const SlotEvent& event);
  void LaunchPhoneSlot(int slot);
  void FinishLaunch(int slot);
  uint16_t ConfigurePhoneWorker(int slot, bool feederReady);
  void LogPhoneEvent(uint32_t message, uintptr_t wParam, int slot);
  void OnPhoneFinish(int slot, bool cancelled);
  void OnPhoneEnded(int slot, uintptr_t tag);
  void StartPdaDownload(int slot);
  void OpenPdaPort(int slot);
  void OnPdaEnded(int slot);
  void RunPdaWorker(int slot, PdaJob job);
  void JoinPdaThread(int slot);
  // The reenumeration locks of the run's phone workers; logs the option's outcome.
  void ChooseRestartLocks(int deviceMode);
  bool ParallelRestarts() const;

  // Form binding.
  JobForm ReadForm();
  void SetMembers(const JobForm& form);
  void RefreshForm();
  JobForm Members() const;
  void DiscoverPhonePorts();
  int SlotCount() const;
  int ComPortOf(int slot) const;

  bool Stopping() const { return stop_.Requested(); }

  // Tells the view where the slot's unit stands, in order with the slot's texts.
  void ShowRunState(int slot, SlotRunState state);

  // Go's refusal after the checks: the slot-0 line, Go enabled again.
  void RefuseLoad(const std::string& line);

  // Slot end and run end: the only places where a slot leaves the run and
  // where the run releases what it held. Under lock_.
  bool WorkLeftLocked() const;
  bool PhoneWorkLeftLocked() const;
  // True when the slot's unit ended here (and not before).
  bool EndSlotLocked(int slot, SlotOutcome::Result result, const std::string& failedStep,
                     std::vector<SlotRecord>& records);
  std::optional<RunEndNotice> EndRunLocked();
  SlotRecord RecordOfLocked(int slot);
  // Ends a slot on the console thread with everything that follows from it.
  void EndSlot(int slot, SlotOutcome::Result result, const std::string& failedStep);
  void DeliverRunEnd(std::optional<RunEndNotice> notice);
  void CloseFeederIfIdle();
  void CloseFeeder();

  // Continuous operation.
  bool ContinuousLocked() const;
  void UnitPresence(int slot, bool present, const std::string& serial);
  void StartUnit(int slot, const std::string& serial);
  void LockJob(bool locked);
  void StartPortWatcher();
  void StopPortWatcher();

  ConsoleView& view_;
  PhonePlatform& phonePlatform_;
  PdaPlatform& pdaPlatform_;
  const Options options_;

  // The loop's state (console thread).
  MessageQueue queue_;
  StopSignal stop_;
  bool exited_ = false;
  std::thread::id consoleThread_;
  std::deque<Message> held_;  // taken but held back by a wait or a dialog
  std::vector<Timer> timers_;
  int modalDepth_ = 0;
  bool parallelRun_ = false;  // the run's restarts were granted to run side by side
  bool jobLocked_ = false;    // continuous operation: the job and image stay as Go took them
  bool inDeviceNotices_ = false;

  std::mutex payloadMutex_;
  std::map<intptr_t, std::string> droppedPaths_;
  intptr_t nextDrop_ = 1;
  std::deque<DeviceNotice> notices_;
  uint64_t nextNotice_ = 1;
  std::deque<PortNotice> portNotices_;
  std::set<int> commandsPending_;  // posted clicks not yet handled

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

  // The console's one lock: the slots' records, the views, the images and the run.
  mutable std::mutex lock_;
  RunImages images_;
  ImageView m_PhoneImage;
  ImageView m_PdaImage;
  std::array<Slot, kSlotCount> slots_;
  uint64_t pdaArrivals_ = 0;
  RunState run_;
  bool m_Repeat = false;
  bool watching_ = false;  // the units of the run can be told apart (continuous operation)
  bool busy_ = false;

  // Console-thread objects.
  std::unique_ptr<PhoneFeeder> m_ImageBuffer;
  bool feederLoaded_ = false;  // the feeder holds this run's phone half
  uintptr_t nextPhoneTag_ = 1;
  std::unique_ptr<PalmDeviceWatcher> m_DeviceNotify;
  std::unique_ptr<ModemPortWatcher> portWatcher_;

  // Message boxes the console's own handlers raise (the feeder's question,
  // the MAXPORT box): shown through the console's modal loop.
  class ModalPrompt : public OperatorPrompt {
   public:
    ModalPrompt(DownloaderDialog& console, Admit admit) : console_(console), admit_(admit) {}
    MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                              MessageButtons buttons) override;

   private:
    DownloaderDialog& console_;
    const Admit admit_;
  };
  // While the feeder asks, launches wait: they would load the same feeder.
  ModalPrompt feederPrompt_{*this, Admit::NoOperatorInputNorLaunch};
  ModalPrompt consolePrompt_{*this, Admit::NoOperatorInput};

  HostFileTable hostFiles_;
  // Last: destroyed first, so queued records are written while all else lives.
  std::unique_ptr<RunRecorder> recorder_;
};

}  // namespace k730
