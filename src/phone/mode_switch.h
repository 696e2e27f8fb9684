// The USB download-mode switch: AT commands put a phone that still runs its
// normal firmware into download mode; after it re-attaches, three framed
// commands prepare it for a download. Runs on its caller's thread; every
// procedure ends with the port closed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/clock.h"
#include "phone/phone_frame_codec.h"
#include "phone/phone_link.h"
#include "phone/serial_port.h"

namespace k730 {

constexpr const char* kAtUsbChk = "AT$USBCHK\r\n";
constexpr const char* kAtPstVal = "AT$PSTVAL\r\n";
constexpr const char* kAtUsbDn = "AT$USBDN\r\n";
// Buttons of the window, by port index 0-7.
constexpr int kSwitchButtons[8] = {1061, 1075, 1074, 1080, 1066, 1067, 1068, 1069};

class ModeSwitch {
 public:
  // How the last procedure ended.
  enum class Outcome {
    Done,           // it ran to its end
    PortNotOpened,  // COM(base + i) did not open in ten tries
    NoAnswer,       // nothing answered AT$USBCHK
    PortNotBack,    // the port did not come back after AT$USBDN
    Stopped,        // Stop() was called
  };

  ModeSwitch();
  // Runs over the given port (a recording one, say); null means a plain port.
  explicit ModeSwitch(std::unique_ptr<SerialPort> port);
  virtual ~ModeSwitch() = default;

  void SetBasePort(int base) { basePort_ = base; }
  int BasePort() const { return basePort_; }

  // The procedure of button i (0-7) on COM(base + i). Returns 1 when it ran
  // to its end, 0 when it stopped early (port never opened, no answer to
  // AT$USBCHK, port did not come back) or was stopped.
  int SwitchPort(int i);
  Outcome LastOutcome() const { return lastOutcome_; }

  // Pads the frame in the frame buffer with 1-4 zero bytes to the next
  // multiple of four above frameLength and sends it up to attempts times.
  // 2 when a reply begins with "OK" or has 0x02 as its second byte; otherwise
  // the second byte of the last reply read, or 0.
  uint8_t SwitchExchange(uint32_t frameLength, int attempts, uint32_t timeoutMs, uint32_t settleMs);

  // Asks a running procedure to end at its next wait.
  void Stop() { stop_.Request(); }

  // The link of the window (frame and reply buffers, port); for tests.
  PhoneLink& Link() { return link_; }
  SerialPort& Port() { return *port_; }
  const PhoneFrameCodec& Codec() const { return codec_; }

 private:
  bool OpenWithRetries(int tries, bool closeAfterFailure, const std::string& settings);
  uint32_t WriteText(const char* text);
  int StopWith(Outcome why);

  int basePort_ = 0;
  Outcome lastOutcome_ = Outcome::Done;
  std::unique_ptr<SerialPort> port_;
  PhoneFrameCodec codec_;
  StopSignal stop_;
  PhoneLink link_;
};

}  // namespace k730
