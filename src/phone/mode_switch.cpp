#include "phone/mode_switch.h"

#include <chrono>
#include <cstring>

namespace k730 {
namespace {

constexpr uint32_t kMaskPollMs = 3000;

}  // namespace

ModeSwitch::ModeSwitch() : ModeSwitch(nullptr) {}

ModeSwitch::ModeSwitch(std::unique_ptr<SerialPort> port)
    : port_(port ? std::move(port) : std::make_unique<SerialPort>()), link_(*port_, &stop_) {
  // Every frame of the switch is Flagged; the option stays off.
  codec_.SetNoLeadingFlag(0);
}

uint32_t ModeSwitch::WriteText(const char* text) {
  const size_t length = std::strlen(text);
  std::memcpy(link_.Frame(), text, length);
  port_->Write(link_.Frame(), static_cast<uint32_t>(length));
  return static_cast<uint32_t>(length);
}

bool ModeSwitch::OpenWithRetries(int tries, bool closeAfterFailure, const std::string& settings) {
  for (int i = 0; i < tries; ++i) {
    if (port_->Open(settings) == 1 && port_->IsOpen()) return true;
    if (closeAfterFailure) port_->Close();
    if (!link_.Pause(1000)) return false;
  }
  return false;
}

int ModeSwitch::StopWith(Outcome why) {
  port_->Close();
  lastOutcome_ = link_.Stopped() ? Outcome::Stopped : why;
  return 0;
}

int ModeSwitch::SwitchPort(int i) {
  lastOutcome_ = Outcome::Done;
  if (i < 0 || i > 7) return 0;
  const int comNumber = basePort_ + i;
  const std::string settings = PhoneSettingsString(comNumber);
  uint8_t* reply = link_.MutableReply();

  port_->Setup(2048, 2048);
  if (!link_.Pause(500) || !OpenWithRetries(10, true, settings))
    return StopWith(Outcome::PortNotOpened);
  // The phone must answer the first AT command; what it says is not examined.
  bool answered = false;
  for (int attempt = 0; attempt < 5 && !answered; ++attempt) {
    WriteText(kAtUsbChk);
    std::memset(reply, 0, 256);
    if (!link_.Pause(1000)) break;
    answered = port_->Read(reply, 0, kReplyBufferSize) > 0;
  }
  if (!answered) return StopWith(Outcome::NoAnswer);
  WriteText(kAtPstVal);
  std::memset(reply, 0, 256);
  link_.Pause(1000);
  port_->Read(reply, 0, kReplyBufferSize);
  link_.Pause(100);
  WriteText(kAtUsbDn);
  port_->Close();

  // The phone re-attaches in download mode.
  if (!link_.Pause(4000) || !link_.Pause(6000) || !link_.Pause(2000))
    return StopWith(Outcome::Stopped);
  port_->Setup(4096, 4096);
  if (!OpenWithRetries(20, false, settings)) return StopWith(Outcome::PortNotBack);
  // The results are not examined: each step runs whatever the one before returned.
  SwitchExchange(static_cast<uint32_t>(codec_.BuildStart2(link_.Frame())), 10, 500, 10);
  link_.Pause(100);
  SwitchExchange(static_cast<uint32_t>(codec_.BuildDpramWrt(link_.Frame(), comNumber)), 10, 1000,
                 10);
  const uint32_t jump = static_cast<uint32_t>(codec_.BuildJump(link_.Frame()));
  SwitchExchange(jump, 10, 1000, 10);
  SwitchExchange(jump, 20, 1000, 500);
  port_->Close();
  const bool ended = !link_.Stopped();
  link_.Pause(5000);
  link_.Pause(3000);
  if (!ended) lastOutcome_ = Outcome::Stopped;
  return ended ? 1 : 0;
}

uint8_t ModeSwitch::SwitchExchange(uint32_t frameLength, int attempts, uint32_t timeoutMs,
                                   uint32_t settleMs) {
  uint8_t code = 0;
  // Checked before padding: a length within 4 of 2^32 would wrap the sum.
  if (frameLength >= kFrameBufferSize) return 0;
  const uint32_t padded = frameLength - frameLength % 4 + 4;
  if (padded > kFrameBufferSize) return 0;
  uint8_t* frame = link_.Frame();
  uint8_t* reply = link_.MutableReply();
  for (int attempt = 0; attempt < attempts && !link_.Stopped(); ++attempt) {
    const uint64_t t0 = TickCount();
    // The reply time-out counts from t0, like every serial time-out never
    // shorter than a reply needs on the wire.
    const auto deadline = SerialPort::WireDeadline(timeoutMs);
    while (!port_->HasRxCharMask() && TickCount() - t0 < kMaskPollMs) {
      if (!link_.Pause(1)) return code;
    }
    std::memset(frame + frameLength, 0, padded - frameLength);
    port_->Write(frame, padded);
    if (!link_.Pause(settleMs)) return code;

    uint32_t n = 0;
    for (;;) {
      Yield();
      if (std::chrono::steady_clock::now() > deadline) {
        link_.Pause(100);
        break;
      }
      if (!port_->WaitRxCharUntil(deadline)) {
        if (!link_.Pause(5)) return code;
        continue;
      }
      if (!link_.Pause(20)) return code;
      n = port_->Read(reply, 0, kReplyBufferSize);
      if (n > 0) break;
      // Readable but empty: the device has gone; do not spin on it.
      if (!link_.Pause(5)) return code;
    }
    if (n == 0) continue;
    code = n >= 2 ? reply[1] : 0;
    if ((n >= 2 && reply[0] == 'O' && reply[1] == 'K') || code == kReplyAck)
      return kExchangeAccepted;
  }
  return code;
}

}  // namespace k730
