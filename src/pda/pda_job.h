// The parameter block of a slot's PDA download and the console services the
// PDA side calls.
#pragma once

#include <cstdint>

namespace k730 {

class HostFileTable;
class ImageView;
class OperatorPrompt;
class PalmUsbPort;
class SlotWriter;
class StopSignal;

// What the PDA worker needs from the console. Every operation is called from
// the slot's PDA worker thread, so implementations must be thread-safe.
class PdaConsole {
 public:
  virtual ~PdaConsole() = default;

  // The console's write operations (SlotLog, SetSlotProgress, SetSlotStatus, EnableGo).
  virtual SlotWriter& Writer() = 0;
  // Message boxes raised by a worker block only that worker.
  virtual OperatorPrompt& Prompt() = 0;
  // The process's one table of files opened by the DFormat program.
  virtual HostFileTable& HostFiles() = 0;

  // Called exactly once at the end of every PdaWorker run, from the worker
  // thread, after the worker has closed the port where that is due and
  // before it returns its outcome: from here on the worker touches neither
  // the port nor the image view. stillAttached tells whether the port was
  // left open with the handheld on it (device mode PDA, smallrom and
  // Resource). The console records that as the slot's m_PdaAttached and
  // detaches the slot's m_PdaView; the slot's end and the run's end follow
  // from the outcome the worker returns. Must not join the worker's thread
  // (it is that thread).
  virtual void PdaDownloadEnded(int slot, int deviceMode, bool stillAttached) = 0;
};

// One per slot, filled by the console before the worker starts. The worker
// copies it; the objects it points to must outlive the worker thread.
struct PdaJob {
  int slot = 0;
  PdaConsole* console = nullptr;
  PalmUsbPort* port = nullptr;
  // The whole PDA image of the run (the slot's m_PdaView); the worker makes
  // a view of its own for each part it sends.
  ImageView* view = nullptr;
  // The PDA mode when the worker starts; per part, the part's target code.
  int targetCode = 0;
  int deviceMode = 0;
  // Ends pauses and chunk loops early (console shutdown); may be null.
  StopSignal* stop = nullptr;
};

}  // namespace k730
