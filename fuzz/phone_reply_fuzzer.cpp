// The phone link's judging of replies: Exchange (one attempt, so that a
// refused reply does not wait out the read time-out for a next one) and the
// raw-frame probe, reading the input through the real serial port on a
// pseudo-terminal.
//
// Input: one byte of options (bit 0 the frame codec's no-leading-flag option,
// bits 1-2 the command sent, bit 3 the raw probe instead of Exchange), then
// the handset's reply.

#include <algorithm>
#include <memory>

#include "fuzz_support.h"
#include "phone/phone_frame_codec.h"
#include "phone/phone_link.h"
#include "serial_link.h"

namespace {

using namespace k730;

struct Fixture {
  Fixture() {
    fuzz::UseTinyTimeScale();
    port.Setup(2048, 2048);
    K730_FUZZ_CHECK(port.Open(PhoneSettingsString(fuzz::SerialLink::kComNumber)) == 1);
  }
  fuzz::SerialLink link;
  SerialPort port;
  PhoneLink phone{port};
};

// What Exchange must make of a reply it read whole (at most the reply buffer).
uint8_t ExpectedResult(const uint8_t* reply, size_t length) {
  const uint8_t code = ReplyCode(reply, length);
  return code == reply[0] || code == kReplyAck ? kExchangeAccepted : code;
}

size_t BuildCommand(const PhoneFrameCodec& codec, int which, uint8_t* frame, const uint8_t* data) {
  switch (which) {
    case 0:
      return codec.BuildVersion(frame);
    case 1:
      return codec.BuildDload(frame);
    case 2:
      return codec.BuildErase(frame, 0x10000, 0x1F0000);
    default:
      return codec.BuildWrite(frame, 0x10000, data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  if (size == 0) return 0;
  fuzz::Input input(data, size);
  const uint8_t options = input.Byte();
  const uint8_t* reply = input.Rest();
  const size_t replyLength = std::min(input.RestSize(), fuzz::SerialLink::kMaxReply);

  PhoneFrameCodec codec;
  codec.SetNoLeadingFlag(options & 1);
  uint8_t block[kWriteDataSize] = {};
  std::copy_n(reply, std::min(replyLength, sizeof block), block);
  const size_t frameLength = BuildCommand(codec, (options >> 1) & 3, fixture.phone.Frame(), block);
  K730_FUZZ_CHECK(frameLength <= kFrameBufferSize);

  fixture.link.Reset(fixture.port);
  fixture.link.Feed(fixture.port, reply, replyLength);
  const size_t kept = std::min(replyLength, kReplyBufferSize);

  if (options & 8) {
    const int probed = fixture.phone.RawProbe(static_cast<uint32_t>(frameLength));
    K730_FUZZ_CHECK(probed == (replyLength > 0 ? 1 : 0));
    K730_FUZZ_CHECK(fixture.phone.ReplyLength() == kept);
    K730_FUZZ_CHECK(std::equal(reply, reply + kept, fixture.phone.Reply()));
    return 0;
  }
  // Without any reply an attempt waits out the read time-out in real time.
  if (replyLength == 0) return 0;

  const uint8_t result =
      fixture.phone.Exchange(static_cast<uint32_t>(frameLength), 1, kCommandSettleMs);
  K730_FUZZ_CHECK(fixture.phone.ReplyLength() == kept);
  K730_FUZZ_CHECK(std::equal(reply, reply + kept, fixture.phone.Reply()));
  K730_FUZZ_CHECK(result == ExpectedResult(reply, kept));
  // A reply longer than the buffer is dropped whole, so it cannot pose as the next one.
  K730_FUZZ_CHECK(fixture.port.BytesWaiting() == 0);
  return 0;
}
