// Command packets (host to handheld) and 30-byte responses of the PDA
// download. All fields are 32-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace k730 {

class PalmUsbPort;

constexpr uint32_t DL_MODE = 0xF0;
constexpr uint32_t RAM_DATA = 0xF1;
constexpr uint32_t RAM_DATA_AGAIN = 0xF2;
constexpr uint32_t PACKET_VER = 0xF3;
constexpr uint32_t RAM_END = 0xFF;

constexpr uint32_t kPacketVersion = 9;
constexpr uint32_t kPacketHeadSize = 12;
constexpr uint32_t kPacketBufferSize = 4096;
constexpr uint32_t kMaxPacketPayload = kPacketBufferSize - kPacketHeadSize;  // 4,084
constexpr uint32_t kResponseSize = 30;
constexpr uint32_t kMaxResponseData = kResponseSize - kPacketHeadSize;  // 18

// Targets announced by DL_MODE.
constexpr int kTargetSmallRom = 0;
constexpr int kTargetBigRomFile = 1;
constexpr int kTargetResource = 2;
constexpr int kTargetDFormat = 4;
constexpr int kTargetWidebinBigRom = 6;

// Flash-phase progress values besides 0-100.
constexpr uint32_t kFlashWriteFailed = 0xFFFFFFFF;
constexpr uint32_t kFlashWriteDone = 0xFFFFFFFE;

// 32-bit wrapping sum of start and every byte.
uint32_t PacketChecksum(uint32_t start, const uint8_t* bytes, size_t count);

// Builds code, length, checksum and payload (length at most 4,084) and sends
// them; true only when all 12 + length bytes went out. A longer payload is
// refused without sending.
bool SendCommandPacket(PalmUsbPort& port, uint32_t command, uint32_t length,
                       const uint8_t* payload);

// Receives one 30-byte response. False on a short receive, or when the data
// length field exceeds 18 bytes or the destination's capacity (then nothing is
// copied); otherwise copies the data and is true only for status 1 with a
// matching checksum. The data is copied also on a status or checksum failure.
// dataLength, when given, receives the copied length (0 when nothing was copied).
bool ReceiveResponse(PalmUsbPort& port, uint8_t* destination, size_t capacity,
                     uint32_t* dataLength = nullptr);

}  // namespace k730
