#include "pda/pda_packets.h"

#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "pda/palm_usb_port.h"

namespace k730 {

uint32_t PacketChecksum(uint32_t start, const uint8_t* bytes, size_t count) {
  uint32_t sum = start;
  for (size_t i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

bool SendCommandPacket(PalmUsbPort& port, uint32_t command, uint32_t length,
                       const uint8_t* payload) {
  if (length > kMaxPacketPayload || (length > 0 && !payload)) return false;
  std::vector<uint8_t> packet(kPacketBufferSize, 0);
  WriteU32LE(&packet[0], command);
  WriteU32LE(&packet[4], length);
  WriteU32LE(&packet[8], PacketChecksum(0, payload, length));
  if (length > 0) std::memcpy(&packet[kPacketHeadSize], payload, length);
  const uint32_t total = kPacketHeadSize + length;
  return port.Send(packet.data(), total) == total;
}

bool ReceiveResponse(PalmUsbPort& port, uint8_t* destination, size_t capacity,
                     uint32_t* dataLength) {
  if (dataLength) *dataLength = 0;
  uint8_t response[kResponseSize] = {};
  if (port.Receive(response, kResponseSize) != kResponseSize) return false;
  const uint32_t status = ReadU32LE(&response[0]);
  const uint32_t length = ReadU32LE(&response[4]);
  const uint32_t checksum = ReadU32LE(&response[8]);
  // A length the response cannot carry, or the caller cannot hold, is refused.
  if (length > kMaxResponseData || length > capacity) return false;
  if (length > 0) std::memcpy(destination, &response[kPacketHeadSize], length);
  if (dataLength) *dataLength = length;
  return status == 1 && PacketChecksum(0, destination, length) == checksum;
}

}  // namespace k730
