// CRC-32 of the image components: the standard reflected CRC-32 (polynomial
// 0x04C11DB7, initial value and final XOR 0xFFFFFFFF), as in every entry's
// CRC field. Check value over "123456789": 0xCBF43926.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace k730 {

using Crc32TableType = std::array<uint32_t, 256>;

// The byte table, built by reflecting each index into the top byte, shifting
// it through the unreflected polynomial and reflecting the result back.
const Crc32TableType& Crc32Table();

// Continues a CRC-32 over the next length bytes: starting from crc 0 and
// feeding consecutive pieces gives the CRC of all of them together.
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t length);

// CRC-32 of length bytes of buffer beginning at index start.
inline uint32_t Crc32(const uint8_t* buffer, size_t start, size_t length) {
  return Crc32Update(0, buffer + start, length);
}

// The CRC-32 of A followed by B, from the CRC-32 of A, the CRC-32 of B and
// B's length, so that pieces of a file can be checked in parallel.
uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB);

// The same result one byte at a time through the table; the reference for tests.
uint32_t Crc32UpdateBytewise(uint32_t crc, const uint8_t* data, size_t length);

// How this process computes long inputs, for benchmark reports.
const char* Crc32Method();

}  // namespace k730
