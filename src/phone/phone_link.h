// The command exchange of the phone download link: send the frame in the
// frame buffer, gather the reply in the reply buffer and judge its code.
#pragma once

#include <array>
#include <cstdint>

#include "core/clock.h"
#include "phone/phone_frame_codec.h"
#include "phone/serial_port.h"

namespace k730 {

// Attempts and settle delays of the commands.
constexpr int kCommandAttempts = 10;  // VERSION ... DPRAM_WRT
constexpr uint32_t kCommandSettleMs = 10;
constexpr int kEraseAttempts = 1;
constexpr uint32_t kEraseSettleMs = 10000;
// The phone answers ERASE when its flash is erased, which can take longer
// than the settle delay: its reply is awaited this much longer (about two
// minutes from the write in all) before the erase counts as failed.
constexpr uint32_t kEraseReplyWaitMs = 110000;
constexpr int kWriteAttempts = 1;
constexpr uint32_t kWriteSettleMs = 10;
constexpr int kRawProbeAttempts = 5;
constexpr uint32_t kRawProbeWaitMs = 3000;
// Result of Exchange for an accepted reply.
constexpr uint8_t kExchangeAccepted = 2;

class PhoneLink {
 public:
  // stop, when given, cuts the attempt loops and their waits short.
  explicit PhoneLink(SerialPort& port, StopSignal* stop = nullptr) : port_(port), stop_(stop) {}

  uint8_t* Frame() { return frame_.data(); }
  const uint8_t* Reply() const { return reply_.data(); }
  uint8_t* MutableReply() { return reply_.data(); }
  // Bytes gathered by the last attempt (or the last probe read).
  uint32_t ReplyLength() const { return replyLength_; }

  // Sends the first frameLength bytes of the frame buffer up to attempts
  // times. Returns 2 when a reply was accepted: its code is 0x02, or its first
  // byte is not a flag (whatever it is), or the flag is repeated. Otherwise the
  // code of the last reply, or 0 when nothing came in any attempt. Reading
  // stops when the reply buffer is full; any excess is drained and dropped.
  // After the settle delay each attempt waits up to replyWaitMs for the
  // reply's first byte.
  uint8_t Exchange(uint32_t frameLength, int attempts, uint32_t settleMs,
                   uint32_t replyWaitMs = SerialPort::kReadTimeoutMs);

  // The raw-frame probe: up to 5 attempts of {write; wait 3000 ms; read what
  // is waiting}. 1 at the first attempt that reads any byte, else 0.
  int RawProbe(uint32_t frameLength);

  // True once the owner asked the link to stop.
  bool Stopped() const { return stop_ && stop_->Requested(); }
  // Sleeps ms protocol milliseconds; false at once when stopped.
  bool Pause(uint32_t ms);

 private:
  SerialPort& port_;
  StopSignal* stop_;
  std::array<uint8_t, kFrameBufferSize> frame_{};
  std::array<uint8_t, kReplyBufferSize> reply_{};
  uint32_t replyLength_ = 0;
};

}  // namespace k730
