#include "image/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

namespace k730 {
namespace {

uint32_t Crc32Of(const char* text) {
  return Crc32(reinterpret_cast<const uint8_t*>(text), 0, std::strlen(text));
}

TEST(Crc32, StandardCheckValuesAndEmptyInput) {
  EXPECT_EQ(Crc32Of("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32Of(""), 0u);
  EXPECT_EQ(Crc32(nullptr, 0, 0), 0u);
  EXPECT_EQ(Crc32Of("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  const uint8_t zero = 0;
  EXPECT_EQ(Crc32(&zero, 0, 1), 0xD202EF8Du);
}

TEST(Crc32, TableIsTheReflectedPolynomialTable) {
  const Crc32TableType& table = Crc32Table();
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    ASSERT_EQ(table[i], c) << i;
  }
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
}

TEST(Crc32, FastPathAgreesWithBytewiseAtEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(4096 + 64);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t start = 0; start < 17; ++start) {
    for (size_t length = 0; length <= 600; ++length) {
      ASSERT_EQ(Crc32(data.data(), start, length),
                Crc32UpdateBytewise(0, data.data() + start, length))
          << "start " << start << " length " << length;
    }
  }
  EXPECT_EQ(Crc32(data.data(), 3, 4096), Crc32UpdateBytewise(0, data.data() + 3, 4096));
}

TEST(Crc32, PiecewiseUpdateEqualsWholeAndMatchesZlib) {
  std::mt19937 rng(11);
  std::vector<uint8_t> data(1 << 20);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  const uint32_t whole = Crc32(data.data(), 0, data.size());
  EXPECT_EQ(whole, static_cast<uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size()))));
  uint32_t crc = 0;
  size_t at = 0;
  for (size_t piece : {1u, 63u, 64u, 65u, 1000u, 77777u}) {
    crc = Crc32Update(crc, data.data() + at, piece);
    at += piece;
  }
  crc = Crc32Update(crc, data.data() + at, data.size() - at);
  EXPECT_EQ(crc, whole);
  // All-ones and all-zero blocks exercise the folding constants differently.
  std::vector<uint8_t> ones(4096, 0xFF), zeros(4096, 0);
  EXPECT_EQ(Crc32(ones.data(), 0, ones.size()), Crc32UpdateBytewise(0, ones.data(), ones.size()));
  EXPECT_EQ(Crc32(zeros.data(), 0, zeros.size()),
            Crc32UpdateBytewise(0, zeros.data(), zeros.size()));
}

TEST(Crc32, CombineJoinsPiecesOfAnyLength) {
  std::mt19937 rng(5);
  std::vector<uint8_t> data(300000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  const uint32_t whole = Crc32(data.data(), 0, data.size());
  for (size_t split : {size_t{0}, size_t{1}, size_t{7}, size_t{64}, size_t{4096}, size_t{123457},
                       data.size() - 1, data.size()}) {
    const uint32_t a = Crc32(data.data(), 0, split);
    const uint32_t b = Crc32(data.data(), split, data.size() - split);
    EXPECT_EQ(Crc32Combine(a, b, data.size() - split), whole) << split;
  }
  // Agrees with zlib for lengths beyond 4 GiB, where the power table runs long.
  const uint64_t huge = (1ull << 33) + 12345;
  EXPECT_EQ(Crc32Combine(0x12345678u, 0x9ABCDEF0u, huge),
            static_cast<uint32_t>(::crc32_combine64(0x12345678u, 0x9ABCDEF0u, huge)));
}

}  // namespace
}  // namespace k730
