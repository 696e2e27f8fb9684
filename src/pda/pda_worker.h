// The PDA worker of a slot: which parts of the PDA image go to the handheld,
// in which order, and the tidy-up at the end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/job_ids.h"
#include "image/image_formats.h"
#include "pda/pda_job.h"

namespace k730 {

constexpr uint32_t kPdaPartPauseMs = 2000;

enum class PdaPartKind { WholeFile, Resource, SmallRom, BigRom };

struct PdaPart {
  PdaPartKind kind = PdaPartKind::WholeFile;
  int targetCode = 0;
  // Where the part lies in the PDA image; valid only when located is true.
  ByteRange range;
  bool located = false;
};

// The log line before a part ("=== Resource Download ===\r\n"), nullptr for a whole file.
const char* PdaPartLogLine(PdaPartKind kind);

// The parts to send for a device mode and PDA mode, located in the PDA image
// (with its 212-byte header, or a raw widebin in device mode PDA, modes 5 and
// 6). A part whose range does not lie within the image is listed with
// located == false; the worker then fails it without sending anything.
std::vector<PdaPart> PlanPdaParts(int deviceMode, int pdaMode, const uint8_t* image,
                                  uint32_t length);

// One part as the worker ran it.
struct PdaPartResult {
  PdaPartKind kind = PdaPartKind::WholeFile;
  int result = 0;               // DownloadPartition's: 1 when flashed
  bool programStarted = false;  // a DFormat program was loaded and served
};

// How a slot's PDA download went, part by part.
struct PdaOutcome {
  int result = 0;                    // 1 when the last part run reported success
  bool nothingToSend = false;        // the job has no part for this device and PDA mode
  std::vector<PdaPartResult> parts;  // the parts begun, in order

  // Complete: the last part was flashed, there was nothing to send, or the
  // DFormat program ran (it never reports completion).
  bool Completed() const {
    return result == 1 || nothingToSend || (!parts.empty() && parts.back().programStarted);
  }
  // What failed, as the run record names it: "PDA Resource", "PDA SmallRom",
  // "PDA BigRom", or "PDA" for a whole file.
  std::string FailedStep() const;
};

// Runs the part sequence, writes the completion lines and tidies the slot up.
PdaOutcome PdaWorker(PdaJob job);

// The slot's worker thread. Start joins an earlier, finished run first;
// RequestStop cuts pauses and chunk loops short; the destructor stops and joins.
// Start, RequestStop and Join are called by the owner's one thread.
class PdaWorkerThread {
 public:
  PdaWorkerThread() = default;
  ~PdaWorkerThread();
  PdaWorkerThread(const PdaWorkerThread&) = delete;
  PdaWorkerThread& operator=(const PdaWorkerThread&) = delete;

  // False when a run is still in progress.
  bool Start(const PdaJob& job);
  bool Running() const { return running_.load(std::memory_order_acquire); }
  void RequestStop() {
    if (stop_) stop_->Request();
  }
  // Waits for the run to end; never call it from the worker itself (the
  // console's PdaDownloadEnded runs on that thread).
  void Join();

 private:
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::unique_ptr<StopSignal> stop_;
};

}  // namespace k730
