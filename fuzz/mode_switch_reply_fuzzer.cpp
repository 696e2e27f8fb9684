// The download-mode switch's exchange: padding of the frame it sends and the
// judging of the reply ("OK" or 0x02 as the second byte), through the real
// serial port on a pseudo-terminal.
//
// Input: two bytes choosing the frame length (any length up to a little past
// the frame buffer, or one of the last 256 values below 2^32), then the
// handset's reply.

#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "phone/mode_switch.h"
#include "serial_link.h"

namespace {

using namespace k730;

struct Fixture {
  Fixture() {
    fuzz::UseTinyTimeScale();
    modeSwitch.Port().Setup(4096, 4096);
    K730_FUZZ_CHECK(modeSwitch.Port().Open(PhoneSettingsString(fuzz::SerialLink::kComNumber)) == 1);
  }
  fuzz::SerialLink link;
  ModeSwitch modeSwitch;
};

uint8_t ExpectedResult(const uint8_t* reply, size_t n) {
  if (n >= 2 && reply[0] == 'O' && reply[1] == 'K') return kExchangeAccepted;
  const uint8_t code = n >= 2 ? reply[1] : 0;
  return code == kReplyAck ? kExchangeAccepted : code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  fuzz::Input input(data, size);
  const uint8_t high = input.Byte();
  const uint8_t low = input.Byte();
  const uint32_t frameLength = high == 0xFF ? UINT32_MAX - low
                                            : static_cast<uint32_t>(high << 8 | low) %
                                                  static_cast<uint32_t>(kFrameBufferSize + 16);
  const uint8_t* reply = input.Rest();
  const size_t replyLength = std::min(input.RestSize(), fuzz::SerialLink::kMaxReply);
  // Without any reply an attempt waits out its time-out in real time.
  if (replyLength == 0) return 0;

  PhoneLink& link = fixture.modeSwitch.Link();
  // A recognisable frame with stale bytes behind it that the padding must cover.
  std::fill_n(link.Frame(), kFrameBufferSize, 0xA5);
  const size_t start2 = fixture.modeSwitch.Codec().BuildStart2(link.Frame());

  fixture.link.Reset(fixture.modeSwitch.Port());
  fixture.link.Feed(fixture.modeSwitch.Port(), reply, replyLength);
  const uint8_t result = fixture.modeSwitch.SwitchExchange(frameLength, 1, 1000, 10);

  const uint64_t padded = uint64_t{frameLength} - frameLength % 4 + 4;
  if (padded > kFrameBufferSize) {
    // A frame the buffer cannot hold is not sent and nothing is read.
    K730_FUZZ_CHECK(result == 0);
    K730_FUZZ_CHECK(fixture.modeSwitch.Port().BytesWaiting() == replyLength);
    return 0;
  }
  const size_t kept = std::min(replyLength, kReplyBufferSize);
  K730_FUZZ_CHECK(result == ExpectedResult(reply, kept));

  const std::vector<uint8_t> sent = fixture.link.HostBytes(padded);
  K730_FUZZ_CHECK(sent.size() == padded);
  const size_t same = std::min<size_t>(frameLength, start2);
  std::vector<uint8_t> frame(start2);
  fixture.modeSwitch.Codec().BuildStart2(frame.data());
  K730_FUZZ_CHECK(std::equal(frame.begin(), frame.begin() + same, sent.begin()));
  for (size_t i = same; i < frameLength; ++i) K730_FUZZ_CHECK(sent[i] == 0xA5);
  for (size_t i = frameLength; i < padded; ++i) K730_FUZZ_CHECK(sent[i] == 0);
  return 0;
}
