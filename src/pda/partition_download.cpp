#include "pda/partition_download.h"

#include <vector>

#include "core/byte_order.h"
#include "core/clock.h"
#include "core/image_view.h"
#include "core/operator_prompt.h"
#include "core/slot_writer.h"
#include "pda/host_file_service.h"
#include "pda/palm_usb_port.h"
#include "pda/pda_packets.h"

namespace k730 {
namespace {

// PACKET_VER gets no response; a link that refuses it this often is gone.
constexpr int kMaxPacketVersionSends = kMaxResendCount + 1;

bool StopRequested(const PdaJob& job) {
  return job.stop && job.stop->Requested();
}

}  // namespace

bool ExchangePacket(const PdaJob& job, uint32_t command, uint32_t resendCommand,
                    const uint8_t* payload, uint32_t length, uint8_t* destination,
                    uint32_t capacity) {
  SlotWriter& writer = job.console->Writer();
  PalmUsbPort& port = *job.port;
  const int slot = job.slot;

  int sendFailures = 0;
  while (!SendCommandPacket(port, command, length, payload)) {
    writer.SlotLog(slot, "[PDA:%d]Re Send Command1\r\n", slot);
    if (++sendFailures > kMaxResendCount) return false;
  }
  int responseFailures = 0;
  while (!ReceiveResponse(port, destination, capacity)) {
    writer.SlotLog(slot, "[PDA:%d]Re Send Command2\r\n", slot);
    if (++responseFailures > kMaxResendCount) return false;
    int resendFailures = 0;
    while (!SendCommandPacket(port, resendCommand, length, payload)) {
      writer.SlotLog(slot, "[PDA:%d]Re Send Command3\r\n", slot);
      if (++resendFailures > kMaxResendCount) return false;
    }
  }
  return true;
}

int DownloadPartition(const PdaJob& job, bool* programStarted) {
  SlotWriter& writer = job.console->Writer();
  PalmUsbPort& port = *job.port;
  const int slot = job.slot;
  ImageView& view = *job.view;

  const uint32_t partLength = view.Length();

  uint8_t target[4];
  WriteU32LE(target, static_cast<uint32_t>(job.targetCode));
  // Zeroed so that an answer without a capacity reads as no room at all.
  uint8_t answer[4] = {};
  if (!ExchangePacket(job, DL_MODE, DL_MODE, target, sizeof target, answer, sizeof answer)) {
    return 0;
  }
  writer.SlotLog(slot, "[PDA:%d]Transmit Dl Mode OK\r\n", slot);

  const uint32_t capacity = ReadU32LE(answer);
  if (capacity < partLength) {
    job.console->Prompt().ShowMessage(kCapacityMessage, MessageIcon::None, MessageButtons::Ok);
    return 0;
  }

  writer.SlotLog(slot, "[PDA:%d]Packet Version is %d\r\n", slot, static_cast<int>(kPacketVersion));
  uint8_t version[4];
  WriteU32LE(version, kPacketVersion);
  int versionSends = 0;
  while (!SendCommandPacket(port, PACKET_VER, sizeof version, version)) {
    if (++versionSends >= kMaxPacketVersionSends || StopRequested(job)) {
      writer.SlotLog(slot, "[ERR:%d]Packet Version Send Fail\r\n", slot);
      return 0;
    }
  }

  writer.SlotLog(slot, "[PDA:%d]RAM Download Start\r\n", slot);
  writer.SetSlotPhase(slot, SlotPhase::PdaRamDownload);
  std::vector<uint8_t> chunk(kMaxPacketPayload);
  uint8_t ack[kResponseSize];
  uint32_t chunkCount = 0;
  // 64 bits: a part above 42 MB would carry 409,600 per chunk past 2^32.
  uint64_t progress = 0;
  uint64_t bytesSent = 0;
  for (;;) {
    const uint32_t n = view.Read(chunk.data(), kMaxPacketPayload);
    if (n == 0) break;
    if (StopRequested(job)) return 0;
    if (!ExchangePacket(job, RAM_DATA, RAM_DATA_AGAIN, chunk.data(), n, ack, sizeof ack)) {
      return 0;
    }
    bytesSent += n;
    if (chunkCount % kProgressEveryChunks == 0) {
      writer.SetSlotProgress(slot, static_cast<uint32_t>(bytesSent),
                             static_cast<uint32_t>(progress / partLength));
    }
    ++chunkCount;
    progress += kProgressPerChunk;
  }
  writer.SetSlotProgress(slot, partLength, 100);
  writer.SetSlotPhase(slot, SlotPhase::Other);

  if (!ExchangePacket(job, RAM_END, RAM_END, nullptr, 0, ack, sizeof ack)) return 0;
  writer.SlotLog(slot, "[PDA:%d]RAM Download OK\r\n", slot);

  if (job.targetCode == kTargetDFormat) {
    writer.SlotLog(slot, "[PDA:%d]DFormat Start\r\n", slot);
    if (programStarted) *programStarted = true;
    HostFileService(job);
    return 0;
  }

  writer.SlotLog(slot, "[PDA:%d]FLASH Download Start\r\n", slot);
  uint32_t percent = 0;
  for (;;) {
    writer.SetSlotProgress(slot, partLength, percent);
    uint8_t report[4] = {};
    if (!ReceiveResponse(port, report, sizeof report)) {
      writer.SlotLog(slot, "[ERROR]GetResponse failed\r\n");
      return 0;
    }
    const uint32_t value = ReadU32LE(report);
    if (value == kFlashWriteFailed) {
      writer.SlotLog(slot, "[ERROE]FLASH Write Failed\r\n");
      return 0;
    }
    if (value == kFlashWriteDone) {
      writer.SetSlotProgress(slot, partLength, 100);
      writer.SlotLog(slot, "[PDA:%d]FLASH Download OK\r\n", slot);
      return 1;
    }
    percent = value;
  }
}

}  // namespace k730
