#include "phone/phone_frame_codec.h"

#include <array>
#include <cstring>

#include "core/byte_order.h"

namespace k730 {
namespace {

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
    table[i] = static_cast<uint16_t>(r);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrc16Table = MakeCrc16Table();
static_assert(kCrc16Table[1] == 0x1189 && kCrc16Table[255] == 0x0F78);

inline size_t PutStuffed(uint8_t* out, size_t n, uint8_t b) {
  if (IsReservedByte(b)) {
    out[n++] = kFrameEscape;
    out[n++] = static_cast<uint8_t>(b ^ kEscapeXor);
  } else {
    out[n++] = b;
  }
  return n;
}

size_t CopyRaw(uint8_t* out, const uint8_t* frame, size_t length) {
  std::memcpy(out, frame, length);
  return length;
}

}  // namespace

const uint16_t* Crc16::Table() {
  return kCrc16Table.data();
}

uint16_t Crc16::Compute(const uint8_t* data, size_t length) {
  uint16_t r = kInitial;
  for (size_t i = 0; i < length; ++i) r = Update(r, data[i]);
  return static_cast<uint16_t>(~r);
}

size_t PhoneFrameCodec::BuildFrame(uint8_t* out, const uint8_t* payload, uint16_t length,
                                   int style) const {
  size_t n = 0;
  if (style == Flagged) {
    out[n++] = kFrameFlag;
  } else if (style == Command && !noLeadingFlag_) {
    out[n++] = kCommandLead;
  }
  uint16_t r = Crc16::kInitial;
  for (uint16_t i = 0; i < length; ++i) {
    const uint8_t b = payload[i];
    n = PutStuffed(out, n, b);
    r = Crc16::Update(r, b);
  }
  r = static_cast<uint16_t>(~r);
  n = PutStuffed(out, n, static_cast<uint8_t>(r));
  n = PutStuffed(out, n, static_cast<uint8_t>(r >> 8));
  out[n++] = kFrameFlag;
  return n;
}

size_t PhoneFrameCodec::BuildAutotest(uint8_t* out) {
  static const uint8_t kFrame[] = {0x7F, 0xAA, 0xDD, 0x7E};
  return CopyRaw(out, kFrame, sizeof kFrame);
}

size_t PhoneFrameCodec::BuildSuspend(uint8_t* out) {
  static const uint8_t kFrame[] = {0x7F, 0xAA, 0x1F, 0x00, 0x7E};
  return CopyRaw(out, kFrame, sizeof kFrame);
}

size_t PhoneFrameCodec::BuildSio2dm(uint8_t* out) {
  static const uint8_t kFrame[] = {0x7F, 0xAA, 0x24, 0x7E};
  return CopyRaw(out, kFrame, sizeof kFrame);
}

size_t PhoneFrameCodec::BuildRestart(uint8_t* out) {
  static const uint8_t kFrame[] = {0x7F, 0xAA, 0x3F, 0x00, 0x7E};
  return CopyRaw(out, kFrame, sizeof kFrame);
}

size_t PhoneFrameCodec::BuildVersion(uint8_t* out) const {
  static const uint8_t kPayload[] = {0x00};
  return BuildFrame(out, kPayload, sizeof kPayload, Command);
}

size_t PhoneFrameCodec::BuildOffline(uint8_t* out) const {
  static const uint8_t kPayload[] = {0x29, 0x01, 0x00};
  return BuildFrame(out, kPayload, sizeof kPayload, Command);
}

size_t PhoneFrameCodec::BuildDload(uint8_t* out) const {
  static const uint8_t kPayload[] = {0x3A};
  return BuildFrame(out, kPayload, sizeof kPayload, Command);
}

size_t PhoneFrameCodec::BuildCopy(uint8_t* out) const {
  static const uint8_t kPayload[] = {0xBB, 0x01, 0x14, 0x00, 0x00};
  return BuildFrame(out, kPayload, sizeof kPayload, Flagged);
}

size_t PhoneFrameCodec::BuildJump(uint8_t* out) const {
  static const uint8_t kPayload[] = {0xCC, 0x01, 0x14, 0x00, 0x00};
  return BuildFrame(out, kPayload, sizeof kPayload, Flagged);
}

size_t PhoneFrameCodec::BuildStart2(uint8_t* out) const {
  static const uint8_t kPayload[] = {0xAA};
  return BuildFrame(out, kPayload, sizeof kPayload, Flagged);
}

size_t PhoneFrameCodec::BuildDpramWrt(uint8_t* out, int comPort) const {
  const uint8_t payload[] = {0xDA, 0xD2, static_cast<uint8_t>(comPort)};
  return BuildFrame(out, payload, sizeof payload, Flagged);
}

size_t PhoneFrameCodec::BuildErase(uint8_t* out, uint32_t start, uint32_t byteCount) const {
  uint8_t payload[9];
  payload[0] = 0xEE;
  WriteU32LE(payload + 1, start);
  WriteU32LE(payload + 5, byteCount);
  return BuildFrame(out, payload, sizeof payload, Flagged);
}

size_t PhoneFrameCodec::BuildWrite(uint8_t* out, uint32_t address, const uint8_t* data) const {
  uint8_t payload[kWritePayloadSize];
  payload[0] = 0xDD;
  WriteU32LE(payload + 1, address);
  WriteU16LE(payload + 5, static_cast<uint16_t>(kWriteDataSize));
  std::memcpy(payload + 7, data, kWriteDataSize);
  return BuildFrame(out, payload, sizeof payload, Flagged);
}

uint8_t ReplyCode(const uint8_t* reply, size_t length) {
  if (length == 0) return 0;
  if (reply[0] == kFrameFlag || reply[0] == kCommandLead) return length > 1 ? reply[1] : 0;
  return reply[0];
}

}  // namespace k730
