// Frames of the phone download link: byte-stuffed payloads closed by a CRC-16
// and a flag, the four raw frames of the preparation phase, and the reply code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace k730 {

constexpr uint8_t kFrameFlag = 0x7E;    // closes every CRC frame; opens Flagged frames
constexpr uint8_t kCommandLead = 0x7F;  // opens Command frames unless the option is on
constexpr uint8_t kFrameEscape = 0x7D;  // precedes a reserved byte sent XOR 0x20
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint8_t kReplyAck = 0x02;  // code of an acknowledged command

inline bool IsReservedByte(uint8_t b) {
  return b >= kFrameEscape && b <= kCommandLead;
}

// Worst case of BuildFrame for a payload of length bytes: lead, every byte
// stuffed, two stuffed CRC bytes, closing flag.
constexpr size_t MaxFrameLength(size_t length) {
  return 2 * (length + 2) + 2;
}

// Payload sizes of the commands.
constexpr size_t kWriteDataSize = 1024;
constexpr size_t kWritePayloadSize = 7 + kWriteDataSize;  // 1031
// A frame buffer that holds any frame of the system plus the mode switch's
// four bytes of padding.
constexpr size_t kFrameBufferSize = MaxFrameLength(kWritePayloadSize) + 4;  // 2072
constexpr size_t kReplyBufferSize = 1024;

// CRC-16/X-25: reflected polynomial 0x8408, initial 0xFFFF, complemented.
class Crc16 {
 public:
  static constexpr uint16_t kInitial = 0xFFFF;
  // One table step for byte b on register r.
  static uint16_t Update(uint16_t r, uint8_t b) { return Table()[(r ^ b) & 0xFF] ^ (r >> 8); }
  // The complemented CRC of a whole buffer.
  static uint16_t Compute(const uint8_t* data, size_t length);
  static const uint16_t* Table();
};

enum FrameStyle : int { Flagged = 0, Command = 1 };

class PhoneFrameCodec {
 public:
  virtual ~PhoneFrameCodec() = default;

  void SetNoLeadingFlag(int on) { noLeadingFlag_ = on ? 1 : 0; }
  int NoLeadingFlag() const { return noLeadingFlag_; }

  // Writes the frame of payload into out and returns its length. out must hold
  // MaxFrameLength(length) bytes.
  size_t BuildFrame(uint8_t* out, const uint8_t* payload, uint16_t length, int style) const;

  // The raw frames, written as they stand.
  static size_t BuildAutotest(uint8_t* out);  // 7F AA DD 7E
  static size_t BuildSuspend(uint8_t* out);   // 7F AA 1F 00 7E
  static size_t BuildSio2dm(uint8_t* out);    // 7F AA 24 7E
  static size_t BuildRestart(uint8_t* out);   // 7F AA 3F 00 7E

  // The download commands.
  size_t BuildVersion(uint8_t* out) const;                // 00, Command
  size_t BuildOffline(uint8_t* out) const;                // 29 01 00, Command
  size_t BuildDload(uint8_t* out) const;                  // 3A, Command
  size_t BuildCopy(uint8_t* out) const;                   // BB 01 14 00 00, Flagged
  size_t BuildJump(uint8_t* out) const;                   // CC 01 14 00 00, Flagged (JUMP1, JUMP2)
  size_t BuildStart2(uint8_t* out) const;                 // AA, Flagged
  size_t BuildDpramWrt(uint8_t* out, int comPort) const;  // DA D2 p, Flagged
  size_t BuildErase(uint8_t* out, uint32_t start, uint32_t byteCount) const;  // EE ..., Flagged
  // DD, address, 1024, then the 1024 bytes of data; Flagged.
  size_t BuildWrite(uint8_t* out, uint32_t address, const uint8_t* data) const;

 private:
  int noLeadingFlag_ = 0;
};

// The response code of a reply: its second byte when the first is a flag
// (0x7E or 0x7F), else its first byte. A lone flag byte has code 0 (no code);
// an empty reply has code 0.
uint8_t ReplyCode(const uint8_t* reply, size_t length);

}  // namespace k730
