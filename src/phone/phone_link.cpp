#include "phone/phone_link.h"

#include <cstring>

namespace k730 {
namespace {

// The mask poll before each attempt ends at once on an open port; on a port
// closed underneath it runs its full length.
constexpr uint32_t kMaskPollMs = 3000;
constexpr uint32_t kNoReplyPauseMs = 100;
// A reply longer than the buffer is not one the link knows; this many reads
// of the excess are thrown away so it cannot pose as the next reply.
constexpr int kMaxDrainReads = 64;

}  // namespace

bool PhoneLink::Pause(uint32_t ms) {
  if (!stop_) {
    Sleep(ms);
    return true;
  }
  return stop_->SleepFor(ms);
}

uint8_t PhoneLink::Exchange(uint32_t frameLength, int attempts, uint32_t settleMs,
                            uint32_t replyWaitMs) {
  uint8_t code = 0;
  uint32_t count = 0;
  for (int attempt = 0; attempt < attempts && !Stopped(); ++attempt) {
    const uint64_t t0 = TickCount();
    while (!port_.HasRxCharMask() && TickCount() - t0 < kMaskPollMs) {
      if (!Pause(1)) return code;
    }
    port_.Write(frame_.data(), frameLength);
    if (!Pause(settleMs)) return code;

    if (port_.WaitRxChar(replyWaitMs)) {
      for (;;) {
        Yield();
        const uint32_t room = kReplyBufferSize - count;
        if (room == 0) {
          uint8_t scratch[SerialPort::kStagingSize];
          for (int i = 0; i < kMaxDrainReads && port_.Read(scratch, 0, sizeof scratch) > 0; ++i) {
          }
          break;
        }
        const uint32_t n = port_.Read(reply_.data() + count, 0, room);
        if (n == 0) break;
        count += n;
      }
    }
    Yield();
    replyLength_ = count;
    if (count == 0) {
      if (!Pause(kNoReplyPauseMs)) return code;
      continue;
    }
    code = ReplyCode(reply_.data(), count);
    if (code == reply_[0] || code == kReplyAck) return kExchangeAccepted;
    count = 0;
  }
  return code;
}

int PhoneLink::RawProbe(uint32_t frameLength) {
  for (int attempt = 0; attempt < kRawProbeAttempts && !Stopped(); ++attempt) {
    std::memset(reply_.data(), 0, 256);
    port_.Write(frame_.data(), frameLength);
    if (!Pause(kRawProbeWaitMs)) return 0;
    replyLength_ = port_.Read(reply_.data(), 0, kReplyBufferSize);
    if (replyLength_ > 0) return 1;
  }
  return 0;
}

}  // namespace k730
