#include "pda/pda_worker.h"

#include "core/image_view.h"
#include "core/slot_writer.h"
#include "pda/palm_device_map.h"
#include "pda/palm_usb_port.h"
#include "pda/partition_download.h"
#include "pda/pda_packets.h"

namespace k730 {
namespace {

bool Within(const ByteRange& range, uint32_t length) {
  return range.offset <= length && range.length <= length - range.offset;
}

PdaPart Locate(PdaPartKind kind, int target, const ByteRange& range, uint32_t length) {
  PdaPart part;
  part.kind = kind;
  part.targetCode = target;
  part.range = range;
  part.located = Within(range, length);
  return part;
}

// The pieces named by the PDA image header. Only the bounds are checked:
// a damaged header still yields every piece that lies within the image.
void HeaderPieces(const uint8_t* image, uint32_t length, ByteRange& resource, ByteRange& smallRom,
                  ByteRange& bigRom, bool& readable) {
  ImageHeader header;
  readable = ReadImageHeader(image, length, kPdaEntryCount, header) == FormatError::None;
  if (!readable) return;
  const ComponentEntry& widebin = header.entries[1];
  resource = ByteRange{header.entries[2].offset, header.entries[2].length};
  smallRom = ByteRange{widebin.offset, kSmallRomSize};
  const bool bigRomValid =
      widebin.length >= kSmallRomSize && widebin.offset <= UINT32_MAX - kSmallRomSize;
  bigRom = bigRomValid ? ByteRange{widebin.offset + kSmallRomSize, widebin.length - kSmallRomSize}
                       : ByteRange{UINT32_MAX, UINT32_MAX};
}

// The pause between parts; false when a stop cut it short.
bool Pause(const PdaJob& job) {
  if (job.stop) return job.stop->SleepFor(kPdaPartPauseMs);
  Sleep(kPdaPartPauseMs);
  return true;
}

}  // namespace

const char* PdaPartLogLine(PdaPartKind kind) {
  switch (kind) {
    case PdaPartKind::Resource:
      return "=== Resource Download ===\r\n";
    case PdaPartKind::SmallRom:
      return "=== SmallRom Download ===\r\n";
    case PdaPartKind::BigRom:
      return "=== BigRom Download ===\r\n";
    case PdaPartKind::WholeFile:
      break;
  }
  return nullptr;
}

std::vector<PdaPart> PlanPdaParts(int deviceMode, int pdaMode, const uint8_t* image,
                                  uint32_t length) {
  std::vector<PdaPart> parts;
  if (!image) length = 0;
  ByteRange resource{UINT32_MAX, UINT32_MAX};
  ByteRange smallRom = resource;
  ByteRange bigRom = resource;
  bool readable = false;
  HeaderPieces(image, length, resource, smallRom, bigRom, readable);

  const auto add = [&](PdaPartKind kind, int target, const ByteRange& range) {
    parts.push_back(Locate(kind, target, range, length));
  };
  const auto addHeaderPart = [&](PdaPartKind kind) {
    switch (kind) {
      case PdaPartKind::Resource:
        add(kind, kTargetResource, resource);
        break;
      case PdaPartKind::SmallRom:
        add(kind, kTargetSmallRom, smallRom);
        break;
      case PdaPartKind::BigRom:
        add(kind, kTargetWidebinBigRom, bigRom);
        break;
      case PdaPartKind::WholeFile:
        break;
    }
    if (!readable) parts.back().located = false;
  };
  // A raw widebin: SmallRom is its first 128 KB, BigRom the rest.
  const ByteRange rawSmallRom{0, kSmallRomSize};
  const ByteRange rawBigRom = length >= kSmallRomSize
                                  ? ByteRange{kSmallRomSize, length - kSmallRomSize}
                                  : ByteRange{UINT32_MAX, UINT32_MAX};

  if (deviceMode == mode::kPda) {
    switch (pdaMode) {
      case mode::kPdaSmallRom:
      case mode::kPdaBigRom:
      case mode::kPdaResource:
      case mode::kPdaDFormat:
        add(PdaPartKind::WholeFile, pdaMode, ByteRange{0, length});
        break;
      case mode::kPdaAll:
        addHeaderPart(PdaPartKind::Resource);
        addHeaderPart(PdaPartKind::SmallRom);
        addHeaderPart(PdaPartKind::BigRom);
        break;
      case mode::kPdaWidebin:
        add(PdaPartKind::SmallRom, kTargetSmallRom, rawSmallRom);
        add(PdaPartKind::BigRom, kTargetWidebinBigRom, rawBigRom);
        break;
      case mode::kPdaBigrom:
        add(PdaPartKind::BigRom, kTargetWidebinBigRom, rawBigRom);
        break;
      default:
        break;
    }
  } else if (deviceMode == mode::kPdaPhone) {
    switch (pdaMode) {
      case mode::kPdaSmallRom:
        addHeaderPart(PdaPartKind::SmallRom);
        break;
      case mode::kPdaResource:
        addHeaderPart(PdaPartKind::Resource);
        break;
      case mode::kPdaAll:
        addHeaderPart(PdaPartKind::Resource);
        addHeaderPart(PdaPartKind::SmallRom);
        addHeaderPart(PdaPartKind::BigRom);
        break;
      case mode::kPdaWidebin:
        addHeaderPart(PdaPartKind::SmallRom);
        addHeaderPart(PdaPartKind::BigRom);
        break;
      case mode::kPdaBigrom:
        addHeaderPart(PdaPartKind::BigRom);
        break;
      default:
        break;
    }
  }
  return parts;
}

std::string PdaOutcome::FailedStep() const {
  if (parts.empty()) return "PDA";
  switch (parts.back().kind) {
    case PdaPartKind::Resource:
      return "PDA Resource";
    case PdaPartKind::SmallRom:
      return "PDA SmallRom";
    case PdaPartKind::BigRom:
      return "PDA BigRom";
    case PdaPartKind::WholeFile:
      break;
  }
  return "PDA";
}

PdaOutcome PdaWorker(PdaJob job) {
  SlotWriter& writer = job.console->Writer();
  const int slot = job.slot;
  const int pdaMode = job.targetCode;
  const uint8_t* image = job.view ? job.view->Data() : nullptr;
  const uint32_t imageLength = job.view ? job.view->Length() : 0;
  const std::vector<PdaPart> parts = PlanPdaParts(job.deviceMode, pdaMode, image, imageLength);
  PdaOutcome outcome;
  outcome.nothingToSend = parts.empty();

  int result = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const PdaPart& part = parts[i];
    if (i > 0 && !Pause(job)) {
      result = 0;
      break;
    }
    if (const char* line = PdaPartLogLine(part.kind)) writer.SlotLog(slot, "%s", line);
    outcome.parts.push_back(PdaPartResult{part.kind, 0, false});
    if (!part.located) {
      writer.SlotLog(slot, "[ERR:%d]Part lies outside the PDA image\r\n", slot);
      result = 0;
      break;
    }
    ImageView partView(image + part.range.offset, part.range.length);
    PdaJob partJob = job;
    partJob.view = &partView;
    partJob.targetCode = part.targetCode;
    result = DownloadPartition(partJob, &outcome.parts.back().programStarted);
    outcome.parts.back().result = result;
    partView.Detach();
    if (result != 1) break;
    // In PDA+PHONE the handheld gets its pause after Resource and SmallRom
    // even when nothing follows.
    const bool last = i + 1 == parts.size();
    if (last && job.deviceMode == mode::kPdaPhone &&
        (part.kind == PdaPartKind::Resource || part.kind == PdaPartKind::SmallRom)) {
      Pause(job);
    }
  }

  if (result == 1) {
    writer.SlotLog(slot, "[PDA:%d]Download Completed\r\n", slot);
    writer.SlotLog(slot, "========================================\r\n");
  }

  bool stillAttached = false;
  if (job.deviceMode == mode::kPda) {
    if (pdaMode == mode::kPdaSmallRom || pdaMode == mode::kPdaResource) {
      stillAttached = true;
    } else if (job.port) {
      job.port->Close();
    }
  }
  job.console->PdaDownloadEnded(slot, job.deviceMode, stillAttached);
  outcome.result = result;
  return outcome;
}

PdaWorkerThread::~PdaWorkerThread() {
  RequestStop();
  Join();
}

bool PdaWorkerThread::Start(const PdaJob& job) {
  if (Running()) return false;
  Join();
  stop_ = std::make_unique<StopSignal>();
  PdaJob own = job;
  own.stop = stop_.get();
  running_.store(true, std::memory_order_release);
  thread_ = std::thread([this, own] {
    PdaWorker(own);
    running_.store(false, std::memory_order_release);
  });
  return true;
}

void PdaWorkerThread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace k730
